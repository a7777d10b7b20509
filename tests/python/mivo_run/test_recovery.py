"""A failed first attempt: relocation of stale absolute paths through the
container engine, argument inference through the LLM, and the one retry."""
import subprocess
import sys
import types

import pytest

LOGGER = "plexaro.helpers.mivo"
from plexaro.helpers import mivo as mivo_module
from plexaro.helpers.mivo import MIVO
from support import standins

def missing():
    return RuntimeError("mivo exec t failed (exit 1):\nSTDOUT: \nSTDERR: t: /data/ref.fa: No such file or directory")


@pytest.fixture
def llm(monkeypatch):
    """A stand-in plexaro.helpers.promptel whose clients answer from a list."""
    module = types.ModuleType("plexaro.helpers.promptel")
    module.prompts, module.answers, module.made = [], [], []

    class Client:
        def call(self, prompt):
            module.prompts.append(prompt)
            answer = module.answers.pop(0)
            if isinstance(answer, BaseException):
                raise answer
            return answer

    def default_llm():
        module.made.append(1)
        return Client()

    module.default_llm = default_llm
    monkeypatch.setitem(sys.modules, "plexaro.helpers.promptel", module)
    return module


# --- run: recovery branches ------------------------------------------------------

def test_relocated_retry_succeeds(step, fake_run, monkeypatch, records):
    seen = []
    monkeypatch.setattr(MIVO, "_fix_stale_abs_paths",
                        lambda self, args, manifest, env: seen.append((list(args), env)) or
                        ["-r", "/opt/ref.fa", "/workspace/x"])
    fake_run.script = [missing(), "fine"]
    result = step.run("t", {"args_template": "-r /data/ref.fa /workspace/x"}, {})
    assert [c[0] for c in fake_run.calls] == [
        ["exec", "t", "-r", "/data/ref.fa", "/workspace/x"], ["exec", "t", "-r", "/opt/ref.fa", "/workspace/x"]]
    # Both attempts share the sandbox and the environment _run completed.
    assert fake_run.calls[0][1]["cwd"] == fake_run.calls[1][1]["cwd"]
    assert fake_run.calls[0][1]["env"] is fake_run.calls[1][1]["env"] is seen[0][1]
    assert ("INFO", "Retrying with relocated paths: %s", (["-r", "/opt/ref.fa", "/workspace/x"],)) in records(LOGGER)
    assert result == {"stdout": str(step.out / "stdout" / "t_stdout.txt")}


@pytest.mark.parametrize("relocated, second", [
    (None, None), (["-r", "/data/ref.fa"], None), (["-r", "/opt/ref.fa"], "second"),
])
def test_relocation_that_does_not_help_raises_the_first_error(step, fake_run, monkeypatch, relocated, second):
    monkeypatch.setattr(MIVO, "_fix_stale_abs_paths", lambda self, a, m, e: relocated)
    first = missing()
    fake_run.script = [first, RuntimeError(second) if second else None]
    with pytest.raises(RuntimeError) as info:
        step.run("t", {"args_template": "-r /data/ref.fa"}, {})
    assert info.value is first
    assert len(fake_run.calls) == (2 if second else 1)
    assert len(step.sandboxes()) == 1


def test_paths_under_workspace_or_no_miss_go_to_the_template_rule(step, fake_run, monkeypatch):
    monkeypatch.setattr(MIVO, "_fix_stale_abs_paths", lambda *a: pytest.fail("not asked"))
    monkeypatch.setattr(MIVO, "_infer_args", lambda *a: pytest.fail("not asked"))
    for template, error in [("/workspace2/ref.fa", missing()), ("/data/ref.fa", RuntimeError("exit 2"))]:
        fake_run.script = [error]
        with pytest.raises(RuntimeError) as info:
            step.run("t", {"args_template": template}, {})
        assert info.value is error


def test_llm_retry_for_a_tool_without_template(step, fake_run, llm, records):
    llm.answers = ["```bash\nsort -o out.bam 'a b.bam'\n```"]
    fake_run.script = [RuntimeError("exit 1"), "done"]
    step.run("t", {}, {"x": step.file("a b.bam")})
    assert [c[0][2:] for c in fake_run.calls] == [["a b.bam"], ["bash", "sort", "-o", "out.bam", "a b.bam"]]
    logged = records(LOGGER)
    assert ("INFO", "Positional fallback failed for %s \u2014 asking LLM for correct args", ("t",)) in logged
    assert ("INFO", "Retrying mivo exec %s %s (LLM-inferred)",
            ("t", ["bash", "sort", "-o", "out.bam", "a b.bam"])) in logged


