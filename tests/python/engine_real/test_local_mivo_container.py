"""The local mivo's container mode on the test engine: which mode "exec"
takes, and what a tool in a container sees and gives back."""
import os
import subprocess
import time

import pytest

from plexaro.helpers import mivo


@pytest.fixture
def box(engine, local_mivo, monkeypatch):
    """A registry tool "box" (busybox, entry point sh) whose image is in the engine."""
    local_mivo.add_tool("box", image=engine.busybox_image(), entrypoint="sh")
    monkeypatch.setenv("MIVO_CONTAINER", "auto")
    return local_mivo


def mivo_cmd(*words, cwd, timeout=120):
    return subprocess.run(["mivo", *words], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout)


def test_mode_follows_the_engine_and_the_image(box, engine, monkeypatch, tmp_path):
    def mode(*command):
        done = mivo_cmd("mode", *command, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        return done.stdout

    assert mode("sh") == f"container\t{engine.busybox_image()}\n"
    assert mode("/bin/sh") == f"container\t{engine.busybox_image()}\n"
    assert mode() == "container\ta container engine answers\n"
    assert mode("sort") == "host\tno tool provides sort\n"
    box.add_tool("ghost", image="plexaro-test/never-built:1", entrypoint="ghost")
    assert mode("ghost") == "host\timage plexaro-test/never-built:1 of ghost is not in the engine\n"
    monkeypatch.setenv("MIVO_CONTAINER", "never")
    assert mode("sh") == "host\tMIVO_CONTAINER=never\n"
    monkeypatch.setenv("MIVO_CONTAINER", "auto")
    monkeypatch.setenv("DOCKER_HOST", f"unix://{tmp_path}/no-engine.sock")
    assert mode("sh") == "host\tno container engine answers\n"


def test_the_project_lock_names_the_image(box, engine, tmp_path):
    """In a project the locked image wins over the registry's description."""
    other = engine.tool_image("samtools")
    (tmp_path / "mivo.lock").write_text(
        f'[tools.box]\nimage_reference = "{other}"\nimage_digest = "sha256:0"\n'
        'entrypoint = "sh"\n')
    assert mivo_cmd("mode", "sh", cwd=tmp_path).stdout == f"container\t{other}\n"


def test_exec_in_a_container_passes_status_and_streams(box, tmp_path):
    workdir = tmp_path / "odd, name:1"
    workdir.mkdir()
    (workdir / "given").write_text("from the host\n")
    done = mivo_cmd("exec", "sh", "-c",
                    'pwd; cat given; echo made > made; echo err >&2; exit 7', cwd=workdir)
    assert (done.returncode, done.stdout, done.stderr) == (
        7, "/workspace\nfrom the host\n", "err\n")
    assert (workdir / "made").read_text() == "made\n"


@pytest.mark.parametrize("setting, network", [(None, ["lo"]), ("none", ["lo"]),
                                              ("host", sorted(os.listdir("/sys/class/net")))])
def test_container_network(box, engine, monkeypatch, tmp_path, setting, network):
    if setting:
        monkeypatch.setenv("MIVO_CONTAINER_NETWORK", setting)
    box.add_tool("ls", image=engine.busybox_image(), entrypoint="ls")
    done = mivo_cmd("exec", "ls", "/sys/class/net", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert sorted(done.stdout.split()) == network


@pytest.mark.parametrize("setting, variable, status, message", [
    ("always", "MIVO_CONTAINER", 125, "mivo: no container for no-such-tool: no tool provides "
                                      "no-such-tool (MIVO_CONTAINER=always)\n"),
    ("sometimes", "MIVO_CONTAINER", 2, "mivo: MIVO_CONTAINER='sometimes': use auto, never "
                                       "or always\n"),
    ("bridge", "MIVO_CONTAINER_NETWORK", 2, "mivo: MIVO_CONTAINER_NETWORK='bridge': use none "
                                            "or host\n"),
    ("1000", "MIVO_CONTAINER_USER", 2, "mivo: MIVO_CONTAINER_USER='1000': use root or caller\n"),
])
def test_bad_or_unmet_settings(box, monkeypatch, tmp_path, setting, variable, status, message):
    monkeypatch.setenv(variable, setting)
    command = "no-such-tool" if variable == "MIVO_CONTAINER" else "sh"
    done = mivo_cmd("exec", command, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (status, "", message)


def test_through_the_host_network_wrapper(box, machine, tmp_path):
    """On a cloud worker docker is the wrapper, which puts every container on
    the host network itself; the tool manager's own network option would
    make the engine refuse the run."""
    mivo.MIVO()._install_docker_host_network_wrapper()
    done = mivo_cmd("exec", "sh", "-c", "pwd; ls /sys/class/net", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["/workspace", *sorted(os.listdir("/sys/class/net"))]


def test_a_time_limit_ends_the_container_too(box, engine, tmp_path):
    """MIVO._run kills mivo when its time is up; the container must not run on."""
    def running():
        return set(engine.docker("ps", "-q", "--filter", "label=mivo.exec=1").stdout.split())

    before = running()
    with pytest.raises(RuntimeError, match="timed out after 2s"):
        mivo.MIVO()._run(["exec", "sh", "-c", "sleep 60"], cwd=str(tmp_path), timeout=2)
    deadline = time.monotonic() + 20
    while running() - before and time.monotonic() < deadline:
        time.sleep(0.2)
    assert running() - before == set()


@pytest.mark.parametrize("lock_text", ["[tools\n", 'tools = "box"\n', "[tools.box]\nimage = 3\n"])
def test_unreadable_descriptions_leave_exec_on_the_host(box, tmp_path, lock_text):
    (tmp_path / "mivo.lock").write_text(lock_text)
    mode = mivo_cmd("mode", "sh", cwd=tmp_path).stdout
    if lock_text.startswith("[tools\n"):
        assert mode.startswith("host\ttool descriptions unreadable: ")
    else:  # a lock without a usable entry falls back to the registry
        assert mode.startswith("container\t")
    done = mivo_cmd("exec", "echo", "still runs", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, "still runs\n")


# Without any engine (these run on every machine).

def test_without_an_engine_exec_stays_on_the_host(local_mivo, monkeypatch, tmp_path):
    monkeypatch.setenv("MIVO_CONTAINER", "auto")
    monkeypatch.setenv("DOCKER_HOST", f"unix://{tmp_path}/no-engine.sock")
    assert mivo_cmd("mode", "echo", cwd=tmp_path).stdout in (
        "host\tno container engine answers\n", "host\tno docker command on PATH\n")
    done = mivo_cmd("exec", "sh", "-c", "pwd", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, f"{tmp_path}\n")
    monkeypatch.setenv("MIVO_CONTAINER", "always")
    done = mivo_cmd("exec", "echo", "x", cwd=tmp_path)
    assert done.returncode == 125 and "(MIVO_CONTAINER=always)" in done.stderr
    assert done.stdout == ""
