"""The connectors file: private by default, never followed through a link,
and shared safely between processes."""
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import child_env
from plexaro.node import Node

REPO = Path(__file__).resolve().parents[3]


@pytest.fixture
def private_tmp(monkeypatch, tmp_path):
    """The default path, with the temporary directory moved into tmp_path."""
    monkeypatch.delenv("PLEXARO_CONNECTORS_PATH", raising=False)
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    return tmp_path / f"plexaro-{os.getuid()}"


def test_the_default_lives_in_a_private_directory(make, private_tmp):
    make()
    assert (private_tmp / "connectors.py").is_file()
    assert private_tmp.stat().st_mode & 0o777 == 0o700


def test_a_loose_private_directory_is_tightened(make, private_tmp):
    private_tmp.mkdir(mode=0o755)
    private_tmp.chmod(0o777)
    make()
    assert private_tmp.stat().st_mode & 0o777 == 0o700


def test_a_link_planted_as_the_private_directory_is_refused(make, private_tmp, tmp_path):
    elsewhere = tmp_path / "theirs"
    elsewhere.mkdir()
    private_tmp.symlink_to(elsewhere)
    with pytest.raises(PermissionError, match="not a directory of the current user"):
        make()
    assert list(elsewhere.iterdir()) == []


def test_a_link_planted_at_the_default_path_is_refused(make, private_tmp, tmp_path):
    victim = tmp_path / "victim.txt"
    victim.write_text("precious")
    private_tmp.mkdir(mode=0o700)
    (private_tmp / "connectors.py").symlink_to(victim)
    with pytest.raises(OSError, match="symbolic link"):
        make()
    assert victim.read_text() == "precious"


def test_a_file_swapped_for_a_link_is_never_loaded(make, connectors_file, tmp_path):
    w = make("def edge_a_to_d(output):\n    return {'v': 1}")
    w.generateConnector(Node("a"), Node("d"))
    theirs = tmp_path / "theirs.py"
    theirs.write_text(connectors_file.read_text() + "\nopen(%r, 'w')\n" % str(tmp_path / "ran"))
    connectors_file.unlink()
    connectors_file.symlink_to(theirs)
    with pytest.raises(OSError, match="symbolic link"):
        w.getConnector(Node("a"), Node("d"))
    with pytest.raises(OSError, match="symbolic link"):
        w.generateConnector(Node("b"), Node("d"))
    assert not (tmp_path / "ran").exists()


WRITER = textwrap.dedent("""
    import sys
    from plexaro.helpers import weftling
    from plexaro.node import Node

    class Echo:
        # Answers with the one function the prompt asks for.
        def call(self, prompt):
            name = prompt.rsplit(": ", 1)[1].rstrip(".")
            return f"def {name}(output):\\n    return {{'by': {sys.argv[1]!r}}}"

    # Constructing would reset the shared file: attach to it instead.
    import threading
    w = weftling.Weftling.__new__(weftling.Weftling)
    w.edgeConnectors, w.fileLock, w.llm, w._module = {}, threading.Lock(), Echo(), None
    sys.stdout.write("ready\\n"); sys.stdout.flush()
    sys.stdin.readline()
    for i in range(40):
        w.generateConnector(Node(f"{sys.argv[1]}{i}"), Node("sink"))
""")


def test_two_processes_storing_40_connectors_each_keep_all_80(make, connectors_file, tmp_path):
    make()   # the file with its header, as the pipeline's own Weftling made it
    script = tmp_path / "writer.py"
    script.write_text(WRITER)
    env = child_env()
    writers = [subprocess.Popen([sys.executable, str(script), tag], env=env, text=True,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
               for tag in ("p", "q")]
    for p in writers:
        assert p.stdout.readline() == "ready\n"
    for p in writers:   # both start together
        p.stdin.write("go\n")
        p.stdin.flush()
    for p in writers:
        p.stdin.close()
        assert p.wait(timeout=120) == 0
    text = connectors_file.read_text()
    names = re.findall(r"^def (edge_\w+)\(", text, re.M)
    assert sorted(names) == sorted(f"edge_{t}{i}_to_sink" for t in "pq" for i in range(40))


EXIT = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[1])
    from support.vendor_stub import VendorStub
    stub = VendorStub().start()
    stub.apply(provider=sys.argv[2])
    stub.default_text = "def edge_a_to_b(output):\\n    return {'ok': 1}"
    from plexaro.helpers import weftling
    from plexaro.node import Node
    # Globals at exit, as in a host script: the object, its client, a
    # connector and the loaded module.
    w = weftling.Weftling()
    w.generateConnector(Node("a"), Node("b"))
    connector = w.getConnector(Node("a"), Node("b"))
    assert connector({}) == {"ok": 1}
    print("done")
""")


@pytest.mark.parametrize("provider", ["openai", "anthropic", "google"])
def test_no_leak_message_at_exit(tmp_path, provider):
    script = tmp_path / "exit.py"
    script.write_text(EXIT)
    env = child_env(PLEXARO_CONNECTORS_PATH=str(tmp_path / "c.py"))
    out = subprocess.run([sys.executable, str(script), str(REPO / "tests"), provider],
                         capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0 and out.stdout == "done\n", out.stderr
    assert "leaked" not in out.stderr and "reference counting" not in out.stderr, out.stderr
