"""What a model's reply may contain before it reaches the connectors file."""
import pytest

from conftest import ScriptedLLM
from plexaro.node import Node

LOGGER = "plexaro.helpers.weftling"
GOOD = "def edge_a_to_d(output):\n    return {'v': 1}"
GOOD_F = GOOD.replace("{", "{{").replace("}", "}}")


def stored_then(make, connectors_file, *replies):
    """A Weftling with one stored connector (b -> d), then `replies` for a -> d."""
    w = make("def edge_b_to_d(output):\n    return {'b': 1}", *replies)
    w.generateConnector(Node("b"), Node("d"))
    return w, connectors_file.read_bytes()


# Code that would run when the file is loaded, or that calls what a
# connector must never call; `{mark}` is a file the payload would create.
PAYLOADS = {
    "module-level call": (GOOD_F + "\nopen({mark!r}, 'w').write('x')", "top level"),
    "module-level __import__": (GOOD_F + "\n__import__('os').system('touch {mark}')", "top level"),
    "default argument": ("def edge_a_to_d(output, x=open({mark!r}, 'w')):\n    return {{}}",
                         "default values"),
    "decorator": (GOOD_F + "\n@(lambda f: open({mark!r}, 'w') and f)\ndef helper():\n    pass",
                  "decorated"),
    "class body": (GOOD_F + "\nclass Planted:\n    open({mark!r}, 'w')", "top level"),
    "annotation": ("def edge_a_to_d(output: open({mark!r}, 'w')) -> dict:\n    return {{}}",
                   "annotations"),
    "subprocess (import added by the clean-up)":
        ("def edge_a_to_d(output):\n    subprocess.run(['touch', {mark!r}])\n    return {{}}",
         "limited to these standard modules"),
    "os.system": ("def edge_a_to_d(output):\n    os.system('touch {mark}')\n    return {{}}",
                  "process"),
    "os.remove": ("def edge_a_to_d(output):\n    os.remove(output['x'])\n    return {{}}", "file-removing"),
    "shutil.rmtree": ("def edge_a_to_d(output):\n    import shutil\n    shutil.rmtree('/x')\n    return {{}}",
                      "file-removing"),
    "Path.unlink": ("def edge_a_to_d(output):\n    import pathlib\n    pathlib.Path('x').unlink()\n"
                    "    return {{}}", "file-removing"),
    "from os import system": ("def edge_a_to_d(output):\n    from os import system as s\n    s('x')\n"
                              "    return {{}}", "process"),
    "eval": ("def edge_a_to_d(output):\n    return eval(output['code'])", "eval"),
    "exec": ("def edge_a_to_d(output):\n    exec('x=1')\n    return {{}}", "eval"),
    "__import__": ("def edge_a_to_d(output):\n    return __import__('socket')", "eval"),
    "getattr with a computed name": ("def edge_a_to_d(output):\n    return getattr(os, 'sys' + 'tem')('x')",
                                     "literal attribute name"),
    "getattr reaching a denied call": ("def edge_a_to_d(output):\n    return getattr(os, 'system')('x')",
                                       "process"),
    "os.sys": ("def edge_a_to_d(output):\n    return os.sys.modules", "private attributes"),
    "dunder escape": ("def edge_a_to_d(output):\n    return ().__class__.__bases__[0].__subclasses__()",
                      "private attributes"),
    "module alias": ("def edge_a_to_d(output):\n    x = os\n    return x.system('y')", "through its attributes"),
    "os reached through another module": ("def edge_a_to_d(output):\n    glob.os.remove('x')\n"
                                           "    return {{}}", "file-removing"),
    "global statement": ("def edge_a_to_d(output):\n    global os\n    os = 1\n    return {{}}",
                         "global and nonlocal"),
    "socket": ("def edge_a_to_d(output):\n    import socket\n    return {{}}", "limited to these"),
    "importlib": ("def edge_a_to_d(output):\n    import importlib\n    return {{}}", "limited to these"),
    "relative import": ("def edge_a_to_d(output):\n    from . import x\n    return {{}}", "relative imports"),
    "star import": ("def edge_a_to_d(output):\n    from os import *\n    return {{}}", "import *"),
}

