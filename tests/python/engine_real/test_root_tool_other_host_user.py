"""A tool that runs as root in its container writes into the sandbox of a
host process that runs as another user (nobody): the run delivers, and the
sandbox is removed afterwards or what remains is reported."""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

import plexaro.helpers.mivo as mivo_module
from support.local_mivo import BIN_DIR

NOBODY = 65534
HOST_PYTHON = "/usr/bin/python3"  # outside root's home, usable by another user

# The host process: one MIVO.run, then what the host sees, as JSON.
HOST = r"""
import json, logging, os, sys
from plexaro.helpers.mivo import MIVO

seen = []
class Keep(logging.Handler):
    def emit(self, record):
        seen.append([record.levelname, record.msg, [str(a) for a in record.args]])
log = logging.getLogger("plexaro.helpers.mivo")
log.setLevel(logging.DEBUG)
log.addHandler(Keep())

manifest = {
    "entrypoint": "sh",
    "args_template": "-c 'mkdir -p deep/nested && echo inner > deep/nested/file "
                     "&& id -u > uid && echo top > {result}'",
    "outputs": {"result": {"type": "file"}},
}
try:
    result, error = MIVO().run("writer", manifest, {"data": sys.argv[1]}, sys.argv[2]), None
except Exception as caught:
    result, error = None, repr(caught)
print(json.dumps({"uid": os.getuid(), "result": result, "error": error, "records": seen}))
"""


@pytest.fixture(scope="module", params=["root"])
def outcome(shared_engine, request):
    """Runs the host process once as nobody, the tool as MIVO_CONTAINER_USER
    (the parameter); returns what it printed, the sandboxes left under its
    temporary directory and the output directory."""
    if not os.access(HOST_PYTHON, os.X_OK):
        pytest.skip(f"no {HOST_PYTHON} for a host process of another user")
    socket_path = shared_engine.host.removeprefix("unix://")
    shared = Path(tempfile.mkdtemp(prefix="plexaro-other-user-"))
    try:
        shared.chmod(0o755)
        package = shared / "pkg"
        shutil.copytree(Path(mivo_module.__file__).parents[1], package / "plexaro",
                        ignore=shutil.ignore_patterns("__pycache__"))
        bin_dir = shared / "bin"
        bin_dir.mkdir()
        shutil.copy(BIN_DIR / "mivo", bin_dir / "mivo")
        (bin_dir / "python3").symlink_to(HOST_PYTHON)
        (bin_dir / "docker").symlink_to(shared_engine.client)
        registry = shared / "registry"
        registry.mkdir()
        (registry / "writer.toml").write_text(
            f'image = "{shared_engine.busybox_image()}"\nentrypoint = "sh"\n')
        (shared / "host.py").write_text(HOST)
        data = shared / "data.txt"
        data.write_text("input\n")
        for private in ("tmp", "home", "out"):
            (shared / private).mkdir(mode=0o700)
            os.chown(shared / private, NOBODY, NOBODY)
        for path in [shared, *shared.rglob("*")]:
            if not path.is_symlink() and path.parent.name not in ("tmp", "home", "out"):
                path.chmod(path.stat().st_mode | 0o055 if path.is_dir() else
                           path.stat().st_mode | 0o044)

        env = {
            "PATH": str(bin_dir), "PYTHONPATH": str(package), "HOME": str(shared / "home"),
            "TMPDIR": str(shared / "tmp"), "DOCKER_HOST": shared_engine.host,
            "MIVO_REGISTRY": str(registry),
            # A host user who cannot reach the engine fails with the reason.
            "MIVO_CONTAINER": "always", "MIVO_CONTAINER_USER": request.param,
        }
        done = subprocess.run(
            [HOST_PYTHON, str(shared / "host.py"), str(data), str(shared / "out" / "run")],
            env=env, cwd=shared / "home", capture_output=True, text=True, timeout=300,
            user=NOBODY, group=NOBODY, extra_groups=[os.stat(socket_path).st_gid])
        assert done.returncode == 0, done.stderr
        seen = json.loads(done.stdout)
        root = shared / "tmp" / "plexaro_sandboxes"
        left = {}
        for sandbox in sorted(root.iterdir()) if root.exists() else []:
            left[str(sandbox)] = sorted(str(p.relative_to(sandbox)) for p in sandbox.rglob("*"))
        yield seen, left, shared / "out" / "run"
    finally:
        shutil.rmtree(shared, ignore_errors=True)


def test_the_run_delivers_what_root_wrote(outcome):
    seen, _, out = outcome
    assert seen["error"] is None
    assert seen["uid"] == NOBODY
    assert seen["result"] == {"result": str(out / "result")}
    assert (out / "result").read_text() == "top\n"
    # The tool ran as root in its container (not as the host's user).
    assert (out / "_extras" / "uid").read_text() == "0\n"
    assert (out / "_extras" / "deep" / "nested" / "file").read_text() == "inner\n"


def test_the_sandbox_is_removed_or_what_remains_is_reported(outcome):
    seen, left, _ = outcome
    for sandbox, remains in left.items():
        reported = [r for r in seen["records"]
                    if r[0] in ("WARNING", "ERROR") and any(sandbox in a for a in r[2])]
        assert reported, f"{sandbox} left unreported with {remains}"


@pytest.mark.parametrize("outcome", ["caller"], indirect=True)
def test_a_tool_run_as_the_caller_leaves_a_removable_sandbox(outcome):
    seen, left, out = outcome
    assert seen["error"] is None
    assert (out / "_extras" / "uid").read_text() == f"{NOBODY}\n"
    assert left == {}
    assert any(r[:2] == ["DEBUG", "Cleaned up sandbox: %s"] for r in seen["records"])
