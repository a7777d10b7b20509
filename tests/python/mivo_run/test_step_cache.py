"""The step cache and the run log, through MIVO.run with the local tool manager.

A "sorter" tool sorts the lines of its input into a file slot, writes a
summary into a directory slot, leaves a stray file and a stray directory
(both bound for "_extras") and prints a line; each call is recorded, so a
test can tell whether the tool ran.
"""
from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from plexaro.helpers import condition  # where the layer is: in place or installed

LOGGER = "plexaro.helpers.mivo"

SORTER = """
order = os.environ.get("SORT_ORDER", "up")
out, src = sys.argv[sys.argv.index("-o") + 1], sys.argv[-1]
lines = sorted(open(src).read().splitlines(), reverse=order == "down")
open(out, "w").write("\\n".join(lines) + "\\n")
os.chmod(out, 0o640)
os.makedirs("report", exist_ok=True)
open("report/summary.txt", "w").write(f"{len(lines)} lines, prefix {sys.argv[1]}\\n")
open("notes.log", "w").write("stray\\n")
os.makedirs("scratch/deep"); open("scratch/deep/x", "w").write("x")
print("sorted", len(lines))
"""

MANIFEST = {
    "image": "local/sorter:1",
    "args_template": "{prefix} -o {sorted} {reads}",
    "outputs": {"sorted": {"type": "file"}, "report": {"type": "dir"}},
}


@pytest.fixture
def cache(step, tmp_path, monkeypatch) -> Path:
    directory = tmp_path / "cache"
    monkeypatch.setenv("PLEXARO_STEP_CACHE", str(directory))
    for name in ("PLEXARO_STEP_CACHE_ENV", "PLEXARO_STEP_CACHE_MAX_SIZE", "PLEXARO_RUN_LOG",
                 "PLEXARO_STEP_CACHE_SHARED", "PLEXARO_STEP_CACHE_LINKS"):
        monkeypatch.delenv(name, raising=False)
    step.tool("sorter", SORTER)
    return directory


def tree(root: Path, times: bool = True) -> dict:
    """Every entry below `root`: relative path -> (kind, content, mode, mtime_ns)."""
    out = {}
    for path in sorted(root.rglob("*")):
        st = path.lstat()
        rel = str(path.relative_to(root))
        if path.is_dir():
            out[rel] = ("dir",)
        else:
            out[rel] = ("file", path.read_bytes(), st.st_mode & 0o7777, st.st_mtime_ns if times else 0)
    return out


def log_lines(cache: Path) -> list[dict]:
    path = cache / "runs.jsonl"
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def entries(cache: Path) -> list[Path]:
    return sorted(cache.glob("entries/*/*"))


def sort_step(step, reads: str, out: Path, manifest=MANIFEST, prefix="P"):
    return step.run("sorter", manifest, {"reads": reads, "prefix": prefix}, str(out))


def test_a_hit_places_what_a_fresh_run_placed_without_running_anything(step, cache, tmp_path, records):
    reads = step.file("reads.txt", "b\na\nc\n")
    first = sort_step(step, reads, tmp_path / "first")
    sandboxes = step.sandboxes()
    second = sort_step(step, reads, tmp_path / "second")

    assert len(step.calls("sorter")) == 1
    assert step.sandboxes() == sandboxes  # no sandbox made for the hit
    assert second == {"sorted": str(tmp_path / "second" / "sorted"),
                      "report": str(tmp_path / "second" / "report")}
    assert list(second) == list(first)
    assert tree(tmp_path / "second") == tree(tmp_path / "first")
    assert (tmp_path / "second" / "sorted").read_text() == "a\nb\nc\n"
    assert set(tree(tmp_path / "second")) >= {"_extras/notes.log", "_extras/scratch/deep/x",
                                              "report/summary.txt"}

    (key,) = [line["key"] for line in log_lines(cache)][:1]
    reused = [r for r in records(LOGGER) if r[1].startswith("Reusing")]
    assert reused == [("INFO", "Reusing the cached run of %s (key %s, first run %s)",
                       ("sorter", key, log_lines(cache)[0]["started"]))]


