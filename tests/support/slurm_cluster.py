"""The project's own Slurm cluster as the tests see it (scripts/slurm start
DIR, then DIR/env in the environment, as scripts/test does)."""
from __future__ import annotations

import os
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest


@dataclass
class Cluster:
    directory: Path

    def jobs(self) -> list[dict]:
        """Every job the scheduler still knows: id, name, state, node."""
        out = subprocess.run(["squeue", "--noheader", "--states=all", "--format=%i|%j|%T|%N"],
                             capture_output=True, text=True, timeout=30, check=True).stdout
        return [dict(zip(("id", "name", "state", "node"), line.split("|")))
                for line in out.splitlines() if line]

    def jobs_named(self, prefix: str) -> list[dict]:
        return [job for job in self.jobs() if job["name"].startswith(prefix)]

    def job(self, job_id: str) -> dict:
        """`scontrol show job` of one job, as its KEY=VALUE fields."""
        out = subprocess.run(["scontrol", "--oneliner", "show", "job", job_id],
                             capture_output=True, text=True, timeout=30, check=True).stdout
        return dict(word.split("=", 1) for word in out.split() if "=" in word)


def unavailable() -> str | None:
    directory = os.environ.get("PLEXARO_SLURM_CLUSTER")
    if not directory or not os.environ.get("SLURM_CONF"):
        return ("no Slurm cluster: start the project's own with scripts/slurm start DIR "
                "(as root) and load DIR/env (scripts/test does both)")
    if shutil.which("srun") is None:
        return "no srun on PATH (scripts/slurm install)"
    try:
        ping = subprocess.run(["scontrol", "ping"], capture_output=True, text=True, timeout=15)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"the Slurm cluster of {directory} does not answer: {error}"
    if ping.returncode != 0 or "UP" not in ping.stdout:
        return f"the Slurm cluster of {directory} does not answer: {ping.stdout}{ping.stderr}"
    return None


def require_cluster() -> Cluster:
    """The cluster; without one the test is skipped with the reason, except under
    CI, where it fails."""
    why = unavailable()
    if why:
        if os.environ.get("CI") == "true":
            pytest.fail(f"under CI the Slurm tests must run: {why}")
        pytest.skip(why)
    return Cluster(Path(os.environ["PLEXARO_SLURM_CLUSTER"]))
