"""The tool's command line: staging names, placeholder substitution, shell
words, the token walk, positional fallback and the executable, as the tool
program receives them through the local mivo."""
import shlex

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from plexaro.helpers.mivo import MIVO

SAMTOOLS = {
    "args_template": "sort -t {threads} -o {sorted} {bam} {ref}",
    "entrypoint": "samtools",
    "outputs": {"sorted": {"type": "file"}},
}


def test_worked_example(step):
    step.tool("samtools", "open('sorted', 'w').write('sorted bam')")
    bam = step.file("a.bam")
    result = step.run("samtools", SAMTOOLS,
                      {"bam": bam, "threads": 4, "ref": "GRCh38", "output_dir": str(step.out)})
    assert step.argv("samtools") == ["sort", "-t", "4", "-o", "sorted", "a.bam", "GRCh38"]
    call = step.local_mivo.calls()[-1]
    assert call["argv"] == ["exec", "samtools", "sort", "-t", "4", "-o", "sorted", "a.bam", "GRCh38"]
    # mivo runs in the sandbox, and so does the tool.
    sandbox = call["cwd"]
    assert step.calls("samtools")[-1]["cwd"] == sandbox
    assert sandbox.startswith(str(step.local_mivo.temp_dir / "plexaro_sandboxes" / "run-samtools-"))
    assert len(sandbox.rsplit("-", 1)[1]) == 12
    assert result == {"sorted": str(step.out / "sorted")}


@pytest.mark.parametrize("ref_part, expected_tail", [
    ("{ref}", []),            # missing input: the bare placeholder is dropped
    ("-r {ref}", []),         # ...together with the flag before it
    ("--ref={ref}", []),      # partly unresolved word: dropped alone
    ("-r --ref={ref}", ["-r"]),
    ("{}", ["{}"]),           # not a placeholder
    ("{a}{b}", []),
    ("x{a}{b} -k", ["-k"]),
])
def test_unresolved_placeholders(step, ref_part, expected_tail):
    step.tool("t")
    step.run("t", {"args_template": "go " + ref_part}, {})
    assert step.argv("t") == ["go", *expected_tail]


@pytest.mark.parametrize("value, word", [
    (4, "4"), (True, "True"), (False, "False"), (0.1, "0.1"), (1e-20, "1e-20"),
    (2.0, "2.0"), ("two words", "two"), ("", None),
])
def test_scalar_forms(step, value, word):
    step.tool("t")
    step.run("t", {"args_template": "-x {v}"}, {"v": value})
    expected = {"two words": ["-x", "two", "words"], "": ["-x"]}.get(value) if isinstance(value, str) \
        else ["-x", word]
    assert step.argv("t") == expected


@pytest.mark.parametrize("value", [None, {"a": 1}, ["not-a-path", 3], []])
def test_values_that_resolve_nothing(step, value):
    step.tool("t")
    step.run("t", {"args_template": "keep -f {v} end"}, {"v": value})
    assert step.argv("t") == ["keep", "end"]


def test_same_named_inputs_each_get_their_own_copy(step):
    step.tool("t", "print(sorted(os.listdir('.')), open('reads.fq').read(),"
                   " open('fq_reads.fq').read(), open('fq_2_reads.fq').read())")
    files = [step.file(f"s{i}/reads.fq", f"sample {i}") for i in (1, 2, 3)]
    result = step.run("t", {"args_template": "{fq}"}, {"fq": files})
    assert step.argv("t") == ["reads.fq", "fq_reads.fq", "fq_2_reads.fq"]
    assert (step.out / "stdout" / "t_stdout.txt").read_text() == (
        "['fq_2_reads.fq', 'fq_reads.fq', 'reads.fq'] sample 1 sample 2 sample 3\n")
    assert result == {"stdout": str(step.out / "stdout" / "t_stdout.txt")}


def test_clash_between_two_keys(step):
    step.tool("t", "print(open('x.txt').read(), open('b_x.txt').read())")
    step.run("t", {"args_template": "{a} {b}"},
             {"a": step.file("1/x.txt", "first"), "b": step.file("2/x.txt", "second")})
    assert step.argv("t") == ["x.txt", "b_x.txt"]
    assert (step.out / "stdout" / "t_stdout.txt").read_text() == "first second\n"


@pytest.mark.parametrize("key", ["../b", "b/c"])
def test_clash_name_of_a_slashed_key_stays_a_file_in_the_sandbox(step, key):
    step.tool("t", "print(sorted(os.listdir('.')))")
    step.run("t", {"args_template": "{a} {%s}" % key},
             {"a": step.file("1/x.txt", "first"), key: step.file("2/x.txt", "second")})
    flat = key.replace("/", "_")
    assert step.argv("t") == ["x.txt", f"{flat}_x.txt"]
    assert not (step.inputs_dir.parent / "b_x.txt").exists()


