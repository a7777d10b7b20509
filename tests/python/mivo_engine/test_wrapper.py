"""The docker wrapper script, run with bash against a stand-in real engine."""
import os
import subprocess
import time
from pathlib import Path

import pytest

from plexaro.helpers import mivo
from support.standins import calls, write_program

OVERLAY2 = "max depth exceeded: image has too many layers for overlay2 storage driver"
HOST_NET = ["run", "--network=host", "--entrypoint", ""]
LD_PATH = ("LD_LIBRARY_PATH=/usr/local/cuda/lib64:/usr/local/cuda/targets/x86_64-linux/lib:"
           "/usr/local/nvidia/lib:/usr/local/nvidia/lib64")

# The real engine: records its argv; an image probe ("run --rm ...") exits 0
# only when its command names the directory in PROBE_OK_DIR; "pull" exits
# with PULL_STATUS.
REAL_ENGINE = """
if sys.argv[1:3] == ["run", "--rm"]:
    ok = os.environ.get("PROBE_OK_DIR")
    sys.exit(0 if ok and (ok + "/libcudart.so*") in sys.argv[-1] else 1)
if sys.argv[1:2] == ["pull"]:
    print("pulling", file=sys.stderr)
    sys.exit(int(os.environ.get("PULL_STATUS", "0")))
print("engine ran")
"""


@pytest.fixture
def wrapper(machine, tmp_path, monkeypatch):
    engine_dir = tmp_path / "engine"
    real = write_program(engine_dir, "docker.real", REAL_ENGINE)
    script = tmp_path / "wrapper.sh"
    script.write_text(mivo._docker_wrapper_text(str(real)))
    volume = tmp_path / "volume"
    temp = tmp_path / "wrapper-tmp"
    temp.mkdir()
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(volume))
    monkeypatch.setenv("TMPDIR", str(temp))

    class Wrapper:
        def __init__(self):
            self.volume, self.temp, self.machine = volume, temp, machine

        def __call__(self, *args, **env):
            return subprocess.run(["bash", str(script), *args], capture_output=True, text=True,
                                  env={**os.environ, **env}, timeout=60)

        def engine_argvs(self):
            return [c["argv"] for c in calls(engine_dir, "docker.real")]

        def env_files(self):
            return sorted(self.temp.glob("docker-wrapper-env.*"))

    return Wrapper()


def add_gpu(machine):
    # Character devices without root rights: links to /dev/null.
    for name in ("nvidia0", "nvidiactl"):
        (machine.devices / name).symlink_to("/dev/null")
    (machine.devices / "nvidia-not-a-device").write_text("")
    for name in ("libcuda.so.1", "libnvidia-ml.so.535", "libother.so"):
        (machine.drivers / name).write_text("")


def test_text_starts_with_interpreter_and_real_binary():
    text = mivo._docker_wrapper_text("/usr/bin/docker.real")
    assert text.startswith('#!/bin/bash\nREAL_DOCKER="/usr/bin/docker.real"\n')


