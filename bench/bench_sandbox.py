"""MIVO.run's own file-system work against the same steps written with
shutil/glob/os in Python.

1. Staging a 1 GiB input file: the time from entering `run` until the tool
   manager would be started (sandbox + staging) vs shutil.copy2 of the file.
2. The overhead of `run` around a tool that does nothing but write its 20
   outputs: sandbox, staging of 20 small inputs, command line, harvest of the
   20 outputs (and their "_extras" copies), sandbox removal; the tool manager
   process is left out (MIVO._run is replaced by an in-process stand-in).

    PYTHONPATH=python python3 bench/bench_sandbox.py
"""
from __future__ import annotations

import glob
import os
import shutil
import subprocess
import tempfile
import time
import uuid
from pathlib import Path

from plexaro.helpers.mivo import MIVO

STAGING_TARGET = 1.0
OVERHEAD_TARGET = 0.5
BIG = 1 << 30
SMALL_FILES = 20


class _Probe:
    """Stands in for MIVO._run: runs `tool` in the sandbox and notes when it was reached."""

    def __init__(self, tool=None):
        self.tool = tool
        self.reached = 0.0

    def __call__(self, mivo, cmd, **options):
        self.reached = time.perf_counter()
        if self.tool:
            self.tool(options["cwd"])
        return subprocess.CompletedProcess(["mivo", *cmd], 0, "", "")


def _with_probe(probe):
    original = MIVO._run
    MIVO._run = lambda self, cmd, **kw: probe(self, cmd, **kw)
    return lambda: setattr(MIVO, "_run", original)


def _staging(work: Path) -> float:
    big = work / "big.bin"
    chunk = os.urandom(1 << 20)
    with open(big, "wb") as f:
        for _ in range(BIG // len(chunk)):
            f.write(chunk)
    probe = _Probe()
    restore = _with_probe(probe)
    layer, base = [], []
    try:
        mivo = MIVO()
        for _ in range(3):
            start = time.perf_counter()
            mivo.run("stage", {}, {"big": str(big)}, str(work / "out"))
            layer.append(probe.reached - start)

            dst = work / "copy.bin"
            start = time.perf_counter()
            shutil.copy2(big, dst)
            base.append(time.perf_counter() - start)
            dst.unlink()
    finally:
        restore()
    return min(layer) / min(base)


def _tool(sandbox):
    for i in range(SMALL_FILES):
        with open(os.path.join(sandbox, f"o{i:02d}.txt"), "w") as f:
            f.write("result\n")


def _python_steps(inputs: dict, manifest: dict, output_dir: str, tool) -> dict:
    """The steps of `run` the plain way (no template: positional arguments)."""
    sandbox = Path(tempfile.gettempdir()) / "plexaro_sandboxes" / f"run-py-{uuid.uuid4().hex[:12]}"
    sandbox.mkdir(parents=True, exist_ok=True)
    os.chmod(sandbox, 0o777)
    staged = {}
    for key, value in inputs.items():
        if isinstance(value, str) and os.path.exists(value):
            src = Path(value)
            dst = sandbox / src.name
            if dst.exists():
                dst = sandbox / f"{key}_{src.name}"
            if not dst.exists():
                shutil.copy2(src, dst)
            staged[key] = dst
    outputs = manifest.get("outputs", {})
    clean = [p.name for p in staged.values()]
    run_env = os.environ.copy()
    tool(str(sandbox))
    output_path = Path(output_dir)
    input_names = {p.name for p in staged.values()}
    delivered = {slot: [] for slot in outputs}
    for slot in outputs:
        for cand in glob.glob(str(sandbox / f"{slot}*")):
            cand = Path(cand)
            if cand.is_file() and cand.name not in input_names:
                dst = output_path / slot
                dst.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(cand, dst)
                delivered[slot].append(dst)
                break
    harvested = {p.name for paths in delivered.values() for p in paths}
    extras = output_path / "_extras"
    for entry in sandbox.iterdir():
        if entry.name in input_names or entry.name in harvested:
            continue
        if entry.is_file():
            extras.mkdir(parents=True, exist_ok=True)
            shutil.copy2(entry, extras / entry.name)
    shutil.rmtree(sandbox, ignore_errors=True)
    del clean, run_env
    return {slot: str(paths[0]) if paths else None for slot, paths in delivered.items()}


def _overhead(work: Path) -> float:
    inputs = {}
    for i in range(SMALL_FILES):
        path = work / "in" / f"sample{i:02d}.fq"
        path.parent.mkdir(exist_ok=True)
        path.write_text("@r\nACGT\n+\nIIII\n" * 64)
        inputs[f"in{i:02d}"] = str(path)
    manifest = {"outputs": {f"o{i:02d}": {"type": "file"} for i in range(SMALL_FILES)}}
    probe = _Probe(_tool)
    restore = _with_probe(probe)
    layer, base = [], []
    os.sync()  # no write-back of earlier work competing with the runs
    try:
        mivo = MIVO()
        for rep in range(40):
            out = str(work / f"out-layer-{rep}")
            start = time.perf_counter()
            got = mivo.run("noop", manifest, inputs, out)
            layer.append(time.perf_counter() - start)

            out_py = str(work / f"out-py-{rep}")
            start = time.perf_counter()
            want = _python_steps(inputs, manifest, out_py, _tool)
            base.append(time.perf_counter() - start)
            assert [Path(p).name for p in got.values()] == [Path(p).name for p in want.values()]
    finally:
        restore()
    return min(layer) / min(base)


def run() -> list[tuple[str, float, float]]:
    with tempfile.TemporaryDirectory(prefix="bench_sandbox_") as tmp:
        work = Path(tmp)
        overhead = _overhead(work)
        staging = _staging(work)
    return [
        ("run staging of a 1 GiB file vs shutil.copy2", staging, STAGING_TARGET),
        ("run overhead, 20 inputs + 20 outputs vs shutil/glob/os", overhead, OVERHEAD_TARGET),
    ]


if __name__ == "__main__":
    for name, ratio, target in run():
        print(f"{name}: ratio {ratio:.3f} (target <= {target})")
