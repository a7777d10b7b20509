"""Where MIVO.run's tool runs, without a cluster: stand-in srun, squeue and
scontrol programs record what the layer sends the scheduler and answer with a
job's final state; bad settings raise before anything is submitted; local
runs log what the tool used."""
from __future__ import annotations

import json
from pathlib import Path

import pytest

SRUN = """
args = sys.argv[1:]
at = args.index("mivo")
os.chdir(next(a for a in args[:at] if a.startswith("--chdir="))[len("--chdir="):])
os.execvp("mivo", args[at:])
"""
WRITER = 'open(sys.argv[-1], "w").write("done")'
MANIFEST = {"args_template": "{out}", "outputs": {"out": {}}}


@pytest.fixture
def scheduler(step, tmp_path, monkeypatch):
    """Stand-ins for Slurm's clients; `answer(state, exit_code)` sets the final record."""
    monkeypatch.setenv("PLEXARO_EXECUTOR", "slurm")
    monkeypatch.setenv("PLEXARO_SANDBOX_DIR", str(tmp_path / "shared"))
    monkeypatch.setenv("PLEXARO_RUN_LOG", str(tmp_path / "runs.jsonl"))
    for name in ("PLEXARO_SLURM_PARTITION", "PLEXARO_SLURM_ACCOUNT", "PLEXARO_SLURM_ARGS",
                 "PLEXARO_STEP_CACHE"):
        monkeypatch.delenv(name, raising=False)
    step.tool("srun", SRUN)
    step.tool("writer", WRITER)

    def answer(state: str, exit_code: str = "0:0") -> None:
        step.tool("squeue", f"print('42|{state}|node7')")
        step.tool("scontrol", f"print('JobId=42 JobName=x JobState={state} Reason=None "
                              f"ExitCode={exit_code} NodeList=node7')")
        step.tool("scancel")
        step.tool("sacct", "sys.stderr.write('Slurm accounting storage is disabled\\n'); sys.exit(1)")

    answer("COMPLETED")
    return answer


def log_lines(tmp_path: Path) -> list[dict]:
    return [json.loads(line) for line in (tmp_path / "runs.jsonl").read_text().splitlines()]


def test_the_manifest_and_the_site_settings_become_the_jobs_requests(step, scheduler, tmp_path,
                                                                      monkeypatch):
    monkeypatch.setenv("PLEXARO_SLURM_PARTITION", "short")
    monkeypatch.setenv("PLEXARO_SLURM_ACCOUNT", "lab7")
    monkeypatch.setenv("PLEXARO_SLURM_ARGS", "--qos=high --constraint='fast disk'")
    manifest = {**MANIFEST, "cpus": 4, "memory": "8G", "time": "1-00:00:00", "gpu_required": True}
    result = step.run("writer", manifest, {})
    assert Path(result["out"]).read_text() == "done"
    [call] = step.calls("srun")
    argv, at = call["argv"], call["argv"].index("mivo")
    name, sandbox = argv[1][len("--job-name="):], argv[2][len("--chdir="):]
    assert argv[:at] == [
        "--quiet", f"--job-name={name}", f"--chdir={sandbox}",
        "--nodes=1", "--ntasks=1", "--cpus-per-task=4", "--mem=8192M", "--time=1440",
        "--gres=gpu:1", "--partition=short", "--account=lab7", "--qos=high",
        "--constraint=fast disk"]
    assert name.startswith("plexaro-writer-") and name.endswith("-1")
    assert argv[at:] == ["mivo", "exec", "writer", "out"]
    assert Path(sandbox).parent == tmp_path / "shared"
    [record] = log_lines(tmp_path)
    assert {k: record[k] for k in ("executor", "job_id", "node", "state")} == {
        "executor": "slurm", "job_id": "42", "node": "node7", "state": "COMPLETED"}


@pytest.mark.parametrize("state, exit_code", [("CANCELLED", "0:15"), ("NODE_FAIL", "0:0"),
                                              ("TIMEOUT", "0:0")])
