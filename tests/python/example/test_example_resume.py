"""The example pipelines run twice over one step cache: the second run runs no
tool and produces the same outputs; a changed scalar of the last step reruns
that step alone."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from plexaro.helpers import condition  # where the layer is: in place or installed

REPO = Path(__file__).resolve().parents[3]
EXAMPLE = REPO / "examples" / "pipeline.py"
VARIANT_CALLING = REPO / "examples" / "variant_calling.py"
TOOLS = ("fastp", "bwa", "samtools", "bcftools", "seqkit", "tabix")
KEY_VARIABLES = ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY")
SHORT = ">alpha first\nMKTAYIAKQR\n>beta second\nMKV\n>gamma third\nMAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n"


def run(tmp_path: Path, name: str, *args: str, example: Path = EXAMPLE) -> tuple[Path, list[list[str]]]:
    """One run of the example in its own work directory; returns it and the tools it ran."""
    workdir, calls = tmp_path / name, tmp_path / f"{name}.calls.jsonl"
    env = {k: v for k, v in os.environ.items()
           if k not in KEY_VARIABLES and k not in ("PIPELINE_VOLUME_PATH", "PLEXARO_RUN_LOG")}
    env.update(PYTHONPATH=str(Path(condition.__file__).resolve().parents[2]),
               PLEXARO_STEP_CACHE=str(tmp_path / "cache"), MIVO_CALL_LOG=str(calls))
    env["MIVO_CONTAINER"] = "never"  # the tools of this machine, even where an engine answers
    process = subprocess.run([sys.executable, str(example), "--workdir", str(workdir), "--stand-in", *args],
                             env=env, capture_output=True, text=True, timeout=240)
    assert process.returncode == 0, process.stderr
    argvs = [json.loads(line)["argv"] for line in calls.read_text().splitlines()]
    return workdir, [argv[1:] for argv in argvs if argv[:1] == ["exec"]]


def outputs(workdir: Path) -> dict:
    root = workdir / "steps"
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def test_a_second_run_runs_no_tool_and_a_changed_scalar_reruns_its_step_only(tmp_path):
    fasta = tmp_path / "short.fa"
    fasta.write_text(SHORT)
    first, ran_first = run(tmp_path, "first", "--input", str(fasta), "--min-length", "10")
    assert len(ran_first) == 5
    second, ran_second = run(tmp_path, "second", "--input", str(fasta), "--min-length", "10")
    assert ran_second == []
    assert outputs(second) == outputs(first)
    summary = json.loads((second / "summary.json").read_text())
    assert summary["long"] == [["gamma", 30], ["alpha", 10]]

    third, ran_third = run(tmp_path, "third", "--input", str(fasta), "--min-length", "5")
    assert [argv[0] for argv in ran_third] == ["awk"]  # only the last step, which reads min-length
    assert (third / "steps" / "long" / "selected").read_text() == "gamma\t30\nalpha\t10\n"
    lines = [json.loads(line) for line in (tmp_path / "cache" / "runs.jsonl").read_text().splitlines()]
    assert [line["cache_hit"] for line in lines] == [False] * 5 + [True] * 5 + [True] * 4 + [False]


@pytest.mark.skipif(any(shutil.which(tool) is None for tool in TOOLS),
                    reason="Debian's tools of the field are not installed (scripts/install-tools)")
def test_the_variant_calling_pipeline_run_twice_runs_no_tool_the_second_time(tmp_path):
    # Index steps hand their inputs on with new companions, calls come with
    # their indexes, logs come through "2> {slot}": all of it is reused.
    first, ran_first = run(tmp_path, "first", example=VARIANT_CALLING)
    assert len(ran_first) >= 10
    second, ran_second = run(tmp_path, "second", example=VARIANT_CALLING)
    assert ran_second == []
    assert outputs(second) == outputs(first)
    assert any(name.endswith((".bai", ".csi", ".tbi", ".fai")) for name in outputs(second))
    calls = [json.loads((w / "summary.json").read_text())["calls"] for w in (first, second)]
    assert calls[0] == calls[1] and calls[0]
