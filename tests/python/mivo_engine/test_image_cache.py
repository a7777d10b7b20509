"""Image archives on the pipeline volume, with a stand-in engine."""
import os
import re
import threading
import time

import pytest

from plexaro.helpers import mivo
from support.standins import calls, write_program

LOGGER = "plexaro.helpers.mivo"

# The engine: "load" exits LOAD_STATUS; "save" writes part of the archive,
# then exits SAVE_STATUS (complete only on 0). SAVE_WRITES=empty: save leaves
# an empty file; SAVE_WRITES=none: it removes the file it was given.
ENGINE = """
status = {"load": "LOAD_STATUS", "save": "SAVE_STATUS"}.get(sys.argv[1])
code = int(os.environ.get(status, "0")) if status else 0
writes = os.environ.get("SAVE_WRITES", "")
if sys.argv[1] == "save" and writes == "none":
    if os.path.exists(sys.argv[4]):
        os.unlink(sys.argv[4])
elif sys.argv[1] == "save":
    with open(sys.argv[4], "w") as out:
        if writes != "empty":
            out.write("archive of " + sys.argv[2] + ("" if code else " complete"))
if code:
    print("  engine says no \\n", file=sys.stderr)
sys.exit(code)
"""

LOCK = """
[tools.bwa]
image_reference = "docker.io/biocontainers/bwa:0.7"
image_digest = "sha256:abc"

[tools.samtools]
image_digest = "sha256:def"
"""


@pytest.fixture
def volume(tmp_path, monkeypatch, machine, stand_in_dir):
    vol = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    write_program(stand_in_dir, "docker", ENGINE)
    return vol


def engine_argvs(stand_in_dir):
    return [c["argv"] for c in calls(stand_in_dir, "docker")]


def write_lock(vol, text=LOCK):
    home = vol / ".mivo_home"
    home.mkdir(parents=True, exist_ok=True)
    (home / "mivo.lock").write_text(text)


@pytest.mark.parametrize("tool, relative", [
    ("bwa", "bwa.tar"), ("org/bwa", "org/bwa.tar"), ("", ".tar"),
    ("../bwa", None), ("/etc/bwa", None), ("a/../../b", None),
])
def test_archive_naming(volume, tool, relative):
    expected = str(volume / ".image_cache" / relative) if relative else ""
    assert mivo.MIVO()._cache_tar(tool) == expected


def test_inactive_without_volume(monkeypatch, stand_in_dir, records, machine):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    write_program(stand_in_dir, "docker", ENGINE)
    m = mivo.MIVO()
    assert m._cache_tar("bwa") == ""
    assert m._load_cached_image("bwa") is False
    assert m._save_image_to_cache("bwa") is None
    assert m._locked_image_ref("bwa") == (None, None)
    assert engine_argvs(stand_in_dir) == [] and records(LOGGER) == []


@pytest.mark.parametrize("method", ["_cache_tar", "_load_cached_image", "_save_image_to_cache",
                                    "_locked_image_ref"])
@pytest.mark.parametrize("bad", [None, 3, b"bwa"])
def test_tool_must_be_a_str(volume, method, bad):
    with pytest.raises(TypeError) as err:
        getattr(mivo.MIVO(), method)(bad)
    assert str(err.value) == (
        f"Argument 'tool' has incorrect type (expected str, got {type(bad).__name__})")


def test_load_restores_an_archive(volume, stand_in_dir, records):
    archive = volume / ".image_cache" / "bwa.tar"
    archive.parent.mkdir(parents=True)
    archive.write_text("tar")
    assert mivo.MIVO()._load_cached_image("bwa") is True
    assert engine_argvs(stand_in_dir) == [["load", "-i", str(archive)]]
    assert records(LOGGER) == [
        ("INFO", "Restoring cached image for %s from %s", ("bwa", str(archive)))]


def test_load_without_archive_does_nothing(volume, stand_in_dir):
    assert mivo.MIVO()._load_cached_image("bwa") is False
    assert engine_argvs(stand_in_dir) == []


