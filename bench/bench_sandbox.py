"""MIVO.run's own file-system work against the same steps written with
shutil/glob/os in Python.

1. Staging a 1 GiB input file: the time from entering `run` until the tool
   manager would be started (sandbox + staging) vs shutil.copy2 of the file.
2. The overhead of `run` around a tool that does nothing but write its
   outputs, with 20 and with 1,000 inputs and outputs: sandbox, staging,
   command line, harvest of the outputs (and their "_extras" copies), sandbox
   removal; the tool manager process is left out (MIVO._run is replaced by an
   in-process stand-in).
3. `_run` around a program that exits at once vs subprocess.run with the same
   capture, time limit and environment.
4. Peak memory of the host while 1 GiB of a tool's standard output goes
   through "> {slot}" (in a fresh interpreter, the local mivo and `head`):
   what the run adds to the peak, against 64 MiB.
5. Big data (PLEXARO_STAGE=auto, the default): a step whose tool reads 100
   bytes of an 8 GiB input (real data, written once) against 2 x the bare
   tool + 10 ms; the extra disk the step holds while its tool runs (free
   space of the file system before the step and while the tool runs, least
   of the runs), against 1 MiB; a step whose tool writes 1 GiB against the
   bare tool writing it. The bare tool is the same program started the same
   way (subprocess) on the host's own paths. BENCH_BIG_GIB sets the input
   size (default 8).

    PYTHONPATH=python python3 bench/bench_sandbox.py
"""
from __future__ import annotations

import glob
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import time
import uuid
from pathlib import Path

from plexaro.helpers.mivo import MIVO

STAGING_TARGET = 1.0
OVERHEAD_TARGET = 0.5
RUNNER_TARGET = 1.0
MEMORY_BUDGET_MIB = 64
BIG = 1 << 30
REPO = Path(__file__).resolve().parents[1]


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


def _writer(count):
    def tool(sandbox):
        for i in range(count):
            with open(os.path.join(sandbox, f"o{i:04d}.txt"), "w") as f:
                f.write("result\n")
    return tool


def _choose(names, slot):
    """The exact name, else the shortest, else the first by name."""
    if slot in names:
        return slot
    return min(names, key=lambda n: (len(n.encode()), n.encode()), default=None)


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
    real_sandbox = os.path.realpath(sandbox)

    def regular_inside(path):
        # Only regular files, and links to them that stay in the sandbox.
        if os.path.islink(path):
            real = os.path.realpath(path)
            return real.startswith(real_sandbox + "/") and os.path.isfile(real)
        return stat.S_ISREG(os.lstat(path).st_mode)

    for slot in outputs:
        names = [Path(c).name for c in glob.glob(str(sandbox / f"{slot}*"))]
        names = [n for n in names if n not in input_names and regular_inside(sandbox / n)]
        chosen = _choose(names, slot)
        if chosen:
            dst = output_path / slot
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(sandbox / chosen, dst)
            delivered[slot].append(dst)
    harvested = {p.name for paths in delivered.values() for p in paths}
    extras = output_path / "_extras"
    for entry in os.scandir(sandbox):
        if entry.name in input_names or entry.name in harvested:
            continue
        if entry.is_file(follow_symlinks=False):
            extras.mkdir(parents=True, exist_ok=True)
            shutil.copy2(entry.path, extras / entry.name)
    shutil.rmtree(sandbox, ignore_errors=True)
    del clean, run_env
    return {slot: str(paths[0]) if paths else None for slot, paths in delivered.items()}


