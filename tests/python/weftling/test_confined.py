"""Connectors run in a confined worker process. The connectors files here are
written straight to disk (the reply check never sees them): the worker has
to hold on its own."""
import gc
import os
import socket
import subprocess
import sys
import textwrap
import time
import types

import pytest

from conftest import child_env
from plexaro.node import Node

HEADER = "# Auto-generated connector functions\nimport os\nimport json\nimport glob\nimport tempfile\n"
HEALTHY = "def edge_b_to_d(output):\n    return {'ok': output['n'] + 1}\n"


def planted(make, connectors_file, body):
    """A Weftling whose file holds `body` as edge_a_to_d and a healthy edge_b_to_d."""
    w = make()
    code = "def edge_a_to_d(output):\n" + textwrap.indent(textwrap.dedent(body), "    ")
    connectors_file.write_text(HEADER + "\n" + code + "\n\n" + HEALTHY)
    w.edgeConnectors[("a", "d")] = "edge_a_to_d"
    w.edgeConnectors[("b", "d")] = "edge_b_to_d"
    return w


ATTACKS = {
    "shell": "return os.system('touch ' + output['mark'])",
    "subprocess": "import subprocess\nsubprocess.run(['touch', output['mark']])",
    "posix_spawn": "os.waitpid(os.posix_spawn('/usr/bin/touch', ['touch', output['mark']], {}), 0)",
    "tcp connect": "import socket\nsocket.create_connection(('127.0.0.1', output['port']), 2)",
    "write": "open(output['victim'], 'w').write('gone')",
    "truncate": "os.truncate(output['victim'], 0)",
    "rename": "os.rename(output['victim'], output['victim'] + '.moved')",
    "remove": "os.remove(output['victim'])",
    "chmod": "os.chmod(output['victim'], 0o777)",
    "secret beside the input": "return open(os.path.join(os.path.dirname(output['input']), 'secret')).read()",
    "host environ": "return open('/proc/%d/environ' % output['host']).read()",
    "vendor key": "return dict(os.environ)",
    "fork bomb": "while True:\n    os.fork()",
    "endless loop": "while True:\n    pass",
    "10 GiB": "return len(bytearray(10 << 30))",
    "kill the worker": "os.kill(os.getppid(), 9)",
}


@pytest.mark.parametrize("attack", sorted(ATTACKS))
def test_the_worker_holds(make, connectors_file, tmp_path, monkeypatch, attack):
    monkeypatch.setenv("PLEXARO_CONNECTOR_TIMEOUT", "2")
    monkeypatch.setenv("OPENAI_API_KEY", "sk-host-secret")
    inputs = tmp_path / "inputs"
    inputs.mkdir()
    (inputs / "reads.fq").write_text("@r1\nACGT\n+\nIIII\n")
    secret = inputs / "secret"
    secret.write_text("sk-host-secret")
    secret.chmod(0o600)
    victim = tmp_path / "victim.txt"
    victim.write_text("precious")
    victim.chmod(0o644)
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(0.2)
    output = {"input": str(inputs / "reads.fq"), "victim": str(victim), "mark": str(tmp_path / "mark"),
              "port": listener.getsockname()[1], "host": os.getpid()}

    w = planted(make, connectors_file, ATTACKS[attack])
    try:
        got = w.getConnector(Node("a"), Node("d"))(output)
    except Exception as e:
        got = e
    assert "sk-host-secret" not in repr(got)
    expected = {"shell": int, "vendor key": dict, "endless loop": TimeoutError,
                "10 GiB": MemoryError}.get(attack, PermissionError)
    assert type(got) is expected, got
    if attack == "shell":
        assert got != 0
    if expected is TimeoutError:
        assert "edge_a_to_d" in str(got)
    with pytest.raises(socket.timeout):
        listener.accept()
    listener.close()
    assert victim.read_text() == "precious" and victim.stat().st_mode & 0o777 == 0o644
    assert not (tmp_path / "mark").exists() and not (tmp_path / "victim.txt.moved").exists()
    # The host carries on and the next call works.
    assert w.getConnector(Node("b"), Node("d"))({"n": 1}) == {"ok": 2}


