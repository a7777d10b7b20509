"""add, remove, sync and lock: the words mivo receives and the image cache
around "add"."""
import re
import pytest

from plexaro.helpers import mivo
from support.standins import calls, write_program

LOGGER = "plexaro.helpers.mivo"


@pytest.mark.parametrize("backend, registry, tools, words", [
    (None, None, ("bwa",), ["add", "bwa"]),
    ("docker", "https://r.example/reg.git", ("bwa", "samtools"),
     ["add", "bwa", "samtools", "--backend", "docker", "--registry", "https://r.example/reg.git"]),
    ("", "", ("bwa",), ["add", "bwa"]),
    ("apptainer", None, (), ["add", "--backend", "apptainer"]),
    (None, None, ("bwa", "bwa"), ["add", "bwa", "bwa"]),
])
def test_add_words(mivo_cmd, backend, registry, tools, words):
    m = mivo.MIVO(backend, registry)
    assert m.add(*tools) is None
    assert mivo_cmd.argvs() == [words]
    assert m._session_tools == list(dict.fromkeys(tools))


def test_add_keeps_first_request_order(mivo_cmd):
    m = mivo.MIVO()
    m.add("b", "a")
    m.add("a", "c", "b")
    assert m._session_tools == ["b", "a", "c"]


def test_add_brackets_the_install_with_the_cache(mivo_cmd):
    m = mivo.MIVO()
    events = []
    m._load_cached_image = lambda tool: events.append(("load", tool)) or True
    m._save_image_to_cache = lambda tool: events.append(("save", tool))
    m._run = lambda words: events.append(("run", list(words)))
    m.add("x", "y", "x")
    assert events == [("load", "x"), ("load", "y"), ("load", "x"),
                      ("run", ["add", "x", "y", "x"]),
                      ("save", "x"), ("save", "y"), ("save", "x")]


def test_add_without_tools_touches_no_cache(mivo_cmd):
    m = mivo.MIVO()
    m._load_cached_image = m._save_image_to_cache = lambda tool: pytest.fail("cache used")
    m.add()
    assert mivo_cmd.argvs() == [["add"]]


def test_failed_add_restores_but_saves_nothing(mivo_cmd, monkeypatch):
    monkeypatch.setenv("MIVO_STATUS", "3")
    m = mivo.MIVO()
    events = []
    m._load_cached_image = lambda tool: events.append(("load", tool))
    m._save_image_to_cache = lambda tool: events.append(("save", tool))
    with pytest.raises(RuntimeError, match=r"^mivo add bwa failed \(exit 3\)"):
        m.add("bwa")
    assert events == [("load", "bwa")]
    assert m._session_tools == ["bwa"]


@pytest.mark.parametrize("bad", [3, None, ["bwa"]])
def test_add_rejects_non_str_tools_before_anything(mivo_cmd, bad):
    m = mivo.MIVO()
    with pytest.raises(TypeError) as err:
        m.add("bwa", bad)
    assert str(err.value) == (
        f"Argument 'tools' has incorrect type (expected str, got {type(bad).__name__})")
    assert m._session_tools == [] and mivo_cmd.argvs() == []


def test_add_takes_no_keywords(mivo_cmd):
    with pytest.raises(TypeError):
        mivo.MIVO().add("bwa", backend="docker")
    assert mivo_cmd.argvs() == []


def test_remove(mivo_cmd):
    m = mivo.MIVO()
    m.add("bwa")
    assert m.remove("bwa") is None
    assert mivo_cmd.argvs()[-1] == ["remove", "bwa"]
    assert m._session_tools == ["bwa"]
    with pytest.raises(TypeError, match=r"^Argument 'tool' has incorrect type \(expected str, got int\)$"):
        m.remove(1)