def test_rejected_archive_means_re_pull(volume, stand_in_dir, records, monkeypatch):
    monkeypatch.setenv("LOAD_STATUS", "1")
    archive = volume / ".image_cache" / "bwa.tar"
    archive.parent.mkdir(parents=True)
    archive.write_text("tar")
    assert mivo.MIVO()._load_cached_image("bwa") is False
    assert records(LOGGER)[-1] == (
        "WARNING", "docker load for %s failed (will re-pull): %s", ("bwa", "engine says no"))
    assert archive.exists()


def test_load_error_is_logged(volume, stand_in_dir, records, monkeypatch):
    archive = volume / ".image_cache" / "bwa.tar"
    archive.parent.mkdir(parents=True)
    archive.write_text("tar")
    m = mivo.MIVO()
    m._real_docker = lambda: str(volume / "no-such-engine")
    assert m._load_cached_image("bwa") is False
    level, template, args = records(LOGGER)[-1]
    assert (level, template, args[0]) == (
        "WARNING", "docker load for %s errored (will re-pull): %s", "bwa")
    assert "no-such-engine" in args[1]


def test_save_writes_the_locked_image(volume, stand_in_dir, records):
    write_lock(volume)
    archive = volume / ".image_cache" / "bwa.tar"
    mivo.MIVO()._save_image_to_cache("bwa")
    [argv] = engine_argvs(stand_in_dir)
    assert argv[:3] == ["save", "docker.io/biocontainers/bwa:0.7", "-o"]
    assert re.fullmatch(re.escape(str(archive.parent)) + r"/\.bwa\.tar\.[0-9a-f]{12}\.tmp", argv[3])
    assert archive.read_text() == "archive of docker.io/biocontainers/bwa:0.7 complete"
    assert sorted(p.name for p in archive.parent.iterdir()) == ["bwa.tar"]
    assert records(LOGGER) == [("INFO", "Caching image %s for %s -> %s",
                                ("docker.io/biocontainers/bwa:0.7", "bwa", str(archive)))]


def test_save_into_a_subdirectory(volume, stand_in_dir):
    write_lock(volume, '[tools."org/bwa"]\nimage_reference = "r:1"\n')
    mivo.MIVO()._save_image_to_cache("org/bwa")
    assert (volume / ".image_cache" / "org" / "bwa.tar").exists()


def test_existing_archive_is_never_refreshed(volume, stand_in_dir):
    write_lock(volume)
    archive = volume / ".image_cache" / "bwa.tar"
    archive.parent.mkdir(parents=True)
    archive.write_text("older image")
    mivo.MIVO()._save_image_to_cache("bwa")
    assert archive.read_text() == "older image"
    assert engine_argvs(stand_in_dir) == []


@pytest.mark.parametrize("tool", ["samtools", "unknown"])
def test_no_locked_reference_skips(volume, stand_in_dir, records, tool):
    write_lock(volume)
    mivo.MIVO()._save_image_to_cache(tool)
    assert records(LOGGER) == [("DEBUG", "No locked image ref for %s; skipping save", (tool,))]
    assert engine_argvs(stand_in_dir) == []
    assert not (volume / ".image_cache").exists()


@pytest.mark.parametrize("status, writes, said", [
    ("1", "", "engine says no"),
    # A save that exits 0 without an archive failed all the same.
    ("0", "empty", "no archive written"),
    ("0", "none", "no archive written"),
])
def test_failed_save_leaves_nothing(volume, stand_in_dir, records, monkeypatch, status, writes, said):
    monkeypatch.setenv("SAVE_STATUS", status)
    monkeypatch.setenv("SAVE_WRITES", writes)
    write_lock(volume)
    mivo.MIVO()._save_image_to_cache("bwa")
    assert list((volume / ".image_cache").iterdir()) == []
    assert records(LOGGER)[-1] == ("WARNING", "docker save for %s failed: %s", ("bwa", said))
    assert mivo.MIVO()._load_cached_image("bwa") is False


