"""Where the helper layer keeps its files.

The connectors file (the generated connector functions of the current
pipeline) is at ``$PLEXARO_CONNECTORS_PATH`` when that variable is set and
not empty; otherwise it is ``plexaro/connectors.py`` under the system's
temporary directory. The directory is created when missing.
"""
from __future__ import annotations

import os
import tempfile

CONNECTORS_PATH_ENV = "PLEXARO_CONNECTORS_PATH"


def get_connectors_path() -> str:
    path = os.environ.get(CONNECTORS_PATH_ENV) or os.path.join(
        tempfile.gettempdir(), "plexaro", "connectors.py")
    directory = os.path.dirname(path)
    if directory:
        os.makedirs(directory, exist_ok=True)
    return path