@pytest.mark.parametrize("backend, kwargs, words", [
    (None, {}, ["sync"]),
    ("docker", {}, ["sync", "--backend", "docker"]),
    ("docker", {"frozen": 1}, ["sync", "--backend", "docker", "--frozen"]),
    (None, {"frozen": "yes"}, ["sync", "--frozen"]),
    (None, {"frozen": []}, ["sync"]),
])
def test_sync_words(mivo_cmd, backend, kwargs, words):
    m = mivo.MIVO(backend, "https://r.example/reg.git")
    assert m.sync(**kwargs) is None
    assert mivo_cmd.argvs() == [words]


@pytest.mark.parametrize("args, words", [
    ((), ["lock"]), ((True,), ["lock", "--check"]), ((0,), ["lock"]), (("x",), ["lock", "--check"]),
])
def test_lock_words(mivo_cmd, args, words):
    assert mivo.MIVO().lock(*args) is None
    assert mivo_cmd.argvs() == [words]


@pytest.mark.parametrize("call", [
    lambda m: m.remove("bwa"), lambda m: m.sync(), lambda m: m.lock(True)])
def test_failures_propagate(mivo_cmd, monkeypatch, call):
    monkeypatch.setenv("MIVO_STATUS", "2")
    with pytest.raises(RuntimeError, match=r"failed \(exit 2\)"):
        call(mivo.MIVO())


def test_sync_prunes_before_syncing(mivo_cmd, monkeypatch, tmp_path):
    vol = tmp_path / "vol"
    home = vol / ".mivo_home"
    home.mkdir(parents=True)
    (home / "mivo.lock").write_text('[tools.a]\nimage_reference = "a:1"\n\n'
                                    '[tools.b]\nimage_reference = "b:1"\n')
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    m = mivo.MIVO()
    m._session_tools.append("a")
    monkeypatch.setenv("MIVO_STATUS", "1")
    with pytest.raises(RuntimeError):
        m.sync()
    import tomllib
    seen = tomllib.loads(mivo_cmd.seen_at_sync()["mivo.lock"])
    assert seen == {"tools": {"a": {"image_reference": "a:1"}}}


# End to end with the repository's local mivo and a stand-in engine: the
# engine records whether the lockfile existed when it was called, which shows
# that loads come before "mivo add" and saves after it.
ENGINE = """
home = os.path.join(os.environ["PIPELINE_VOLUME_PATH"], ".mivo_home")
with open(os.path.join(os.path.dirname(sys.argv[0]), "lock-seen.txt"), "a") as out:
    out.write(str(os.path.exists(os.path.join(home, "mivo.lock"))) + "\\n")
if sys.argv[1] == "save":
    open(sys.argv[4], "w").write(sys.argv[2])
"""


def test_add_on_a_volume_with_the_local_mivo(local_mivo, stand_in_dir, tmp_path, monkeypatch,
                                             records):
    vol = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    monkeypatch.setattr(mivo, "_DOCKER_REAL_PATH", str(tmp_path / "no" / "docker.real"))
    write_program(stand_in_dir, "docker", ENGINE)
    cache = vol / ".image_cache"
    cache.mkdir(parents=True)
    (cache / "echoer.tar").write_text("cached echoer")

    import tomllib
    copier = tomllib.loads((local_mivo.registry / "copier.toml").read_text())["image"]

    m = mivo.MIVO()
    m.add("echoer", "copier")

    argvs = [c["argv"] for c in calls(stand_in_dir, "docker")]
    assert argvs[0] == ["load", "-i", str(cache / "echoer.tar")]
    assert argvs[1][:3] == ["save", copier, "-o"] and len(argvs) == 2
    # Saved through a temporary of its own beside the archive.
    assert re.fullmatch(re.escape(str(cache)) + r"/\.copier\.tar\.[0-9a-f]{12}\.tmp", argvs[1][3])
    assert (stand_in_dir / "lock-seen.txt").read_text().split() == ["False", "True"]
    assert (cache / "copier.tar").read_text() == copier
    assert (cache / "echoer.tar").read_text() == "cached echoer"
    assert local_mivo.argvs() == [["add", "echoer", "copier"]]
    assert m._session_tools == ["echoer", "copier"]