def test_save_error_is_logged_and_cleaned(volume, stand_in_dir, records):
    write_lock(volume)
    m = mivo.MIVO()
    m._real_docker = lambda: str(volume / "no-such-engine")
    m._save_image_to_cache("bwa")
    level, template, args = records(LOGGER)[-1]
    assert (level, template, args[0]) == ("WARNING", "docker save for %s errored: %s", "bwa")
    assert list((volume / ".image_cache").iterdir()) == []


@pytest.mark.parametrize("text, expected", [
    (LOCK, ("docker.io/biocontainers/bwa:0.7", "sha256:abc")),
    ('[tools.bwa]\nimage_digest = "sha256:abc"\n', (None, "sha256:abc")),
    ("[tools]\n", (None, None)),
    ("", (None, None)),
    ("tools = 3\n", (None, None)),
    ('[tools]\nbwa = "x"\n', (None, None)),
    ("[tools.bwa\nimage_reference = 'r'\n", (None, None)),   # not TOML
    (b"\xff\xfe", (None, None)),                              # not text
])
def test_locked_image_ref(volume, text, expected):
    home = volume / ".mivo_home"
    home.mkdir(parents=True)
    lock = home / "mivo.lock"
    lock.write_bytes(text if isinstance(text, bytes) else text.encode())
    assert mivo.MIVO()._locked_image_ref("bwa") == expected


def test_locked_image_ref_without_lockfile(volume):
    assert mivo.MIVO()._locked_image_ref("bwa") == (None, None)


# An engine that writes its archive in place, slowly, in three parts; only
# the last part makes it whole.
SLOW_ENGINE = """
import time
if sys.argv[1] == "save":
    with open(sys.argv[4], "w") as out:
        for part in ("first part of ", sys.argv[2], " complete"):
            out.write(part)
            out.flush()
            time.sleep(0.05)
"""


def test_concurrent_saves_of_one_tool_never_show_a_partial_archive(volume, stand_in_dir):
    write_program(stand_in_dir, "docker", SLOW_ENGINE)
    write_lock(volume)
    archive = volume / ".image_cache" / "bwa.tar"
    whole = "first part of docker.io/biocontainers/bwa:0.7 complete"
    seen, done = set(), threading.Event()

    def read_while_saving():
        while not done.is_set():
            try:
                seen.add(archive.read_text())
            except FileNotFoundError:
                pass

    reader = threading.Thread(target=read_while_saving)
    reader.start()
    # Every worker looks before any has finished, so all of them save.
    savers = [threading.Thread(target=mivo.MIVO()._save_image_to_cache, args=("bwa",))
              for _ in range(4)]
    for saver in savers:
        saver.start()
    for saver in savers:
        saver.join(60)
    done.set()
    reader.join(60)
    assert len(engine_argvs(stand_in_dir)) >= 2
    assert seen <= {whole} and archive.read_text() == whole
    assert sorted(p.name for p in archive.parent.iterdir()) == ["bwa.tar"]


def test_a_save_removes_temporaries_abandoned_more_than_an_hour_ago(volume, stand_in_dir):
    write_lock(volume)
    cache = volume / ".image_cache"
    cache.mkdir()
    two_hours_ago = time.time() - 7200
    names = {".bwa.tar.0123456789ab.tmp": True, "bwa.tar.tmp": True,  # killed saves, old
             ".bwa.tar.00000000cafe.tmp": False,                      # a save still writing
             ".samtools.tar.0123456789ab.tmp": False}                 # another tool's
    for name, old in names.items():
        (cache / name).write_text("part")
        if old or name.startswith(".samtools"):
            os.utime(cache / name, (two_hours_ago, two_hours_ago))
    mivo.MIVO()._save_image_to_cache("bwa")
    assert sorted(p.name for p in cache.iterdir()) == sorted(
        ["bwa.tar"] + [name for name, old in names.items() if not old])
