"""Where the helper layer keeps its files.

The connectors file (the generated connector functions of the current
pipeline) is at ``$PLEXARO_CONNECTORS_PATH`` when that variable is set and
not empty; its directory is created when missing.

Otherwise it is ``connectors.py`` in a directory of the current user's own
under the system's temporary directory, ``plexaro-<uid>``: created with mode
0700, and refused when it is a symbolic link, not a directory, or owned by
someone else (another user could otherwise plant a link there or swap the
file between its writing and its loading).
"""
from __future__ import annotations

import os
import stat
import tempfile

CONNECTORS_PATH_ENV = "PLEXARO_CONNECTORS_PATH"


def private_dir() -> str:
    """The current user's private directory under the temporary directory."""
    uid = os.getuid()
    path = os.path.join(tempfile.gettempdir(), f"plexaro-{uid}")
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        pass
    info = os.lstat(path)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != uid:
        raise PermissionError(
            f"{path} is not a directory of the current user (uid {uid}); "
            f"remove it or set {CONNECTORS_PATH_ENV}")
    if stat.S_IMODE(info.st_mode) & 0o077:
        os.chmod(path, 0o700)
    return path


def get_connectors_path() -> str:
    path = os.environ.get(CONNECTORS_PATH_ENV)
    if not path:
        return os.path.join(private_dir(), "connectors.py")
    directory = os.path.dirname(path)
    if directory:
        os.makedirs(directory, exist_ok=True)
    return path
