"""
Front end of the mivo tool manager: commands, tool runs, engine and project files.
"""

import logging


logger: logging.Logger = ...

class MIVO:
    """Handle on the mivo tool manager."""

    def __init__(self, backend: object | None = None, registry: object | None = None) -> None:
        """
        A handle on mivo; `backend` and `registry` are passed to the commands that take them.
        """

    def _base_args(self) -> list:
        """The --backend/--registry words this object was configured with."""

    def _run(self, cmd: object | None, **options) -> object:
        """
        Run `mivo` with the words of `cmd` in the project directory, with mivo's environment and time limit; returns the subprocess.CompletedProcess, raises RuntimeError on failure or time-out.
        """

    def wait_for_docker(self, timeout: object | None = 300) -> None:
        """
        Wait until the container engine answers (and, on a pipeline volume, can pull images, then install the host-network wrapper); raises RuntimeError when it does not within `timeout` seconds.
        """

    def _install_docker_host_network_wrapper(self) -> None:
        """
        Put the host-network docker wrapper in front of the real engine binary.
        """

    def _real_docker(self) -> object:
        """The command of the real engine binary, bypassing the wrapper."""

    def _cache_tar(self, tool: object | None) -> object:
        """Path of the image archive of `tool`, or '' when the cache is inactive."""

    def _load_cached_image(self, tool: object | None) -> bool:
        """
        Load the cached archive of `tool` into the engine; True when it was loaded.
        """

    def _save_image_to_cache(self, tool: object | None) -> None:
        """
        Save the locked image of `tool` as its archive, unless the archive exists.
        """

    def _locked_image_ref(self, tool: object | None) -> object:
        """
        (image reference, image digest) of `tool` in the project lockfile, or (None, None).
        """

    def _prune_lockfile_to_session(self) -> None:
        """Drop the tools this object did not add from mivo.lock and mivo.toml."""

    @staticmethod
    def _write_toml(path: object | None, data: object | None) -> None:
        """
        Write the mapping `data` to `path` as TOML (replacing the file in one step).
        """

    def add(self, *args) -> None:
        """
        Add tools to the project (restoring cached images before, caching them after).
        """

    def remove(self, tool: object | None) -> None:
        """Remove a tool from the project."""

    def sync(self, frozen: object | None = False) -> None:
        """
        Prune the project files to this session's tools, then sync the project.
        """

    def lock(self, check: object | None = False) -> None:
        """Write (or with `check`, verify) the project lockfile."""

    def run(self, tool_name: object | None, manifest: object | None, inputs: object | None, output_dir: object | None) -> object:
        """
        Run one tool on the step's inputs in a fresh sandbox and collect its outputs into `output_dir`; returns output slot -> delivered path (or None), in manifest order.
        """

    def _fix_stale_abs_paths(self, args: object | None, manifest: object | None, env: object | None) -> object:
        """
        Look up each absolute argument outside /workspace by file name inside the tool's image; the arguments with the paths found there, or None when nothing changed.
        """

    def _infer_args(self, tool_name: object | None, manifest: object | None, staged: object | None) -> list:
        """
        Ask the LLM for a tool's command-line arguments; the staged file names when it cannot answer.
        """

    def exec(self, command: object | None, *args) -> object:
        """
        Run a command in the tool environment: `command` with `args`, or, alone, a shell command line for bash.
        """

    def shell(self, shell: object | None = None) -> None:
        """Run `mivo shell` (optionally with --shell SHELL)."""

    def search(self, query: object | None, tier: object | None = None) -> object:
        """`mivo search QUERY [--tier TIER]`."""

    def show(self, tool: object | None, fmt: object | None = None) -> object:
        """`mivo show TOOL [--format FMT]`."""

    def parse_show_text(self, text: object | None) -> dict:
        """
        The image, entrypoint, args_template and gpu_required a `mivo show` text states.
        """

    def parse_show(self, tool: object | None) -> object:
        """parse_show_text of what `mivo show TOOL` prints."""

    def info(self, tool: object | None) -> object:
        """`mivo info TOOL`."""

    def list_tools(self, binaries: object | None = False) -> object:
        """`mivo list [--binaries]`."""

_DOCKER_PATH: str = '/usr/bin/docker'

_DOCKER_REAL_PATH: str = '/usr/bin/docker.real'

_WRAPPER_DIR: str = '/vol/bin'

_NVIDIA_DEVICE_DIR: str = '/dev'

_DRIVER_LIBRARY_DIR: str = '/usr/lib/x86_64-linux-gnu'

_DOCKER_INSTALL_URL: str = 'https://docs.docker.com/get-started/get-docker/'

_ENGINE_PROBE_TIMEOUT: int = 10

_ENGINE_RETRY_PAUSE: int = 2

_NETWORK_PROBE_TIMEOUT: int = 30

_NETWORK_RETRY_PAUSE: int = 3

_IMAGE_ARCHIVE_TIMEOUT: int = 1800

def _docker_wrapper_text(real_binary: object | None) -> object:
    """
    Text of the host-network docker wrapper script that calls `real_binary`.
    """

def _default_llm() -> object:
    """A new LLM client from plexaro.helpers.promptel (loaded at call time)."""
