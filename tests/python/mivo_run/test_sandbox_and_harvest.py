"""Sandbox, project files and the harvest into the output directory."""
import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from plexaro.helpers.mivo import MIVO

LOGGER = "plexaro.helpers.mivo"


def test_sandbox_is_open_to_everyone_under_a_strict_umask(step, fake_run):
    modes = []
    fake_run.action = lambda sandbox: modes.append(sandbox.stat().st_mode & 0o777)
    old = os.umask(0o077)
    try:
        step.run("t", {}, {})
    finally:
        os.umask(old)
    assert modes == [0o777]


def test_without_a_volume_no_project_entries(step, fake_run):
    seen = []
    fake_run.action = lambda sandbox: seen.append(sorted(os.listdir(sandbox)))
    step.run("t", {}, {"a": step.file("a.txt")})
    assert seen == [["a.txt"]]


def test_project_files_and_shim_link_from_the_volume(step, fake_run, tmp_path, monkeypatch):
    volume = tmp_path / "volume"
    home = volume / ".mivo_home"
    (home / ".mivo").mkdir(parents=True)
    (home / ".mivo" / "state").write_text("s")
    (home / "mivo.toml").write_text("[tools]\n")
    os.utime(home / "mivo.toml", (1_000_000, 1_000_000))
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(volume))
    seen = {}

    def look(sandbox):
        seen["names"] = sorted(os.listdir(sandbox))
        seen["link"] = os.readlink(sandbox / ".mivo")
        seen["mtime"] = (sandbox / "mivo.toml").stat().st_mtime

    fake_run.action = look
    step.run("t", {}, {})
    assert seen == {"names": [".mivo", "mivo.toml"], "link": str(home / ".mivo"), "mtime": 1_000_000}
    # The shared project is read, never changed.
    assert sorted(os.listdir(home)) == [".mivo", "mivo.toml"]


def test_missing_project_home_is_created(step, fake_run, tmp_path, monkeypatch):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    step.run("t", {}, {})
    assert (tmp_path / "vol" / ".mivo_home").is_dir()


def test_local_mivo_finds_the_project_in_the_sandbox(step, tmp_path, monkeypatch):
    volume = tmp_path / "volume"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(volume))
    step.mivo = type(step.mivo)()
    step.tool("lister", "print(sorted(os.listdir('.')))")
    step.run("lister", {}, {"x": step.file("x.txt")})
    listing = (step.out / "stdout" / "lister_stdout.txt").read_text()
    assert listing == "['x.txt']\n"  # no project files on a fresh volume
    (volume / ".mivo_home" / "mivo.lock").write_text("")
    step.run("lister", {}, {})
    assert (step.out / "stdout" / "lister_stdout.txt").read_text() == "['mivo.lock']\n"


def test_sandbox_removed_on_success_and_kept_on_failure(step, records):
    step.tool("ok", "open('result', 'w').write('r')")
    step.run("ok", {"outputs": {"result": {}}}, {"i": step.file("i.txt")})
    assert step.sandboxes() == []
    cleaned = [r for r in records(LOGGER) if r[1] == "Cleaned up sandbox: %s"]
    assert cleaned[0][0] == "DEBUG" and "/plexaro_sandboxes/run-ok-" in cleaned[0][2][0]

    step.tool("bad", "open('partial', 'w').write('p'); sys.exit(3)")
    with pytest.raises(RuntimeError, match=r"failed \(exit 3\)"):
        step.run("bad", {"args_template": "x"}, {"i": step.file("i.txt")})
    (kept,) = step.sandboxes()
    assert kept.name.startswith("run-bad-")
    assert sorted(os.listdir(kept)) == ["i.txt", "partial"]