def test_llm_unreachable_or_same_answer_raises_the_first_error(step, fake_run, llm, records):
    first = RuntimeError("mivo exec t timed out after 3600s")
    for answer in [ConnectionError("no network"), "a.txt"]:
        llm.answers = [answer]
        fake_run.script = [first]
        fake_run.calls.clear()
        with pytest.raises(RuntimeError) as info:
            step.run("t", {}, {"x": step.file("a.txt")})
        assert info.value is first
        assert len(fake_run.calls) == 1
    warnings = [r for r in records(LOGGER) if r[0] == "WARNING"]
    assert warnings == [("WARNING", "LLM arg inference failed for %s: %s \u2014 falling back to positional",
                         ("t", "no network"))]


def test_failed_llm_retry_raises_its_own_error(step, fake_run, llm):
    llm.answers = ["-x"]
    first, second = RuntimeError("first"), RuntimeError("second")
    fake_run.script = [first, second]
    with pytest.raises(RuntimeError) as info:
        step.run("t", {}, {})
    assert info.value is second and info.value.__context__ is first


def test_other_errors_are_not_recovered(step, fake_run, monkeypatch):
    monkeypatch.setattr(MIVO, "_infer_args", lambda *a: pytest.fail("not asked"))
    fake_run.script = [FileNotFoundError("mivo")]
    with pytest.raises(FileNotFoundError):
        step.run("t", {}, {})


def test_patched_infer_args_receives_staged_paths(step, fake_run, monkeypatch):
    got = []
    monkeypatch.setattr(MIVO, "_infer_args", lambda self, tool, manifest, staged: got.append(staged) or ["z"])
    fake_run.script = [RuntimeError("x"), ""]
    step.run("t", {}, {"one": step.file("1.txt"), "many": [step.file("2.txt"), step.file("3.txt")]})
    (staged,) = got
    sandbox = fake_run.calls[0][1]["cwd"]
    assert {k: [str(p) for p in v] if isinstance(v, list) else str(v) for k, v in staged.items()} == {
        "one": f"{sandbox}/1.txt", "many": [f"{sandbox}/2.txt", f"{sandbox}/3.txt"]}


def test_end_to_end_failed_first_attempt_repaired(step, stand_in_dir, local_mivo, records):
    """A real step through the local mivo: the tool fails once on a stale
    absolute path, the image search finds the file, the retry succeeds."""
    ref = step.file("image/opt/ref.fa", "reference")
    standins.write_program(stand_in_dir, "docker", f"print({ref!r})")
    step.tool("aligner", """
ref = sys.argv[sys.argv.index('-r') + 1]
if not os.path.exists(ref):
    sys.exit(f"aligner: {ref}: No such file or directory")
open('bam.out', 'w').write(open(ref).read() + open(sys.argv[-1]).read())
open('aligner.log', 'w').write('log')
os.makedirs('qc', exist_ok=True); open('qc/summary.txt', 'w').write('ok')
""")
    manifest = {"args_template": "aligner -r /data/ref.fa -o {bam} {reads}", "image": "img:1",
                "outputs": {"bam": {"type": "file"}, "qc": {"type": "dir"}}}
    result = step.run("aligner", manifest, {"reads": step.file("r.fq", "+reads")})
    assert [c["argv"] for c in step.calls("aligner")] == [
        ["-r", "/data/ref.fa", "-o", "bam", "r.fq"], ["-r", ref, "-o", "bam", "r.fq"]]
    assert result == {"bam": str(step.out / "bam.out"), "qc": str(step.out / "qc")}
    assert (step.out / "bam.out").read_text() == "reference+reads"
    assert (step.out / "qc" / "summary.txt").read_text() == "ok"
    assert sorted(p.name for p in (step.out / "_extras").iterdir()) == ["aligner.log"]
    assert step.sandboxes() == []


# --- _fix_stale_abs_paths --------------------------------------------------------

def docker(stand_in_dir, body):
    standins.write_program(stand_in_dir, "docker", body)
    return lambda: [c["argv"] for c in standins.calls(stand_in_dir, "docker")]


