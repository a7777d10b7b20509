"""Turning a model reply into function definitions for the connectors file."""
import ast
import re

import pytest
from hypothesis import given, settings, strategies as st

LOGGER = "plexaro.helpers.weftling"


def fence_reference(reply):
    raw = reply.strip()
    raw = re.sub(r"^```[a-zA-Z]*\n?", "", raw)
    return re.sub(r"\n?```$", "", raw)


@pytest.mark.parametrize("reply, cleaned", [
    ("```python\ndef f():\n    return 1\n```", "def f():\n    return 1"),
    ("\n\n```\ndef f(): pass\n```\n  ", "def f(): pass"),
    ("```py3\ndef f(): pass", "3\ndef f(): pass"),      # only the letters go
    ("def f(): pass", "def f(): pass"),
    ("```python\n```", ""),
    ("\u3000def f(): pass\u2029", "def f(): pass"),      # the host's white space
])
def test_call_and_clean_strips_fences(make, reply, cleaned):
    w = make(reply)
    assert w._call_and_clean("the prompt") == cleaned
    assert w.llm.prompts == ["the prompt"]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(["```", "python", "\n", " ", "\t", "def f(): pass", "x",
                                 "\u2028", "\r\n", "`", "é"]), max_size=12).map("".join))
def test_call_and_clean_matches_the_host_regular_expressions(reply):
    from plexaro.helpers import weftling

    class Echo:
        def call(self, prompt):
            return reply

    w = weftling.Weftling.__new__(weftling.Weftling)
    w.llm = Echo()
    assert w._call_and_clean("p") == fence_reference(reply)


@pytest.mark.parametrize("reply", [None, b"def f(): pass", 3])
def test_reply_that_is_not_text_is_refused(make, reply):
    with pytest.raises(TypeError, match=rf"^Expected str, got {type(reply).__name__}$"):
        make(reply)._call_and_clean("p")


def test_prose_and_imports_before_the_first_function_go(make):
    code = "Here you are:\nimport re\n\n@decorator\ndef f(x):\n    return x\nimport shutil\ndef g(y):\n    return y"
    assert make()._postprocess_code(code) == "def f(x):\n    return x\ndef g(y):\n    return y"


def test_syntax_error_gets_exactly_one_repair(make):
    broken = "def f(x:\n    return x"
    w = make("```python\nSure:\ndef f(x):\n    return re.escape(x)\n```")
    assert w._postprocess_code("Prose.\n" + broken) == "def f(x):\n    import re\n    return re.escape(x)"
    try:
        ast.parse(broken)
    except SyntaxError as e:
        error = str(e)
    assert w.llm.prompts == [
        "Python syntax error: " + error + "\nFix and return only the corrected code, no markdown:\n\n" + broken]


def test_repair_that_still_fails_is_returned_with_both_warnings(make, records):
    w = make("def f(:\n  pass")
    assert w._postprocess_code("def f(x:\n  pass") == "def f(:\n  pass"
    assert len(w.llm.prompts) == 1
    warnings = records(LOGGER)
    assert [(level, msg) for level, msg, _ in warnings] == [
        ("WARNING", "Top-level import strip skipped: %s"),
        ("WARNING", "Import injection skipped: %s")]
    for _, _, args in warnings:
        assert len(args) == 1 and args[0].startswith("invalid syntax")


def test_parser_errors_other_than_syntax_reach_the_caller(make):
    w = make()
    with pytest.raises(RecursionError):
        w._postprocess_code("def f():\n    return " + "1+" * 200000 + "1")
    assert w.llm.prompts == []


@pytest.mark.parametrize("method", ["_postprocess_code", "_strip_toplevel_imports",
                                    "_inject_missing_imports"])
@pytest.mark.parametrize("code", [None, b"x", 1])
def test_code_must_be_a_string(make, method, code):
    with pytest.raises(TypeError) as err:
        getattr(make(), method)(code)
    assert str(err.value) == f"Argument 'code' has incorrect type (expected str, got {type(code).__name__})"


def test_strip_toplevel_imports(make):
    code = ("def f():\n    import re\n    return re\n"
            "from os.path import (\n    join,\n    basename,\n)\n"
            "import a; x = 1\n"
            "def g():\n    return 2")
    assert make()._strip_toplevel_imports(code) == (
        "def f():\n    import re\n    return re\ndef g():\n    return 2")


def test_strip_keeps_line_separators_that_are_not_line_ends(make):
    # The parser counts only \n, \r and \r\n; a U+2028 inside a string literal stays.
    code = "import re\r\ndef f():\r\n    return 'a\u2028b'\r\n"
    assert make()._strip_toplevel_imports(code) == "def f():\n    return 'a\u2028b'"


