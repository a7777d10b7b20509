"""A host's view of MIVO.run: the repository's local `mivo` on PATH, small
tool programs beside it (each records its argv and working directory), and
helpers for the input files, the sandboxes and the output directory."""
from __future__ import annotations

from pathlib import Path

import pytest

from plexaro.helpers.mivo import MIVO
from support import standins


class Step:
    def __init__(self, local_mivo, tools: Path, tmp_path: Path):
        self.local_mivo = local_mivo
        self.tools = tools
        self.inputs_dir = tmp_path / "inputs"
        self.inputs_dir.mkdir()
        self.out = tmp_path / "out"
        self.mivo = MIVO()

    # --- tools -----------------------------------------------------------
    def tool(self, name: str, body: str = "") -> None:
        """A tool program on PATH; `body` is Python run after the call is recorded."""
        standins.write_program(self.tools, name, body)

    def calls(self, name: str) -> list[dict]:
        return standins.calls(self.tools, name)

    def argv(self, name: str, call: int = -1) -> list[str]:
        return self.calls(name)[call]["argv"]

    # --- files -------------------------------------------------------------
    def file(self, rel: str, text: str = "data") -> str:
        path = self.inputs_dir / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        return str(path)

    def sandboxes(self) -> list[Path]:
        root = self.local_mivo.temp_dir / "plexaro_sandboxes"
        return sorted(root.iterdir()) if root.exists() else []

    def run(self, tool: str, manifest: dict, inputs: dict, output_dir: str | None = None):
        return self.mivo.run(tool, manifest, inputs, output_dir or str(self.out))


@pytest.fixture
def step(local_mivo, stand_in_dir, tmp_path, monkeypatch) -> Step:
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return Step(local_mivo, stand_in_dir, tmp_path)


@pytest.fixture
def fake_run(monkeypatch):
    """Replaces MIVO._run on the class: records each call and answers from a
    script of results (a CompletedProcess stdout text or an exception)."""
    import subprocess

    class Fake:
        def __init__(self):
            self.calls: list[tuple[list, dict]] = []
            self.script: list = []
            self.action = None  # called with the sandbox path on every call

        def __call__(self, mivo_self, cmd, **options):
            self.calls.append((list(cmd), options))
            if self.action:
                self.action(Path(options["cwd"]))
            answer = self.script.pop(0) if self.script else ""
            if isinstance(answer, BaseException):
                raise answer
            return subprocess.CompletedProcess(["mivo", *cmd], 0, answer, "")

    fake = Fake()
    monkeypatch.setattr(MIVO, "_run", lambda self, cmd, **kw: fake(self, cmd, **kw))
    return fake