def _overhead(work: Path, count: int, reps: int) -> float:
    inputs = {}
    for i in range(count):
        path = work / f"in{count}" / f"sample{i:04d}.fq"
        path.parent.mkdir(exist_ok=True)
        path.write_text("@r\nACGT\n+\nIIII\n" * 64)
        inputs[f"in{i:04d}"] = str(path)
    manifest = {"outputs": {f"o{i:04d}": {"type": "file"} for i in range(count)}}
    tool = _writer(count)
    probe = _Probe(tool)
    restore = _with_probe(probe)
    layer, base = [], []
    os.sync()  # no write-back of earlier work competing with the runs
    try:
        mivo = MIVO()
        for rep in range(reps):
            out = str(work / f"out-layer-{count}-{rep}")
            start = time.perf_counter()
            got = mivo.run("noop", manifest, inputs, out)
            layer.append(time.perf_counter() - start)

            out_py = str(work / f"out-py-{count}-{rep}")
            start = time.perf_counter()
            want = _python_steps(inputs, manifest, out_py, tool)
            base.append(time.perf_counter() - start)
            assert [Path(p).name for p in got.values()] == [Path(p).name for p in want.values()]
            shutil.rmtree(out, ignore_errors=True)
            shutil.rmtree(out_py, ignore_errors=True)
    finally:
        restore()
    return min(layer) / min(base)


