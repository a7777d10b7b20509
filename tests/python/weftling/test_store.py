"""Batching, the connectors file and loading connectors from it."""
import re
import sys
import threading
import time

import pytest

from conftest import ScriptedLLM, child_env
from plexaro.node import GatherNode, InputNode, Node

HEADER = "# Auto-generated connector functions\nimport os\nimport json\nimport glob\nimport tempfile\n"


def fn(name, value):
    return f"def {name}(output):\n    return {{'v': {value!r}}}"


def names_line(prompt):
    return prompt.rsplit("Write all ", 1)[1]


def test_missing_siblings_share_one_call_in_host_order(make, connectors_file):
    a, b, c = Node("a"), InputNode("b", {"x": 1}), Node("c")
    d = Node("d", inNodes=[c, a, b])
    w = make("\n\n".join([fn("edge_c_to_d", 1), fn("edge_a_to_d", 2), fn("edge_b_to_d", 3)]))
    assert w.generateConnector(a, d) == "edge_a_to_d"
    assert [names_line(p) for p in w.llm.prompts] == [
        "3 function(s) with these exact names: edge_c_to_d, edge_a_to_d, edge_b_to_d."]
    assert w.edgeConnectors == {("c", "d"): "edge_c_to_d", ("a", "d"): "edge_a_to_d",
                                ("b", "d"): "edge_b_to_d"}
    assert connectors_file.read_text() == HEADER + "\n" + "\n\n".join(
        [fn("edge_c_to_d", 1), fn("edge_a_to_d", 2), fn("edge_b_to_d", 3)]) + "\n"
    assert [w.getConnector(u, d)({}) for u in (a, b, c)] == [{"v": 2}, {"v": 3}, {"v": 1}]
    assert d.inNodes == [c, a, b]


def test_stored_edges_need_no_call(make, connectors_file):
    a, b = Node("a"), Node("b")
    d = Node("d", inNodes=[a, b])
    w = make(fn("edge_a_to_d", 1) + "\n" + fn("edge_b_to_d", 2))
    w.generateConnector(b, d)
    before = connectors_file.read_text()
    w.edgeConnectors.clear()
    assert w.generateConnector(a, d) == "edge_a_to_d"
    assert len(w.llm.prompts) == 1 and connectors_file.read_text() == before
    assert w.edgeConnectors == {("a", "d"): "edge_a_to_d", ("b", "d"): "edge_b_to_d"}


@pytest.mark.parametrize("in_nodes", [None, [], False, "absent"])
def test_downstream_without_in_nodes_asks_for_the_requested_edge(make, in_nodes):
    up = Node("autodock-vina")
    down = Node("pipe.fold")
    if in_nodes == "absent":
        del down.inNodes
    else:
        down.inNodes = in_nodes
    w = make(fn("edge_autodock_vina_to_fold", 0))
    assert w.generateConnector(up, down) == "edge_autodock_vina_to_fold"
    assert names_line(w.llm.prompts[0]) == "1 function(s) with these exact names: edge_autodock_vina_to_fold."


def test_upstream_not_listed_is_appended_last(make):
    a, extra = Node("a"), Node("x.")
    down = Node("x", inNodes=(a,))
    w = make(fn("edge_a_to_x", 1) + "\n" + fn("edge__to_x", 2))
    assert w.generateConnector(extra, down) == "edge__to_x"
    assert names_line(w.llm.prompts[0]) == "2 function(s) with these exact names: edge_a_to_x, edge__to_x."
    assert w.getConnector(extra, down)({}) == {"v": 2}


def test_ids_that_reduce_alike_share_a_connector(make):
    down = Node("c")
    w = make(fn("edge_a_b_to_c", 1))
    w.generateConnector(Node("a-b"), down)
    assert w.generateConnector(Node("a_b"), down) == "edge_a_b_to_c"
    assert len(w.llm.prompts) == 1
    assert w.edgeConnectors == {("a-b", "c"): "edge_a_b_to_c", ("a_b", "c"): "edge_a_b_to_c"}