# Replies crafted to get past the check: each one ran when it was stored.
FN = "def edge_a_to_d(output):\n    "
PAYLOADS.update({
    "attrgetter of __globals__": (FN + "b = operator.attrgetter('__glob' + 'als__')(edge_b_to_d)['__builtins__']\n"
                                  "    b['__import__']('os').system('touch {mark}')\n    return {{}}", "computed name"),
    "methodcaller on glob.os": (FN + "import operator\n    operator.methodcaller('system', 'touch {mark}')(glob.os)\n"
                                "    return {{}}", "computed name"),
    "getattr as a value": (FN + "g = getattr\n    g(edge_b_to_d, '__glob' + 'als__')\n    return {{}}",
                           "called directly"),
    "string annotation resolved by get_type_hints":
        (FN + "def inner(x: \"__import__('os').system('touch {mark}')\"):\n        pass\n"
         "    typing.get_type_hints(inner)\n    return {{}}", "annotations"),
    "singledispatch resolving annotations": (FN + "import functools\n    functools.singledispatch(len)\n"
                                             "    return {{}}", "string evaluation"),
    "glob.os aliased": (FN + "o = glob.os\n    o.spawnv(0, '/bin/touch', ['touch', {mark!r}])\n    return {{}}",
                        "through its attributes"),
    "os from another module imported": (FN + "from glob import os as o\n    o.remove(output['x'])\n"
                                        "    return {{}}", "file-removing"),
    "comprehension variable shadowing os": (FN + "[0 for os in ()]\n"
                                            "    os.spawnv(0, '/bin/touch', ['touch', {mark!r}])\n    return {{}}",
                                            "process"),
    "nested function shadowing os": (FN + "def inner():\n        os = 1\n"
                                     "    os.posix_spawn('/bin/touch', ['touch', {mark!r}], {{}})\n    return {{}}",
                                     "process"),
    "nested import shadowing os": (FN + "def inner():\n        import shutil as os\n    os.remove(output['x'])\n"
                                   "    return {{}}", "file-removing"),
    "builtins reached through enum": (FN + "import enum\n    enum.bltns.exec(output['code'])\n    return {{}}",
                                      "outside the allow-list"),
    "frame globals of a generator": (FN + "g = (x for x in ())\n    return g.gi_frame.f_globals",
                                     "string evaluation"),
    "library object attribute changed": (FN + "t = tempfile.TemporaryDirectory()\n    t.name = output['x']\n"
                                         "    t.cleanup()\n    return {{}}", "must not be assigned"),
    "setattr with a literal": (FN + "t = tempfile.TemporaryDirectory()\n    setattr(t, 'name', output['x'])\n"
                               "    return {{}}", "setattr"),
    "Path.rename": (FN + "import pathlib\n    pathlib.Path(output['x']).rename(output['y'])\n    return {{}}",
                    "renaming"),
    "os.open with O_TRUNC": (FN + "os.open(output['x'], os.O_TRUNC)\n    return {{}}", "permission-changing"),
    "os.chmod": (FN + "os.chmod(output['x'], 0o777)\n    return {{}}", "permission-changing"),
    "environment changed": (FN + "os.environ['LD_PRELOAD'] = output['x']\n    return {{}}", "permission-changing"),
    "format template walking attributes": (FN + "return '{{0.__globals__[os].environ}}'.format(edge_b_to_d)",
                                           "also in strings"),
    "format of a built template": (FN + "return ('{{0.__glo' + 'bals__}}').format(edge_b_to_d)",
                                   "literal template"),
    "Formatter": (FN + "return string.Formatter().format('{{0.__glo' + 'bals__}}', edge_b_to_d)",
                  "string evaluation"),
    "Path.replace moving a file": (FN + "import pathlib\n    pathlib.Path(output['x']).replace(output['y'])\n"
                                   "    return {{}}", "renames"),
    "library class subclassed": (FN + "class T(tempfile.TemporaryDirectory):\n"
                                 "        name = property(lambda s: output['x'], lambda s, v: None)\n"
                                 "    T().cleanup()\n    return {{}}", "base classes"),
    "subclass made by the metaclass": (FN + "T = type(type(0))('T', (tempfile.TemporaryDirectory,), {{}})\n"
                                       "    return {{}}", "type"),
    "library class mixed into an Enum": (FN + "import enum\n    enum.Enum('E', 'a', type=tempfile.TemporaryDirectory)\n"
                                         "    return {{}}", "mixin type"),
    "double-underscore method": (FN + "class T:\n        def __del__(self):\n            pass\n    return {{}}",
                                 "double-underscore name"),
})


@pytest.mark.parametrize("payload", PAYLOADS, ids=list(PAYLOADS))
def test_payload_is_refused_and_nothing_is_written(make, connectors_file, tmp_path, payload):
    mark = tmp_path / "ran"
    code, rule = PAYLOADS[payload]
    reply = code.format(mark=str(mark))
    w, before = stored_then(make, connectors_file, reply, reply)
    with pytest.raises(ValueError) as error:
        w.generateConnector(Node("a"), Node("d"))
    message = str(error.value)
    assert message.startswith("Connector code for a -> d was not stored") and rule in message
    assert connectors_file.read_bytes() == before
    assert ("a", "d") not in w.edgeConnectors
    # The single repair request named the rule and showed the code.
    repair = w.llm.prompts[-1]
    assert len(w.llm.prompts) == 3 and repair.startswith("The connector code breaks these rules:\n")
    assert rule in repair
    assert w.getConnector(Node("b"), Node("d"))({}) == {"b": 1}
    assert not mark.exists()


