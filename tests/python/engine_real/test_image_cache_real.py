"""Image archives on the pipeline volume, saved and loaded by the real engine."""
import json
import tarfile

import pytest

from plexaro.helpers import mivo

LOGGER = "plexaro.helpers.mivo"
IMAGE = "plexaro-test/cached:1"


@pytest.fixture
def volume(engine, machine, tmp_path, monkeypatch):
    vol = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    return vol


@pytest.fixture
def own_image(engine, tmp_path):
    """An image of its own (a marker file makes its id unique), removed after."""
    engine.unique_image(IMAGE, f"made for {tmp_path.name}")
    yield IMAGE
    engine.remove_images(IMAGE)


def lock(vol, tool, reference):
    home = vol / ".mivo_home"
    home.mkdir(parents=True, exist_ok=True)
    (home / "mivo.lock").write_text(
        f'[tools.{tool}]\nimage_reference = "{reference}"\nimage_digest = "sha256:0"\n')


def test_save_rmi_load_round_trip(engine, volume, own_image, records):
    lock(volume, "cached", own_image)
    archive = volume / ".image_cache" / "cached.tar"
    m = mivo.MIVO()

    assert m._save_image_to_cache("cached") is None
    assert archive.is_file()
    assert sorted(p.name for p in archive.parent.iterdir()) == ["cached.tar"]  # no .tmp left
    with tarfile.open(archive) as tar:
        manifest = json.load(tar.extractfile("manifest.json"))
    assert manifest[0]["RepoTags"] == [own_image]
    assert ("INFO", "Caching image %s for %s -> %s",
            (own_image, "cached", str(archive))) in records(LOGGER)

    engine.docker("rmi", own_image)
    assert not engine.has_image(own_image)

    assert m._load_cached_image("cached") is True
    assert engine.run(own_image, "cat", "/marker").stdout.decode().startswith("made for")

    # An archive that exists is never refreshed.
    before = archive.stat()
    m._save_image_to_cache("cached")
    after = archive.stat()
    assert (after.st_mtime_ns, after.st_ino) == (before.st_mtime_ns, before.st_ino)


def test_truncated_archive_is_refused_with_the_engines_message(engine, volume, own_image,
                                                              records):
    lock(volume, "cached", own_image)
    m = mivo.MIVO()
    m._save_image_to_cache("cached")
    whole = (volume / ".image_cache" / "cached.tar").read_bytes()
    broken = volume / ".image_cache" / "broken.tar"
    broken.write_bytes(whole[: len(whole) // 2])
    engine.docker("rmi", own_image)

    assert m._load_cached_image("broken") is False
    level, template, args = records(LOGGER)[-1]
    assert (level, template, args[0]) == (
        "WARNING", "docker load for %s failed (will re-pull): %s", "broken")
    assert "unexpected EOF" in args[1]
    assert args[1] == args[1].strip()
    assert not engine.has_image(own_image)
    assert broken.exists()  # kept for the next attempt to decide


def test_save_of_an_image_the_engine_lacks_leaves_nothing(engine, volume, records):
    lock(volume, "ghost", "plexaro-test/never-built:1")
    mivo.MIVO()._save_image_to_cache("ghost")
    cache = volume / ".image_cache"
    assert list(cache.iterdir()) == []
    level, template, args = records(LOGGER)[-1]
    assert (level, template, args[0]) == ("WARNING", "docker save for %s failed: %s", "ghost")
    assert "does not exist" in args[1]


def test_add_saves_the_locked_image_and_restores_it_on_a_fresh_engine(
        engine, local_mivo, volume, own_image, records, monkeypatch):
    """The road of a cloud worker: the first add saves the tool's image; a
    later worker whose engine lost it gets it back from the volume before
    the tool manager looks for it."""
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(volume))  # local_mivo unsets it
    local_mivo.add_tool("cached", image=own_image, entrypoint="cat")
    m = mivo.MIVO()
    m.add("cached")
    archive = volume / ".image_cache" / "cached.tar"
    assert archive.is_file()

    engine.docker("rmi", own_image)
    mivo.MIVO().add("cached")
    assert ("INFO", "Restoring cached image for %s from %s",
            ("cached", str(archive))) in records(LOGGER)
    assert engine.has_image(own_image)
