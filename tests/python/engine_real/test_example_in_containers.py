"""The variant-calling example with its tools in containers of the test run's
engine: the example builds its images afresh, every step starts a container, and the
calls are the planted SNPs, as on the host."""
import collections
import json
import os
import shutil
import subprocess
import sys
import time
import tomllib
from pathlib import Path

import pytest

from plexaro.helpers import mivo

REPO = Path(__file__).resolve().parents[3]
EXAMPLES = REPO / "examples"
KEY_VARIABLES = ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY")
TOOLS = ("fastp", "bwa", "samtools", "bcftools", "seqkit", "tabix")
# Containers the run starts, by image: one per step.
STARTS = {"plexaro-example/fastp:0.23": 1, "plexaro-example/seqkit:2.3": 1,
          "plexaro-example/bwa:0.7.17": 2, "plexaro-example/samtools:1.16": 3,
          "plexaro-example/bcftools:1.16": 5, "plexaro-example/tabix:1.16": 1}


@pytest.mark.skipif(any(shutil.which(tool) is None for tool in TOOLS),
                    reason="Debian's bioinformatics tools are not installed "
                           "(scripts/install-tools installs them as root)")
def test_variant_example_runs_its_tools_in_containers(engine, tmp_path):
    # An image an earlier run left is built afresh and the old one removed.
    earlier = engine.build_image("plexaro-example/tabix:1.16", "tabix")
    earlier_id = engine.docker("image", "inspect", "--format", "{{.Id}}", earlier).stdout.strip()
    outside = tmp_path / "outside"
    outside.mkdir()
    env = {k: v for k, v in engine.env.items()
           if k not in KEY_VARIABLES + ("PIPELINE_VOLUME_PATH", "MIVO_CONTAINER")}
    env["PYTHONPATH"] = str(Path(mivo.__file__).resolve().parents[2])
    env["TMPDIR"] = str(outside)
    work = tmp_path / "work"
    since = int(time.time()) - 1
    try:
        process = subprocess.run(
            [sys.executable, str(EXAMPLES / "variant_calling.py"), "--workdir", str(work),
             "--stand-in"], env=env, capture_output=True, text=True, timeout=240)
        started = engine.docker(
            "events", "--since", str(since), "--until", str(int(time.time()) + 1),
            "--filter", "type=container", "--filter", "event=start",
            "--filter", "label=mivo.exec=1", "--format", "{{.Actor.Attributes.image}}")
    finally:
        engine.remove_images(*STARTS)
    assert process.returncode == 0, process.stdout[-3000:] + process.stderr
    out = process.stdout

    summary = json.loads((work / "summary.json").read_text())
    assert summary["containers"] == {"setting": "auto", "engine": engine.host,
                                     "built": list(STARTS), "not_built": {}}
    assert engine.docker("image", "inspect", earlier_id, check=False).returncode != 0
    assert "\ntools run in containers (container mode: each tool in its image, " \
           "the sandbox at /workspace)\n" in out
    for tool, mode in summary["tool_modes"].items():
        with open(EXAMPLES / "registry" / f"{tool}.toml", "rb") as handle:
            assert mode == {"mode": "container", "detail": tomllib.load(handle)["image"]}
    # Each step really started a container of its tool's image.
    assert collections.Counter(started.stdout.decode().split()) == STARTS

    planted = [(s["chrom"], s["pos"], s["ref"], s["alt"], s["genotype"]) for s in summary["planted"]]
    called = [(c["chrom"], c["pos"], c["ref"], c["alt"], c["genotype"]) for c in summary["calls"]]
    assert len(planted) == 8 and called == planted
    assert summary["comparison"]["exact"] is True and summary["steps_skipped"] == []
    assert "8 planted, 8 called: 8 found (8 with the planted genotype), 0 missed, 0 false calls" in out
    # What the containers wrote is the caller's and left no sandbox behind.
    steps = work / "steps"
    assert {path.stat().st_uid for path in steps.rglob("*")} == {os.getuid()}
    assert list(steps.glob("*/_extras")) == []
    assert list((work / "tmp" / "plexaro_sandboxes").iterdir()) == []
    assert list(outside.iterdir()) == []