def test_harvest_rules_and_result_order(step):
    step.tool("t", """
open('result.vcf', 'w').write('vcf')
open('exact', 'w').write('exact')
open('out.a', 'w').write('a')
open('out.b', 'w').write('b')
open('note.log', 'w').write('log')
os.makedirs('made/inner'); open('made/inner/x', 'w').write('x')
open('in.txt', 'w').write('overwritten input')
os.makedirs('loose'); open('loose/y', 'w').write('y')
os.makedirs('typed'); open('typed/z', 'w').write('z')
""")
    manifest = {"outputs": {"zeta": {}, "result": {"type": "file"}, "exact": {}, "out": {},
                            "made": {"type": "dir"}, "empty": {"type": "dir"},
                            "typed": {"type": "list[dir_path]"}}}
    result = step.run("t", manifest, {"in": step.file("in.txt")})
    out = step.out
    assert list(result) == ["zeta", "result", "exact", "out", "made", "empty", "typed"]
    listing = sorted(os.listdir(out))
    assert result["zeta"] is None and result["typed"] is None
    # A file named slot + extension keeps its name (and type).
    assert result["result"] == str(out / "result.vcf") and (out / "result.vcf").read_text() == "vcf"
    assert result["exact"] == str(out / "exact")
    assert result["out"] == str(out / "out.a")  # same length: the first by name
    assert result["made"] == str(out / "made") and (out / "made/inner/x").read_text() == "x"
    assert result["empty"] is None and (out / "empty").is_dir() and os.listdir(out / "empty") == []
    extras = out / "_extras"
    # Only "dir" makes a directory slot: the tool's "typed" directory is an extra.
    assert sorted(os.listdir(extras)) == ["loose", "note.log", "out.b", "typed"]
    assert (extras / "loose" / "y").read_text() == "y"
    assert listing == sorted(["_extras", "empty", "exact", "made", "out.a", "result.vcf"])
    assert not (out / "stdout").exists()


def test_slot_prefix_match_ignores_inputs(step, fake_run):
    def tool(sandbox):
        (sandbox / "outliers.txt").write_text("o")
        (sandbox / "in.txt").write_text("changed")
        (sandbox / ".out-hidden").write_text("h")

    fake_run.action = tool
    result = step.run("t", {"outputs": {"out": {}, "in": {}, ".out": {}}}, {"x": step.file("in.txt")})
    assert result == {"out": str(step.out / "out"), "in": None, ".out": str(step.out / ".out")}
    assert (step.out / "out").read_text() == "o"
    assert (step.out / ".out").read_text() == "h"
    assert sorted(os.listdir(step.out / "_extras")) == [".out-hidden", "outliers.txt"]


@pytest.mark.parametrize("slot, made, delivered", [
    ("o[12]", ["o1.txt", "o3.txt"], "o1.txt"),
    ("r?", ["rx", "r"], "rx"),
])
def test_wildcards_in_slot_names(step, fake_run, slot, made, delivered):
    fake_run.action = lambda sandbox: [(sandbox / n).write_text(n) for n in made]
    result = step.run("t", {"outputs": {slot: {}}}, {})
    assert (step.out / slot).read_text() == delivered
    assert result == {slot: str(step.out / slot)}


@pytest.mark.parametrize("dirs, harvested", [(["single"], True), (["one", "two"], False)])
def test_directory_slot_replaced_by_the_tool(step, fake_run, dirs, harvested):
    def tool(sandbox):
        os.rmdir(sandbox / "res")
        for d in dirs:
            (sandbox / d).mkdir()
            (sandbox / d / "f").write_text(d)

    fake_run.action = tool
    result = step.run("t", {"outputs": {"res": {"type": "dir"}}}, {"indir": str(step.inputs_dir)})
    if harvested:
        assert result == {"res": str(step.out / "res")}
        assert (step.out / "res" / "f").read_text() == "single"
        assert not (step.out / "_extras").exists()
    else:
        assert result == {"res": None}
        assert sorted(os.listdir(step.out / "_extras")) == ["one", "two"]