def test_relocation_searches_the_image_with_fifteen_words(stand_in_dir, monkeypatch, records):
    calls = docker(stand_in_dir, "print('  \\n /opt/a/ref.fa \\r\\n/other/ref.fa')")
    env = {"PATH": f"{stand_in_dir}:/usr/bin:/bin", "MARK": "1"}
    args = ["-r", "/data/ref.fa", "/workspace/in", "/data/ref.fa"]
    fixed = MIVO()._fix_stale_abs_paths(args, {"image": "img:2"}, env)
    assert fixed == ["-r", "/opt/a/ref.fa", "/workspace/in", "/opt/a/ref.fa"]
    assert args[1] == "/data/ref.fa"  # a new list
    word = [str(stand_in_dir / "docker"), "run", "--rm", "--network=host", "--entrypoint", "", "img:2",
            "find", "/", "-name", "ref.fa", "-maxdepth", "8", "-type", "f"]
    assert calls() == [word[1:], word[1:]]  # one search per occurrence
    recorded = standins.calls(stand_in_dir, "docker")[0]["env"]
    assert recorded["MARK"] == "1" and "HOME" not in recorded
    assert ("INFO", "Relocated %s \u2192 %s in container", ("/data/ref.fa", "/opt/a/ref.fa")) in records(LOGGER)


def test_real_engine_preferred_over_the_wrapper(stand_in_dir, tmp_path, monkeypatch):
    standins.write_program(stand_in_dir, "docker", "print('/wrong')")
    real = docker(stand_in_dir / "real", "print('/right/x')")
    (stand_in_dir / "real" / "docker").rename(stand_in_dir / "real" / "docker.real")
    standins.prepend_path(monkeypatch, stand_in_dir / "real")
    fixed = MIVO()._fix_stale_abs_paths(["/d/x"], {"image": "i"}, dict(__import__("os").environ))
    assert fixed == ["/right/x"]


@pytest.mark.parametrize("args, manifest", [
    (["rel", "/workspace/a", "/workspaceX"], {"image": "i"}),
    (["/data/x"], {}),
    (["/data/x"], {"image": ""}),
])
def test_nothing_to_relocate(stand_in_dir, args, manifest):
    calls = docker(stand_in_dir, "print('/found/x')")
    assert MIVO()._fix_stale_abs_paths(args, manifest, {}) is None
    assert calls() == []


def test_partial_finds_failures_and_trailing_slash(stand_in_dir, records):
    calls = docker(stand_in_dir, """
name = sys.argv[sys.argv.index('-name') + 1]
if name == 'boom':
    sys.exit(1)
print('/img/' + name if name == 'second' else '')
sys.exit(3)
""")
    env = {"PATH": str(stand_in_dir)}
    fixed = MIVO()._fix_stale_abs_paths(["/a/first", "/a/dir/", "/a/boom", "/b/second"], {"image": "i"}, env)
    assert fixed == ["/a/first", "/a/dir/", "/a/boom", "/img/second"]
    assert [c[9] for c in calls()] == ["first", "", "boom", "second"]
    assert MIVO()._fix_stale_abs_paths(["/a/first"], {"image": "i"}, env) is None


def test_engine_missing_or_slow_is_logged_at_debug(monkeypatch, records, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))
    # The search path of the environment handed over (without one, the
    # system's default path would find an installed engine).
    env = {"PATH": str(tmp_path)}
    assert MIVO()._fix_stale_abs_paths(["/a/x", "/a/y"], {"image": "i"}, env) is None
    debug = [r for r in records(LOGGER) if r[1] == "find failed for %s: %s"]
    assert [(r[0], r[2][0]) for r in debug] == [("DEBUG", "x"), ("DEBUG", "y")]
    assert "docker" in debug[0][2][1]


@pytest.mark.parametrize("call, name, expected, got", [
    (lambda m: m._fix_stale_abs_paths(("/a",), {}, {}), "args", "list", "tuple"),
    (lambda m: m._fix_stale_abs_paths([], None, {}), "manifest", "dict", "NoneType"),
    (lambda m: m._fix_stale_abs_paths([], {}, []), "env", "dict", "list"),
    (lambda m: m._infer_args(b"t", {}, {}), "tool_name", "str", "bytes"),
    (lambda m: m._infer_args("t", 1, {}), "manifest", "dict", "int"),
    (lambda m: m._infer_args("t", {}, []), "staged", "dict", "list"),
])
def test_recovery_typed_parameters(call, name, expected, got):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected {expected}, got {got}\)$"):
        call(MIVO())