def test_tool_name_with_a_slash_gets_a_flat_stdout_file(step):
    (step.tools / "org").mkdir()
    step.tool("org/t", "print('hello')")
    result = step.run(str(step.tools / "org" / "t"), {"args_template": "go"}, {})
    name = str(step.tools / "org" / "t").replace("/", "_") + "_stdout.txt"
    assert result == {"stdout": str(step.out / "stdout" / name)}
    assert (step.out / "stdout" / name).read_text() == "hello\n"


def test_directory_and_list_inputs(step):
    step.tool("t", "print(sorted(os.listdir('ref')), open('ref/sub/f.txt').read())")
    ref = step.inputs_dir / "ref"
    step.file("ref/sub/f.txt", "inside")
    step.file("ref/g.txt")
    reads = [step.file("r1.fq"), str(step.inputs_dir / "absent.fq"), step.file("r2.fq")]
    step.run("t", {"args_template": "--ref {ref} --reads {reads}"}, {"ref": str(ref), "reads": reads})
    assert step.argv("t") == ["--ref", "ref", "--reads", "r1.fq", "r2.fq"]
    assert (step.out / "stdout" / "t_stdout.txt").read_text() == "['g.txt', 'sub'] inside\n"


def test_relative_input_paths_resolve_against_the_working_directory(step):
    step.tool("t", "print(open('rel.txt').read())")
    with open("rel.txt", "w") as f:
        f.write("relative")
    step.run("t", {"args_template": "{x}"}, {"x": "rel.txt"})
    assert step.argv("t") == ["rel.txt"]
    assert (step.out / "stdout" / "t_stdout.txt").read_text() == "relative\n"


def test_input_named_like_an_output_slot(step):
    step.tool("t", "print(os.path.exists('in.txt'))")
    manifest = {"args_template": "{sorted} {n}", "outputs": {"sorted": {}, "n": {}}}
    step.run("t", manifest, {"sorted": step.file("in.txt"), "n": 7})
    # The path is staged but its placeholder names the slot; the scalar is ignored.
    assert step.argv("t") == ["sorted", "n"]
    assert (step.out / "stdout" / "t_stdout.txt").read_text() == "True\n"


def test_output_dir_key_is_never_an_input(step):
    step.tool("t")
    step.run("t", {"args_template": "{output_dir} x"}, {"output_dir": str(step.out)})
    assert step.argv("t") == ["x"]


@pytest.mark.parametrize("template, argv, captured", [
    ("run > {out}", ["run"], "out"),
    ("run > {out}.txt", ["run"], None),
    ("run < {inp} 2> log", ["run"], None),
    ("run >> app 2>> err tail", ["run", "tail"], None),
    ("a > {log} b > {out}", ["a", "b"], "out"),
])
def test_redirections(step, template, argv, captured):
    step.tool("t", "print('tool says hi')")
    result = step.run("t", {"args_template": template, "outputs": {"out": {}, "log": {}}},
                      {"inp": step.file("in.txt")})
    assert step.argv("t") == argv
    if captured:
        assert (step.out / captured).read_text() == "tool says hi\n"
        assert result[captured] == str(step.out / captured)
        assert not (step.out / "stdout").exists()
    else:
        assert result == {"out": None, "log": None, "stdout": str(step.out / "stdout" / "t_stdout.txt")}


@pytest.mark.parametrize("manifest, argv", [
    ({"args_template": "samtools sort x", "entrypoint": "samtools"}, ["sort", "x"]),
    ({"args_template": "/opt/bin/samtools sort", "entrypoint": "/opt/bin/samtools"}, ["sort"]),
    ({"args_template": "samtools sort", "entrypoint": "/opt/bin/samtools"}, ["sort"]),
    ({"args_template": "samtools samtools"}, ["samtools"]),
    ({"args_template": "/opt/bin/samtools sort", "entrypoint": "samtools"}, ["/opt/bin/samtools", "sort"]),
])
def test_entrypoint_removal(step, fake_run, manifest, argv):
    step.run("samtools", manifest, {})
    cmd = fake_run.calls[0][0]
    assert cmd[:2] == ["exec", manifest.get("entrypoint", "samtools")]
    assert cmd[2:] == argv


def test_positional_fallback_and_no_arguments(step):
    step.tool("t")
    step.run("t", {}, {"b": step.file("b.txt"), "n": 3, "l": [step.file("l1"), step.file("l2")]})
    assert step.argv("t") == ["b.txt", "l1", "l2"]
    step.run("t", {"args_template": ""}, {"n": 3})
    assert step.argv("t") == []
    # Everything dropped by the walk also leads to the staged names.
    step.run("t", {"args_template": "-f {missing}"}, {"b": step.file("b.txt")})
    assert step.argv("t") == ["b.txt"]


