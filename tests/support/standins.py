"""Stand-in programs for outside commands (mivo, docker, tools).

A stand-in is a small executable Python script placed in a directory that
the test puts first on PATH. Every call appends one JSON record to
``<dir>/<name>.calls.jsonl``: argv (without the program name), cwd and the
environment, so tests can assert exactly what an outside program received.
"""
from __future__ import annotations

import json
import os
import stat
import sys
import textwrap
from pathlib import Path

_PRELUDE = """\
#!{python}
import json, os, sys
with open({log!r}, "a") as _log:
    _log.write(json.dumps({{"argv": sys.argv[1:], "cwd": os.getcwd(),
                            "env": dict(os.environ)}}) + "\\n")
"""


def write_program(directory: Path, name: str, body: str = "") -> Path:
    """Write an executable stand-in `name` into `directory`.

    `body` is Python source run after the call has been recorded; it sees
    `sys`, `os` and `json`. Without a body the program exits 0 silently.
    """
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / name
    log = directory / f"{name}.calls.jsonl"
    path.write_text(_PRELUDE.format(python=sys.executable, log=str(log))
                    + textwrap.dedent(body))
    path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return path


def calls(directory: Path, name: str) -> list[dict]:
    """The recorded calls of stand-in `name`, oldest first."""
    log = directory / f"{name}.calls.jsonl"
    if not log.exists():
        return []
    return [json.loads(line) for line in log.read_text().splitlines() if line]


def prepend_path(monkeypatch, directory: Path) -> None:
    monkeypatch.setenv("PATH", f"{directory}{os.pathsep}{os.environ.get('PATH', '')}")