def test_regeneration_replaces_only_that_definition(make, connectors_file):
    a, b, c = Node("a"), Node("b"), Node("c")
    mention = "\n    # like def edge_b_to_t(output) elsewhere"
    w = make(fn("edge_a_to_t", 1) + "\n\n" + fn("edge_c_to_t", 3) + mention)
    w.generateConnector(a, Node("t", inNodes=[a, c]))

    def racing(prompt):
        # Another thread stores b's connector between this one's check and its write.
        with open(connectors_file, "a") as f:
            f.write("\n" + fn("edge_b_to_t", 2) + "\n\n\n" + fn("helper", 0) + "\n")
        return fn("edge_b_to_t", 20)

    w.llm = ScriptedLLM(racing)
    w.generateConnector(b, Node("t", inNodes=[a, b, c]))
    assert connectors_file.read_text() == HEADER + "\n" + "\n\n".join([
        fn("edge_a_to_t", 1), fn("edge_c_to_t", 3) + mention, fn("helper", 0),
        fn("edge_b_to_t", 20)]) + "\n"
    assert w.getConnector(b, Node("t"))({}) == {"v": 20}


def test_get_connector_loads_lazily_and_reloads_after_a_write(make, connectors_file):
    a, b = Node("a"), Node("b")
    d = Node("d")
    w = make(fn("edge_a_to_d", 1), fn("edge_b_to_d", 2))
    assert w.getConnector(a, d) is None and w._module is None
    w.generateConnector(a, d)
    assert w._module is None
    first = w.getConnector(a, d)
    module = w._module
    assert module.__name__ == "connectors" and "connectors" not in sys.modules
    assert module.__file__ == str(connectors_file)
    assert w.getConnector(a, d) is first and w._module is module
    w.generateConnector(b, d)
    assert w._module is None
    assert w.getConnector(b, d)({}) == {"v": 2}
    # Only functions were appended: the loaded module receives just those.
    assert w._module is module and w.getConnector(a, d) is first


def test_a_regenerated_connector_loads_the_file_afresh(make, connectors_file):
    a, d = Node("a"), Node("d")
    w = make(fn("edge_a_to_d", 1), fn("edge_a_to_d", 2))
    w.generateConnector(a, d)
    first_module = (w.getConnector(a, d), w._module)[1]
    w.edgeConnectors.clear()
    connectors_file.write_text(HEADER)          # another writer reset the file
    w.generateConnector(a, d)
    assert w.getConnector(a, d)({}) == {"v": 2}
    assert w._module is not first_module


def test_recorded_name_missing_from_the_file(make):
    a, b = Node("a"), Node("b")
    d = Node("d", inNodes=[a, b])
    w = make(fn("edge_a_to_d", 1))   # the model left out edge_b_to_d
    w.generateConnector(a, d)
    assert w.edgeConnectors[("b", "d")] == "edge_b_to_d"
    with pytest.raises(AttributeError, match="module 'connectors' has no attribute 'edge_b_to_d'"):
        w.getConnector(b, d)


def test_reconstruction_empties_the_shared_file(make, weftling):
    a, d = Node("a"), Node("d")
    first = make(fn("edge_a_to_d", 1))
    first.generateConnector(a, d)
    make()
    with pytest.raises(AttributeError):
        first.getConnector(a, d)


def test_same_size_rewrite_is_never_served_from_a_stale_cache(make, monkeypatch):
    # The host caches compiled files by size and whole-second modification time.
    monkeypatch.setattr(sys, "dont_write_bytecode", False)
    a, d = Node("a"), Node("d")
    first = make(fn("edge_a_to_d", 1))
    first.generateConnector(a, d)
    assert first.getConnector(a, d)({}) == {"v": 1}
    second = make(fn("edge_a_to_d", 2))
    second.generateConnector(a, d)
    assert second.getConnector(a, d)({}) == {"v": 2}