def test_stdout_fallback(step, fake_run):
    fake_run.script = ["report\n"]
    assert step.run("tool", {}, {}) == {"stdout": str(step.out / "stdout" / "tool_stdout.txt")}
    assert (step.out / "stdout" / "tool_stdout.txt").read_text() == "report\n"

    other = step.out.parent / "out2"
    fake_run.script = [" \n\t\u3000"]
    assert step.run("tool", {}, {}, str(other)) == {}
    assert not other.exists()

    # A slot named "stdout" that got nothing keeps its place and takes the file.
    fake_run.script = ["text"]
    third = step.out.parent / "out3"
    result = step.run("tool", {"outputs": {"stdout": {}, "z": {}}}, {}, str(third))
    assert list(result.items()) == [("stdout", str(third / "stdout" / "tool_stdout.txt")), ("z", None)]


def test_output_paths_are_spelled_like_pathlib(step, fake_run):
    fake_run.action = lambda sandbox: (sandbox / "r").write_text("r")
    result = step.run("t", {"outputs": {"r": {}}}, {}, str(step.out) + "//./")
    assert result == {"r": str(Path(str(step.out) + "//./") / "r")}


def test_file_system_errors_propagate_as_host_errors(step, fake_run, tmp_path):
    blocker = tmp_path / "blocker"
    blocker.write_text("a file where the output directory should be")
    fake_run.action = lambda sandbox: (sandbox / "r").write_text("r")
    with pytest.raises(NotADirectoryError) as info:
        step.run("t", {"outputs": {"r": {}}}, {}, str(blocker / "out"))
    assert info.value.filename == str(blocker / "out")
    assert blocker.read_text() == "a file where the output directory should be"
    assert len(step.sandboxes()) == 1  # kept for inspection


def test_unreadable_inputs_raise_the_host_copy_errors(step, fake_run):
    import shutil

    tree = step.inputs_dir / "tree"
    tree.mkdir()
    (tree / "ok.txt").write_text("ok")
    (tree / "dangling").symlink_to(step.inputs_dir / "nowhere")
    with pytest.raises(shutil.Error) as info:
        step.run("t", {}, {"tree": str(tree)})
    ((src, dst, why),) = info.value.args[0]
    assert src == str(tree / "dangling") and dst.endswith("/tree/dangling")
    assert why == f"[Errno 2] No such file or directory: '{tree / 'dangling'}'"
    (kept,) = step.sandboxes()
    assert (kept / "tree" / "ok.txt").read_text() == "ok"
    assert fake_run.calls == []


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(slot=st.text(st.sampled_from("ab-!^][*?."), min_size=1, max_size=6),
       names=st.lists(st.text(st.sampled_from("ab-!^][."), min_size=1, max_size=4)
                      .filter(lambda n: n not in (".", "..")), max_size=6, unique=True))
def test_slot_glob_agrees_with_the_host_glob(fake_run, local_mivo, slot, names):
    import glob
    import shutil

    assume(slot not in (".", ".."))

    expected = []

    def tool(sandbox):
        for name in names:
            (sandbox / name).write_text(name)
        matches = [Path(m).name for m in glob.glob(glob.escape(str(sandbox)) + "/" + slot + "*")
                   if os.path.isfile(m)]
        # The exact name, else the shortest, else the first by name.
        best = slot if slot in matches else min(matches, key=lambda n: (len(n.encode()), n.encode()),
                                                 default=None)
        if best is None:
            # No name starts with the slot: the one visible file ending in "." + slot.
            tails = [n for n in names if not n.startswith(".")
                     and len(n) > len(slot) + 1 and n.endswith("." + slot)]
            best = tails[0] if len(tails) == 1 else None
        expected.append(best)

    fake_run.action = tool
    out = local_mivo.temp_dir / "glob-out"
    shutil.rmtree(out, ignore_errors=True)
    result = MIVO().run("t", {"outputs": {slot: {}}}, {}, str(out))
    if expected[0] is None:
        assert result[slot] is None
    else:
        assert Path(result[slot]).read_text() == expected[0]