def injected(make, code):
    result = make()._inject_missing_imports(code)
    compile(result, "<test>", "exec")
    return result


@pytest.mark.parametrize("code, result", [
    ("def f(p):\n    shutil.copy(p, re.sub('a', 'b', p))\n    return {}",
     "def f(p):\n    import re\n    import shutil\n    shutil.copy(p, re.sub('a', 'b', p))\n    return {}"),
    ("def f(p):\n  return math.pi",
     "def f(p):\n  import math\n  return math.pi"),
    ("def f(p):\n\treturn math.pi",
     "def f(p):\n\timport math\n\treturn math.pi"),
    ("def f(p,\n      q):\n    return math.pi",
     "def f(p,\n      q):\n    import math\n    return math.pi"),
    ('def f(p):\n    """Doc."""\n    return math.pi',
     'def f(p):\n    """Doc."""\n    import math\n    return math.pi'),
    ("def f(p): return math.pi",
     "def f(p):\n    import math\n    return math.pi"),
    ("@wrap\ndef f(p):\n    return math.pi",
     "@wrap\ndef f(p):\n    import math\n    import wrap\n    return math.pi"
     if "wrap" in __import__("sys").stdlib_module_names else
     "@wrap\ndef f(p):\n    import math\n    return math.pi"),
    ("def f(p):\n    string = 'x'\n    return string",
     "def f(p):\n    import string\n    string = 'x'\n    return string"),
])
def test_missing_imports_go_first_in_the_body(make, code, result):
    assert injected(make, code) == result


@pytest.mark.parametrize("code", [
    "def f(p):\n    return os.path.join(glob.glob(p)[0], json.dumps(tempfile.gettempdir()))",
    "def f(p):\n    import os.path as osp\n    return osp.join(p)",
    "def f(p):\n    from collections import OrderedDict\n    return collections",
    "def f(p):\n    import xml.dom\n    return xml.dom",
    "async def f(p):\n    return re.sub('a', 'b', p)",
    "def f(string, *queue, **types):\n    return string.upper(), queue, types",
    "def select(x):\n    return x\ndef f(p):\n    return select(p)",
    "def f(p):\n    return p",
])
def test_nothing_to_inject(make, code):
    assert make()._inject_missing_imports(code) == code


def test_each_definition_gets_its_own_imports(make):
    code = ("def f(p):\n    return re.sub('a', 'b', p)\n\n"
            "def g(p):\n    return textwrap.dedent(p)\n\n"
            "def f(p):\n    return p")
    assert injected(make, code) == (
        "def f(p):\n    import re\n    return re.sub('a', 'b', p)\n\n"
        "def g(p):\n    import textwrap\n    return textwrap.dedent(p)\n\n"
        "def f(p):\n    return p")


def test_function_that_would_break_is_left_as_it_is(make):
    # The body continues the signature's line, so an import line before it would not parse.
    code = "def f(p): \\\n    return math.pi\n\ndef g(p):\n    return math.pi"
    assert injected(make, code) == (
        "def f(p): \\\n    return math.pi\n\ndef g(p):\n    import math\n    return math.pi")


def test_imports_inside_the_function_count_even_after_use(make):
    code = "def f(p):\n    x = re\n    import re\n    return x"
    assert make()._inject_missing_imports(code) == code


def test_without_stdlib_names_nothing_is_done(make, monkeypatch):
    monkeypatch.setattr("sys.stdlib_module_names", frozenset())
    assert make()._inject_missing_imports("def f(p):\n    return re") == "def f(p):\n    return re"


def test_failing_pass_keeps_the_code(make, weftling, monkeypatch, records):
    def broken(self, code):
        raise KeyError("boom")

    monkeypatch.setattr(weftling.Weftling, "_strip_toplevel_imports", broken)
    code = "def f(p):\n    return re.escape(p)\nimport x"
    assert make()._postprocess_code(code) == "def f(p):\n    import re\n    return re.escape(p)\nimport x"
    assert records(LOGGER) == [("WARNING", "Top-level import strip skipped: %s", ("'boom'",))]


def test_interrupts_are_not_absorbed(make, weftling, monkeypatch):
    def interrupted(self, code):
        raise KeyboardInterrupt

    monkeypatch.setattr(weftling.Weftling, "_inject_missing_imports", interrupted)
    with pytest.raises(KeyboardInterrupt):
        make()._postprocess_code("def f(): pass")