def test_the_jobs_state_decides_even_when_srun_says_0(step, scheduler, state, exit_code):
    scheduler(state, exit_code)
    with pytest.raises(RuntimeError, match=rf"failed \(exit \d+\):[\s\S]*\nSlurm job 42 "
                                           rf"\(plexaro-writer-\w+-1\) on node7: {state}"):
        step.run("writer", MANIFEST, {})


@pytest.mark.parametrize("env, manifest, error, message", [
    ({"PLEXARO_EXECUTOR": "lsf"}, {}, ValueError, "PLEXARO_EXECUTOR must be \"local\" or \"slurm\"; got 'lsf'"),
    ({}, {"cpus": 0}, ValueError, 'manifest "cpus" must be a positive whole number of CPUs; got 0'),
    ({}, {"cpus": True}, ValueError, '"cpus" must be'),
    ({}, {"memory": "8GB"}, ValueError, "manifest \"memory\" must be a size such as \"8G\" or \"500M\"; got '8GB'"),
    ({}, {"memory": 8}, ValueError, '"memory" must be'),
    ({}, {"time": "90x"}, ValueError, 'manifest "time" must be a duration such as "90m", "2h" or "1-00:00:00"'),
    ({}, {"time": "1-25:00"}, ValueError, '"time" must be'),
    ({"PLEXARO_SLURM_ARGS": "--comment='open"}, {}, ValueError, "PLEXARO_SLURM_ARGS: No closing quotation"),
    ({"PLEXARO_SANDBOX_DIR": ""}, {}, RuntimeError, "set PLEXARO_SANDBOX_DIR to a directory the nodes share"),
])
def test_bad_settings_raise_before_anything_is_submitted(step, scheduler, monkeypatch, env, manifest,
                                                         error, message):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(error) as raised:
        step.run("writer", {**MANIFEST, **manifest}, {})
    assert message in str(raised.value)
    assert step.calls("srun") == [] and step.sandboxes() == []


def test_a_pipeline_volume_holds_the_sandboxes_when_no_directory_is_named(step, scheduler, tmp_path,
                                                                          monkeypatch):
    monkeypatch.delenv("PLEXARO_SANDBOX_DIR")
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "volume"))
    step.run("writer", MANIFEST, {})
    [call] = step.calls("srun")
    assert Path(call["cwd"]).parent == tmp_path / "volume" / ".plexaro_sandboxes"


def test_a_local_run_logs_the_tools_cpu_time_and_peak_memory(step, tmp_path, monkeypatch):
    monkeypatch.setenv("PLEXARO_RUN_LOG", str(tmp_path / "runs.jsonl"))
    monkeypatch.delenv("PLEXARO_EXECUTOR", raising=False)
    step.tool("burner", "block = bytearray(120 << 20)\nimport time\nend = time.process_time() + 0.3\n"
                        "while time.process_time() < end: pass\n" + WRITER)
    step.run("burner", MANIFEST, {})
    [record] = log_lines(tmp_path)
    assert record["executor"] == "local" and record["job_id"] is None and record["node"]
    assert record["cpu_seconds"] >= 0.25 and record["peak_memory"] >= 120 << 20


def test_a_hosts_own_runner_is_obeyed_and_the_executor_left_unused(step, fake_run, records, tmp_path,
                                                                   monkeypatch):
    monkeypatch.setenv("PLEXARO_EXECUTOR", "slurm")
    monkeypatch.setenv("PLEXARO_SANDBOX_DIR", str(tmp_path / "shared"))
    step.run("writer", {"args_template": "x"}, {})
    assert [cmd for cmd, _ in fake_run.calls] == [["exec", "writer", "x"]]
    assert ("WARNING", "%s=%s not applied: the host replaced _run, which runs the tool",
            ("PLEXARO_EXECUTOR", "slurm")) in records("plexaro.helpers.mivo")
