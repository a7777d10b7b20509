import os
import re
import sys

import pytest
from hypothesis import given, settings, strategies as st

HEADER = "# Auto-generated connector functions\nimport os\nimport json\nimport glob\nimport tempfile\n"


@pytest.mark.parametrize("node_id, fragment", [
    ("autodock-vina", "autodock_vina"),
    ("pipe.fold", "fold"),
    ("a.b.c-d", "c_d"),
    ("a b", "a_b"),
    ("x.", ""),
    ("Ünïcödé_名前2", "Ünïcödé_名前2"),   # letters of any script are word characters
    ("١٢٣", "١٢٣"),                       # so are digits of any script
    ("a--b", "a__b"),                       # no collapsing
    ("9lives", "9lives"),
    ("", ""),
])
def test_ident(weftling, node_id, fragment):
    assert weftling._ident(node_id) == fragment


@settings(max_examples=200, deadline=None)
@given(st.text())
def test_ident_follows_the_hosts_word_characters(node_id):
    from plexaro.helpers import weftling
    assert weftling._ident(node_id) == re.sub(r"\W", "_", node_id.rsplit(".", 1)[-1])


@pytest.mark.parametrize("u, v, name", [
    ("autodock-vina", "pipe.fold", "edge_autodock_vina_to_fold"),
    ("pipe.fold", "autodock-vina", "edge_fold_to_autodock_vina"),
    ("x.", "y", "edge__to_y"),
    ("a b", "c", "edge_a_b_to_c"),
])
def test_edge_fn(weftling, u, v, name):
    assert weftling._edge_fn(u, v) == name


class Str(str):
    pass


@pytest.mark.parametrize("call, message", [
    (lambda w: w._ident(3), "Argument 'node_id' has incorrect type (expected str, got int)"),
    (lambda w: w._ident(Str("a")), "Argument 'node_id' has incorrect type (expected str, got Str)"),
    (lambda w: w._edge_fn(1, "b"), "Argument 'u_id' has incorrect type (expected str, got int)"),
    (lambda w: w._edge_fn("a", None), "Argument 'v_id' has incorrect type (expected str, got NoneType)"),
])
def test_names_reject_other_types(weftling, call, message):
    with pytest.raises(TypeError) as err:
        call(weftling)
    assert str(err.value) == message


def test_module_names(weftling):
    from plexaro.helpers import paths, promptel
    assert weftling.Promptel is promptel.Promptel
    assert weftling._get_connectors_path is paths.get_connectors_path
    assert weftling.logger.name == "plexaro.helpers.weftling"
    assert weftling.Weftling.__bases__ == (object,)


def test_connectors_path_is_asked_afresh(weftling, monkeypatch, tmp_path):
    answers = iter([str(tmp_path / "one.py"), None, str(tmp_path / "two.py")])
    monkeypatch.setattr(weftling, "_get_connectors_path", lambda: next(answers))
    assert weftling._connectors_path() == str(tmp_path / "one.py")
    assert weftling._connectors_path() is None
    assert weftling._connectors_path() == str(tmp_path / "two.py")


def test_connectors_path_must_be_a_string(weftling, monkeypatch, tmp_path):
    monkeypatch.setattr(weftling, "_get_connectors_path", lambda: tmp_path / "c.py")
    with pytest.raises(TypeError, match=r"^Expected str, got PosixPath$"):
        weftling._connectors_path()


def test_default_connectors_path(monkeypatch, tmp_path):
    from plexaro.helpers import paths
    monkeypatch.setenv("PLEXARO_CONNECTORS_PATH", str(tmp_path / "deep" / "c.py"))
    assert paths.get_connectors_path() == str(tmp_path / "deep" / "c.py")
    assert (tmp_path / "deep").is_dir()
    monkeypatch.setenv("PLEXARO_CONNECTORS_PATH", "")
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    private = tmp_path / f"plexaro-{os.getuid()}"
    assert paths.get_connectors_path() == str(private / "connectors.py")
    assert private.stat().st_mode & 0o777 == 0o700


def test_default_llm_comes_from_promptel_at_call_time(weftling, monkeypatch):
    from plexaro.helpers import promptel
    monkeypatch.setattr(promptel, "default_llm", lambda: "client")
    assert weftling._default_llm() == "client"


def test_construction_writes_the_header_and_uses_default_llm(weftling, connectors_file, monkeypatch):
    connectors_file.parent.mkdir()
    connectors_file.write_text(HEADER + "\ndef edge_a_to_b(output):\n    return {}\n")
    client = object()
    monkeypatch.setattr(weftling, "_default_llm", lambda: client)
    w = weftling.Weftling()
    assert connectors_file.read_text() == HEADER
    assert w.llm is client
    assert w.edgeConnectors == {} and w.get_edge_connectors() is w.edgeConnectors
    assert w._module is None
    assert type(w.fileLock) is type(__import__("threading").Lock())
    assert w.fileLock.acquire(blocking=False)
    w.fileLock.release()


def test_failed_client_leaves_the_file(weftling, connectors_file, monkeypatch):
    connectors_file.parent.mkdir()
    connectors_file.write_text("kept")

    def broken():
        raise RuntimeError("no vendor")

    monkeypatch.setattr(weftling, "_default_llm", broken)
    with pytest.raises(RuntimeError, match="no vendor"):
        weftling.Weftling()
    assert connectors_file.read_text() == "kept"


def test_set_llm_builds_promptel_by_keyword(make, weftling, monkeypatch):
    seen = []
    monkeypatch.setattr(weftling, "Promptel", lambda **kw: seen.append(kw) or "new")
    w = make()
    w.set_llm("openai", "gpt-x", "k")
    assert seen == [{"provider": "openai", "model_name": "gpt-x", "api_key": "k"}]
    assert w.llm == "new"


@pytest.mark.parametrize("args, name", [
    ((1, "m", "k"), "provider"), (("p", b"m", "k"), "model"), (("p", "m", None), "api_key")])
def test_set_llm_rejects_other_types(make, args, name):
    w = make()
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type"):
        w.set_llm(*args)


def test_set_llm_with_a_real_client(make):
    w = make()
    w.set_llm("OpenAI", "gpt-4o-mini", "sk-test")
    assert (w.llm.provider, w.llm.model_name) == ("openai", "gpt-4o-mini")