def test_the_callable_carries_the_connectors_names_and_plain_data(make, connectors_file):
    w = planted(make, connectors_file, """\
        '''Pairs the reads.'''
        return {'pair': (output['x'], [output['x']]), 'none': None, 'f': 1.5, 'big': 2 ** 80}""")
    fn = w.getConnector(Node("a"), Node("d"))
    assert fn is w.getConnector(Node("a"), Node("d"))
    assert (fn.__name__, fn.__qualname__, fn.__doc__) == ("edge_a_to_d", "edge_a_to_d", "Pairs the reads.")
    assert fn({"x": "r1"}) == {"pair": ("r1", ["r1"]), "none": None, "f": 1.5, "big": 2 ** 80}
    with pytest.raises(TypeError, match="edge_a_to_d.*plain data.*set"):
        fn({"x": {1, 2}})
    with pytest.raises(TypeError, match="edge_a_to_d.*plain data.*int"):
        fn({1: "x"})


@pytest.mark.parametrize("body, kind, message", [
    ("raise KeyError('sample')", KeyError, "'sample'"),
    ("open('/nonexistent/x')", FileNotFoundError, "No such file or directory: '/nonexistent/x'"),
    ("class Oops(Exception): pass\nraise Oops('bad')", RuntimeError, "Oops: bad"),
    ("raise SystemExit(3)", RuntimeError, "SystemExit: 3"),
    ("return {1, 2}", TypeError, "edge_a_to_d must return plain data"),
])
def test_exceptions_reach_the_host_as_builtin_types(make, connectors_file, body, kind, message):
    w = planted(make, connectors_file, body)
    with pytest.raises(kind) as err:
        w.getConnector(Node("a"), Node("d"))({})
    assert type(err.value) is kind and message in str(err.value)
    if kind is not TypeError:
        assert "in edge_a_to_d" in "".join(err.value.__notes__)


def test_a_rewritten_file_is_reloaded_and_older_callables_keep_their_code(make, connectors_file):
    w = planted(make, connectors_file, "return 1")
    first = w.getConnector(Node("a"), Node("d"))
    assert first({}) == 1
    connectors_file.write_text(HEADER + "\ndef edge_a_to_d(output):\n    return 2\n")
    w._module = None
    assert w.getConnector(Node("a"), Node("d"))({}) == 2 and first({}) == 1


def test_isolation_settings(make, connectors_file, monkeypatch, records):
    w = planted(make, connectors_file, "return os.getpid()")
    assert w.getConnector(Node("a"), Node("d"))({}) != os.getpid()
    monkeypatch.setenv("PLEXARO_CONNECTOR_ISOLATION", "strict")
    assert w.getConnector(Node("a"), Node("d"))({}) != os.getpid()
    monkeypatch.setenv("PLEXARO_CONNECTOR_ISOLATION", "off")
    fn = w.getConnector(Node("a"), Node("d"))
    assert isinstance(fn, types.FunctionType) and fn({}) == os.getpid()
    assert [r for r in records("plexaro.helpers.weftling") if "off" in r[1]][:1]
    monkeypatch.setenv("PLEXARO_CONNECTOR_ISOLATION", "sometimes")
    with pytest.raises(ValueError, match="PLEXARO_CONNECTOR_ISOLATION"):
        w.getConnector(Node("a"), Node("d"))


HOST = textwrap.dedent("""
    import os, sys, time
    from plexaro.helpers import weftling
    from plexaro.node import Node
    weftling._default_llm = lambda: None
    w = weftling.Weftling()
    with open(os.environ["PLEXARO_CONNECTORS_PATH"], "a") as f:
        f.write("\\ndef edge_a_to_d(output):\\n    return 1\\n")
    w.edgeConnectors[("a", "d")] = "edge_a_to_d"
    assert w.getConnector(Node("a"), Node("d"))({}) == 1
    print(next(iter(weftling._worker._clients)).proc.pid, flush=True)
    if sys.argv[1] == "collect":
        del w
        import gc; gc.collect()
        print("collected", flush=True)
    time.sleep(60)
""")


def gone(pid, seconds=5.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().split(") ", 1)[1].startswith("Z"):
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("end", ["collect", "kill"])
def test_no_worker_outlives_its_weftling_or_the_host(connectors_file, tmp_path, end):
    script = tmp_path / "host.py"
    script.write_text(HOST)
    host = subprocess.Popen([sys.executable, str(script), end], stdout=subprocess.PIPE, text=True,
                            env=child_env(PLEXARO_CONNECTORS_PATH=str(connectors_file)))
    try:
        pid = int(host.stdout.readline())
        if end == "collect":
            assert host.stdout.readline() == "collected\n"
        else:
            host.kill()
        assert gone(pid)
    finally:
        host.kill()
        host.wait()