def test_code_that_stays_unparseable_is_never_written(make, connectors_file):
    a, d = Node("a"), Node("d", inNodes=[])
    w = make(fn("edge_b_to_d", 0), "def edge_a_to_d(:\n    pass", "def edge_a_to_d(:\n    pass")
    w.generateConnector(Node("b"), d)
    before = connectors_file.read_bytes()
    with pytest.raises(ValueError, match=r"^Connector code for a -> d was not stored.*valid Python"):
        w.generateConnector(a, d)
    assert connectors_file.read_bytes() == before and len(w.llm.prompts) == 3
    assert ("a", "d") not in w.edgeConnectors


def test_llm_failure_changes_nothing(make, connectors_file):
    a, b = Node("a"), Node("b")
    d = Node("d", inNodes=[a, b])
    ok = make(fn("edge_a_to_d", 1))
    ok.generateConnector(a, Node("d"))
    before = connectors_file.read_text()

    def fail(prompt):
        raise ConnectionError("vendor down")

    ok.llm = ScriptedLLM(fail)
    ok.edgeConnectors.clear()
    with pytest.raises(ConnectionError):
        ok.generateConnector(b, d)
    assert connectors_file.read_text() == before
    assert ok.edgeConnectors == {("a", "d"): "edge_a_to_d"}
    assert ok.fileLock.acquire(blocking=False)


INTERRUPTED = """
import resource, signal, sys
from plexaro.helpers import weftling
from plexaro.node import Node

class One:
    def call(self, prompt):
        name = prompt.rsplit(": ", 1)[1].rstrip(".")
        return f"def {name}(output):\\n    return {{'pad': {'x' * 4000!r}}}"

weftling._default_llm = One
w = weftling.Weftling()
w.generateConnector(Node("a"), Node("d"))
# The disk "fills up" while the next batch is written.
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
limit = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
try:
    w.generateConnector(Node("b"), Node("d"))
except OSError as e:
    print("OSError", e.errno)
"""


def test_interrupted_rewrite_keeps_the_stored_connectors(connectors_file, tmp_path):
    import os
    import subprocess
    script = tmp_path / "interrupted.py"
    script.write_text(INTERRUPTED)
    env = child_env(PLEXARO_CONNECTORS_PATH=str(connectors_file))
    out = subprocess.run([sys.executable, str(script), "6000"], capture_output=True, text=True,
                         env=env, timeout=120)
    assert out.stdout.startswith("OSError 27"), out.stdout + out.stderr   # EFBIG
    text = connectors_file.read_text()
    assert "def edge_a_to_d(" in text and "edge_b_to_d" not in text
    assert sorted(p.name for p in connectors_file.parent.iterdir()) == [
        "connectors.py", "connectors.py.committed", "connectors.py.lock"]


def test_rewrite_keeps_the_file_mode(make, connectors_file):
    w = make(fn("edge_a_to_d", 1))
    connectors_file.chmod(0o640)
    w.generateConnector(Node("a"), Node("d"))
    assert connectors_file.stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("call, name", [
    (lambda w: w.generateConnector(Node(1), Node("d")), "node_id"),
    (lambda w: w.generateConnector(Node("a"), Node(2.0)), "node_id"),
    (lambda w: w.generateConnector(Node("a"), Node("d"), extra_context=b"ctx"), "extra_context"),
])
def test_bad_arguments(make, connectors_file, call, name):
    w = make()
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type"):
        call(w)
    assert connectors_file.read_text() == HEADER and w.edgeConnectors == {}


def test_node_without_id(make):
    with pytest.raises(AttributeError):
        make().generateConnector(object(), Node("d"))


def test_function_survives_a_concurrent_reset_of_the_module(make):
    a, d = Node("a"), Node("d")
    w = make(fn("edge_a_to_d", 1))
    w.generateConnector(a, d)
    real = w.fileLock

    class ResetOnRelease:
        # Another thread's write lands right after this thread loaded the file.
        def acquire(self):
            return real.acquire()

        def release(self):
            w._module = None
            real.release()

    w.fileLock = ResetOnRelease()
    assert w.getConnector(a, d)({}) == {"v": 1}