def test_the_stdout_fallback_is_reused_too(step, cache, tmp_path):
    step.tool("talker", "print('hello')")
    first = step.run("talker", {}, {}, str(tmp_path / "a"))
    second = step.run("talker", {}, {}, str(tmp_path / "b"))
    assert len(step.calls("talker")) == 1
    assert second == {"stdout": str(tmp_path / "b" / "stdout" / "talker_stdout.txt")}
    assert tree(tmp_path / "b") == tree(tmp_path / "a")
    assert list(first) == ["stdout"]


@pytest.mark.parametrize("change, hit", [
    ("nothing", True),
    ("same content, new timestamp", True),
    ("moved to another directory", True),
    ("changed content", False),
    ("renamed", False),            # the tool sees another file name
    ("template", False),
    ("scalar", False),
    ("output type", False),
    ("re-locked image", False),    # the lockfile's digest for the tool moved
])
def test_what_makes_a_miss(step, cache, tmp_path, change, hit):
    reads = step.file("reads.txt", "b\na\n")
    step.mivo._locked_image_ref = lambda tool: ("local/sorter:1", "sha256:aaaa")
    sort_step(step, reads, tmp_path / "first")
    manifest, prefix = MANIFEST, "P"
    if change == "re-locked image":
        step.mivo._locked_image_ref = lambda tool: ("local/sorter:1", "sha256:bbbb")
    elif change == "same content, new timestamp":
        os.utime(reads, (1_000_000, 1_000_000))
    elif change == "moved to another directory":
        reads = step.file("elsewhere/reads.txt", "b\na\n")
    elif change == "changed content":
        Path(reads).write_text("b\nz\n")
    elif change == "renamed":
        reads = step.file("other.txt", "b\na\n")
    elif change == "template":
        manifest = {**MANIFEST, "args_template": "{prefix}X -o {sorted} {reads}"}
    elif change == "scalar":
        prefix = "Q"
    elif change == "output type":
        manifest = {**MANIFEST, "outputs": {"sorted": {"type": "file"}, "report": {"type": "dir"},
                                            "extra": {"type": "file"}}}
    sort_step(step, reads, tmp_path / "second", manifest, prefix)
    assert len(step.calls("sorter")) == (1 if hit else 2)
    assert len(entries(cache)) == (1 if hit else 2)


def test_a_directory_input_is_keyed_by_its_contents(step, cache, tmp_path):
    step.tool("counter", "import glob; print(len(glob.glob(sys.argv[1] + '/*')))")
    folder = Path(step.file("folder/a.txt", "1")).parent
    manifest = {"args_template": "{d}"}
    step.run("counter", manifest, {"d": str(folder)}, str(tmp_path / "o1"))
    step.run("counter", manifest, {"d": str(folder)}, str(tmp_path / "o2"))
    (folder / "b.txt").write_text("2")
    step.run("counter", manifest, {"d": str(folder)}, str(tmp_path / "o3"))
    assert len(step.calls("counter")) == 2
    assert (tmp_path / "o3" / "stdout" / "counter_stdout.txt").read_text() == "2\n"


def test_listed_environment_variables_enter_the_key(step, cache, tmp_path, monkeypatch):
    reads = step.file("reads.txt", "b\na\n")
    monkeypatch.setenv("SORT_ORDER", "up")
    sort_step(step, reads, tmp_path / "1")
    monkeypatch.setenv("SORT_ORDER", "down")
    sort_step(step, reads, tmp_path / "2")  # not listed: reused, although the tool would differ
    assert len(step.calls("sorter")) == 1
    monkeypatch.setenv("PLEXARO_STEP_CACHE_ENV", "LC_ALL, SORT_ORDER")
    sort_step(step, reads, tmp_path / "3")
    assert len(step.calls("sorter")) == 2
    assert (tmp_path / "3" / "sorted").read_text() == "b\na\n"
    monkeypatch.setenv("SORT_ORDER", "up")
    sort_step(step, reads, tmp_path / "4")
    assert len(step.calls("sorter")) == 3