def test_a_variable_named_like_a_module_is_no_module(make):
    # The clean-up imports `string` for a variable of that name; the
    # variable is still just a variable.
    w = make("def edge_a_to_d(output):\n    string = output['s']\n    return {'s': string.replace('a', 'b')}")
    w.generateConnector(Node("a"), Node("d"))
    assert len(w.llm.prompts) == 1
    assert w.getConnector(Node("a"), Node("d"))({"s": "abc"}) == {"s": "bbc"}


def test_a_repaired_reply_is_stored(make, connectors_file):
    w, _ = stored_then(make, connectors_file,
                       "def edge_a_to_d(output):\n    os.system('x')\n    return {}", GOOD)
    assert w.generateConnector(Node("a"), Node("d")) == "edge_a_to_d"
    assert "line 2: no process, network" in w.llm.prompts[-1]
    assert w.llm.prompts[-1].endswith("def edge_a_to_d(output):\n    os.system('x')\n    return {}")
    assert w.getConnector(Node("a"), Node("d"))({}) == {"v": 1}


def test_syntax_repair_is_the_only_repair(make, connectors_file):
    w, before = stored_then(make, connectors_file, "def edge_a_to_d(:\n",
                            "def edge_a_to_d(output):\n    return eval('1')")
    with pytest.raises(ValueError, match="eval"):
        w.generateConnector(Node("a"), Node("d"))
    assert len(w.llm.prompts) == 3 and w.llm.prompts[-1].startswith("Python syntax error: ")
    assert connectors_file.read_bytes() == before


ALLOWED = '''def edge_a_to_d(output):
    src = output['src']
    out = tempfile.mkdtemp()
    rows = list(csv.reader(io.StringIO('a,b\\n1,2')))
    name = re.sub(r'\\W', '_', pathlib.Path(src).stem)
    target = os.path.join(out, name + '.txt.gz')
    with gzip.open(target, 'wt') as f:
        f.write(json.dumps(rows))
    shutil.copy(src, os.path.join(out, 'copy'))
    os.makedirs(os.path.join(out, 'sub'), exist_ok=True)
    os.symlink(src, os.path.join(out, 'sub', 'link'))
    fd, scratch = tempfile.mkstemp(dir=out)
    os.close(fd)
    found = sorted(glob.glob(os.path.join(out, '**', '*'), recursive=True))
    def size(p):
        return pathlib.Path(p).stat().st_size
    sizes = sorted(((size(p), p) for p in found if os.path.isfile(p)), key=operator.itemgetter(0))
    meta = {'n': len(sizes), 'id': '{}__{}'.format('S1', output['src'].replace('/', '_'))}.copy()
    assert isinstance(meta, collections.abc.Mapping) and [os for os in ['x']] == ['x']
    counts = collections.Counter(fnmatch.fnmatch(p, '*.gz') for p in found)
    return {'dir': out, 'gz': counts[True], 'mean': statistics.mean([1, 3]),
            'n': math.floor(len(list(itertools.chain(found)))), 'sep': string.digits[:1],
            'bz': bz2.compress(b'x') != b'', 'xz': lzma.compress(b'x') != b''}'''


def test_a_connector_using_only_allowed_modules_is_stored_and_runs(make, connectors_file, tmp_path):
    src = tmp_path / "in.fa"
    src.write_text(">x\nAC\n")
    w = make(ALLOWED)
    w.generateConnector(Node("a"), Node("d"))
    assert len(w.llm.prompts) == 1
    result = w.getConnector(Node("a"), Node("d"))({"src": str(src)})
    assert result["gz"] == 1 and result["mean"] == 2 and result["xz"]


def test_the_environment_widens_the_allow_list_but_never_to_denied_modules(make, monkeypatch):
    uses = "def edge_a_to_d(output):\n    import {m}\n    return {{}}"
    w = make(uses.format(m="hashlib"), uses.format(m="hashlib"))
    with pytest.raises(ValueError, match="hashlib"):
        w.generateConnector(Node("a"), Node("d"))
    monkeypatch.setenv("PLEXARO_CONNECTOR_MODULES", "hashlib, subprocess")
    w.llm = ScriptedLLM(uses.format(m="hashlib"))
    w.generateConnector(Node("a"), Node("d"))
    denied = uses.format(m="subprocess").replace("edge_a_to_d", "edge_b_to_d")
    w.llm = ScriptedLLM(denied, denied)
    with pytest.raises(ValueError, match="subprocess"):
        w.generateConnector(Node("b"), Node("d"))


