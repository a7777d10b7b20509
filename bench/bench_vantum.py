"""build_vantum against the same description built the plain way in Python,
in-process: os.walk, open and readline for the first lines, the first bytes
for the format, gzip/bz2/lzma from the standard library, and repr (the model
the tests compare against, so both produce the same text).

Workloads, timed interleaved with the baseline, ratio of the medians:
  * a step's mixed outputs: a directory of 30 files (text tables, gzip,
    BGZF, bzip2 and xz text, BAM, PNG) plus a text file, a gzipped FASTQ
    and a BAM with its index;
  * a directory of 30 small text tables plus one text file;
  * the mixed outputs again on /dev/shm when it exists (a memory file
    system, where reads cannot be asked not to wait);
  * a 1 GiB file with no line break, judged once (seconds per GiB; the
    baseline is not run on it).

    PYTHONPATH=python python3 bench/bench_vantum.py
"""
from __future__ import annotations

import bz2
import gzip
import lzma
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

from plexaro.helpers.vantum import build_vantum

PER_FILE_TARGET = 0.5
SECONDS_PER_GIB_TARGET = 1.0

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from support.vantum_head_model import bgzf, build as baseline  # noqa: E402


def _table(i: int) -> bytes:
    return ("gene\tcount\n" + "".join(f"g{j}\t{i * j}\n" for j in range(40))).encode()


def _fastq(n: int) -> bytes:
    return "".join(f"@read{j}\nACGTTGCAACGT\n+\nIIIIIIIIIIII\n" for j in range(n)).encode()


def _write(path: str, data: bytes) -> str:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path


def _mixed(root: str) -> dict:
    out = os.path.join(root, "mixed")
    makers = [
        ("t{:02d}.tsv", _table), ("r{:02d}.fq.gz", lambda i: gzip.compress(_fastq(200))),
        ("v{:02d}.vcf.gz", lambda i: bgzf(_table(i) * 20)),
        ("r{:02d}.fq.bz2", lambda i: bz2.compress(_fastq(200))),
        ("r{:02d}.fq.xz", lambda i: lzma.compress(_fastq(200))),
        ("a{:02d}.bam", lambda i: bgzf(b"BAM\x01" + bytes(range(256)) * 4)),
        ("p{:02d}.png", lambda i: b"\x89PNG\r\n\x1a\n" + bytes(200)),
    ]
    for i in range(30):
        pattern, make = makers[i % len(makers)]
        _write(os.path.join(out, "sub" if i % 4 == 0 else "", pattern.format(i)), make(i))
    bam = _write(os.path.join(root, "bam"), bgzf(b"BAM\x01" + bytes(1000)))
    _write(bam + ".bai", b"BAI\x01" + bytes(100))
    return {"out_dir": out, "summary": _write(os.path.join(root, "summary.txt"), _table(99)),
            "reads": _write(os.path.join(root, "reads.fq.gz"), gzip.compress(_fastq(500))),
            "bam": bam, "threshold": 0.5}


def _plain(root: str) -> dict:
    out = os.path.join(root, "plain")
    for i in range(30):
        _write(os.path.join(out, "parts" if i % 3 == 0 else "", f"sample_{i:02d}.tsv"), _table(i))
    return {"out_dir": out, "summary": _write(os.path.join(root, "plain.txt"), _table(7))}


def _ratio(data: dict, calls: int, rounds: int) -> tuple[float, float]:
    """Median and min over rounds of layer time / baseline time, interleaved."""
    ratios = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            build_vantum(data)
        layer = time.perf_counter() - start
        start = time.perf_counter()
        for _ in range(calls):
            baseline(data)
        ratios.append(layer / (time.perf_counter() - start))
    return statistics.median(ratios), min(ratios)


def _seconds_per_gib(root: str) -> float:
    big = os.path.join(root, "one-line.txt")
    block = b"A" * (16 << 20)
    with open(big, "wb") as f:
        for _ in range(64):
            f.write(block)
    try:
        times = []
        for _ in range(3):
            start = time.perf_counter()
            text = build_vantum({"big": big})
            times.append(time.perf_counter() - start)
        if not text.endswith("first 5 lines:\n      " + "A" * 400):
            raise AssertionError("the 1 GiB line was not judged to its end")
        return min(times)
    finally:
        os.unlink(big)


def run() -> list[tuple[str, float, float]]:
    rows = []
    with tempfile.TemporaryDirectory(prefix="bench-vantum-") as tmp:
        for name, data in (("mixed outputs: 30-file dir + 3 files", _mixed(tmp)),
                           ("text tables: 30-file dir + 1 file", _plain(tmp))):
            if build_vantum(data) != baseline(data):
                raise AssertionError(f"build_vantum and the baseline disagree on: {name}")
            median, low = _ratio(data, calls=20, rounds=9)
            print(f"  {name}: ratio median {median:.3f}, min {low:.3f}")
            rows.append((f"build_vantum {name}", median, PER_FILE_TARGET))
        if os.path.isdir("/dev/shm"):
            with tempfile.TemporaryDirectory(prefix="bench-vantum-", dir="/dev/shm") as shm:
                data = _mixed(shm)
                if build_vantum(data) != baseline(data):
                    raise AssertionError("build_vantum and the baseline disagree on /dev/shm")
                median, low = _ratio(data, calls=20, rounds=9)
                print(f"  mixed outputs on /dev/shm: ratio median {median:.3f}, min {low:.3f}")
                rows.append(("build_vantum mixed outputs on /dev/shm", median, PER_FILE_TARGET))
        seconds = _seconds_per_gib(tmp)
        print(f"  1 GiB line judged in {seconds:.3f} s ({1 / seconds:.2f} GiB/s)")
        rows.append(("1 GiB file without line break: seconds per GiB", seconds,
                     SECONDS_PER_GIB_TARGET))
    return rows


if __name__ == "__main__":
    for name, ratio, target in run():
        print(f"{name}: ratio {ratio:.4f} (target <= {target})")
