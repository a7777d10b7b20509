"""A plain-text picture of a finished step's real outputs."""



def build_vantum(data: object | None, header: object | None = 'ACTUAL UPSTREAM OUTPUT at runtime:') -> object:
    """
    Describe the output mapping `data` as it is on disk: directories with their files, files with their size and first lines, other values by their representation.
    """

def _describe_dir(label: object | None, d: object | None, lines: object | None) -> None:
    """
    Append to `lines` the description of directory `d`, shown as `label`: its first 30 files in path order and their first lines.
    """
