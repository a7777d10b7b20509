"""Fixtures for the tests against a real container engine: the engine of the
test run (skipped with the reason when there is none), a machine tree under
tmp_path in place of /usr/bin and /vol/bin whose docker is the real client,
and the loopback mirror's hello-world."""
from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import pytest

from plexaro.helpers import mivo
from support.docker_engine import Engine, EngineUnavailable, write_hello_world


@pytest.fixture(scope="session")
def shared_engine() -> Engine:
    try:
        return Engine.from_environment()
    except EngineUnavailable as why:
        pytest.skip(str(why))


@pytest.fixture
def engine(shared_engine, monkeypatch) -> Engine:
    """The test run's engine; DOCKER_HOST points at it for this test."""
    shared_engine.apply(monkeypatch)
    return shared_engine


@pytest.fixture(scope="session")
def hello_world(shared_engine) -> str:
    """hello-world published on the engine's loopback mirror (and absent
    from the engine itself)."""
    try:
        return write_hello_world(shared_engine)
    except EngineUnavailable as why:
        pytest.skip(str(why))


@dataclass
class Machine:
    root: Path
    docker: Path        # the standard engine path: a link to the real client
    docker_real: Path   # where the installation moves it
    wrapper_dir: Path
    client: Path        # the real client the link names

    @property
    def wrapper(self) -> Path:
        return self.wrapper_dir / "docker"


@pytest.fixture
def machine(engine, tmp_path, monkeypatch) -> Machine:
    """/usr/bin, /vol/bin, /dev and the driver directory as a tree under
    tmp_path; the tree's usr/bin comes first on PATH and its docker is the
    real client. No NVIDIA devices."""
    root = tmp_path / "machine"
    usr_bin = root / "usr" / "bin"
    usr_bin.mkdir(parents=True)
    (root / "dev").mkdir()
    drivers = root / "usr" / "lib" / "x86_64-linux-gnu"
    drivers.mkdir(parents=True)
    client = Path(engine.client)
    (usr_bin / "docker").symlink_to(client)
    m = Machine(root, usr_bin / "docker", usr_bin / "docker.real", root / "vol" / "bin", client)
    monkeypatch.setattr(mivo, "_DOCKER_PATH", str(m.docker))
    monkeypatch.setattr(mivo, "_DOCKER_REAL_PATH", str(m.docker_real))
    monkeypatch.setattr(mivo, "_WRAPPER_DIR", str(m.wrapper_dir))
    monkeypatch.setattr(mivo, "_NVIDIA_DEVICE_DIR", str(root / "dev"))
    monkeypatch.setattr(mivo, "_DRIVER_LIBRARY_DIR", str(drivers))
    monkeypatch.setenv("PATH", f"{usr_bin}{os.pathsep}{os.environ['PATH']}")
    return m
