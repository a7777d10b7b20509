"""A step-cache hit against the run it replaces.

The step reads a 64 MiB input and writes a 1 GiB output into a file slot;
MIVO._run is replaced by an in-process stand-in that writes the output, so
the run is the layer's own work plus the writing of the output and nothing
else: the cheapest run that can produce 1 GiB, the hardest case for a hit.

Per way of placing files (copies, the default; hard links,
PLEXARO_STEP_CACHE_LINKS=hard):
1. hit / run: a run on an empty cache (sandbox, staging, tool, harvest,
   storing the entry) against the next call of the same step, a hit (key,
   placement of the stored 1 GiB into a fresh output directory, run log).
2. run with the cache / run without it: what storing an entry adds to a miss.

Runs are interleaved, each from the same state (empty cache, no output,
nothing left to write back); min of 3 rounds, medians printed. A hit by
copies costs one fresh write of the outputs, which on a disk slower than the
page cache can cost more than the run's own writes that stay in memory: the
copy rows show what the default costs; hard links show the floor.

    PYTHONPATH=python python3 bench/bench_stepcache.py

Entries are flushed to disk before they are renamed into place, so the run
with the cache includes the writeback of its outputs, which a run without
it leaves to the kernel. On a file system without reflinks (ext4) a copy
hit writes the outputs once more; where reflinks exist (XFS with
reflink=1, btrfs) a copy hit costs what a hard-link hit does. To measure
that too, point PLEXARO_BENCH_REFLINK_DIR at a directory on such a file
system (as root, for instance: truncate -s 4G x.img; mkfs.xfs -m reflink=1
x.img; mount -o loop x.img /mnt/x); without it that part is skipped.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from plexaro.helpers.mivo import MIVO

TARGETS = {  # (hit / run, run with the cache / without)
    "copy": (0.5, 2.0),   # a hit is one copy of the outputs; storing is one more
    "hard": (0.05, 1.2),  # neither copies
}
OUTPUT = 1 << 30
ROUNDS = 3
SETTLE = 1.0  # seconds
VARIABLES = ("PLEXARO_STEP_CACHE", "PLEXARO_STEP_CACHE_LINKS", "PLEXARO_STEP_CACHE_MAX_SIZE", "PLEXARO_RUN_LOG")


def _stand_in_run(mivo, cmd, **options):
    chunk = os.urandom(1 << 20)
    with open(os.path.join(options["cwd"], "out"), "wb") as f:
        for _ in range(OUTPUT // len(chunk)):
            f.write(chunk)
    return subprocess.CompletedProcess(["mivo", *cmd], 0, "", "")


def _timed(mivo: MIVO, inputs: dict, out: Path) -> float:
    start = time.perf_counter()
    mivo.run("writer", {"args_template": "{reads}", "outputs": {"out": {}}}, inputs, str(out))
    return time.perf_counter() - start


def _measure(work: Path) -> dict:
    reads = work / "reads.fq"
    reads.write_bytes(os.urandom(64 << 20))
    inputs = {"reads": str(reads)}
    mivo = MIVO()
    times = {"plain": [], **{f"{mode} {kind}": [] for mode in TARGETS for kind in ("run", "hit")}}

    def settle():
        # Nothing left to write back, and the disk given a moment: each timed
        # call starts from the same state.
        os.sync()
        time.sleep(SETTLE)

    def clean():
        for name in ("cache", "run", "hit", "plain"):
            shutil.rmtree(work / name, ignore_errors=True)
        settle()

    for _ in range(ROUNDS):
        clean()
        times["plain"].append(_timed(mivo, inputs, work / "plain"))
        for mode in TARGETS:
            clean()
            os.environ["PLEXARO_STEP_CACHE"] = str(work / "cache")
            os.environ["PLEXARO_STEP_CACHE_LINKS"] = mode
            times[f"{mode} run"].append(_timed(mivo, inputs, work / "run"))
            settle()
            times[f"{mode} hit"].append(_timed(mivo, inputs, work / "hit"))
            assert os.path.getsize(work / "hit" / "out") == OUTPUT
            del os.environ["PLEXARO_STEP_CACHE"], os.environ["PLEXARO_STEP_CACHE_LINKS"]
    clean()
    for name, values in times.items():
        print(f"  {name:>9}: min {min(values):.3f} s, median {sorted(values)[len(values) // 2]:.3f} s")
    return {name: min(values) for name, values in times.items()}


def run() -> list[tuple[str, float, float]]:
    saved = {k: os.environ.pop(k, None) for k in VARIABLES}
    original = MIVO._run
    MIVO._run = _stand_in_run
    try:
        with tempfile.TemporaryDirectory(prefix="bench_stepcache_") as tmp:
            best = _measure(Path(tmp))
    finally:
        MIVO._run = original
        for key, value in saved.items():
            if value is not None:
                os.environ[key] = value
    rows = _rows(best, "")
    reflink_dir = os.environ.get("PLEXARO_BENCH_REFLINK_DIR")
    if not reflink_dir:
        print("  reflink part skipped: PLEXARO_BENCH_REFLINK_DIR is not set")
        return rows
    print(f"  on {reflink_dir}:")
    MIVO._run = _stand_in_run
    saved_tmp = tempfile.tempdir
    tempfile.tempdir = reflink_dir  # the sandbox too, so every file shares one file system
    try:
        with tempfile.TemporaryDirectory(prefix="bench_stepcache_") as tmp:
            best = _measure(Path(tmp))
    finally:
        tempfile.tempdir = saved_tmp
        MIVO._run = original
    rows += _rows(best, ", reflinks")
    rows[-4] = (rows[-4][0], rows[-4][1], TARGETS["hard"][0])  # a reflinked hit is a link's cost
    return rows


def _rows(best: dict, where: str) -> list[tuple[str, float, float]]:
    rows = []
    for mode, (hit_target, store_target) in TARGETS.items():
        label = ("copies" if mode == "copy" else "hard links") + where
        rows.append((f"hit vs its run, 1 GiB output, {label}", best[f"{mode} hit"] / best[f"{mode} run"],
                     hit_target))
        rows.append((f"run with the cache vs without, {label}", best[f"{mode} run"] / best["plain"],
                     store_target))
    return rows


if __name__ == "__main__":
    for name, ratio, target in run():
        print(f"{name}: ratio {ratio:.3f} (target <= {target})")