def _runner(work: Path) -> float:
    """_run vs subprocess.run around a `mivo` that exits at once."""
    bin_dir = work / "bin"
    bin_dir.mkdir()
    (bin_dir / "mivo").symlink_to(shutil.which("true"))
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    env.pop("PIPELINE_VOLUME_PATH", None)
    saved = dict(os.environ)
    os.environ.clear()
    os.environ.update(env)
    layer, base = [], []
    try:
        mivo = MIVO()
        for _ in range(150):
            start = time.perf_counter()
            mivo._run(["exec", "x"], cwd=str(work), env=dict(env))
            layer.append(time.perf_counter() - start)

            start = time.perf_counter()
            subprocess.run(["mivo", "exec", "x"], cwd=str(work), env=dict(env), capture_output=True,
                           text=True, timeout=3600)
            base.append(time.perf_counter() - start)
    finally:
        os.environ.clear()
        os.environ.update(saved)
    layer.sort()
    base.sort()
    print(f"  _run: min {layer[0] * 1e3:.2f} ms, median {layer[len(layer) // 2] * 1e3:.2f} ms; "
          f"subprocess.run: min {base[0] * 1e3:.2f} ms, median {base[len(base) // 2] * 1e3:.2f} ms")
    return layer[len(layer) // 2] / base[len(base) // 2]


_MEMORY_PROBE = textwrap.dedent("""
    import os, resource, sys
    from plexaro.helpers.mivo import MIVO
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = MIVO().run("head", {"args_template": "-c %d /dev/zero > {out}", "outputs": {"out": {}}},
                        {}, sys.argv[1])
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert os.path.getsize(result["out"]) == %d
    print((after - before) / 1024)
""")


def _memory(work: Path) -> float:
    """MiB the run adds to the host's peak memory, over the budget."""
    env = dict(os.environ, PATH=f"{REPO / 'tools' / 'bin'}{os.pathsep}{os.environ['PATH']}",
               TMPDIR=str(work))
    env.pop("PIPELINE_VOLUME_PATH", None)
    added = []
    for rep in range(2):
        out = work / f"mem-out-{rep}"
        probe = subprocess.run([sys.executable, "-c", _MEMORY_PROBE % (BIG, BIG), str(out)], env=env,
                               capture_output=True, text=True, check=True)
        added.append(float(probe.stdout.split()[-1]))
        shutil.rmtree(out, ignore_errors=True)
    print(f"  peak memory added by 1 GiB through > {{slot}}: {min(added):.1f} MiB (runs: {added})")
    return min(added) / MEMORY_BUDGET_MIB


def _stats(times):
    times = sorted(times)
    return times[0], times[len(times) // 2]


def _big_data(work: Path) -> list[tuple[str, float, float]]:
    gib = int(os.environ.get("BENCH_BIG_GIB", "8"))
    big = work / "reads.fq"
    chunk = os.urandom(1 << 24)
    with open(big, "wb") as f:
        for _ in range((gib << 30) // len(chunk)):
            f.write(chunk)
    os.sync()
    head = shutil.which("head")
    free_during = []

    def reader(sandbox):
        st = os.statvfs(sandbox)
        free_during.append(st.f_bavail * st.f_frsize)
        subprocess.run([head, "-c", "100", "reads.fq"], cwd=sandbox, capture_output=True, check=True)

    def writer(sandbox):
        subprocess.run(["dd", "if=/dev/zero", "of=big.out", "bs=1M", "count=1024"], cwd=sandbox,
                       capture_output=True, check=True)

    mivo = MIVO()
    read_layer, read_bare, extra = [], [], []
    write_layer, write_bare = [], []
    probe = _Probe(reader)
    restore = _with_probe(probe)
    try:
        for rep in range(5):
            st = os.statvfs(work)
            before = st.f_bavail * st.f_frsize
            start = time.perf_counter()
            mivo.run("head", {"args_template": "-c 100 {reads}"}, {"reads": str(big)},
                     str(work / f"read-out-{rep}"))
            read_layer.append(time.perf_counter() - start)
            extra.append(max(0, before - free_during[-1]))
            start = time.perf_counter()
            subprocess.run([head, "-c", "100", str(big)], cwd=work, capture_output=True, check=True)
            read_bare.append(time.perf_counter() - start)
            shutil.rmtree(work / f"read-out-{rep}", ignore_errors=True)
        probe.tool = writer
        os.sync()
        for rep in range(5):
            out = work / f"write-out-{rep}"
            start = time.perf_counter()
            mivo.run("dd", {"outputs": {"big": {}}}, {}, str(out))
            write_layer.append(time.perf_counter() - start)
            bare = work / f"write-bare-{rep}"
            bare.mkdir()
            os.sync()  # neither side pays for the other's write-back
            start = time.perf_counter()
            writer(str(bare))
            write_bare.append(time.perf_counter() - start)
            shutil.rmtree(out, ignore_errors=True)
            shutil.rmtree(bare, ignore_errors=True)
            os.sync()
    finally:
        restore()
        big.unlink()
    (rl, rm), (bl, bm) = _stats(read_layer), _stats(read_bare)
    (wl, wm), (wbl, wbm) = _stats(write_layer), _stats(write_bare)
    print(f"  read 100 B of {gib} GiB: step min {rl * 1e3:.1f} ms, median {rm * 1e3:.1f} ms; "
          f"bare tool min {bl * 1e3:.1f} ms, median {bm * 1e3:.1f} ms")
    print(f"  extra disk while the tool runs: least {min(extra) / 1024:.0f} KiB "
          f"(runs: {[round(e / 1024) for e in extra]} KiB)")
    print(f"  write 1 GiB: step min {wl:.3f} s, median {wm:.3f} s; "
          f"bare tool min {wbl:.3f} s, median {wbm:.3f} s")
    return [
        (f"step reading 100 B of {gib} GiB / (2 x bare tool + 10 ms), min", rl / (2 * bl + 0.01),
         1.0),
        (f"step reading 100 B of {gib} GiB / (2 x bare tool + 10 ms), median", rm / (2 * bm + 0.01),
         1.0),
        ("extra disk of that step / 1 MiB", min(extra) / (1 << 20), 1.0),
        ("step writing 1 GiB vs the bare tool, min", wl / wbl, 1.1),
        ("step writing 1 GiB vs the bare tool, median", wm / wbm, 1.1),
    ]


def run() -> list[tuple[str, float, float]]:
    with tempfile.TemporaryDirectory(prefix="bench_sandbox_") as tmp:
        work = Path(tmp)
        overhead = _overhead(work, 20, 40)
        overhead_many = _overhead(work, 1000, 5)
        runner = _runner(work)
        memory = _memory(work)
        staging = _staging(work)
        big_data = _big_data(work)
    return big_data + [
        ("run staging of a 1 GiB file vs shutil.copy2", staging, STAGING_TARGET),
        ("run overhead, 20 inputs + 20 outputs vs shutil/glob/os", overhead, OVERHEAD_TARGET),
        ("run overhead, 1,000 inputs + 1,000 outputs vs shutil/glob/os", overhead_many, OVERHEAD_TARGET),
        ("_run median vs subprocess.run (own process group, grace)", runner, RUNNER_TARGET),
        ("peak memory added by 1 GiB through > {slot} / 64 MiB", memory, 1.0),
    ]


if __name__ == "__main__":
    for name, ratio, target in run():
        print(f"{name}: ratio {ratio:.3f} (target <= {target})")
