"""A step-cache hit against the run it replaces.

The step reads a 64 MiB input and writes a 1 GiB output into a file slot;
MIVO._run is replaced by an in-process stand-in that writes the output, so
the run is the layer's own work plus the writing of the output and nothing
else: the cheapest run that can produce 1 GiB, the hardest case for a hit.

1. hit / run: a run on an empty cache (sandbox, staging, tool, harvest,
   storing the entry) against the next call of the same step, a hit (key,
   placement of the stored 1 GiB into a fresh output directory, run log).
2. run with the cache / run without it: what storing an entry adds to a miss.

Runs are interleaved and each pair starts from the same state; min of 3.

    PYTHONPATH=python python3 bench/bench_stepcache.py
"""
from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from plexaro.helpers.mivo import MIVO

HIT_TARGET = 0.05
STORE_TARGET = 2.0
OUTPUT = 1 << 30
ROUNDS = 3


def _write_output(sandbox: str) -> None:
    chunk = os.urandom(1 << 20)
    with open(os.path.join(sandbox, "out"), "wb") as f:
        for _ in range(OUTPUT // len(chunk)):
            f.write(chunk)


def _stand_in_run(mivo, cmd, **options):
    _write_output(options["cwd"])
    return subprocess.CompletedProcess(["mivo", *cmd], 0, "", "")


def _timed(mivo: MIVO, inputs: dict, out: Path) -> float:
    start = time.perf_counter()
    mivo.run("writer", {"args_template": "{reads}", "outputs": {"out": {}}}, inputs, str(out))
    return time.perf_counter() - start


def run() -> list[tuple[str, float, float]]:
    saved_env = {k: os.environ.get(k) for k in ("PLEXARO_STEP_CACHE", "PLEXARO_RUN_LOG")}
    original = MIVO._run
    MIVO._run = _stand_in_run
    try:
        with tempfile.TemporaryDirectory(prefix="bench_stepcache_") as tmp:
            work = Path(tmp)
            reads = work / "reads.fq"
            reads.write_bytes(os.urandom(64 << 20))
            inputs = {"reads": str(reads)}
            mivo = MIVO()
            misses, hits, plain = [], [], []
            os.environ.pop("PLEXARO_RUN_LOG", None)
            for rnd in range(ROUNDS):
                cache = work / "cache"
                shutil.rmtree(cache, ignore_errors=True)
                os.sync()
                os.environ["PLEXARO_STEP_CACHE"] = str(cache)
                misses.append(_timed(mivo, inputs, work / "miss"))
                hits.append(_timed(mivo, inputs, work / "hit"))
                assert os.path.getsize(work / "hit" / "out") == OUTPUT
                os.environ.pop("PLEXARO_STEP_CACHE")
                shutil.rmtree(work / "miss")
                shutil.rmtree(work / "hit")
                shutil.rmtree(cache)
                os.sync()
                plain.append(_timed(mivo, inputs, work / "plain"))
                shutil.rmtree(work / "plain")
            print(f"  run {min(misses):.3f} s, hit {min(hits):.3f} s, run without cache {min(plain):.3f} s"
                  f" (medians {sorted(misses)[ROUNDS // 2]:.3f} / {sorted(hits)[ROUNDS // 2]:.3f} /"
                  f" {sorted(plain)[ROUNDS // 2]:.3f})")
    finally:
        MIVO._run = original
        for key, value in saved_env.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
    return [
        ("hit vs its run, 1 GiB output", min(hits) / min(misses), HIT_TARGET),
        ("run with the cache vs without, 1 GiB", min(misses) / min(plain), STORE_TARGET),
    ]


if __name__ == "__main__":
    for name, ratio, target in run():
        print(f"{name}: ratio {ratio:.3f} (target <= {target})")