def test_text_takes_odd_real_binary_literally(tmp_path, machine):
    odd = tmp_path / 'we$ird "dir"'
    real = write_program(odd, "docker.real")
    script = tmp_path / "w.sh"
    script.write_text(mivo._docker_wrapper_text(str(real)))
    done = subprocess.run(["bash", str(script), "ps"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert [c["argv"] for c in calls(odd, "docker.real")] == [["ps"]]


@pytest.mark.parametrize("bad", [None, 1, b"/usr/bin/docker"])
def test_text_needs_a_str(bad):
    with pytest.raises(TypeError, match="Argument 'real_binary' has incorrect type"):
        mivo._docker_wrapper_text(bad)


@pytest.mark.parametrize("args, expected", [
    (["run", "--gpus", "all", "-v", "/a:/b", "img", "cmd", "--gpus", "x"],
     ["-v", "/a:/b", "img", "cmd"]),
    (["run", "--runtime=nvidia", "--gpus=all", "img", "--runtime", "runc", "x"], ["img", "x"]),
    (["run", "img", "echo", "--gpus"], ["img", "echo"]),      # a trailing one goes alone
    (["run", "--runtime"], []),
    (["run", "img", "sh", "-c", "echo 'a b'", ""], ["img", "sh", "-c", "echo 'a b'", ""]),
    (["run"], []),
])
def test_run_drops_gpu_runtime_options_everywhere(wrapper, args, expected):
    done = wrapper(*args)
    assert done.returncode == 0, done.stderr
    assert wrapper.engine_argvs() == [HOST_NET + expected]
    assert done.stdout == "engine ran\n"
    # Without NVIDIA devices: no probe, no environment file, no mounts.
    assert wrapper.env_files() == []
    assert not (wrapper.volume / ".model_cache").exists()


@pytest.mark.parametrize("args", [["ps", "-a"], [], ["images", "--gpus", "x"], ["Run", "img"]])
def test_other_commands_pass_through(wrapper, args):
    assert wrapper(*args).returncode == 0
    assert wrapper.engine_argvs() == [args]


@pytest.mark.parametrize("status", [0, 1, 137])
def test_pull_keeps_status_and_explains_137(wrapper, status):
    done = wrapper("pull", "big/image:1", PULL_STATUS=str(status))
    assert done.returncode == status
    assert wrapper.engine_argvs() == [["pull", "big/image:1"]]
    lines = done.stderr.splitlines()
    assert lines[0] == "pulling"
    assert (OVERLAY2 in lines) == (status == 137)


def gpu_options(machine, env_file, volume, *, host_cuda):
    d, lib = machine.devices, machine.drivers
    opts = ["--device", f"{d}/nvidia0:{d}/nvidia0", "--device", f"{d}/nvidiactl:{d}/nvidiactl",
            "-v", f"{lib}/libcuda.so.1:{lib}/libcuda.so.1:ro",
            "-v", f"{lib}/libnvidia-ml.so.535:{lib}/libnvidia-ml.so.535:ro",
            "-e", "NVIDIA_VISIBLE_DEVICES=all", "-e", "NVIDIA_DRIVER_CAPABILITIES=all",
            "--env-file", str(env_file)]
    if host_cuda:
        opts += ["-v", "/usr/local/cuda:/usr/local/cuda:ro"]
    return opts + ["-v", f"{volume}/.model_cache:/cache:rw"]


def probe(image, directory):
    return ["run", "--rm", "--network=host", "--entrypoint", "", image, "sh", "-c",
            f"ls {directory}/libcudart.so* >/dev/null 2>&1"]


LIB64 = "/usr/local/cuda/lib64"
TARGETS = "/usr/local/cuda/targets/x86_64-linux/lib"


@pytest.mark.parametrize("ships, probes, host_cuda", [
    (None, [LIB64, TARGETS], True),       # no toolkit in the image: host toolkit mounted
    (LIB64, [LIB64], False),              # first probe finds it: probing stops
    (TARGETS, [LIB64, TARGETS], False),
])
def test_gpu_run(wrapper, machine, ships, probes, host_cuda):
    add_gpu(machine)
    env = {"PROBE_OK_DIR": ships} if ships else {}
    done = wrapper("run", "--gpus", "all", "-e", "A=1", "--rm", "img:2", "python", "x.py", **env)
    assert done.returncode == 0, done.stderr
    [env_file] = wrapper.env_files()
    argvs = wrapper.engine_argvs()
    assert argvs[:-1] == [probe("img:2", d) for d in probes]
    assert argvs[-1] == (HOST_NET + gpu_options(machine, env_file, wrapper.volume,
                                                host_cuda=host_cuda)
                         + ["-e", "A=1", "--rm", "img:2", "python", "x.py"])
    assert env_file.read_text().splitlines() == [
        "XLA_FLAGS=--xla_gpu_cuda_data_dir=/usr/local/cuda",
        "XLA_PYTHON_CLIENT_ALLOCATOR=platform",
        "XLA_PYTHON_CLIENT_PREALLOCATE=false",
        f"JAX_COMPILATION_CACHE_DIR={wrapper.volume}/.jax_cache",
        "OMP_NUM_THREADS=4",
        "OPENBLAS_NUM_THREADS=4",
        LD_PATH,
    ]
    assert (wrapper.volume / ".model_cache").is_dir()


@pytest.mark.parametrize("args, image", [
    (["-e", "A=1", "--rm", "img", "sh"], "img"),
    (["--name", "x", "img"], "img"),
    (["-v", "/a:/b", "-w", "/w", "--network", "n", "-p", "80:80", "--device", "d", "--user", "u",
      "-u", "u", "--workdir", "/w", "--entrypoint", "e", "--label", "l", "-l", "l",
      "--mount", "m", "--env-file", "f", "-it", "image/x:1", "-v"], "image/x:1"),
    (["--rm", "-d"], None),
])
def test_gpu_run_finds_the_image(wrapper, machine, args, image):
    add_gpu(machine)
    assert wrapper("run", *args).returncode == 0
    argvs = wrapper.engine_argvs()
    probes = [a for a in argvs if a[:2] == ["run", "--rm"]]
    if image is None:
        assert probes == []
        assert "/usr/local/cuda:/usr/local/cuda:ro" in argvs[-1]
    else:
        assert [p[5] for p in probes] == [image, image]
    assert argvs[-1][-len(args):] == args


def test_gpu_run_without_volume_uses_tmp_for_caches(wrapper, machine, monkeypatch, tmp_path):
    add_gpu(machine)
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", "")
    assert wrapper("run", "--rm").returncode == 0
    [env_file] = wrapper.env_files()
    assert "JAX_COMPILATION_CACHE_DIR=/tmp/.jax_cache" in env_file.read_text().splitlines()
    assert "/tmp/.model_cache:/cache:rw" in wrapper.engine_argvs()[-1]


def test_old_environment_files_are_removed(wrapper, machine):
    add_gpu(machine)
    old = wrapper.temp / "docker-wrapper-env.OLDRUN"
    recent = wrapper.temp / "docker-wrapper-env.RECENT"
    other = wrapper.temp / "someone-else.env"
    for f in (old, recent, other):
        f.write_text("X=1\n")
    two_hours_ago = time.time() - 7200
    for f in (old, other):
        os.utime(f, (two_hours_ago, two_hours_ago))
    for _ in range(2):
        assert wrapper("run", "--rm").returncode == 0
    left = wrapper.env_files()
    assert old not in left and recent in left and other.exists()
    assert len(left) == 3  # the recent one and one per run


@pytest.mark.parametrize("volume", ["/vol\nLD_PRELOAD=/tmp/evil.so", "/vol\r\nX=1", "/vol\n"])
def test_a_line_break_in_the_volume_path_is_refused(wrapper, volume):
    add_gpu(wrapper.machine)
    done = wrapper("run", "img", "cmd", PIPELINE_VOLUME_PATH=volume)
    assert done.returncode == 125
    assert done.stderr == ("docker wrapper: PIPELINE_VOLUME_PATH contains a line break; "
                           "refusing to run (fix the variable)\n")
    assert wrapper.engine_argvs() == [] and wrapper.env_files() == []
