"""Installing the wrapper into a machine tree under tmp_path, and _real_docker."""
import stat
import subprocess

import pytest

from plexaro.helpers import mivo
from support.standins import calls, write_program

LOGGER = "plexaro.helpers.mivo"


def mode(path):
    return stat.S_IMODE(path.stat().st_mode)


def test_first_install_moves_and_writes_both_copies(machine, records):
    machine.docker.write_text("real engine\n")
    assert mivo.MIVO()._install_docker_host_network_wrapper() is None
    assert machine.docker_real.read_text() == "real engine\n"
    expected = mivo._docker_wrapper_text(str(machine.docker_real))
    for copy in (machine.wrapper, machine.docker):
        assert copy.read_text() == expected
        assert mode(copy) == 0o755
    assert records(LOGGER) == [
        ("INFO", "Moved real docker binary to %s", (str(machine.docker_real),)),
        ("INFO", "Installed docker wrapper at %s and %s (real binary at %s)",
         (str(machine.wrapper), str(machine.docker), str(machine.docker_real))),
    ]
    assert list(machine.wrapper_dir.iterdir()) == [machine.wrapper]  # no temporary left


def test_second_install_moves_nothing_and_rewrites(machine, records):
    machine.docker.write_text("real engine\n")
    m = mivo.MIVO()
    m._install_docker_host_network_wrapper()
    machine.wrapper.write_text("stale")
    machine.wrapper.chmod(0o600)
    m._install_docker_host_network_wrapper()
    expected = mivo._docker_wrapper_text(str(machine.docker_real))
    assert machine.docker_real.read_text() == "real engine\n"
    for copy in (machine.wrapper, machine.docker):
        assert copy.read_text() == expected and mode(copy) == 0o755
    templates = [t for _, t, _ in records(LOGGER)]
    assert templates.count("Moved real docker binary to %s") == 1


def test_failed_move_keeps_the_real_binary_in_place(machine, records, monkeypatch):
    machine.docker.write_text("real engine\n")
    # The moved path's directory does not exist, so the move fails.
    missing = machine.root / "nowhere" / "docker.real"
    monkeypatch.setattr(mivo, "_DOCKER_REAL_PATH", str(missing))
    mivo.MIVO()._install_docker_host_network_wrapper()
    assert machine.docker.read_text() == "real engine\n"  # never overwritten
    assert machine.wrapper.read_text() == mivo._docker_wrapper_text(str(machine.docker))
    assert mode(machine.wrapper) == 0o755
    logged = records(LOGGER)
    level, template, args = logged[0]
    assert (level, template, args[0]) == ("WARNING", "Could not move %s: %s", str(machine.docker))
    assert "No such file or directory" in args[1]
    assert ("INFO", "Installed docker wrapper at %s (real binary at %s)",
            (str(machine.wrapper), str(machine.docker))) in logged


def test_installed_wrapper_reaches_the_real_engine(machine, tmp_path):
    write_program(machine.docker.parent, "docker", "print('real', sys.argv[1:])")
    mivo.MIVO()._install_docker_host_network_wrapper()
    done = subprocess.run([str(machine.wrapper), "version"], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout == "real ['version']\n"
    assert calls(machine.docker.parent, "docker")[0]["argv"] == ["version"]


def test_unwritable_wrapper_directory_propagates(machine, monkeypatch):
    machine.docker.write_text("real engine\n")
    blocker = machine.root / "file"
    blocker.write_text("")
    monkeypatch.setattr(mivo, "_WRAPPER_DIR", str(blocker / "bin"))
    with pytest.raises(OSError):
        mivo.MIVO()._install_docker_host_network_wrapper()


def test_wait_for_docker_installs_on_a_volume(machine, stand_in_dir, sleeps, monkeypatch,
                                              tmp_path):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    write_program(stand_in_dir, "docker")
    machine.docker.write_text("real engine\n")
    mivo.MIVO().wait_for_docker()
    assert [c["argv"] for c in calls(stand_in_dir, "docker")] == [["info"], ["pull", "hello-world"]]
    assert machine.docker_real.read_text() == "real engine\n"
    assert machine.wrapper.exists()


def test_real_docker_before_installation(machine, stand_in_dir, monkeypatch):
    engine = write_program(stand_in_dir, "docker")
    assert mivo.MIVO()._real_docker() == str(engine)
    monkeypatch.setenv("PATH", str(machine.root / "empty"))
    assert mivo.MIVO()._real_docker() == "docker"


def test_real_docker_after_installation(machine, stand_in_dir, monkeypatch):
    write_program(stand_in_dir, "docker")
    machine.docker_real.write_text("")
    assert mivo.MIVO()._real_docker() == str(machine.docker_real)
    on_path = write_program(stand_in_dir, "docker.real")
    assert mivo.MIVO()._real_docker() == str(on_path)