# PLEXARO_CONNECTOR_MODULES may add only reviewed modules; the others are
# named in a warning and stay refused.
NOT_ADDABLE = ["_posixsubprocess", "_socket", "socketserver", "xmlrpc", "imaplib", "poplib", "telnetlib",
               "selectors", "zipimport", "pkgutil", "imp", "_imp", "_ctypes", "_pickle", "concurrent",
               "_multiprocessing", "uuid", "xml", "subprocess.run"]
ADDED = [("hashlib", "hashlib"), ("base64 struct", "struct"), ("xml.etree", "xml.etree.ElementTree as ET"),
         ("xml.etree", "xml.sax")]


@pytest.mark.parametrize("env,module", [(m, m) for m in NOT_ADDABLE] + ADDED,
                         ids=[f"refused {m}" for m in NOT_ADDABLE] + [f"{e}: {m}" for e, m in ADDED])
def test_only_reviewed_modules_can_be_added(make, monkeypatch, records, env, module):
    monkeypatch.setenv("PLEXARO_CONNECTOR_MODULES", env)
    uses = f"def edge_a_to_d(output):\n    import {module}\n    return {{}}"
    w = make(uses, uses)
    stored = module != "xml.sax" and env not in NOT_ADDABLE
    if stored:
        w.generateConnector(Node("a"), Node("d"))
        assert w.getConnector(Node("a"), Node("d"))({}) == {}
    else:
        with pytest.raises(ValueError, match="limited to these standard modules"):
            w.generateConnector(Node("a"), Node("d"))
    warned = [args for level, msg, args in records(LOGGER) if msg.startswith("PLEXARO_CONNECTOR_MODULES")]
    assert warned == ([] if env not in NOT_ADDABLE else [(env, warned[0][1])])
    assert not warned or "hashlib" in warned[0][1]


def test_connectors_not_asked_for_are_dropped_with_a_warning(make, connectors_file, records):
    w = make("def edge_a_to_b(output):\n    return {'a': 1}")
    w.generateConnector(Node("a"), Node("b"))
    w.llm = ScriptedLLM("def edge_c_to_d(output):\n    return {'c': 1}\n"
                        "def edge_a_to_b(output):\n    return {'hijacked': 1}\n"
                        "def edge_x_to_y(output):\n    return {'planted': 1}\n"
                        "def helper(v):\n    return v")
    w.generateConnector(Node("c"), Node("d"))
    text = connectors_file.read_text()
    assert "hijacked" not in text and "edge_x_to_y" not in text and "def helper(v)" in text
    assert w.getConnector(Node("a"), Node("b"))({}) == {"a": 1}
    dropped = [args[0] for level, msg, args in records(LOGGER) if msg.startswith("Connector %s dropped")]
    assert dropped == ["edge_a_to_b", "edge_x_to_y"]


def test_a_helper_that_would_replace_a_stored_name_is_dropped(make, connectors_file, records):
    w = make("def edge_a_to_d(output):\n    return helper(1)\ndef helper(v):\n    return {'v': v}",
             "def edge_b_to_d(output):\n    return helper(2)\ndef helper(v):\n    return {'evil': v}\n"
             "def json(x):\n    return x")
    w.generateConnector(Node("a"), Node("d"))
    w.generateConnector(Node("b"), Node("d"))
    assert "evil" not in connectors_file.read_text() and "def json" not in connectors_file.read_text()
    assert w.getConnector(Node("a"), Node("d"))({}) == {"v": 1}
    assert w.getConnector(Node("b"), Node("d"))({}) == {"v": 2}
    assert sorted(args[0] for _, msg, args in records(LOGGER) if msg.startswith("Helper %s")) == [
        "helper", "json"]


BROKEN = {
    "refusal": "I'm sorry, I can't help with that.",
    "two fenced blocks": "```python\n" + GOOD + "\n```\n\n```python\ndef helper():\n    pass\n```",
    "NUL byte": GOOD + "\n\ndef helper():\n    return '\0'",
    "module constant whose import went": "import re\n" + GOOD + "\nPATTERN = re.compile('x')",
}


@pytest.mark.parametrize("reply", BROKEN, ids=list(BROKEN))
def test_a_bad_batch_leaves_the_file_byte_identical_and_loadable(make, connectors_file, reply):
    w, before = stored_then(make, connectors_file, BROKEN[reply], BROKEN[reply])
    with pytest.raises(ValueError, match="^Connector code for a -> d was not stored"):
        w.generateConnector(Node("a"), Node("d"))
    assert connectors_file.read_bytes() == before
    assert w.getConnector(Node("b"), Node("d"))({}) == {"b": 1}
