"""MIVO.run against tools that misbehave: links out of the sandbox, special
files, binary streams, huge output, a tool that reads its input, a
background child that outlives the tool, look-alike output names and tool
names that try to leave the sandboxes directory."""
import os
import signal
import socket
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

from plexaro.helpers.mivo import MIVO

LOGGER = "plexaro.helpers.mivo"


@contextmanager
def deadline(seconds):
    """Fails the test instead of letting a hang run into the tool's limit."""
    def expired(signum, frame):
        raise TimeoutError(f"still running after {seconds}s")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def not_collected(records):
    return sorted(Path(r[2][0]).name for r in records(LOGGER)
                  if r[1] == "Not collected from the sandbox: %s (%s)")


@pytest.fixture
def secret(tmp_path):
    """A host file and directory a hostile tool points its links at."""
    host = tmp_path / "home"
    (host / ".ssh").mkdir(parents=True)
    key = host / ".ssh" / "id_rsa"
    key.write_text("PRIVATE KEY")
    return key


# --- 1. links left by the tool --------------------------------------------------------

def test_links_out_of_the_sandbox_are_never_followed(step, secret, records):
    step.tool("t", f"""
os.symlink({str(secret)!r}, 'out')
os.symlink({str(secret.parent)!r}, 'ssh_dir')
os.makedirs('res', exist_ok=True)
open('res/ok.txt', 'w').write('ok')
os.symlink({str(secret)!r}, 'res/leak')
os.symlink('ok.txt', 'res/same')
os.symlink({str(secret.parent)!r}, 'res/linked')
""")
    result = step.run("t", {"outputs": {"out": {}, "res": {"type": "dir"}}}, {})
    assert result == {"out": None, "res": str(step.out / "res")}
    assert sorted(os.listdir(step.out / "res")) == ["ok.txt", "same"]
    assert (step.out / "res" / "same").read_text() == "ok"  # a link that stays inside
    assert not (step.out / "_extras").exists()
    assert not (step.out / "stdout").exists()
    assert not_collected(records) == ["leak", "linked", "out", "ssh_dir"]
    assert secret.read_text() == "PRIVATE KEY"


def test_directory_slot_that_is_a_link_is_not_entered(step, secret, fake_run, records):
    def tool(sandbox):
        os.rmdir(sandbox / "res")
        os.symlink(secret.parent, sandbox / "res")

    fake_run.action = tool
    assert step.run("t", {"outputs": {"res": {"type": "dir"}}}, {}) == {"res": None}
    assert not (step.out / "res").exists() and not (step.out / "_extras").exists()
    assert not_collected(records) == ["res"]


def test_captured_output_replaces_a_link_instead_of_writing_through_it(step, secret):
    step.tool("t", f"os.symlink({str(secret)!r}, 'out'); print('tool output')")
    result = step.run("t", {"args_template": "go > {out}", "outputs": {"out": {}}}, {})
    assert secret.read_text() == "PRIVATE KEY"
    assert result == {"out": str(step.out / "out")}
    assert not (step.out / "out").is_symlink()
    assert (step.out / "out").read_text() == "tool output\n"


def test_a_link_in_the_output_directory_is_replaced(step, secret, fake_run):
    step.out.mkdir()
    (step.out / "r.txt").symlink_to(secret)
    fake_run.action = lambda sandbox: (sandbox / "r.txt").write_text("result")
    step.run("t", {"outputs": {"r": {}}}, {})
    assert secret.read_text() == "PRIVATE KEY"
    assert (step.out / "r.txt").read_text() == "result" and not (step.out / "r.txt").is_symlink()


# --- 2. special files and cycles -----------------------------------------------------------

def test_special_files_and_cycles_end_the_harvest(step, records):
    step.tool("t", """
import socket
os.symlink('/dev/zero', 'zero')
os.makedirs('d/sub')
open('d/sub/f.txt', 'w').write('f')
os.symlink('..', 'd/sub/loop')
os.mkfifo('d/fifo')
socket.socket(socket.AF_UNIX).bind('d/sock')
os.makedirs('res', exist_ok=True)
os.mkfifo('res/pipe')
open('res/r.txt', 'w').write('r')
""")
    with deadline(30):
        result = step.run("t", {"outputs": {"zero": {}, "res": {"type": "dir"}}}, {})
    assert result == {"zero": None, "res": str(step.out / "res")}
    assert os.listdir(step.out / "res") == ["r.txt"]
    extras = step.out / "_extras"
    assert sorted(p.relative_to(extras).as_posix() for p in extras.rglob("*")) == [
        "d", "d/sub", "d/sub/f.txt"]
    assert not_collected(records) == ["fifo", "loop", "pipe", "sock", "zero"]
    assert step.sandboxes() == []


# --- 3. binary standard output and error ----------------------------------------------------

BINARY = bytes(range(256)) * 4 + b"\r\n\x00\xff\xfe"


def test_binary_stdout_reaches_its_slot_byte_for_byte(step, records):
    step.tool("t", f"sys.stdout.buffer.write({BINARY!r}); sys.stderr.buffer.write(b'warn \\xff\\x00')")
    result = step.run("t", {"args_template": "view -b {sam} > {bam}", "outputs": {"bam": {}}},
                      {"sam": step.file("in.sam")})
    assert result == {"bam": str(step.out / "bam")}
    assert (step.out / "bam").read_bytes() == BINARY
    assert step.sandboxes() == []
    (warning,) = [r for r in records(LOGGER) if r[1] == "stderr: %s"]
    assert warning[2] == ("warn \ufffd\x00",)


