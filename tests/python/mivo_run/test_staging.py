"""How inputs reach the sandbox and outputs the output directory: hard links
where they are safe (PLEXARO_STAGE, PLEXARO_STAGE_LINK_MIN), copies
elsewhere, special files never opened, and inputs a tool changes through
their links reported."""
import os
import socket
import subprocess
from pathlib import Path

import pytest


@pytest.fixture(autouse=True)
def default_staging(monkeypatch):
    for name in ("PLEXARO_STAGE", "PLEXARO_STAGE_LINK_MIN", "PLEXARO_STEP_CACHE", "PLEXARO_RUN_LOG"):
        monkeypatch.delenv(name, raising=False)


def staged_inputs(step, host_files):
    """An action recording, per host file, whether the sandbox entry of its
    name is the host's file itself and what it reads."""
    seen = {}

    def look(sandbox):
        for rel, host in host_files.items():
            entry = sandbox / rel
            seen[rel] = (os.path.samefile(entry, host), entry.read_text())
    return seen, look


@pytest.mark.parametrize("mode, link_min, linked", [
    ("copy", None, set()),
    ("link", None, {"big.fq", "small.txt", "refs/genome.fa", "refs/sub/x.idx", "refs/here"}),
    ("auto", "1K", {"big.fq", "refs/genome.fa"}),
    (None, None, set()),  # the default links only files of 64 MiB and more
])
def test_linked_and_copied_inputs_give_the_same_words_and_outputs(step, fake_run, monkeypatch,
                                                                   mode, link_min, linked):
    if mode:
        monkeypatch.setenv("PLEXARO_STAGE", mode)
    if link_min:
        monkeypatch.setenv("PLEXARO_STAGE_LINK_MIN", link_min)
    big = step.file("big.fq", "@r\nACGT\n+\nIIII\n" * 100)
    small = step.file("small.txt", "s")
    shared = step.file("shared.txt", "group-writable, " * 100)
    os.chmod(shared, 0o664)  # the open sandbox would let others write it: never linked
    step.file("refs/genome.fa", ">chr1\n" + "ACGT" * 400)
    step.file("refs/sub/x.idx", "idx")
    (step.inputs_dir / "refs" / "here").symlink_to("sub/x.idx")  # a link inside is followed
    files = {"big.fq": big, "small.txt": small, "shared.txt": shared,
             "refs/genome.fa": step.inputs_dir / "refs/genome.fa",
             "refs/sub/x.idx": step.inputs_dir / "refs/sub/x.idx",
             "refs/here": step.inputs_dir / "refs/sub/x.idx"}
    seen, look = staged_inputs(step, files)

    def tool(sandbox):
        look(sandbox)
        (sandbox / "counts").write_text(str(len((sandbox / "big.fq").read_text())))
    fake_run.action = tool
    manifest = {"args_template": "count {reads} {small} {shared} {refs} -o {counts}",
                "outputs": {"counts": {}}}
    result = step.run("counter", manifest, {"reads": big, "small": small, "shared": shared,
                                            "refs": str(step.inputs_dir / "refs")})
    assert fake_run.calls[0][0] == ["exec", "counter", "count", "big.fq", "small.txt",
                                    "shared.txt", "refs", "-o", "counts"]
    assert Path(result["counts"]).read_text() == "1500"
    assert {rel for rel, (same, _) in seen.items() if same} == linked
    assert all(text == Path(files[rel]).read_text() for rel, (_, text) in seen.items())
    assert os.stat(big).st_nlink == 1  # the sandbox's name went with the sandbox


@pytest.mark.parametrize("change, reported", [
    ("truncate", True),
    ("rewrite the same bytes", True),
    ("fail after truncating", True),
    ("replace by rename", False),
    ("read only", False),
])
@pytest.mark.parametrize("mode", ["link", "copy"])
def test_a_tool_that_changes_a_linked_input_in_place_fails_the_run(step, fake_run, monkeypatch,
                                                                   tmp_path, mode, change, reported):
    monkeypatch.setenv("PLEXARO_STAGE", mode)
    monkeypatch.setenv("PLEXARO_STEP_CACHE", str(tmp_path / "cache"))
    original = "@r\nACGT\n+\nIIII\n"
    reads = step.file("reads.fq", original)

    def tool(sandbox):
        staged = sandbox / "reads.fq"
        if change in ("truncate", "fail after truncating"):
            open(staged, "r+").truncate(0)
        elif change == "rewrite the same bytes":
            with open(staged, "r+") as f:
                data = f.read()
                f.seek(0)
                f.truncate()
                f.write(data)
        elif change == "replace by rename":  # sed -i, bgzip without -c
            (sandbox / "tmp").write_text("replaced")
            os.replace(sandbox / "tmp", staged)
        (sandbox / "trimmed").write_text("t")
    fake_run.action = tool
    if change == "fail after truncating":
        fake_run.script = [RuntimeError("mivo exec trimmer failed (exit 1)")]
    manifest = {"args_template": "trim {reads} {trimmed}", "outputs": {"trimmed": {}}}
    inputs = {"reads": reads}
    if reported and mode == "link":
        with pytest.raises(RuntimeError) as info:
            step.run("trimmer", manifest, inputs)
        assert str(info.value) == (f"Tool 'trimmer' changed its input 'reads' in place (host file "
                                   f"{reads}); stage it as a copy with PLEXARO_STAGE=copy")
        if change == "fail after truncating":
            assert "failed (exit 1)" in str(info.value.__context__)
        assert len(fake_run.calls) == 1  # no second attempt on a changed input
        assert not (step.out / "trimmed").exists()
        # Nothing of that run was cached: with its input as it was, the step runs again.
        Path(reads).write_text(original)
        fake_run.action, fake_run.script = None, []
        step.run("trimmer", manifest, inputs)
        assert len(fake_run.calls) == 2
    else:
        if change == "fail after truncating":
            with pytest.raises(RuntimeError, match="failed"):
                step.run("trimmer", manifest, inputs)
        else:
            assert step.run("trimmer", manifest, inputs) == {"trimmed": str(step.out / "trimmed")}
            # Stored, although staging by link moved the input's change time: a hit.
            step.run("trimmer", manifest, inputs)
            assert len(fake_run.calls) == 1
        assert Path(reads).read_text() == original


