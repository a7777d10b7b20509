import logging
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
if str(REPO / "tests") not in sys.path:
    sys.path.insert(0, str(REPO / "tests"))
# The host application's own modules that the layer imports by name
# (plexaro.node, plexaro.helpers.paths): small stand-ins, beside the
# installed or built-in-place modules in the plexaro namespace.
HOST_STAND_INS = REPO / "tests" / "support" / "host"
if str(HOST_STAND_INS) not in sys.path:
    sys.path.append(str(HOST_STAND_INS))

from support import standins  # noqa: E402


@pytest.fixture
def repo_root() -> Path:
    return REPO


@pytest.fixture
def stand_in_dir(tmp_path, monkeypatch) -> Path:
    """A directory of stand-in programs, first on PATH for this test."""
    directory = tmp_path / "stand-ins"
    directory.mkdir()
    standins.prepend_path(monkeypatch, directory)
    return directory


@pytest.fixture
def records(caplog):
    """Log records of one plexaro.helpers logger as (level, template, args)."""
    caplog.set_level(logging.DEBUG)

    def of(logger_name: str):
        return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == logger_name]

    return of


@pytest.fixture
def local_mivo(tmp_path, monkeypatch):
    """The repository's local `mivo` (tools/bin/mivo), first on PATH.

    MIVO_REGISTRY names a fresh copy of the sample registry (tests/support/registry:
    tools "echoer" (echo), "copier" (cp) and "gpu-folder" (true, GPU)); every call
    is logged, PIPELINE_VOLUME_PATH is unset and tempfile.gettempdir() points into
    tmp_path. Returns a support.local_mivo.LocalMivo: `.calls()`, `.argvs()`,
    `.add_tool(name, ...)`, `.registry`, `.temp_dir`.
    """
    from support.local_mivo import LocalMivo

    return LocalMivo.install(tmp_path, monkeypatch)


@pytest.fixture
def vendor_stub(monkeypatch):
    """A running loopback stand-in for the three LLM vendors' HTTP APIs.

    The openai, anthropic and google-genai SDKs are pointed at it through
    their base-URL environment variables and every vendor key variable is
    unset; see tests/support/vendor_stub.py for scripting the replies.
    """
    from support.vendor_stub import VendorStub

    with VendorStub() as stub:
        stub.apply(monkeypatch)
        yield stub
