"""MIVO construction, _base_args and the _run command runner, seen through a
stand-in `mivo` that records its argv, working directory and environment."""
import os
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from plexaro.helpers.mivo import MIVO
from support import standins

LOGGER = "plexaro.helpers.mivo"


@pytest.fixture
def mivo(stand_in_dir, tmp_path, monkeypatch):
    """A recording stand-in `mivo`; returns a writer for its body."""
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    monkeypatch.delenv("MIVO_REGISTRY", raising=False)
    for name in ("APPTAINER_CACHEDIR", "SINGULARITY_CACHEDIR"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "tmp"))
    (tmp_path / "tmp").mkdir()

    def write(body=""):
        standins.write_program(stand_in_dir, "mivo", body)

    write()
    write.calls = lambda: standins.calls(stand_in_dir, "mivo")
    return write


def gone(pid, within=3.0):
    """True once `pid` no longer runs (absent or a zombie)."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
        except FileNotFoundError:
            return True
        if state == "Z":
            return True
        time.sleep(0.05)
    return False


# --- construction -----------------------------------------------------------

def test_constructor_attributes_in_order_without_volume(monkeypatch):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    m = MIVO("docker", registry="/reg")
    assert list(vars(m).items()) == [("backend", "docker"), ("registry", "/reg"),
                                     ("_session_tools", []), ("_mivo_home", ""),
                                     ("_image_cache", "")]
    assert MIVO.__bases__ == (object,)
    assert MIVO()._session_tools is not m._session_tools


def test_constructor_on_a_volume_creates_nothing(monkeypatch, tmp_path):
    volume = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(volume))
    m = MIVO()
    assert (m.backend, m.registry) == (None, None)
    assert m._mivo_home == os.path.join(str(volume), ".mivo_home")
    assert m._image_cache == os.path.join(str(volume), ".image_cache")
    assert not volume.exists()
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", "")
    assert MIVO()._mivo_home == MIVO()._image_cache == ""


@pytest.mark.parametrize("backend, registry, words", [
    (None, None, []),
    ("", "", []),
    ("podman", None, ["--backend", "podman"]),
    (None, "R", ["--registry", "R"]),
    ("B", "R", ["--backend", "B", "--registry", "R"]),
])
def test_base_args(backend, registry, words):
    m = MIVO(backend, registry)
    assert m._base_args() == words
    m._base_args().append("x")
    assert m._base_args() == words


# --- words, directory, environment -----------------------------------------------

def test_run_words_log_and_record(mivo, records):
    cwd = os.getcwd()
    cmd = ["search", "two words"]
    result = MIVO()._run(cmd, cwd=cwd)
    assert isinstance(result, subprocess.CompletedProcess)
    assert (result.args, result.returncode, result.stdout, result.stderr) == (
        ["mivo", "search", "two words"], 0, "", "")
    assert mivo.calls()[0]["argv"] == ["search", "two words"]
    assert mivo.calls()[0]["cwd"] == cwd
    assert records(LOGGER) == [("DEBUG", "run cwd=%s cmd=%s", (cwd, cmd))]


def test_run_without_volume_uses_a_new_mivo_directory_per_call(mivo):
    MIVO()._run([])
    MIVO()._run(["list"])
    first, second = (Path(call["cwd"]) for call in mivo.calls())
    assert first != second
    for directory in (first, second):
        assert directory.parent == Path(tempfile.gettempdir())
        assert directory.name.startswith("mivo_") and directory.is_dir()
    env = mivo.calls()[0]["env"]
    assert env["APPTAINER_NO_USERNS"] == env["APPTAINER_ROOTLESS"] == "1"
    assert "APPTAINER_CACHEDIR" not in env and "SINGULARITY_CACHEDIR" not in env


def test_run_on_a_volume(mivo, monkeypatch, tmp_path):
    volume = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(volume))
    monkeypatch.setenv("APPTAINER_ROOTLESS", "0")
    MIVO()._run(["sync"])
    call = mivo.calls()[0]
    assert call["cwd"] == str(volume / ".mivo_home")
    cache = str(volume) + "/.apptainer_cache"
    assert Path(cache).is_dir()
    assert call["env"]["APPTAINER_CACHEDIR"] == call["env"]["SINGULARITY_CACHEDIR"] == cache
    assert call["env"]["APPTAINER_ROOTLESS"] == "1"


def test_run_given_cwd_is_not_created(mivo, tmp_path):
    missing = tmp_path / "missing"
    with pytest.raises(OSError):
        MIVO()._run(["list"], cwd=str(missing))
    assert not missing.exists()


@pytest.mark.parametrize("inherited, registry, expected", [
    ("/inherited", "/mine", "/inherited"),
    (None, "/mine", "/mine"),
])
def test_run_registry_added_only_when_missing(mivo, monkeypatch, inherited, registry, expected):
    if inherited:
        monkeypatch.setenv("MIVO_REGISTRY", inherited)
    MIVO(registry=registry)._run(["list"])
    assert mivo.calls()[0]["env"]["MIVO_REGISTRY"] == expected


def test_run_default_registry_is_a_repository_address(mivo):
    MIVO()._run(["list"])
    MIVO(registry="")._run(["list"])
    first, second = (call["env"]["MIVO_REGISTRY"] for call in mivo.calls())
    assert first == second and first.startswith("https://")


def test_run_completes_the_callers_env_in_place(mivo):
    env = {"PATH": os.environ["PATH"], "MIVO_REGISTRY": "/given", "KEEP": "me"}
    MIVO(registry="/other")._run(["list"], env=env)
    assert env == {"PATH": os.environ["PATH"], "MIVO_REGISTRY": "/given", "KEEP": "me",
                   "APPTAINER_NO_USERNS": "1", "APPTAINER_ROOTLESS": "1"}
    seen = mivo.calls()[0]["env"]
    assert {k: seen[k] for k in env} == env
    bare = {"PATH": os.environ["PATH"]}
    MIVO(registry="/other")._run(["list"], env=bare)
    assert bare["MIVO_REGISTRY"] == "/other"


def test_run_env_none_inherits_the_process_environment(mivo, monkeypatch):
    monkeypatch.setenv("PLEXARO_MARK", "kept")
    MIVO()._run(["list"], env=None)
    env = mivo.calls()[0]["env"]
    assert env["PLEXARO_MARK"] == "kept" and env["APPTAINER_ROOTLESS"] == "1"
    assert "APPTAINER_ROOTLESS" not in os.environ


# --- limits, options and failures -------------------------------------------------------

# The default limits themselves (1800 s for "add" and "sync", 3600 s
# otherwise) are checked in the C++ core tests; here: which limit applies.
@pytest.mark.parametrize("cmd, options, limit", [
    ([], {}, None),
    (["add", "bwa"], {}, None),
    (["sync"], {"timeout": 0.3}, 0.3),
    (["list"], {"timeout": None}, None),
    (["list"], {"timeout": 1}, None),
])
def test_run_time_limits(mivo, cmd, options, limit):
    mivo("import time; time.sleep(0.6)")
    if limit is None:
        assert MIVO()._run(cmd, **options).returncode == 0
    else:
        with pytest.raises(RuntimeError, match=f"timed out after {limit}s"):
            MIVO()._run(cmd, **options)


@pytest.mark.parametrize("discarded", [
    {"check": True}, {"check": False, "capture_output": False, "text": False},
    {"capture_output": True, "text": True},
])
def test_run_discards_check_capture_and_text(mivo, discarded):
    mivo("print('out'); sys.exit(int(sys.argv[1]))")
    assert MIVO()._run(["0"], **discarded).stdout == "out\n"
    with pytest.raises(RuntimeError, match=r"^mivo 2 failed \(exit 2\)"):
        MIVO()._run(["2"], **discarded)


def test_run_passes_other_options_to_the_process_start(mivo):
    mivo("print(oct(os.umask(0)), sys.stdin.read())")
    result = MIVO()._run(["x"], umask=0o027, input="fed in")
    assert result.stdout == "0o27 fed in\n"


def test_run_failure_text_holds_both_streams(mivo, records):
    mivo("print('partial'); print('broken  ', file=sys.stderr); sys.exit(3)")
    with pytest.raises(RuntimeError) as caught:
        MIVO()._run(["add", "bad tool"])
    assert str(caught.value) == ("mivo add bad tool failed (exit 3):\n"
                                 "STDOUT: partial\n\nSTDERR: broken  \n")
    assert ("WARNING", "stderr: %s", ("broken",)) in records(LOGGER)


def test_run_stderr_on_success_is_one_warning(mivo, records):
    mivo("sys.stderr.write('pulling layer\\n')")
    assert MIVO()._run(["list"]).stderr == "pulling layer\n"
    assert [r for r in records(LOGGER) if r[0] == "WARNING"] == [
        ("WARNING", "stderr: %s", ("pulling layer",))]


def test_run_program_missing_from_path(mivo, monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    with pytest.raises(FileNotFoundError):
        MIVO()._run(["list"])


# --- time-out and interruption end everything mivo started ----------------------------------

SLEEPER = """
import subprocess, time
open(sys.argv[-1], "w").write(str(os.getpid()))
time.sleep(60)
"""
# Leaves a background grandchild holding mivo's output pipes, then exits.
DETACHER = """
import subprocess
child = subprocess.Popen(["sleep", "60"])
open(sys.argv[-1], "w").write(str(child.pid))
"""
# Waits itself while a grandchild holds the pipes too.
HOLDER = """
import subprocess, time
child = subprocess.Popen(["sleep", "60"])
open(sys.argv[-1], "w").write(str(child.pid))
time.sleep(60)
"""


@pytest.mark.parametrize("body", [SLEEPER, HOLDER], ids=["child", "holder"])
def test_run_time_out_is_prompt_and_leaves_nothing(mivo, tmp_path, body):
    mivo(body)
    pid_file = tmp_path / "pid"
    started = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        MIVO()._run(["pull", str(pid_file)], timeout=1)
    assert time.monotonic() - started < 3
    assert str(caught.value) == (f"mivo pull {pid_file} timed out after 1s"
                                 " \u2014 image pull may have stalled")
    assert gone(int(pid_file.read_text()))


def test_run_finished_mivo_is_not_held_by_what_it_left_running(mivo, tmp_path):
    # mivo exits at once; its background child keeps the output pipes open.
    mivo(DETACHER + "print('done')\nsys.exit(4)\n")
    pid_file = tmp_path / "pid"
    started = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        MIVO()._run(["pull", str(pid_file)], timeout=60)
    assert time.monotonic() - started < 5  # a short grace, not the limit
    assert str(caught.value).startswith(f"mivo pull {pid_file} failed (exit 4):\nSTDOUT: done")
    assert gone(int(pid_file.read_text()))


def test_run_interrupted_wait_ends_the_process_group(mivo, tmp_path):
    mivo(HOLDER)
    pid_file = tmp_path / "pid"

    class Interrupted(Exception):
        pass

    def interrupt(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.7)
        started = time.monotonic()
        with pytest.raises(Interrupted):
            MIVO()._run(["pull", str(pid_file)], timeout=30)
        assert time.monotonic() - started < 3
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert gone(int(pid_file.read_text()))


# --- typed parameters --------------------------------------------------------------------------

class Text(str):
    pass


class Words(list):
    pass


@pytest.mark.parametrize("call, name, expected, got", [
    (lambda: MIVO(backend=1), "backend", "str", "int"),
    (lambda: MIVO(None, b"r"), "registry", "str", "bytes"),
    (lambda: MIVO(Text("docker")), "backend", "str", "Text"),
    (lambda: MIVO()._run(("list",)), "cmd", "list", "tuple"),
    (lambda: MIVO()._run(Words(["list"])), "cmd", "list", "Words"),
    (lambda: MIVO()._run(None), "cmd", "list", "NoneType"),
])
def test_typed_parameters(call, name, expected, got):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == (
        f"Argument '{name}' has incorrect type (expected {expected}, got {got})")
