"""MIVO.run with PLEXARO_EXECUTOR=slurm on the project's own single-node
cluster (scripts/slurm start DIR, then its DIR/env in the environment, as
scripts/test does; without one these tests are skipped with the reason,
except under CI, where they fail): every attempt is one job, seen in the
scheduler's records; failures come with the job's final state; the layer's
deadline and an interrupted host cancel the job; several host threads submit
at once; a cache hit submits nothing."""
from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import uuid
from pathlib import Path

import pytest

from plexaro.helpers import mivo
from support.slurm_cluster import Cluster, require_cluster


@pytest.fixture(scope="session")
def cluster() -> Cluster:
    return require_cluster()


@pytest.fixture
def on_slurm(cluster, step, tmp_path, monkeypatch):
    """MIVO.run with PLEXARO_EXECUTOR=slurm, sandboxes in a directory the node
    shares (this machine's), a run log; returns (step, tool name prefix for
    this test's jobs, run log path)."""
    monkeypatch.setenv("PLEXARO_EXECUTOR", "slurm")
    monkeypatch.setenv("PLEXARO_SANDBOX_DIR", str(tmp_path / "shared"))
    monkeypatch.setenv("PLEXARO_RUN_LOG", str(tmp_path / "runs.jsonl"))
    for name in ("PLEXARO_SLURM_PARTITION", "PLEXARO_SLURM_ACCOUNT", "PLEXARO_SLURM_ARGS",
                 "PLEXARO_STEP_CACHE"):
        monkeypatch.delenv(name, raising=False)
    return step, f"t{uuid.uuid4().hex[:8]}", tmp_path / "runs.jsonl"

WRITER = """
open(sys.argv[2], "w").write(open(sys.argv[1]).read().upper())
open("job.txt", "w").write(os.environ.get("SLURM_JOB_ID", "") + " " + os.getcwd())
"""
MANIFEST = {"args_template": "{data} {out}", "outputs": {"out": {}, "job": {}}}


def run_log(path: Path) -> list[dict]:
    return [json.loads(line) for line in path.read_text().splitlines()]


def test_a_step_runs_as_one_job_in_its_sandbox(on_slurm, cluster):
    step, tool, log = on_slurm
    step.tool(tool, WRITER)
    result = step.run(tool, {**MANIFEST, "cpus": 1, "memory": "200M", "time": "5m"},
                      {"data": step.file("d.txt", "acgt")})
    assert Path(result["out"]).read_text() == "ACGT"
    job_id, workdir = Path(result["job"]).read_text().split(" ", 1)
    [record] = run_log(log)
    assert (record["executor"], record["job_id"], record["state"], record["node"]) == (
        "slurm", job_id, "COMPLETED", "localhost")
    fields = cluster.job(job_id)
    assert re.fullmatch(rf"plexaro-{tool}-[0-9a-f]{{12}}-1", fields["JobName"])
    assert fields["WorkDir"] == workdir
    assert Path(workdir).parent == Path(os.environ["PLEXARO_SANDBOX_DIR"])
    assert "mem=200M" in fields["TRES"] and fields["TimeLimit"] == "00:05:00"
    assert not Path(workdir).exists()  # removed after the harvest, as always


@pytest.mark.parametrize("body, manifest, exit_text, states, note", [
    ("sys.stderr.write('bad input\\n'); sys.exit(3)", {}, "(exit 3)", {"FAILED"}, None),
    ("block = bytearray(400 << 20); import time; time.sleep(20)", {"memory": "60M"}, "(exit ",
     {"FAILED", "OUT_OF_MEMORY"}, "out of memory, killed over its memory request of 60M"),
])
def test_a_failed_job_raises_with_its_state_from_the_scheduler(on_slurm, cluster, body, manifest,
                                                               exit_text, states, note):
    step, tool, log = on_slurm
    step.tool(tool, body)
    with pytest.raises(RuntimeError) as raised:
        step.run(tool, {"args_template": "{data}", **manifest}, {"data": step.file("d.txt")})
    message = str(raised.value)
    assert message.startswith(f"mivo exec {tool} d.txt failed {exit_text}")
    [job] = cluster.jobs_named(f"plexaro-{tool}-")
    assert job["state"] in states
    assert re.search(rf"\nSlurm job {job['id']} \(plexaro-{tool}-\w+-1\) on localhost: "
                     rf"{job['state']}, exit code", message)
    if note:
        assert note in message
    [record] = run_log(log)
    assert (record["job_id"], record["state"], record["executor"]) == (job["id"], job["state"], "slurm")
    assert record["error"].startswith(f"mivo exec {tool} d.txt failed")


