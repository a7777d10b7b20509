"""build_vantum against the same description built the plain way in Python:
os.walk, one `head` process per file (with its 3-second time-out) and repr.

Workload: a directory of 30 small text files plus one 5-line file.

    PYTHONPATH=python python3 bench/bench_vantum.py
"""
from __future__ import annotations

import os
import sys
from pathlib import Path
import statistics
import tempfile
import time

from plexaro.helpers.vantum import build_vantum

TARGET = 0.05


# The baseline is the same plain construction the tests compare against.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from support.vantum_head_model import build as baseline  # noqa: E402


def _per_call(fn, data, calls, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            fn(data)
        times.append((time.perf_counter() - start) / calls)
    return statistics.median(times)


def run() -> list[tuple[str, float, float]]:
    with tempfile.TemporaryDirectory(prefix="bench-vantum-") as tmp:
        out = os.path.join(tmp, "out")
        os.makedirs(os.path.join(out, "parts"))
        for i in range(30):
            sub = "parts" if i % 3 == 0 else ""
            with open(os.path.join(out, sub, f"sample_{i:02d}.tsv"), "w") as f:
                f.write("gene\tcount\n" + "".join(f"g{j}\t{i * j}\n" for j in range(20)))
        single = os.path.join(tmp, "summary.txt")
        with open(single, "w") as f:
            f.write("".join(f"summary line {j}\n" for j in range(5)))
        data = {"out_dir": out, "summary": single, "threshold": 0.5}

        if build_vantum(data) != baseline(data):
            raise AssertionError("build_vantum and the baseline disagree on the workload")
        layer = _per_call(build_vantum, data, calls=50, rounds=7)
        base = _per_call(baseline, data, calls=3, rounds=7)
    return [("build_vantum dir of 30 files + one file", layer / base, TARGET)]


if __name__ == "__main__":
    for name, ratio, target in run():
        print(f"{name}: ratio {ratio:.4f} (target <= {target})")