# --- _infer_args and _default_llm ---------------------------------------------

FULL_MANIFEST = {
    "description": "Sorts alignments",
    "entrypoint": "/usr/bin/samtools",
    "inputs": {"bam": {"type": "file", "description": "input alignments"}, "threads": {"type": "int"}},
    "outputs": {"sorted": {"description": "sorted alignments"}},
}


def test_infer_args_prompt_and_reply(llm, records):
    llm.answers = ["  `sort -@ 2 -o sorted \"a b.bam\"`  "]
    staged = {"bam": "/tmp/box/a b.bam", "reads": ["/tmp/box/r1.fq", "/tmp/box/r2.fq"]}
    args = MIVO()._infer_args("samtools", FULL_MANIFEST, staged)
    assert args == ["sort", "-@", "2", "-o", "sorted", "a b.bam"]
    assert llm.prompts == [
        "Tool: samtools\nDescription: Sorts alignments\nBinary: /usr/bin/samtools\n\n"
        "Manifest inputs:\n  - bam: file \u2014 input alignments\n  - threads: int \u2014 \n\n"
        "Manifest outputs:\n  - sorted:  \u2014 sorted alignments\n\n"
        "Staged files available in /workspace (key \u2192 filename):\n"
        "  - bam: a b.bam\n  - reads: r1.fq r2.fq\n\n"
        "Write the correct command-line arguments to pass to '/usr/bin/samtools'. Include any required "
        "subcommand. Do NOT include the binary name itself. Use the staged filenames exactly as shown. "
        "Return ONLY the shell-quoted argument string, no explanation, no markdown."]
    assert ("INFO", "LLM inferred args for %s: %s", ("samtools", args)) in records(LOGGER)


def test_infer_args_minimal_manifest_prompt(llm):
    llm.answers = [""]
    assert MIVO()._infer_args("tool", {}, {}) == []
    assert llm.prompts[0].startswith(
        "Tool: tool\nDescription: \nBinary: tool\n\nManifest inputs:\n\n\nManifest outputs:\n\n\n"
        "Staged files available in /workspace (key \u2192 filename):\n\n\n"
        "Write the correct command-line arguments to pass to 'tool'.")


@pytest.mark.parametrize("answer, args", [
    ("```bash\n-i a -o b\n```", ["bash", "-i", "a", "-o", "b"]),
    ("-x `y` z", ["-x", "`y`", "z"]),
    ("\u3000-v\u00a0", ["-v"]),
])
def test_infer_args_cleaning(llm, answer, args):
    llm.answers = [answer]
    assert MIVO()._infer_args("t", {}, {}) == args


@pytest.mark.parametrize("answer, message", [
    (None, "'NoneType' object has no attribute 'strip'"),
    ("-x 'open", "No closing quotation"),
    (RuntimeError("quota"), "quota"),
])
def test_infer_args_falls_back_to_positional(llm, records, answer, message):
    llm.answers = [answer]
    staged = {"a": "/s/a.txt", "l": ["/s/l1", "/s/l2"]}
    assert MIVO()._infer_args("t", {}, staged) == ["a.txt", "l1", "l2"]
    assert records(LOGGER)[-1] == ("WARNING", "LLM arg inference failed for %s: %s \u2014 falling back to positional",
                                   ("t", message))


def test_infer_args_prompt_errors_propagate(llm):
    with pytest.raises(AttributeError):
        MIVO()._infer_args("t", {"inputs": {"x": "not a record"}}, {})
    assert llm.made == []


def test_default_llm_loads_promptel_at_call_time(llm, monkeypatch):
    first, second = mivo_module._default_llm(), mivo_module._default_llm()
    assert first is not second and len(llm.made) == 2
    # A host that replaces the factory is obeyed by _infer_args.
    replaced = types.SimpleNamespace(call=lambda prompt: "--patched")
    monkeypatch.setattr(mivo_module, "_default_llm", lambda: replaced)
    assert MIVO()._infer_args("t", {}, {}) == ["--patched"]