def make_special(kind, inputs_dir: Path) -> tuple[str, str]:
    """An input value staging must refuse, and the words its message holds."""
    if kind == "named pipe":
        os.mkfifo(inputs_dir / "p")
        return str(inputs_dir / "p"), "names a named pipe"
    if kind == "character device":
        return "/dev/null", "names a character device (/dev/null)"
    if kind == "socket":
        server = socket.socket(socket.AF_UNIX)
        server.bind(str(inputs_dir / "s"))
        return str(inputs_dir / "s"), "names a socket"
    tree = inputs_dir / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "sub" / "ok.txt").write_text("ok")
    if kind == "pipe in a directory":
        os.mkfifo(tree / "sub" / "p")
        return str(tree), "holds a named pipe"
    if kind == "link out of a directory":
        (inputs_dir / "elsewhere.txt").write_text("not part of the input")
        (tree / "sub" / "out").symlink_to(inputs_dir / "elsewhere.txt")
        return str(tree), "holds a link that leads out of it"
    (tree / "sub" / "up").symlink_to("..")
    return str(tree), "holds a link back to a directory above it"


@pytest.mark.parametrize("kind", ["named pipe", "character device", "socket", "pipe in a directory",
                                  "link out of a directory", "loop in a directory"])
@pytest.mark.parametrize("cache", [False, True])
def test_special_files_are_refused_before_anything_is_staged(step, fake_run, monkeypatch, tmp_path,
                                                             kind, cache):
    if cache:  # not even hashed for the step cache
        monkeypatch.setenv("PLEXARO_STEP_CACHE", str(tmp_path / "cache"))
    value, words = make_special(kind, step.inputs_dir)
    inputs = {"first": step.file("first.txt"), "odd": [step.file("fine.txt"), value]}
    with pytest.raises(ValueError) as info:
        step.run("t", {}, inputs)
    assert str(info.value).startswith(f"Input 'odd' {words}")
    assert fake_run.calls == []
    assert not any(os.listdir(sandbox) for sandbox in step.sandboxes())


@pytest.mark.parametrize("variable, value", [("PLEXARO_STAGE", "hard"),
                                             ("PLEXARO_STAGE_LINK_MIN", "big")])
def test_bad_staging_settings_are_refused_before_anything_runs(step, fake_run, monkeypatch,
                                                               variable, value):
    monkeypatch.setenv(variable, value)
    with pytest.raises(ValueError, match=f"{variable} must be .*; got '{value}'"):
        step.run("t", {}, {"a": step.file("a.txt")})
    assert fake_run.calls == [] and step.sandboxes() == []


def test_delivered_outputs_share_their_data_with_nothing(step, fake_run, monkeypatch):
    monkeypatch.setenv("PLEXARO_STAGE", "link")
    reads = step.file("reads.fq", "reads")
    inodes = {}

    def tool(sandbox):
        (sandbox / "out.a").write_text("a")  # slot "out", delivered under its own name
        os.link(sandbox / "out.a", sandbox / "twin")  # the tool's own second name of it
        (sandbox / "solo").write_text("solo")
        inodes["solo"] = os.stat(sandbox / "solo").st_ino
    fake_run.action = tool
    # A file already at a slot's place, with another name elsewhere: replaced, not written through.
    keeper = step.out.parent / "keeper"
    keeper.write_text("keep")
    step.out.mkdir()
    os.link(keeper, step.out / "solo")
    manifest = {"outputs": {"out": {}, "solo": {}, "handed": {"from_input": "reads"}}}
    result = step.run("t", manifest, {"reads": reads})
    assert result == {"out": str(step.out / "out.a"), "solo": str(step.out / "solo"),
                      "handed": str(step.out / "handed")}
    assert os.stat(step.out / "solo").st_ino == inodes["solo"]  # handed over, not copied
    assert keeper.read_text() == "keep"
    delivered = [step.out / "out.a", step.out / "solo", step.out / "handed",
                 step.out / "_extras" / "twin"]
    assert [os.stat(p).st_nlink for p in delivered] == [1] * 4
    for path in delivered:
        path.write_text("changed by the host")
    assert Path(reads).read_text() == "reads"


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a tmpfs needs root")
def test_files_on_another_file_system_are_copied(step, fake_run, monkeypatch, tmp_path):
    other = tmp_path / "tmpfs"
    other.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(other)]).returncode:
        pytest.skip("no tmpfs mount here")
    try:
        monkeypatch.setenv("PLEXARO_STAGE", "link")
        (other / "reads.fq").write_text("reads on tmpfs")
        seen, look = staged_inputs(step, {"reads.fq": other / "reads.fq"})

        def tool(sandbox):
            look(sandbox)
            (sandbox / "out").write_text("result")
        fake_run.action = tool
        result = step.run("t", {"outputs": {"out": {}}}, {"reads": str(other / "reads.fq")},
                          str(other / "results"))
        assert seen == {"reads.fq": (False, "reads on tmpfs")}
        assert Path(result["out"]).read_text() == "result"
    finally:
        subprocess.run(["umount", str(other)], check=True)
