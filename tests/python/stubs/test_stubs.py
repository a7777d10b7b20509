"""The checked-in typed stubs: every name they declare exists, and they match the build."""
import ast
import importlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

import plexaro

REPO = Path(__file__).resolve().parents[3]
STUB_DIR = REPO / "python" / "plexaro" / "helpers"
MODULES = ["condition", "fetchkin", "mivo", "promptel", "vantum", "weftling"]
# What the host reaches in each module, underscore names included.
HOST_INTERFACE = {
    "condition": {"Condition", "_OPS"},
    "fetchkin": {"Fetchkin"},
    "mivo": {"MIVO", "_default_llm"},
    "promptel": {"Promptel", "default_llm"},
    "vantum": {"build_vantum", "_describe_dir"},
    "weftling": {"Weftling", "_ident", "_edge_fn", "_connectors_path", "_default_llm"},
}


def stubbed(module):
    """Top-level names of a stub -> the member names it declares for them (classes only)."""
    tree = ast.parse((STUB_DIR / f"{module}.pyi").read_text())
    names = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {item.name for item in node.body
                                if isinstance(item, ast.FunctionDef)}
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = set()
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = set()
        elif isinstance(node, ast.Assign):
            names.update({target.id: set() for target in node.targets})
        elif isinstance(node, ast.ImportFrom):  # re-exported: "import x as x", "import y as _y"
            names.update({alias.asname: set() for alias in node.names if alias.asname})
    return names


def test_marker_file_is_present():
    assert (STUB_DIR / "py.typed").is_file()


@pytest.mark.parametrize("module", MODULES)
def test_every_stubbed_name_imports(module):
    loaded = importlib.import_module(f"plexaro.helpers.{module}")
    names = stubbed(module)
    assert HOST_INTERFACE[module] <= set(names)
    for name, members in names.items():
        value = getattr(loaded, name)  # an AttributeError names the stale entry
        exec(f"from plexaro.helpers.{module} import {name}", {})
        for member in members:
            assert hasattr(value, member), f"{module}.{name}.{member}"


@pytest.mark.parametrize("module", MODULES)
def test_every_public_name_is_stubbed(module):
    loaded = importlib.import_module(f"plexaro.helpers.{module}")
    public = {name for name in vars(loaded) if not name.startswith("__")
              and getattr(vars(loaded)[name], "__module__", f"plexaro.helpers.{module}")
              == f"plexaro.helpers.{module}" and not isinstance(vars(loaded)[name], type(os))}
    assert public <= set(stubbed(module))


def test_checked_in_stubs_match_a_fresh_generation(tmp_path):
    pytest.importorskip("nanobind.stubgen")
    env = {**os.environ, "PYTHON": sys.executable,
           "PLEXARO_IMPORT_DIR": str(Path(plexaro.__file__).resolve().parents[1])}
    subprocess.run([str(REPO / "scripts" / "stubs"), str(tmp_path)], env=env, check=True,
                   capture_output=True, text=True, timeout=300)
    stale = [module for module in MODULES
             if (tmp_path / f"{module}.pyi").read_text() != (STUB_DIR / f"{module}.pyi").read_text()]
    assert stale == [], f"stubs out of date for {stale}: run scripts/stubs after building"
    assert (tmp_path / "py.typed").read_text() == ""
