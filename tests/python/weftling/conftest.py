import pytest


class ScriptedLLM:
    """Stand-in LLM client: answers from a script and keeps every prompt."""

    def __init__(self, *replies):
        self.replies = list(replies)
        self.prompts = []

    def call(self, prompt):
        self.prompts.append(prompt)
        if not self.replies:
            raise AssertionError("unexpected LLM call")
        reply = self.replies.pop(0)
        return reply(prompt) if callable(reply) else reply


@pytest.fixture
def weftling():
    from plexaro.helpers import weftling
    return weftling


@pytest.fixture
def connectors_file(tmp_path, monkeypatch):
    path = tmp_path / "pipeline" / "connectors.py"
    monkeypatch.setenv("PLEXARO_CONNECTORS_PATH", str(path))
    return path


@pytest.fixture
def make(weftling, connectors_file, monkeypatch):
    """make(*replies) -> a Weftling whose LLM answers with `replies`."""
    monkeypatch.setattr(weftling, "_default_llm", lambda: ScriptedLLM())

    def build(*replies):
        w = weftling.Weftling()
        w.llm = ScriptedLLM(*replies)
        return w

    return build


def child_env(**extra):
    """Environment of a child interpreter that imports the same layer build
    and the same host stand-ins as this test process."""
    import os
    from pathlib import Path

    from plexaro.helpers import weftling as built

    package_root = Path(built.__file__).resolve().parents[2]
    stand_ins = Path(__file__).resolve().parents[2] / "support" / "host"
    path = [str(package_root), str(stand_ins), os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in path if p), **extra}
