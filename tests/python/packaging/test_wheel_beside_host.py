"""The wheel installed into an environment that already holds the plexaro
application: it adds its modules under plexaro/helpers and leaves every file
of the application as it was; the layer then uses the application's own
plexaro.node and plexaro.helpers.paths."""
import hashlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[3]
MODULES = ["condition", "fetchkin", "mivo", "promptel", "vantum", "weftling"]

# The application's own files, as its installation would leave them.
HOST_FILES = {
    "plexaro/__init__.py": '"""The plexaro application."""\nAPPLICATION = "plexaro"\n',
    "plexaro/node.py": textwrap.dedent('''\
        """The application's pipeline nodes."""
        class Node:
            def __init__(self, id, manifest=None, inNodes=None):
                self.id, self.manifest, self.inNodes = id, manifest or {}, list(inNodes or [])
        class InputNode(Node):
            def __init__(self, id, inputs=None, **kw):
                super().__init__(id, **kw)
                self.inputs = inputs or {}
        class GatherNode(Node):
            split_key = None
        '''),
    "plexaro/helpers/__init__.py": '"""The application\'s helpers."""\n',
    "plexaro/helpers/paths.py": textwrap.dedent('''\
        import os
        def get_connectors_path():
            return os.path.join(os.environ["HOST_STATE"], "connectors.py")
        '''),
}

CHECK = textwrap.dedent('''\
    import json, importlib, sys
    import plexaro
    found = {"application": getattr(plexaro, "APPLICATION", None)}
    for name in sys.argv[1:]:
        found[name] = importlib.import_module("plexaro.helpers." + name).__file__
    from plexaro.helpers import weftling
    import plexaro.helpers.paths, plexaro.node
    found["paths"] = weftling._get_connectors_path is plexaro.helpers.paths.get_connectors_path
    found["connectors"] = weftling._connectors_path()
    found["node"] = plexaro.node.__file__
    print(json.dumps(found))
    ''')


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("wheel")
    # Built from the checkout with the build tools already installed (no
    # downloads); the build directory is shared with scripts/install.
    done = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation",
         "--disable-pip-version-check", "-q", "-w", str(out), str(REPO)],
        capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    [built] = out.glob("plexaro_helpers-*.whl")
    return built


def make_environment(root: Path) -> tuple[Path, Path]:
    """A fresh virtual environment (system packages visible: the vendor
    libraries) with the application installed; returns (python, site-packages)."""
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
                    str(root)], check=True, timeout=300)
    python = root / "bin" / "python"
    site = Path(subprocess.run(
        [str(python), "-I", "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        capture_output=True, text=True, check=True, timeout=60).stdout.strip())
    for relative, text in HOST_FILES.items():
        (site / relative).parent.mkdir(parents=True, exist_ok=True)
        (site / relative).write_text(text)
    return python, site


def pip(python: Path, *words: str) -> None:
    done = subprocess.run([sys.executable, "-m", "pip", "--python", str(python),
                           "--disable-pip-version-check", *words],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]


def tree(directory: Path) -> set[str]:
    return {str(p.relative_to(directory)) for p in directory.rglob("*")
            if p.is_file() and "__pycache__" not in p.parts}


@pytest.mark.slow
def test_the_wheel_installs_beside_the_application(wheel, tmp_path):
    import zipfile

    shipped = {name for name in zipfile.ZipFile(wheel).namelist()
               if not name.startswith("plexaro_helpers-")}
    assert {name for name in shipped if not name.startswith("plexaro/helpers/")} == set()
    assert "plexaro/helpers/py.typed" in shipped
    assert not {"plexaro/__init__.py", "plexaro/node.py", "plexaro/helpers/__init__.py",
                "plexaro/helpers/paths.py"} & shipped

    python, site = make_environment(tmp_path / "env")
    before = {relative: digest(site / relative) for relative in HOST_FILES}
    # --ignore-installed: a copy installed in the system packages must not
    # stand in for this one.
    pip(python, "install", "--no-deps", "--no-index", "--ignore-installed", str(wheel))
    assert {relative: digest(site / relative) for relative in HOST_FILES} == before

    state = tmp_path / "state"
    state.mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    done = subprocess.run([str(python), "-I", "-c", CHECK, *MODULES], cwd=tmp_path,
                          env={**env, "HOST_STATE": str(state)},
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    import json
    found = json.loads(done.stdout)
    assert found.pop("application") == "plexaro"
    assert found.pop("paths") is True
    assert found.pop("connectors") == str(state / "connectors.py")
    assert found.pop("node") == str(site / "plexaro" / "node.py")
    for module in MODULES:
        assert Path(found[module]).parent == site / "plexaro" / "helpers", module

    # Uninstalling the layer takes only its own files.
    pip(python, "uninstall", "-y", "plexaro-helpers")
    assert {relative: digest(site / relative) for relative in HOST_FILES} == before
    assert tree(site / "plexaro") == {"__init__.py", "node.py", "helpers/__init__.py",
                                      "helpers/paths.py"}
