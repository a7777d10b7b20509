"""Keeping mivo.lock and mivo.toml to the tools this object added."""
import sys
import tomllib

import pytest

from plexaro.helpers import mivo

LOGGER = "plexaro.helpers.mivo"

LOCK = """\
version = 1

[tools.A]
image_reference = "a:1"
image_digest = "sha256:a"

[tools.B]
image_reference = "b:1"

[tools.C]
image_reference = "c:1"

[meta]
created = 2024-05-01T10:00:00Z
"""

MANIFEST = """\
[project]
backend = "docker"

[tools.A]
image = "a:1"

[tools.C]
image = "c:1"
"""


@pytest.fixture
def home(tmp_path, monkeypatch):
    vol = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    directory = vol / ".mivo_home"
    directory.mkdir(parents=True)
    return directory


def session(*tools):
    m = mivo.MIVO()
    m._session_tools.extend(tools)
    return m


def read(path):
    return tomllib.loads(path.read_text())


@pytest.mark.parametrize("fallback", [False, True], ids=["tomli_w", "built-in"])
def test_keeps_only_session_tools(home, records, monkeypatch, fallback):
    if fallback:
        monkeypatch.setitem(sys.modules, "tomli_w", None)
    (home / "mivo.lock").write_text(LOCK)
    (home / "mivo.toml").write_text(MANIFEST)
    session("A")._prune_lockfile_to_session()

    lock = read(home / "mivo.lock")
    expected = tomllib.loads(LOCK)
    del expected["tools"]["B"], expected["tools"]["C"]
    assert lock == expected  # other keys and tables, the date included, kept as read
    assert read(home / "mivo.toml") == {"project": {"backend": "docker"},
                                        "tools": {"A": {"image": "a:1"}}}
    assert [r for r in records(LOGGER) if r[0] != "DEBUG"] == [
        ("INFO", "Pruned stale tools from mivo.lock: %s", (["B", "C"],)),
        ("INFO", "Pruned stale tools from mivo.toml: %s", (["C"],)),
    ]


def test_nothing_stale_leaves_files_untouched(home, records):
    (home / "mivo.lock").write_text(LOCK)
    (home / "mivo.toml").write_text("# no tools table\n[project]\nx = 1\n")
    before = {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in home.iterdir()}
    session("C", "B", "A", "Z")._prune_lockfile_to_session()
    # The only new file is the (empty) lock the prune held.
    after = {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in home.iterdir()}
    assert after.pop(".plexaro-project.lock")[0] == b""
    assert after == before
    assert records(LOGGER) == []


@pytest.mark.parametrize("tools, volume", [((), True), (("A",), False)])
def test_inactive_without_session_or_home(home, monkeypatch, tools, volume):
    (home / "mivo.lock").write_text(LOCK)
    if not volume:
        monkeypatch.delenv("PIPELINE_VOLUME_PATH")
    session(*tools)._prune_lockfile_to_session()
    assert (home / "mivo.lock").read_text() == LOCK


def test_damaged_manifest_is_deleted_after_the_lockfile_is_pruned(home, records):
    (home / "mivo.lock").write_text(LOCK)
    (home / "mivo.toml").write_text("[tools.A\nimage = 'a'\n")
    session("A")._prune_lockfile_to_session()
    assert set(read(home / "mivo.lock")["tools"]) == {"A"}
    assert not (home / "mivo.toml").exists()
    level, template, args = records(LOGGER)[-1]
    assert (level, template) == (
        "WARNING", "Could not prune mivo.toml (%s); deleting it for a clean sync")
    assert isinstance(args[0], str) and "line 1" in args[0]


@pytest.mark.parametrize("text", ['tools = "A B"\n', "tools = [1, 2]\n", b"\xff\xfe not text"])
def test_unexpected_shape_is_deleted(home, records, text):
    lock = home / "mivo.lock"
    lock.write_bytes(text if isinstance(text, bytes) else text.encode())
    session("A")._prune_lockfile_to_session()
    assert not lock.exists()
    assert records(LOGGER)[-1][:2] == (
        "WARNING", "Could not prune mivo.lock (%s); deleting it for a clean sync")


def test_write_failure_is_reported_and_file_deleted(home, records):
    (home / "mivo.lock").write_text(LOCK)
    m = session("A")

    def failing_write(path, data):
        raise OSError("disk full")

    m._write_toml = failing_write
    m._prune_lockfile_to_session()
    assert not (home / "mivo.lock").exists()
    assert records(LOGGER)[-1] == (
        "WARNING", "Could not prune mivo.lock (%s); deleting it for a clean sync", ("disk full",))


def test_without_a_toml_reader_nothing_changes(home, records, monkeypatch):
    monkeypatch.setitem(sys.modules, "tomllib", None)
    monkeypatch.setitem(sys.modules, "tomli", None)
    (home / "mivo.lock").write_text(LOCK)
    session("A")._prune_lockfile_to_session()
    assert (home / "mivo.lock").read_text() == LOCK
    assert records(LOGGER) == [("DEBUG", "No TOML reader; skipping lockfile prune", ())]


def test_missing_files_are_skipped(home, records):
    (home / "mivo.toml").write_text(MANIFEST)
    session("A")._prune_lockfile_to_session()
    assert not (home / "mivo.lock").exists()
    assert set(read(home / "mivo.toml")["tools"]) == {"A"}


def test_temporaries_of_a_killed_rewrite_are_removed_by_the_next_prune(home):
    (home / "mivo.lock").write_text(LOCK)
    left = [".mivo.lock.0123456789ab.tmp", ".mivo.toml.ba9876543210.tmp"]
    kept = ["mivo.lock.tmp", ".mivo.lock.tmp", ".other.0123456789ab.tmp"]
    for name in left + kept:
        (home / name).write_text("half a document")
    session("A")._prune_lockfile_to_session()
    assert sorted(p.name for p in home.iterdir()) == sorted(
        kept + ["mivo.lock", ".plexaro-project.lock"])