@pytest.mark.parametrize("args, name, expected, got", [
    ((1, {}, {}, "o"), "tool_name", "str", "int"),
    (("t", [], {}, "o"), "manifest", "dict", "list"),
    (("t", {}, None, "o"), "inputs", "dict", "NoneType"),
    (("t", {}, {}, b"o"), "output_dir", "str", "bytes"),
])
def test_typed_parameters(step, args, name, expected, got):
    class Sub(dict):
        pass

    with pytest.raises(TypeError) as info:
        step.mivo.run(*args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    with pytest.raises(TypeError, match="expected dict, got Sub"):
        step.mivo.run("t", Sub(), {}, "o")
    assert step.sandboxes() == []  # rejected before any file-system work


def test_bad_keys_and_templates(step, fake_run):
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        step.run("t", {}, {5: step.file("x")})
    with pytest.raises(TypeError, match=r'can only concatenate str \(not "int"\) to str'):
        step.run("t", {"args_template": "x"}, {5: "scalar"})
    with pytest.raises(ValueError, match="^No closing quotation$"):
        step.run("t", {"args_template": "a '{x}"}, {"x": 1})
    with pytest.raises(AttributeError):
        step.run("t", {"outputs": None}, {})
    assert fake_run.calls == []


@pytest.mark.parametrize("slot", ["/etc/evil", "../up", "a/../../b"])
def test_slot_names_cannot_leave_the_output_directory(step, fake_run, slot):
    with pytest.raises(ValueError, match="leads outside the output directory"):
        step.run("t", {"outputs": {slot: {"type": "dir"}}}, {})
    assert fake_run.calls == []
    assert not step.out.exists()


# Random templates: the words the tool gets are the host's shlex.split words
# (no placeholders, no redirections, no word equal to the executable), and
# an unbalanced quote fails exactly as shlex does.
TEMPLATE_TEXT = st.lists(
    st.sampled_from(list("ab \t\n\r'\"\\#$*é\u00a0\x0b-=\u3000") + ["x y", "\\'", '\\"', "''"]),
    max_size=16).map("".join) | st.text(st.characters(blacklist_characters="{}<>"), max_size=30)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(template=TEMPLATE_TEXT)
def test_words_match_shlex(fake_run, local_mivo, template):
    fake_run.calls.clear()
    try:
        expected = shlex.split(template)
    except ValueError as e:
        expected = f"ValueError: {e}"
    try:
        MIVO().run("tool}", {"args_template": template}, {}, str(local_mivo.temp_dir / "o"))
        got = fake_run.calls[0][0][2:]
    except ValueError as e:
        got = f"ValueError: {e}"
    assert got == expected


def reference_words(template, inputs, outputs, entrypoint):
    """The command-line rules for scalar inputs, written out plainly."""
    import re

    texts = {slot: slot for slot in outputs}
    texts.update({k: v if isinstance(v, str) else str(v) for k, v in inputs.items()
                  if k not in outputs and isinstance(v, (str, int, float))})
    # One pass: a value that itself reads "{b}" is not filled in again.
    template = re.sub(r"\{([^{}]*)\}", lambda m: texts.get(m.group(1), m.group(0)), template)
    tokens = shlex.split(template) if template else []
    clean, i = [], 0
    while i < len(tokens):
        tok = tokens[i]
        if tok in {">", "<", "2>", ">>", "2>>"}:
            i += 2
            continue
        if re.fullmatch(r"\{[^}]+\}", tok):
            if clean and clean[-1].startswith("-"):
                clean.pop()
        elif not re.search(r"\{[^}]+\}", tok):
            clean.append(tok)
        i += 1
    if clean and clean[0] in (entrypoint, entrypoint.rsplit("/", 1)[-1]):
        clean.pop(0)
    return clean


TEMPLATE_WORDS = st.lists(st.sampled_from(
    ["{a}", "{b}", "{out}", "{gone}", "-f", "--x={a}", "{a}{b}", "{}", ">", "<", "2>", ">>", "2>>",
     "tool", "/bin/tool", "plain", "'{a} q'", "x{gone}", "-"]), max_size=10).map(" ".join)
SCALARS = st.dictionaries(st.sampled_from(["a", "b", "out"]),
                          st.sampled_from([3, 0.5, True, "v", "two words", "{b}", "-n", "{gone}"]))


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(template=TEMPLATE_WORDS, inputs=SCALARS)
def test_command_line_rules(fake_run, local_mivo, template, inputs):
    fake_run.calls.clear()
    manifest = {"args_template": template, "entrypoint": "/bin/tool", "outputs": {"out": {}}}
    MIVO().run("tool", manifest, dict(inputs), str(local_mivo.temp_dir / "o"))
    assert fake_run.calls[0][0][2:] == reference_words(template, inputs, ["out"], "/bin/tool")