def test_threads_generating_together_leave_one_definition_each(make, connectors_file):
    ups = [Node(f"u{i}") for i in range(4)]
    downs = [Node(f"d{j}", inNodes=list(ups)) for j in range(3)]

    def reply(prompt):
        time.sleep(0.01)
        names = names_line(prompt).split(": ", 1)[1].rstrip(".").split(", ")
        return "\n\n".join(fn(n, n) for n in names)

    w = make()
    w.llm = ScriptedLLM(*[reply] * 100)
    errors = []

    def work(up, down):
        try:
            w.generateConnector(up, down)
        except Exception as e:
            errors.append(e)

    threads = [threading.Thread(target=work, args=(u, d)) for d in downs for u in ups]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    text = connectors_file.read_text()
    defined = re.findall(r"^def (\w+)\(", text, re.M)
    assert sorted(defined) == sorted({f"edge_{u.id}_to_{d.id}" for u in ups for d in downs})
    for d in downs:
        for u in ups:
            assert w.getConnector(u, d)({}) == {"v": f"edge_{u.id}_to_{d.id}"}


def test_regeneration_keeps_top_level_neighbours_that_follow(make, connectors_file):
    a, b = Node("a"), Node("b")
    neighbours = ("SUFFIXES = ('.pdb',)\n\n\n@staticmethod\ndef helper(x):\n    return x\n\n"
                  "async def later(x):\n    return x")

    def racing(prompt):
        with open(connectors_file, "a") as f:
            f.write("\n" + fn("edge_b_to_t", 1) + "\n\n" + neighbours + "\n")
        return fn("edge_b_to_t", 2)

    w = make(fn("edge_a_to_t", 0), racing)
    w.generateConnector(a, Node("t"))
    w.generateConnector(b, Node("t"))
    assert connectors_file.read_text() == HEADER + "\n" + "\n\n".join(
        [fn("edge_a_to_t", 0), neighbours, fn("edge_b_to_t", 2)]) + "\n"


def test_regeneration_in_a_file_that_does_not_parse(make, connectors_file):
    def racing(prompt):
        with open(connectors_file, "a") as f:
            f.write("\n" + fn("edge_b_to_t", 1) + "\n\ndef broken(:\n")
        return fn("edge_b_to_t", 2)

    w = make(racing)
    w.generateConnector(Node("b"), Node("t"))
    assert connectors_file.read_text() == HEADER + "\ndef broken(:\n\n" + fn("edge_b_to_t", 2) + "\n"


KILLED = """
import os, resource, signal, sys
from plexaro.helpers import weftling
from plexaro.node import Node

class One:
    def call(self, prompt):
        name = prompt.rsplit(": ", 1)[1].rstrip(".")
        return f"def {name}(output):\\n    return {{'pad': {'x' * 4000!r}}}"

weftling._default_llm = One
w = weftling.Weftling()
w.generateConnector(Node("a"), Node("d"))
# The process dies (SIGXFSZ) part way through appending the next batch.
limit = os.path.getsize(sys.argv[1]) + 100
signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
w.generateConnector(Node("b"), Node("d"))
"""


def test_an_append_torn_by_a_dying_writer_is_cut_off(make, connectors_file, tmp_path, records):
    import subprocess
    w = make("def edge_b_to_d(output):\n    return {'b': 2}")
    script = tmp_path / "killed.py"
    script.write_text(KILLED)
    env = child_env(PLEXARO_CONNECTORS_PATH=str(connectors_file))
    out = subprocess.run([sys.executable, str(script), str(connectors_file)], capture_output=True,
                         text=True, env=env, timeout=120)
    assert out.returncode < 0, out.stdout + out.stderr
    torn = connectors_file.read_text()
    assert "def edge_b_to_d(" in torn and not torn.endswith("\n")
    # The next holder of the lock cuts the torn function off: the edge is
    # missing again, generated afresh, and the file loads.
    w.generateConnector(Node("b"), Node("d"))
    assert len(w.llm.prompts) == 1
    text = connectors_file.read_text()
    assert text.count("def edge_b_to_d(") == 1 and text.endswith("return {'b': 2}\n")
    assert w.getConnector(Node("b"), Node("d"))({}) == {"b": 2}
    assert any("interrupted append" in msg for _, msg, _ in records("plexaro.helpers.weftling"))
