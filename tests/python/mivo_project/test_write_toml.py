"""_write_toml: through tomli_w when importable, else the built-in emitter."""
import datetime
import os
import stat
import sys
import tomllib

import pytest
from hypothesis import given, settings, strategies as st

from plexaro.helpers import mivo

write_toml = mivo.MIVO._write_toml


@pytest.fixture
def builtin(monkeypatch):
    """No tomli_w: the built-in emitter writes."""
    monkeypatch.setitem(sys.modules, "tomli_w", None)


@pytest.mark.parametrize("data, text", [
    ({}, ""),
    ({"a": 1, "b": 2.5, "c": True, "d": False}, "a = 1\nb = 2.5\nc = true\nd = false\n\n"),
    ({"tools": {"T": {"n": 7, "files": ["x.fa"]}}},
     '[tools]\n\n[tools.T]\nn = 7\nfiles = ["x.fa"]\n\n'),
    ({"K": {}}, "[K]\n\n"),
    ({"t": {"x": 1}, "s": "v"}, 's = "v"\n\n[t]\nx = 1\n\n'),
    ({"s": 'back\\slash "quoted"'}, 's = "back\\\\slash \\"quoted\\""\n\n'),
    ({"s": "line\nbreak\ttab\x00\x7f"}, 's = "line\\nbreak\\ttab\\u0000\\u007F"\n\n'),
    ({"tools": {"org/tool.x": {"a key": []}}}, '[tools]\n\n[tools."org/tool.x"]\n"a key" = []\n\n'),
    ({"l": [[1, 2], [], ["a"]]}, 'l = [[1, 2], [], ["a"]]\n\n'),
    ({"l": [{"k": "v", "n": {"m": 1}}, {}]}, 'l = [{ k = "v", n = { m = 1 } }, {}]\n\n'),
    ({"d": datetime.date(2024, 5, 1), "t": datetime.time(10, 30),
      "dt": datetime.datetime(2024, 5, 1, 10, 0, tzinfo=datetime.timezone.utc)},
     "d = 2024-05-01\nt = 10:30:00\ndt = 2024-05-01T10:00:00+00:00\n\n"),
    ({"none": None, 3: "int key", "tup": (1, 2)},
     'none = "None"\n3 = "int key"\ntup = "(1, 2)"\n\n'),
])
def test_builtin_text(builtin, tmp_path, data, text):
    path = tmp_path / "out.toml"
    assert write_toml(str(path), data) is None
    assert path.read_text() == text
    if "none" not in data:
        assert tomllib.loads(text) == data


def test_builtin_numbers_use_the_host_text(builtin, tmp_path):
    path = tmp_path / "n.toml"
    write_toml(str(path), {"big": 10**20, "small": 1e-7, "neg": -3, "inf": float("inf")})
    assert path.read_text() == "big = 100000000000000000000\nsmall = 1e-07\nneg = -3\ninf = inf\n\n"


def test_tomli_w_writes_when_present(tmp_path):
    import tomli_w

    data = {"tools": {"A": {"image_reference": "a:1", "n": [1, 2]}}, "version": 1}
    path = tmp_path / "mivo.lock"
    write_toml(str(path), data)
    assert path.read_text() == tomli_w.dumps(data)


@pytest.mark.parametrize("use_builtin", [False, True])
def test_replaces_in_one_step(tmp_path, monkeypatch, use_builtin):
    if use_builtin:
        monkeypatch.setitem(sys.modules, "tomli_w", None)
    path = tmp_path / "mivo.lock"
    path.write_text("old = 1\n")
    path.chmod(0o640)
    write_toml(str(path), {"new": 2})
    assert tomllib.loads(path.read_text()) == {"new": 2}
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert os.listdir(tmp_path) == ["mivo.lock"]


@pytest.mark.parametrize("use_builtin", [False, True])
def test_failed_write_keeps_the_old_file(tmp_path, monkeypatch, use_builtin):
    if use_builtin:
        monkeypatch.setitem(sys.modules, "tomli_w", None)
    path = tmp_path / "mivo.lock"
    path.write_text("old = 1\n")
    with pytest.raises((TypeError, UnicodeEncodeError)):
        # tomli_w rejects the object; the built-in emitter cannot encode the text.
        write_toml(str(path), {"bad": object() if not use_builtin else "\ud800"})
    assert path.read_text() == "old = 1\n"
    assert os.listdir(tmp_path) == ["mivo.lock"]


def test_self_containing_document_is_an_error(builtin, tmp_path):
    doc = {}
    doc["me"] = doc
    with pytest.raises(RecursionError):
        write_toml(str(tmp_path / "x.toml"), doc)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("use_builtin", [False, True])
def test_unwritable_path_raises_oserror(tmp_path, monkeypatch, use_builtin):
    if use_builtin:
        monkeypatch.setitem(sys.modules, "tomli_w", None)
    with pytest.raises(OSError):
        write_toml(str(tmp_path / "missing" / "x.toml"), {"a": 1})


@pytest.mark.parametrize("path, data, message", [
    (b"/tmp/x", {}, "Argument 'path' has incorrect type (expected str, got bytes)"),
    ("/tmp/x", [], "Argument 'data' has incorrect type (expected dict, got list)"),
    ("/tmp/x", None, "Argument 'data' has incorrect type (expected dict, got NoneType)"),
])
def test_argument_types(tmp_path, path, data, message):
    with pytest.raises(TypeError) as err:
        write_toml(path, data)
    assert str(err.value) == message


def test_reached_through_the_instance(tmp_path):
    path = tmp_path / "x.toml"
    mivo.MIVO()._write_toml(str(path), {"a": 1})
    assert tomllib.loads(path.read_text()) == {"a": 1}


# Whatever a lockfile holds comes back from the built-in emitter unchanged.
scalars = (st.booleans() | st.integers() | st.text()
           | st.floats(allow_nan=False) | st.dates()
           | st.datetimes(timezones=st.none() | st.just(datetime.timezone.utc)))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3)
                      | st.dictionaries(st.text(max_size=5), inner, max_size=3), max_leaves=12)
documents = st.dictionaries(st.text(max_size=8), values, max_size=5)


@settings(max_examples=60, deadline=None)
@given(documents)
def test_builtin_round_trip(tmp_path_factory, doc):
    path = tmp_path_factory.mktemp("rt") / "doc.toml"
    missing = object()
    saved = sys.modules.get("tomli_w", missing)
    sys.modules["tomli_w"] = None
    try:
        write_toml(str(path), doc)
    finally:
        if saved is missing:
            del sys.modules["tomli_w"]
        else:
            sys.modules["tomli_w"] = saved
    assert tomllib.loads(path.read_text(encoding="utf-8")) == doc
