"""Download of Zenodo and Dropbox links into a local cache."""



class Fetchkin:
    """Download cache for pipeline inputs given as links."""

    def __init__(self, temp_dir: object | None = None) -> None: ...

    def resolve_zenodo_dropbox(self, key: object | None, value: object | None) -> object:
        """
        Return the local path for a Zenodo/Dropbox link (downloading it once); any other value unchanged.
        """
