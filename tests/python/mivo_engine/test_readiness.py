import sys
import time

import pytest

from plexaro.helpers import mivo
from support.standins import calls, write_program

LOGGER = "plexaro.helpers.mivo"
NOT_INSTALLED = (
    "Docker is not installed or not on PATH. Install Docker Desktop (Mac/Windows) or Docker "
    "Engine (Linux/HPC) before running plexaro: ")
NOT_RUNNING = ("Docker is installed but the daemon is not running. Start Docker Desktop or run "
               "`sudo systemctl start docker`.")

# A docker whose exit status for each sub-command follows a script of
# statuses; the n-th call of a sub-command takes the n-th entry (the last one
# repeats). A status "hang" sleeps far past any probe time-out.
SCRIPTED = """
import time
plan = {plan!r}
counts = os.path.join(os.path.dirname(sys.argv[0]), "counts." + sys.argv[1])
n = int(open(counts).read()) if os.path.exists(counts) else 0
open(counts, "w").write(str(n + 1))
steps = plan.get(sys.argv[1], [0])
step = steps[min(n, len(steps) - 1)]
if step == "hang":
    time.sleep(60)
sys.exit(step)
"""


def scripted_docker(directory, **plan):
    return write_program(directory, "docker", SCRIPTED.format(plan=plan))


@pytest.fixture
def local_mode(monkeypatch):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)


def test_missing_engine_fails_at_once(stand_in_dir, monkeypatch, sleeps):
    monkeypatch.setenv("PATH", str(stand_in_dir))
    with pytest.raises(RuntimeError) as err:
        mivo.MIVO().wait_for_docker()
    assert str(err.value).startswith(NOT_INSTALLED)
    assert str(err.value) == NOT_INSTALLED + mivo._DOCKER_INSTALL_URL
    assert mivo._DOCKER_INSTALL_URL.startswith("https://docs.docker.com/")
    assert sleeps == []


@pytest.mark.parametrize("budget", [0, -5])
def test_no_budget_means_no_probe(stand_in_dir, local_mode, sleeps, budget):
    scripted_docker(stand_in_dir)
    with pytest.raises(RuntimeError, match=r"^Docker is installed but the daemon is not running"):
        mivo.MIVO().wait_for_docker(budget)
    assert calls(stand_in_dir, "docker") == []


def test_local_mode_one_probe(stand_in_dir, local_mode, sleeps, records):
    scripted_docker(stand_in_dir)
    assert mivo.MIVO().wait_for_docker() is None
    assert [c["argv"] for c in calls(stand_in_dir, "docker")] == [["info"]]
    assert ("DEBUG", "Docker daemon ready (local mode)", ()) in records(LOGGER)
    assert sleeps == []


def test_daemon_retried_until_it_answers(stand_in_dir, local_mode, sleeps):
    scripted_docker(stand_in_dir, info=[1, 1, 0])
    mivo.MIVO().wait_for_docker(timeout=60)
    assert len(calls(stand_in_dir, "docker")) == 3
    assert sleeps == [2, 2]


def test_hanging_probe_is_cut_off_and_retried(stand_in_dir, local_mode, sleeps, monkeypatch):
    monkeypatch.setattr(mivo, "_ENGINE_PROBE_TIMEOUT", 0.5)
    scripted_docker(stand_in_dir, info=["hang", 0])
    mivo.MIVO().wait_for_docker(timeout=120)
    assert [c["argv"] for c in calls(stand_in_dir, "docker")] == [["info"], ["info"]]
    assert sleeps == [2]


def test_error_starting_the_probe_is_not_retried(stand_in_dir, local_mode, sleeps):
    broken = stand_in_dir / "docker"
    broken.write_text("#!/nonexistent/interpreter\n")
    broken.chmod(0o755)
    with pytest.raises(OSError):
        mivo.MIVO().wait_for_docker()
    assert sleeps == []


def test_volume_mode_retries_network_then_installs(stand_in_dir, sleeps, records, monkeypatch,
                                                   tmp_path):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    scripted_docker(stand_in_dir, pull=[1, 0])
    m = mivo.MIVO()
    installed = []
    m._install_docker_host_network_wrapper = lambda: installed.append(True)
    m.wait_for_docker()
    assert [c["argv"] for c in calls(stand_in_dir, "docker")] == [
        ["info"], ["pull", "hello-world"], ["pull", "hello-world"]]
    assert sleeps == [3]
    assert installed == [True]
    assert records(LOGGER).count(("DEBUG", "Docker network not ready, retrying...", ())) == 1


def test_volume_mode_network_never_ready(stand_in_dir, sleeps, monkeypatch, tmp_path):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    scripted_docker(stand_in_dir, pull=[1])
    clock = iter(range(0, 1000))
    monkeypatch.setattr(time, "time", lambda: next(clock))
    m = mivo.MIVO()
    m._install_docker_host_network_wrapper = lambda: pytest.fail("installed without network")
    with pytest.raises(RuntimeError) as err:
        m.wait_for_docker(5)
    assert str(err.value) == "Docker networking did not become ready within timeout"
    assert sleeps and set(sleeps) == {3}


# A clock that ticks one second per reading: the budget 2.5 becomes 2, which
# leaves room for exactly one probe of a daemon that never answers.
@pytest.mark.parametrize("budget, probes", [(2.5, 1), (2, 1), (3, 2), (True, 0)])
def test_budget_is_whole_seconds(stand_in_dir, local_mode, sleeps, monkeypatch, budget, probes):
    scripted_docker(stand_in_dir, info=[1])
    clock = iter(range(0, 1000))
    monkeypatch.setattr(time, "time", lambda: next(clock))
    with pytest.raises(RuntimeError, match="daemon is not running"):
        mivo.MIVO().wait_for_docker(budget)
    assert len(calls(stand_in_dir, "docker")) == probes


@pytest.mark.parametrize("bad, name", [("300", "str"), (None, "NoneType"), ([1], "list")])
def test_budget_must_be_a_number(stand_in_dir, local_mode, bad, name):
    scripted_docker(stand_in_dir)
    with pytest.raises(TypeError) as err:
        mivo.MIVO().wait_for_docker(bad)
    assert str(err.value) == (
        f"Argument 'timeout' has incorrect type (expected int, got {name})")
    assert calls(stand_in_dir, "docker") == []