def test_the_layers_deadline_cancels_the_job(on_slurm, cluster):
    step, tool, _ = on_slurm
    step.tool(tool, "import time; time.sleep(120)")
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=r"timed out after 3\.0s") as raised:
        step.run(tool, {"args_template": "x", "time": "3s"}, {})  # a template: no LLM retry
    assert time.monotonic() - started < 20
    [job] = cluster.jobs_named(f"plexaro-{tool}-")
    assert job["state"] == "CANCELLED"
    assert f"Slurm job {job['id']}" in str(raised.value) and "it was cancelled" in str(raised.value)


def test_an_interrupted_host_cancels_its_running_job(cluster, tmp_path, repo_root):
    tool = f"t{os.getpid()}x{int(time.time())}"
    tools = tmp_path / "tools"
    tools.mkdir()
    program = tools / tool
    program.write_text(f"#!{sys.executable}\nimport time\nopen('started', 'w').close()\ntime.sleep(120)\n")
    program.chmod(0o755)
    host = textwrap.dedent(f"""
        import sys
        from plexaro.helpers.mivo import MIVO
        try:
            MIVO().run({tool!r}, {{"args_template": ""}}, {{}}, {str(tmp_path / 'out')!r})
        except KeyboardInterrupt:
            print("interrupted")
            sys.exit(5)
    """)
    env = {**os.environ, "PLEXARO_EXECUTOR": "slurm", "PLEXARO_SANDBOX_DIR": str(tmp_path / "shared"),
           "PATH": f"{tools}:{repo_root / 'tools' / 'bin'}:{os.environ['PATH']}",
           "MIVO_CONTAINER": "never", "PYTHONPATH": str(Path(mivo.__file__).resolve().parents[2])}
    child = subprocess.Popen([sys.executable, "-c", host], env=env, stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while not list((tmp_path / "shared").glob("*/started")):
        assert time.monotonic() < deadline and child.poll() is None
        time.sleep(0.05)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=30)
    assert (child.returncode, out.strip()) == (5, "interrupted")
    [job] = cluster.jobs_named(f"plexaro-{tool}-")
    assert job["state"] == "CANCELLED"


def test_steps_from_several_host_threads_run_as_their_own_jobs(on_slurm, cluster):
    step, tool, log = on_slurm
    step.tool(tool, WRITER)
    results, errors = [], []

    def worker(n):
        try:
            for k in range(2):
                out = step.out / f"{n}-{k}"
                results.append(step.run(tool, MANIFEST, {"data": step.file(f"{n}-{k}.txt", f"x{n}{k}")},
                                        str(out)))
        except Exception as error:  # noqa: BLE001 (reported below)
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert errors == [] and len(results) == 6
    assert sorted(Path(r["out"]).read_text() for r in results) == sorted(
        f"X{n}{k}" for n in range(3) for k in range(2))
    ids = {record["job_id"] for record in run_log(log)}
    assert len(ids) == 6 and ids == {job["id"] for job in cluster.jobs_named(f"plexaro-{tool}-")}


def test_a_cache_hit_submits_nothing(on_slurm, cluster, tmp_path, monkeypatch):
    step, tool, log = on_slurm
    monkeypatch.setenv("PLEXARO_STEP_CACHE", str(tmp_path / "cache"))
    step.tool(tool, WRITER)
    data = step.file("d.txt", "acgt")
    first = step.run(tool, MANIFEST, {"data": data}, str(tmp_path / "a"))
    second = step.run(tool, MANIFEST, {"data": data}, str(tmp_path / "b"))
    assert Path(second["out"]).read_text() == Path(first["out"]).read_text() == "ACGT"
    assert len(cluster.jobs_named(f"plexaro-{tool}-")) == 1
    records = run_log(log)
    assert [(r["cache_hit"], r["executor"]) for r in records] == [(False, "slurm"), (True, None)]