def test_off_the_step_runs_every_time_and_nothing_is_kept(step, tmp_path, monkeypatch):
    for name in ("PLEXARO_STEP_CACHE", "PLEXARO_RUN_LOG"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("PLEXARO_STEP_CACHE_MAX_SIZE", "not a size")  # read only when the cache is on
    step.tool("sorter", SORTER)
    reads = step.file("reads.txt", "b\na\n")
    sort_step(step, reads, tmp_path / "1")
    sort_step(step, reads, tmp_path / "2")
    assert len(step.calls("sorter")) == 2
    assert not list(tmp_path.rglob("runs.jsonl")) and not list(tmp_path.rglob("entries"))


@pytest.mark.parametrize("variable, value", [("PLEXARO_STEP_CACHE_MAX_SIZE", "20 parsecs"),
                                             ("PLEXARO_STEP_CACHE_LINKS", "soft"),
                                             ("PLEXARO_STEP_CACHE_SHARED", "world")])
def test_bad_settings_are_refused_before_anything_runs(step, cache, monkeypatch, variable, value):
    monkeypatch.setenv(variable, value)
    with pytest.raises(ValueError, match=f"{variable} must be .*'{value}'"):
        sort_step(step, step.file("reads.txt", "a\n"), step.out)
    assert step.calls("sorter") == [] and step.sandboxes() == []


def test_hard_links_deliver_the_stored_files_themselves(step, cache, tmp_path, monkeypatch):
    monkeypatch.setenv("PLEXARO_STEP_CACHE_LINKS", "hard")
    reads = step.file("reads.txt", "b\na\n")
    sort_step(step, reads, tmp_path / "1")
    second = sort_step(step, reads, tmp_path / "2")
    assert len(step.calls("sorter")) == 1
    assert tree(tmp_path / "2") == tree(tmp_path / "1")
    assert os.stat(second["sorted"]).st_ino == os.stat(tmp_path / "1" / "sorted").st_ino
    # Changed in place, every delivery changes with it; the entry is no longer taken.
    Path(second["sorted"]).write_text("edited\n")
    sort_step(step, reads, tmp_path / "3")
    assert len(step.calls("sorter")) == 2
    assert (tmp_path / "3" / "sorted").read_text() == "a\nb\n"


def test_a_failed_run_stores_nothing_and_is_logged(step, cache, tmp_path):
    step.tool("broken", "print('partial'); sys.exit(3)")
    for attempt in range(2):
        with pytest.raises(RuntimeError, match=r"failed \(exit 3\)"):
            step.run("broken", {"args_template": "go", "image": "local/broken:2"}, {}, str(tmp_path / "o"))
    assert len(step.calls("broken")) == 2
    assert entries(cache) == []
    lines = log_lines(cache)
    assert [(line["exit_status"], line["cache_hit"]) for line in lines] == [(3, False), (3, False)]
    assert lines[0]["error"].startswith("mivo exec broken go failed (exit 3)")
    assert lines[0]["image"] == "local/broken:2"


def test_changed_or_removed_entry_files_make_a_miss_that_replaces_the_entry(step, cache, tmp_path):
    reads = step.file("reads.txt", "b\na\n")
    sort_step(step, reads, tmp_path / "1")
    (entry,) = entries(cache)
    stored = entry / "files" / "sorted"
    stored.write_text("tampered\n")
    sort_step(step, reads, tmp_path / "2")
    assert (tmp_path / "2" / "sorted").read_text() == "a\nb\n"
    (entry,) = entries(cache)
    (entry / "files" / "report" / "summary.txt").unlink()
    sort_step(step, reads, tmp_path / "3")
    assert (tmp_path / "3" / "report" / "summary.txt").exists()
    sort_step(step, reads, tmp_path / "4")  # the replaced entry is good again
    assert len(step.calls("sorter")) == 3
    assert tree(tmp_path / "4") == tree(tmp_path / "3")


@pytest.mark.parametrize("links", ["copy", ""])
def test_a_changed_delivered_file_leaves_the_entry_intact(step, cache, tmp_path, monkeypatch, links):
    monkeypatch.setenv("PLEXARO_STEP_CACHE_LINKS", links)
    reads = step.file("reads.txt", "b\na\n")
    sort_step(step, reads, tmp_path / "1")
    sort_step(step, reads, tmp_path / "2")
    # A file of the host's where a hit delivers, linked to another of its
    # files: replaced, never written through.
    mine = step.file("mine.txt", "the host's own\n")
    (tmp_path / "3").mkdir()
    os.link(mine, tmp_path / "3" / "sorted")
    for delivered in (tmp_path / "1" / "sorted", tmp_path / "2" / "sorted"):
        with open(delivered, "a") as f:
            f.write("appended by the host\n")
    sort_step(step, reads, tmp_path / "3")
    assert len(step.calls("sorter")) == 1
    assert (tmp_path / "3" / "sorted").read_text() == "a\nb\n"
    assert Path(mine).read_text() == "the host's own\n"
    assert (tmp_path / "1" / "sorted").read_text() == "a\nb\nappended by the host\n"
    (entry,) = entries(cache)
    assert (entry / "files" / "sorted").read_text() == "a\nb\n"
    inodes = {os.stat(tmp_path / d / "sorted").st_ino for d in "123"} | {os.stat(entry / "files" / "sorted").st_ino}
    assert len(inodes) == 4


# Who may write the cache decides what a hit delivers. "other" is a
# directory of another user (made with os.chown, as root); "group" is our
# own group.
@pytest.mark.parametrize("owner, group, mode, shared, link, trusted", [
    ("me", "mine", 0o700, "", False, True),
    ("me", "mine", 0o755, "", False, True),
    ("me", "mine", 0o775, "", False, False),       # writable by its group
    ("me", "mine", 0o775, "group", False, True),
    ("me", "mine", 0o777, "group", False, False),  # writable by all: never
    ("me", "mine", 0o1777, "", False, False),
    ("other", "other", 0o755, "", False, False),   # someone else's
    ("other", "other", 0o755, "group", False, False),
    ("other", "mine", 0o770, "", False, False),
    ("other", "mine", 0o2770, "group", False, True),  # a team's, shared on purpose
    ("other", "other", 0o770, "group", False, False),  # a group we are not in
    ("me", "mine", 0o700, "", True, False),        # a link to a good directory
])
def test_only_a_cache_nobody_else_can_write_is_used(step, cache, tmp_path, monkeypatch,
                                                      owner, group, mode, shared, link, trusted):
    if os.geteuid() != 0 and (owner, group) != ("me", "mine"):
        pytest.skip("making another user's directory needs root (os.chown)")
    other = 65534  # nobody, nogroup
    real = tmp_path / "real-cache"
    real.mkdir()
    os.chown(real, other if owner == "other" else os.geteuid(), other if group == "other" else os.getegid())
    real.chmod(mode)
    if link:
        cache.symlink_to(real)
    else:
        cache.rmdir() if cache.exists() else None
        real.rename(cache)
    monkeypatch.setenv("PLEXARO_STEP_CACHE_SHARED", shared)
    reads = step.file("reads.txt", "b\na\n")
    if trusted:
        sort_step(step, reads, tmp_path / "1")
        sort_step(step, reads, tmp_path / "2")
        assert len(step.calls("sorter")) == 1 and len(entries(cache)) == 1
        return
    with pytest.raises(PermissionError, match=f"{cache} cannot be trusted"):
        sort_step(step, reads, tmp_path / "1")
    assert step.calls("sorter") == [] and step.sandboxes() == [] and not (tmp_path / "1").exists()
    assert not list((real if link else cache).iterdir())


def test_a_missing_cache_is_made_private_or_shared_with_the_group(step, cache, monkeypatch):
    for shared, mode in (("", 0o700), ("group", 0o2770)):
        monkeypatch.setenv("PLEXARO_STEP_CACHE", str(cache / shared / "new"))
        monkeypatch.setenv("PLEXARO_STEP_CACHE_SHARED", shared)
        sort_step(step, step.file("reads.txt", "a\n"), step.out)
        assert (cache / shared / "new").stat().st_mode & 0o7777 == mode


def test_a_log_line_cut_short_by_a_killed_writer_spoils_only_itself(step, cache, tmp_path):
    cache.mkdir()
    (cache / "runs.jsonl").write_text('{"tool": "sorter", "args": ["cut sh')
    sort_step(step, step.file("reads.txt", "a\n"), tmp_path / "1")
    lines = (cache / "runs.jsonl").read_text().splitlines()
    assert lines[0] == '{"tool": "sorter", "args": ["cut sh'
    assert json.loads(lines[1])["tool"] == "sorter" and len(lines) == 2


def test_least_recently_used_entries_are_evicted(step, cache, tmp_path, monkeypatch):
    reads = [step.file(f"r{i}.txt", f"{i}\n" * 2000) for i in range(3)]
    sort_step(step, reads[0], tmp_path / "a")
    size = sum(p.stat().st_size for p in entries(cache)[0].joinpath("files").rglob("*") if p.is_file())
    monkeypatch.setenv("PLEXARO_STEP_CACHE_MAX_SIZE", str(int(size * 2.5)))
    sort_step(step, reads[1], tmp_path / "b")
    time.sleep(0.02)
    sort_step(step, reads[0], tmp_path / "c")   # a hit: 0 is now more recent than 1
    assert len(step.calls("sorter")) == 2
    time.sleep(0.02)
    sort_step(step, reads[2], tmp_path / "d")   # three do not fit: 1 goes
    assert len(entries(cache)) == 2
    sort_step(step, reads[0], tmp_path / "e")
    assert len(step.calls("sorter")) == 3
    sort_step(step, reads[1], tmp_path / "f")
    assert len(step.calls("sorter")) == 4


def test_run_log_lines(step, cache, tmp_path):
    reads = step.file("reads.txt", "b\na\n")
    sort_step(step, reads, tmp_path / "1")
    sort_step(step, reads, tmp_path / "2")
    first, second = log_lines(cache)
    assert first["tool"] == "sorter" and first["image"] == "local/sorter:1"
    assert first["args"] == ["sorter", "P", "-o", "sorted", "reads.txt"]
    assert first["inputs"] == [{"input": "reads", "path": reads, "size": 4,
                                "hash": first["inputs"][0]["hash"]}]
    assert first["inputs"][0]["hash"].startswith("xxh3-128:") and len(first["inputs"][0]["hash"]) == 41
    outputs = {o["path"]: (o["slot"], o["size"]) for o in first["outputs"]}
    assert outputs[str(tmp_path / "1" / "sorted")] == ("sorted", 4)
    assert outputs[str(tmp_path / "1" / "report" / "summary.txt")] == ("report", 18)
    assert outputs[str(tmp_path / "1" / "_extras" / "notes.log")] == (None, 6)
    assert (first["exit_status"], first["cache_hit"]) == (0, False)
    assert (second["exit_status"], second["cache_hit"]) == (0, True)
    assert second["key"] == first["key"] and len(first["key"]) == 32
    assert second["args"] == first["args"] and second["inputs"] == first["inputs"]
    assert {o["path"].replace("/2/", "/1/") for o in second["outputs"]} == set(outputs)
    assert first["started"] <= first["ended"] < second["started"] <= second["ended"]
    assert first["started"].endswith("Z") and first["seconds"] >= 0


def test_run_log_without_the_cache(step, tmp_path, monkeypatch):
    monkeypatch.delenv("PLEXARO_STEP_CACHE", raising=False)
    log = tmp_path / "provenance" / "runs.jsonl"
    log.parent.mkdir()
    monkeypatch.setenv("PLEXARO_RUN_LOG", str(log))
    step.tool("sorter", SORTER)
    reads = step.file("reads.txt", "b\na\n")
    sort_step(step, reads, tmp_path / "1")
    sort_step(step, reads, tmp_path / "2")
    lines = [json.loads(line) for line in log.read_text().splitlines()]
    assert [(line["cache_hit"], line["key"]) for line in lines] == [(False, None), (False, None)]
    assert lines[0]["inputs"][0]["hash"] == lines[1]["inputs"][0]["hash"]
    assert len(step.calls("sorter")) == 2


CHILD = """
import json, sys
from plexaro.helpers.mivo import MIVO
manifest, inputs, out = json.loads(sys.argv[1]), json.loads(sys.argv[2]), sys.argv[3]
print(json.dumps(MIVO().run("slow", manifest, inputs, out)))
"""


def child_env(tmp_path) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = str(Path(condition.__file__).resolve().parents[2])
    env["TMPDIR"] = str(tmp_path / "tmp")
    return env


def test_two_processes_running_the_same_step_at_once(step, cache, tmp_path):
    step.tool("slow", """
import time
time.sleep(0.5)
open('upper.txt', 'w').write(open(sys.argv[-1]).read().upper())
for i in range(50):
    open(f'part{i}', 'w').write(str(i) * 1000)
""")
    manifest = {"args_template": "{reads}", "outputs": {"upper": {}}}
    inputs = {"reads": step.file("reads.txt", "acgt\n")}
    children = [subprocess.Popen([sys.executable, "-c", CHILD, json.dumps(manifest), json.dumps(inputs),
                                  str(tmp_path / f"out{i}")], env=child_env(tmp_path),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for i in range(2)]
    results = [child.communicate(timeout=60) for child in children]
    assert [child.returncode for child in children] == [0, 0], results
    assert [json.loads(out) for out, _ in results] == [
        {"upper": str(tmp_path / f"out{i}" / "upper.txt")} for i in range(2)]
    assert tree(tmp_path / "out0", times=False) == tree(tmp_path / "out1", times=False)
    assert len(entries(cache)) == 1
    assert list((cache / "incoming").iterdir()) == []
    assert [line["cache_hit"] for line in log_lines(cache)] == [False, False]
    step.run("slow", manifest, inputs, str(tmp_path / "out2"))
    assert len(step.calls("slow")) == 2
    assert tree(tmp_path / "out2") in (tree(tmp_path / "out0"), tree(tmp_path / "out1"))


def test_a_killed_store_leaves_no_entry_that_a_reader_takes(step, cache, tmp_path, monkeypatch):
    # Many outputs make the store long enough to be caught in the middle.
    step.tool("slow", """
os.makedirs('many', exist_ok=True)
for i in range(400):
    open(f'many/{i}', 'w').write(str(i))
""")
    manifest = {"outputs": {"many": {"type": "dir"}}}
    for attempt in range(3):  # a store that finished before the kill is tried again
        cache = tmp_path / f"cache{attempt}"
        monkeypatch.setenv("PLEXARO_STEP_CACHE", str(cache))
        child = subprocess.Popen([sys.executable, "-c", CHILD, json.dumps(manifest), "{}", str(tmp_path / "o1")],
                                 env=child_env(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        incoming = cache / "incoming"
        deadline = time.monotonic() + 60
        while not (incoming.is_dir() and any(incoming.iterdir())):
            assert child.poll() is None and time.monotonic() < deadline, child.communicate()
            time.sleep(0.0002)
        child.send_signal(signal.SIGKILL)
        child.communicate()
        if child.returncode == -signal.SIGKILL and not entries(cache):
            break
    assert entries(cache) == []
    assert len(list(incoming.iterdir())) == 1  # the litter stays where no reader looks

    calls = len(step.calls("slow"))
    result = step.run("slow", manifest, {}, str(tmp_path / "o2"))
    assert len(step.calls("slow")) == calls + 1
    assert result == {"many": str(tmp_path / "o2" / "many")}
    assert len(list((tmp_path / "o2" / "many").iterdir())) == 400
    (entry,) = entries(cache)
    assert len(list((entry / "files" / "many").iterdir())) == 400


def test_a_cache_that_cannot_be_written_only_costs_warnings(step, cache, tmp_path, records):
    cache.mkdir()
    (cache / "entries").write_text("a file where the entries should be")
    (cache / "runs.jsonl").mkdir()
    reads = step.file("reads.txt", "b\na\n")
    result = sort_step(step, reads, tmp_path / "1")
    assert (tmp_path / "1" / "sorted").read_text() == "a\nb\n"
    assert result["sorted"] == str(tmp_path / "1" / "sorted")
    warnings = [r for r in records(LOGGER) if r[0] == "WARNING"]
    assert {r[1] for r in warnings} == {"Step cache: %s"}
    assert any(r[2][0].startswith("step not cached: ") for r in warnings)
    assert any(r[2][0].startswith("run log not written: ") for r in warnings)


# An index step: it indexes the reference beside its staged copy (as
# "samtools faidx" does), writes a picard-style "x.bai" beside the staged BAM,
# calls with an index and a declared stats file, and talks on standard error.
INDEXER = """
bam, ref, calls = sys.argv[2:5]
staged = sorted(n for n in os.listdir('.') if not n.startswith('.') and not n.startswith('mivo.'))
open(ref + '.fai', 'w').write('fai of ' + open(ref).read())
open(bam[:-len('.bam')] + '.bai', 'w').write('bai of ' + open(bam).read())
open(calls + '.vcf', 'w').write('calls from ' + ' '.join(staged))
open(calls + '.vcf.csi', 'w').write('csi')
open(calls + '.stats', 'w').write('stats')
print('indexed', bam, file=sys.stderr)
"""

INDEX_MANIFEST = {
    "args_template": "index {bam} {ref} {calls} 2> {log}",
    "outputs": {"indexed": {"from_input": "bam"},
                "calls": {"secondary_files": ["^.stats"]},
                "log": {}},
}


def index_step(step, out: Path):
    inputs = {"bam": str(step.inputs_dir / "x.bam"), "ref": str(step.inputs_dir / "ref.fa")}
    return step.run("indexer", INDEX_MANIFEST, inputs, str(out))


def test_a_hit_with_companions_places_the_tree_of_a_fresh_run(step, cache, tmp_path):
    step.tool("indexer", INDEXER)
    step.file("x.bam", "bam")
    step.file("x.bam.csi", "old csi")  # staged beside the BAM, handed on with it
    step.file("ref.fa", ">r")
    first = index_step(step, tmp_path / "first")
    second = index_step(step, tmp_path / "second")

    assert len(step.calls("indexer")) == 1
    fresh = tree(tmp_path / "first")
    # Every kind of delivery is in the fresh run's tree: the handed-on input
    # with its old and new companions, a slot file with its companions, the
    # standard-error slot, and the index written beside a staged input.
    assert {rel: entry[1] for rel, entry in fresh.items() if entry[0] == "file"} == {
        "indexed": b"bam", "indexed.bai": b"bai of bam", "indexed.csi": b"old csi",
        "calls.vcf": b"calls from ref.fa x.bam x.bam.csi", "calls.vcf.csi": b"csi",
        "calls.stats": b"stats", "log": b"indexed x.bam\n", "ref.fa.fai": b"fai of >r",
    }
    assert tree(tmp_path / "second") == fresh
    assert {k: Path(v).relative_to(tmp_path / "second") for k, v in second.items()} == \
        {k: Path(v).relative_to(tmp_path / "first") for k, v in first.items()}


@pytest.mark.parametrize("change, hit", [
    ("nothing", True),
    ("index rebuilt", False),
    ("index added", False),
    ("index removed", False),
])
def test_a_changed_companion_of_an_input_is_a_miss(step, cache, tmp_path, change, hit):
    step.tool("caller", "print(sorted(os.listdir('.')))")
    manifest = {"args_template": "mpileup {bam}"}
    bam = step.file("x.bam", "bam")
    bai = Path(step.file("x.bam.bai", "bai"))
    step.run("caller", manifest, {"bam": bam}, str(tmp_path / "1"))
    if change == "index rebuilt":
        bai.write_text("new bai")
    elif change == "index added":
        step.file("x.bam.csi", "csi")
    elif change == "index removed":
        bai.unlink()
    step.run("caller", manifest, {"bam": bam}, str(tmp_path / "2"))
    assert len(step.calls("caller")) == (1 if hit else 2)
    assert len(entries(cache)) == (1 if hit else 2)
