"""Fixtures for the engine tests: a machine tree under tmp_path in place of
/usr/bin, /vol/bin, /dev and the driver library directory, and a recorded
time.sleep."""
from dataclasses import dataclass
from pathlib import Path

import pytest

from plexaro.helpers import mivo


@dataclass
class Machine:
    root: Path
    docker: Path        # the standard engine path
    docker_real: Path   # where the real binary is moved
    wrapper_dir: Path
    devices: Path
    drivers: Path

    @property
    def wrapper(self) -> Path:
        return self.wrapper_dir / "docker"


@pytest.fixture
def machine(tmp_path, monkeypatch) -> Machine:
    root = tmp_path / "machine"
    usr_bin = root / "usr" / "bin"
    usr_bin.mkdir(parents=True)
    devices = root / "dev"
    devices.mkdir()
    drivers = root / "usr" / "lib" / "x86_64-linux-gnu"
    drivers.mkdir(parents=True)
    m = Machine(root, usr_bin / "docker", usr_bin / "docker.real", root / "vol" / "bin",
                devices, drivers)
    monkeypatch.setattr(mivo, "_DOCKER_PATH", str(m.docker))
    monkeypatch.setattr(mivo, "_DOCKER_REAL_PATH", str(m.docker_real))
    monkeypatch.setattr(mivo, "_WRAPPER_DIR", str(m.wrapper_dir))
    monkeypatch.setattr(mivo, "_NVIDIA_DEVICE_DIR", str(m.devices))
    monkeypatch.setattr(mivo, "_DRIVER_LIBRARY_DIR", str(m.drivers))
    return m


@pytest.fixture
def sleeps(monkeypatch) -> list:
    """time.sleep replaced by a recorder: the pauses the layer asked for, in
    order. The waits of the subprocess module itself still sleep."""
    import sys
    import time

    real_sleep = time.sleep
    asked = []

    def sleep(seconds):
        if sys._getframe(1).f_globals.get("__name__") == "subprocess":
            return real_sleep(seconds)
        asked.append(seconds)

    monkeypatch.setattr(time, "sleep", sleep)
    return asked
