"""The repository's local mivo (tools/bin/mivo) set up for one test.

`LocalMivo.install(tmp_path, monkeypatch)` (or the `local_mivo` fixture of
tests/python/conftest.py) puts tools/bin first on PATH, copies the sample
registry tests/support/registry into the test's directory and points
MIVO_REGISTRY at the copy, makes the program log every call (argv, cwd, env),
unsets PIPELINE_VOLUME_PATH and keeps "mivo exec" on this host
(MIVO_CONTAINER=never; the container-mode tests set it to auto). The system temporary area
(tempfile.gettempdir()) is redirected into the test's directory so the "mivo_"
project directories and sandboxes a test leaves behind stay there.
"""
from __future__ import annotations

import json
import shutil
import tempfile
from dataclasses import dataclass
from pathlib import Path

from support import standins

REPO = Path(__file__).resolve().parents[2]
BIN_DIR = REPO / "tools" / "bin"
SAMPLE_REGISTRY = Path(__file__).resolve().parent / "registry"


@dataclass
class LocalMivo:
    bin_dir: Path    # holds the `mivo` program, first on PATH
    registry: Path   # this test's registry directory (MIVO_REGISTRY)
    call_log: Path   # one JSON line per call (MIVO_CALL_LOG)
    temp_dir: Path   # the redirected system temporary area

    @classmethod
    def install(cls, tmp_path: Path, monkeypatch) -> "LocalMivo":
        registry = tmp_path / "registry"
        shutil.copytree(SAMPLE_REGISTRY, registry)
        temp_dir = tmp_path / "tmp"
        temp_dir.mkdir()
        call_log = tmp_path / "mivo.calls.jsonl"
        standins.prepend_path(monkeypatch, BIN_DIR)
        monkeypatch.setenv("MIVO_REGISTRY", str(registry))
        monkeypatch.setenv("MIVO_CALL_LOG", str(call_log))
        monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
        monkeypatch.setenv("MIVO_CONTAINER", "never")
        monkeypatch.setattr(tempfile, "tempdir", str(temp_dir))
        return cls(BIN_DIR, registry, call_log, temp_dir)

    def calls(self) -> list[dict]:
        """Every call so far, oldest first: {"argv": [...], "cwd": ..., "env": {...}}."""
        if not self.call_log.exists():
            return []
        return [json.loads(line) for line in self.call_log.read_text().splitlines() if line]

    def argvs(self) -> list[list[str]]:
        """The words of every call so far (without the program name)."""
        return [call["argv"] for call in self.calls()]

    def add_tool(self, name: str, *, image: str | None = None, entrypoint: str | None = None,
                 args_template: str = "", gpu_required: bool = False,
                 description: str = "", tier: str = "community") -> Path:
        """Describe one more tool in this test's registry; returns its file."""
        fields = {
            "image": image or f"docker.io/plexaro-samples/{name}:1.0",
            "entrypoint": entrypoint or name,
            "args_template": args_template,
            "gpu_required": gpu_required,
            "description": description,
            "tier": tier,
        }
        lines = [f"{key} = {json.dumps(value)}" for key, value in fields.items()]
        path = self.registry / f"{name}.toml"
        path.write_text("\n".join(lines) + "\n")
        return path
