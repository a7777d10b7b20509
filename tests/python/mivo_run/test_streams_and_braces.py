"""Redirections of standard error and standard input, and literal braces in
argument templates, through MIVO.run with stand-in tools."""
import subprocess

import pytest

ECHO_BOTH = "data = sys.stdin.read(); print('out:' + data, end=''); print('err:' + data, end='', file=sys.stderr)"


def test_stderr_into_a_slot(step):
    step.tool("t", "print('to stdout'); print('progress 50%', file=sys.stderr)")
    manifest = {"args_template": "run > {out} 2> {log}", "outputs": {"out": {}, "log": {}}}
    result = step.run("t", manifest, {})
    assert step.argv("t") == ["run"]
    assert result == {"out": str(step.out / "out"), "log": str(step.out / "log")}
    assert (step.out / "out").read_text() == "to stdout\n"
    assert (step.out / "log").read_text() == "progress 50%\n"


def test_stdin_from_a_staged_input(step):
    step.tool("t", ECHO_BOTH)
    manifest = {"args_template": "count < {reads} > {out}", "outputs": {"out": {}}}
    result = step.run("t", manifest, {"reads": step.file("r.fq", "@r1\nACGT\n")})
    assert step.argv("t") == ["count"]
    assert result == {"out": str(step.out / "out")}
    assert (step.out / "out").read_text() == "out:@r1\nACGT\n"


def test_stdin_is_opened_afresh_for_the_retry(step, monkeypatch):
    from plexaro.helpers.mivo import MIVO

    reads = []

    def fake_run(self, cmd, **options):
        reads.append(options["stdin"].read())
        if len(reads) == 1:
            raise RuntimeError("No such file or directory")
        return subprocess.CompletedProcess(["mivo", *cmd], 0, "", "")

    monkeypatch.setattr(MIVO, "_run", fake_run)
    monkeypatch.setattr(MIVO, "_fix_stale_abs_paths", lambda self, clean, manifest, env: ["/found/ref.fa"])
    step.run("t", {"args_template": "x /data/ref.fa < {reads}"}, {"reads": step.file("r.fq", "ACGT")})
    assert reads == [b"ACGT", b"ACGT"]


@pytest.mark.parametrize("template", ["go < missing.txt", "go < {gone}", "go < {dir}"])
def test_stdin_that_is_no_staged_file_reads_nothing(step, template):
    step.tool("t", ECHO_BOTH)
    indir = step.inputs_dir / "d"
    indir.mkdir()
    step.run("t", {"args_template": template, "outputs": {"out": {}}}, {"dir": str(indir)})
    assert step.argv("t") == ["go"]
    assert (step.out / "stdout" / "t_stdout.txt").read_text() == "out:"


@pytest.mark.parametrize("template", ["run 2> {log}", "run 2> log.txt"])
def test_stderr_without_a_slot_or_empty_stderr_leaves_the_slot_empty(step, template):
    step.tool("t", "print('only stdout')")
    result = step.run("t", {"args_template": template, "outputs": {"log": {}}}, {})
    assert result["log"] is None
    assert (step.out / "stdout" / "t_stdout.txt").read_text() == "only stdout\n"


def test_binary_stderr_reaches_its_slot_unchanged(step):
    step.tool("t", "sys.stderr.buffer.write(bytes(range(256)))")
    result = step.run("t", {"args_template": "x 2> {log}", "outputs": {"log": {}}}, {})
    assert (step.out / "log").read_bytes() == bytes(range(256))
    assert result == {"log": str(step.out / "log")}


@pytest.mark.parametrize("template, argv", [
    ("'{{print $1}}' {in}", ["{print $1}", "in.txt"]),
    ("query -f '%POS %ALT{{0}}\\n' {in}", ["query", "-f", "%POS %ALT{0}\\n", "in.txt"]),
    ("x{{{n}}}y", ["x{7}y"]),
    ("{{n}} }}", ["{n}", "}"]),
    ("-k {{{gone}}} z", ["-k", "z"]),
])
def test_doubled_braces_reach_the_tool_as_braces(step, template, argv):
    step.tool("awk")
    step.run("awk", {"args_template": template}, {"in": step.file("in.txt"), "n": 7})
    assert step.argv("awk") == argv


@pytest.mark.parametrize("template, argv", [
    ("go {} {x}", ["go", "{}"]),
    ("a}b {in}}", ["a}b", "in.txt}"]),
    ("-f {gone} {in}", ["in.txt"]),
])
def test_templates_without_the_new_forms_give_the_words_they_gave(step, template, argv):
    step.tool("t")
    step.run("t", {"args_template": template}, {"in": step.file("in.txt")})
    assert step.argv("t") == argv


def test_a_host_runner_s_stderr_text_reaches_the_slot(step, monkeypatch):
    from plexaro.helpers.mivo import MIVO

    monkeypatch.setattr(MIVO, "_run", lambda self, cmd, **options: subprocess.CompletedProcess(
        ["mivo", *cmd], 0, "table\n", "warning: é\n"))
    manifest = {"args_template": "x > {out} 2> {log}", "outputs": {"out": {}, "log": {}}}
    assert step.run("t", manifest, {}) == {"out": str(step.out / "out"), "log": str(step.out / "log")}
    assert (step.out / "log").read_text() == "warning: é\n"
    assert (step.out / "out").read_text() == "table\n"
