"""wait_for_docker and the host-network wrapper against the real engine."""
import os
import subprocess
import time

import pytest

from plexaro.helpers import mivo

LOGGER = "plexaro.helpers.mivo"


def run(argv, engine, timeout=120):
    return subprocess.run([str(a) for a in argv], env=engine.env, capture_output=True, text=True,
                          timeout=timeout)


def test_local_mode_returns_once_the_engine_answers(engine, machine, monkeypatch, records):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    assert mivo.MIVO().wait_for_docker(30) is None
    assert ("DEBUG", "Docker daemon ready (local mode)", ()) in records(LOGGER)
    # Local mode installs nothing.
    assert machine.docker.is_symlink() and not machine.wrapper_dir.exists()


def test_local_mode_without_a_daemon_runs_out_of_time(engine, machine, monkeypatch, tmp_path):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    monkeypatch.setenv("DOCKER_HOST", f"unix://{tmp_path}/no-engine.sock")
    monkeypatch.setattr(mivo, "_ENGINE_RETRY_PAUSE", 0.2)
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=r"^Docker is installed but the daemon is not running"):
        mivo.MIVO().wait_for_docker(2)
    assert time.monotonic() - started < 15


def test_volume_mode_pulls_through_the_mirror_then_installs(engine, hello_world, machine,
                                                            monkeypatch, tmp_path, records):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    engine.docker("rmi", "--force", "hello-world", check=False)
    assert not engine.has_image("hello-world")

    assert mivo.MIVO().wait_for_docker(60) is None

    # The probe pulled the image, and the loopback mirror is the engine's only
    # source (any other registry is behind a closed proxy).
    assert engine.has_image("hello-world")
    assert machine.docker_real.is_symlink()
    assert machine.docker_real.resolve() == machine.client.resolve()
    expected = mivo._docker_wrapper_text(str(machine.docker_real))
    assert machine.wrapper.read_text() == expected
    assert machine.docker.read_text() == expected
    assert ("INFO", "Moved real docker binary to %s", (str(machine.docker_real),)) in records(LOGGER)
    assert mivo.MIVO()._real_docker() == str(machine.docker_real)


@pytest.mark.parametrize("reference", ["plexaro-test/not-on-the-mirror:1", "quay.io/plexaro/x:1"])
def test_outside_registries_end_at_the_closed_proxy(engine, reference):
    started = time.monotonic()
    done = engine.docker("pull", reference, check=False, timeout=60)
    assert done.returncode != 0
    assert b"proxyconnect tcp: dial tcp 127.0.0.1:9" in done.stderr
    assert time.monotonic() - started < 10


@pytest.fixture
def wrapped(engine, machine, monkeypatch):
    """The wrapper installed into the machine tree in front of the real client."""
    mivo.MIVO()._install_docker_host_network_wrapper()
    return machine


@pytest.mark.parametrize("gpu_options", [
    ["--gpus", "all"], ["--gpus=all"], ["--runtime", "nvidia"], ["--runtime=nvidia"],
])
def test_run_through_the_wrapper_gets_the_host_network_and_no_gpu_options(
        engine, wrapped, gpu_options):
    image = engine.busybox_image()
    # Without the wrapper this engine refuses the GPU option ...
    refused = run([wrapped.client, "run", "--rm", "--pull=never", "--network", "none",
                   *gpu_options, image, "true"], engine)
    assert refused.returncode != 0
    # ... through it the option is dropped and the container is on the host's network.
    for docker in (wrapped.wrapper, wrapped.docker):
        done = run([docker, "run", "--rm", "--pull=never", *gpu_options, image,
                    "ls", "/sys/class/net"], engine)
        assert done.returncode == 0, done.stderr
        assert sorted(done.stdout.split()) == sorted(os.listdir("/sys/class/net"))


def test_wrapper_passes_status_streams_and_other_commands(engine, wrapped):
    image = engine.busybox_image()
    done = run([wrapped.wrapper, "run", "--rm", "--pull=never", "-e", "WHO=tool", image,
                "sh", "-c", 'echo "out $WHO"; echo err >&2; exit 3'], engine)
    assert (done.returncode, done.stdout, done.stderr) == (3, "out tool\n", "err\n")
    inspected = run([wrapped.wrapper, "image", "inspect", "--format", "{{.Id}}", image], engine)
    assert inspected.returncode == 0 and inspected.stdout.startswith("sha256:")