def test_binary_stdout_without_a_slot_is_kept_as_it_was_written(step):
    step.tool("t", f"sys.stdout.buffer.write({BINARY!r})")
    result = step.run("t", {}, {})
    assert Path(result["stdout"]).read_bytes() == BINARY


def test_run_record_and_errors_are_text_whatever_the_bytes(step):
    step.tool("t", "sys.stdout.buffer.write(b'ok \\xff\\r\\n'); sys.exit(int(sys.argv[1]))")
    record = MIVO()._run(["exec", "t", "0"], cwd=str(step.inputs_dir))
    assert record.stdout == "ok \ufffd\n"
    with pytest.raises(RuntimeError) as caught:
        step.run("t", {"args_template": "3 > {o}", "outputs": {"o": {}}}, {})
    assert str(caught.value) == "mivo exec t 3 failed (exit 3):\nSTDOUT: ok \ufffd\n\nSTDERR: "


def test_host_runner_text_is_saved_as_the_bytes_it_decoded(step, fake_run):
    fake_run.script = [b"\x00\xffBAM".decode("utf-8", "surrogateescape")]
    step.run("t", {"args_template": "x > {bam}", "outputs": {"bam": {}}}, {})
    assert (step.out / "bam").read_bytes() == b"\x00\xffBAM"
    assert fake_run.calls[0][0] == ["exec", "t", "x"]
    assert sorted(fake_run.calls[0][1]) == ["cwd", "env"]


# --- 5. huge error texts ----------------------------------------------------------------------

@pytest.mark.parametrize("through", ["run", "_run"])
def test_error_text_keeps_the_end_of_each_stream(step, through):
    step.tool("big", "sys.stdout.write('o' * 3_000_000 + 'LAST OUT'); "
                     "sys.stderr.write('e' * 500_000 + 'LAST ERR'); sys.exit(9)")
    with pytest.raises(RuntimeError) as caught:
        if through == "run":
            step.run("big", {"args_template": "go > {o}", "outputs": {"o": {}}}, {})
        else:
            MIVO()._run(["exec", "big", "go"], cwd=str(step.inputs_dir))
    text = str(caught.value)
    assert text.startswith("mivo exec big go failed (exit 9):\nSTDOUT: [2934472 earlier bytes left out]\n")
    assert "LAST OUT\nSTDERR: [434472 earlier bytes left out]\n" in text
    assert text.endswith("eeee" + "LAST ERR")
    assert len(text) < 140_000


# --- 6. standard input ------------------------------------------------------------------------

def test_tool_reads_an_empty_input_not_the_hosts(step):
    step.tool("reader", "print(repr(sys.stdin.read()))")
    read_end, write_end = os.pipe()  # a host input that never ends
    saved = os.dup(0)
    os.dup2(read_end, 0)
    try:
        with deadline(30):
            result = step.run("reader", {}, {})
    finally:
        os.dup2(saved, 0)
        for fd in (saved, read_end, write_end):
            os.close(fd)
    assert Path(result["stdout"]).read_text() == "''\n"


# --- 7. a finished tool with a background child ------------------------------------------------

def test_finished_tool_is_not_held_by_its_background_child(step, tmp_path):
    pid_file = tmp_path / "child.pid"
    step.tool("t", f"""
import subprocess
child = subprocess.Popen(['sleep', '60'])
open({str(pid_file)!r}, 'w').write(str(child.pid))
open('result', 'w').write('done')
""")
    started = time.monotonic()
    result = step.run("t", {"outputs": {"result": {}}}, {})
    assert time.monotonic() - started < 8
    assert result == {"result": str(step.out / "result")}
    pid = int(pid_file.read_text())
    for _ in range(100):
        if not Path(f"/proc/{pid}").exists() or "zombie" in Path(f"/proc/{pid}/status").read_text():
            break
        time.sleep(0.05)
    else:
        pytest.fail("the background child outlived the run")


# --- 8. the file a slot takes -----------------------------------------------------------------

@pytest.mark.parametrize("slot, written, delivered", [
    ("bam", ["bam.bam.csi", "bam.bam"], "bam.bam"),
    ("trimmed_r1", ["trimmed_r1_unpaired", "trimmed_r1"], "trimmed_r1"),
    ("r1", ["r1_unpaired.fq", "r1.fq.gz", "r1.fq"], "r1.fq"),
    ("o", ["o.b", "o.a"], "o.a"),
])
def test_slot_takes_exact_then_shortest_then_first_by_name(step, fake_run, slot, written, delivered):
    fake_run.action = lambda sandbox: [(sandbox / name).write_text(name) for name in written]
    result = step.run("t", {"outputs": {slot: {}}}, {})
    # Each file holds its own name; one named slot + extension keeps that name.
    assert result == {slot: str(step.out / delivered)}
    assert (step.out / delivered).read_text() == delivered


# --- 9. tool names ------------------------------------------------------------------------------

@pytest.mark.parametrize("tool", ["a/../../../elsewhere", "..", "../x"])
def test_tool_name_is_one_flat_name_in_the_sandboxes_directory(step, fake_run, tool):
    seen = []
    fake_run.action = seen.append
    step.run(tool, {}, {})
    root = step.local_mivo.temp_dir / "plexaro_sandboxes"
    (sandbox,) = seen
    assert sandbox.parent == root
    assert sandbox.name.startswith("run-" + tool.replace("/", "_") + "-")
    assert sorted(os.listdir(step.local_mivo.temp_dir)) == ["plexaro_sandboxes"]
