"""Steps as Slurm jobs (PLEXARO_EXECUTOR=slurm) against the same steps run
locally and against srun alone.

Needs a running cluster: the project's own (scripts/slurm start DIR as root,
then `set -a; . DIR/env`); without one the benchmark says so and measures
nothing. The tool is a trivial program run through the repository's local
tool manager (tools/bin/mivo, on this machine).

1. A trivial step through slurm against the same step local: the median
   difference must stay under 0.3 s (the ratio printed is difference / 0.3 s).
2. 20 independent steps from 2 host threads through slurm against 20
   `srun ... mivo exec` of the same commands from 2 threads (no layer):
   ratio of the medians, at most 1.5.

Rounds are interleaved; min and median printed.

    PYTHONPATH=python python3 bench/bench_slurm.py
"""
from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from plexaro.helpers.mivo import MIVO

REPO = Path(__file__).resolve().parents[1]
ROUNDS = 7
STEPS = 20
THREADS = 2
EXTRA_SECONDS = 0.3
PIPELINE_TARGET = 1.5
MANIFEST = {"args_template": "{out}", "outputs": {"out": {}}}
VARIABLES = ("PLEXARO_EXECUTOR", "PLEXARO_SANDBOX_DIR", "PLEXARO_STEP_CACHE", "PLEXARO_RUN_LOG",
             "PLEXARO_SLURM_PARTITION", "PLEXARO_SLURM_ACCOUNT", "PLEXARO_SLURM_ARGS",
             "PATH", "MIVO_CONTAINER", "MIVO_REGISTRY")


def _cluster_missing() -> str | None:
    # Without a configuration the clients look for one in DNS: never asked here.
    if not os.environ.get("SLURM_CONF") and not os.path.exists("/etc/slurm/slurm.conf"):
        return "no Slurm configuration (SLURM_CONF unset, no /etc/slurm/slurm.conf)"
    if not shutil.which("srun"):
        return "no srun on PATH"
    try:
        ping = subprocess.run(["scontrol", "ping"], capture_output=True, text=True, timeout=15)
    except (OSError, subprocess.TimeoutExpired) as error:
        return str(error)
    return None if ping.returncode == 0 and "UP" in ping.stdout else (ping.stdout + ping.stderr).strip()


def _in_threads(work, count: int) -> float:
    """`work(i)` for i < count, from THREADS threads; seconds for all."""
    todo = list(range(count))
    lock = threading.Lock()
    errors = []

    def worker():
        while True:
            with lock:
                if not todo:
                    return
                i = todo.pop()
            try:
                work(i)
            except Exception as error:  # noqa: BLE001 (reported below)
                errors.append(error)

    start = time.perf_counter()
    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return time.perf_counter() - start


def _measure(work: Path) -> tuple[dict, dict]:
    tools = work / "tools"
    tools.mkdir()
    program = tools / "touchy"
    program.write_text("#!/bin/sh\necho done > \"$1\"\n")
    program.chmod(0o755)
    os.environ["PATH"] = f"{tools}:{REPO / 'tools' / 'bin'}:{os.environ['PATH']}"
    os.environ["MIVO_CONTAINER"] = "never"
    os.environ["MIVO_REGISTRY"] = str(REPO / "tests" / "support" / "registry")
    os.environ["PLEXARO_SANDBOX_DIR"] = str(work / "shared")
    tempfile.tempdir = str(work)
    mivo = MIVO()
    counter = iter(range(10**6))

    def step(executor: str) -> None:
        os.environ["PLEXARO_EXECUTOR"] = executor
        mivo.run("touchy", MANIFEST, {}, str(work / "out" / str(next(counter))))

    def timed(executor: str) -> float:
        start = time.perf_counter()
        step(executor)
        return time.perf_counter() - start

    def srun_alone(i: int) -> None:
        sandbox = work / "plain" / str(next(counter))
        sandbox.mkdir(parents=True)
        subprocess.run(["srun", "--quiet", f"--job-name=plexaro-bench-{i}", f"--chdir={sandbox}",
                        "--nodes=1", "--ntasks=1", "mivo", "exec", "touchy", "out"],
                       check=True, timeout=120, capture_output=True)

    step("slurm")  # the first job of a fresh cluster pays for its start-up
    single = {"local": [], "slurm": []}
    pipeline = {"srun alone": [], "slurm": []}
    for _ in range(ROUNDS):
        single["local"].append(timed("local"))
        single["slurm"].append(timed("slurm"))
    os.environ["PLEXARO_EXECUTOR"] = "slurm"
    for _ in range(3):
        pipeline["srun alone"].append(_in_threads(srun_alone, STEPS))
        pipeline["slurm"].append(_in_threads(lambda i: step("slurm"), STEPS))
    for table in (single, pipeline):
        for name, values in table.items():
            print(f"  {name:>10}: min {min(values):.3f} s, median {statistics.median(values):.3f} s")
    return single, pipeline


def run() -> list[tuple[str, float, float]]:
    missing = _cluster_missing()
    if missing:
        print(f"  skipped: no Slurm cluster answers ({missing}); scripts/slurm start DIR "
              "(as root), then set -a; . DIR/env")
        return []
    saved = {k: os.environ.get(k) for k in VARIABLES}
    saved_tempdir = tempfile.tempdir
    try:
        with tempfile.TemporaryDirectory(prefix="bench_slurm_") as tmp:
            single, pipeline = _measure(Path(tmp))
    finally:
        tempfile.tempdir = saved_tempdir
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
    extra = statistics.median(single["slurm"]) - statistics.median(single["local"])
    print(f"  a trivial step through slurm costs {extra:.3f} s more than local (median)")
    return [
        (f"trivial step, slurm - local ({extra:.3f} s) / {EXTRA_SECONDS} s", extra / EXTRA_SECONDS, 1.0),
        (f"{STEPS} steps from {THREADS} threads, slurm / srun alone",
         statistics.median(pipeline["slurm"]) / statistics.median(pipeline["srun alone"]),
         PIPELINE_TARGET),
    ]


if __name__ == "__main__":
    rows = run()
    for name, ratio, target in rows:
        print(f"{name}: ratio {ratio:.3f} (target <= {target})")
    sys.exit(0 if all(ratio <= target for _, ratio, target in rows) else 1)
