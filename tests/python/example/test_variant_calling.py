"""The variant-calling example (examples/variant_calling.py): Debian's real tools
through the layer, from simulated reads to the planted SNPs."""
import gzip
import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from plexaro.helpers import mivo
from support.slurm_cluster import require_cluster

REPO = Path(__file__).resolve().parents[3]
EXAMPLES = REPO / "examples"
EXAMPLE = EXAMPLES / "variant_calling.py"
KEY_VARIABLES = ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY")
TOOLS = ("fastp", "bwa", "samtools", "bcftools", "seqkit", "tabix")


def load(name):
    """An example module, imported without leaving the examples folder on sys.path
    or its sibling modules (host, simulate) in sys.modules."""
    spec = importlib.util.spec_from_file_location(f"{name}_under_test", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    path, modules = list(sys.path), set(sys.modules)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    sys.path.insert(0, str(EXAMPLES))
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path[:] = path
        for added in set(sys.modules) - modules:
            if Path(getattr(sys.modules[added], "__file__", None) or "/").parent == EXAMPLES:
                del sys.modules[added]
    return module


needs_tools = pytest.mark.skipif(
    any(shutil.which(tool) is None for tool in TOOLS),
    reason="Debian's " + ", ".join(tool for tool in TOOLS if shutil.which(tool) is None)
    + " not installed (scripts/install-tools installs them as root)")


@pytest.fixture
def run_example(tmp_path):
    """Runs the example in a child process with the stand-in LLM; returns (process, workdir).
    TMPDIR names a directory that must stay empty: the run keeps every file in its
    work directory."""
    outside = tmp_path / "outside"
    outside.mkdir()
    env = {k: v for k, v in os.environ.items()
           if k not in KEY_VARIABLES and k != "PIPELINE_VOLUME_PATH"}
    env["PYTHONPATH"] = str(Path(mivo.__file__).resolve().parents[2])
    env["TMPDIR"] = str(outside)
    # Tools on this machine even where a container engine answers.
    env["MIVO_CONTAINER"] = "never"

    def run(*args, extra_env=None):
        workdir = tmp_path / "work"
        process = subprocess.run(
            [sys.executable, str(EXAMPLE), "--workdir", str(workdir), "--stand-in", *args],
            env={**env, **(extra_env or {})}, capture_output=True, text=True, timeout=180)
        assert list(outside.iterdir()) == []
        return process, workdir

    return run


@needs_tools
def test_real_tools_call_exactly_the_planted_snps(run_example):
    process, work = run_example()
    assert process.returncode == 0, process.stderr
    summary = json.loads((work / "summary.json").read_text())
    planted = [(s["chrom"], s["pos"], s["ref"], s["alt"], s["genotype"]) for s in summary["planted"]]
    called = [(c["chrom"], c["pos"], c["ref"], c["alt"], c["genotype"]) for c in summary["calls"]]
    assert len(planted) == 8 and {p[4] for p in planted} == {"0/1", "1/1"}
    assert called == planted
    assert summary["comparison"]["exact"] is True
    assert summary["branch"] == {"condition": "Condition('>', 0).check(8)", "taken": True}
    assert summary["steps_skipped"] == []
    # QC dropped the simulated junk pairs, and only whole pairs.
    assert summary["reads_before_qc"] == 2000
    assert 1900 < summary["reads_after_qc"] < 2000 and summary["reads_after_qc"] % 2 == 0
    assert summary["llm"] == "stand-in" and summary["llm_requests"] == 13

    steps = work / "steps"
    # The aligner's standard output became the alignments slot: SAM text; its
    # standard error the log slot.
    assert (steps / "align" / "alignments").read_text().startswith("@SQ\tSN:chr1\tLN:10000\n")
    assert "[main] CMD: bwa mem" in (steps / "align" / "log").read_text()
    # Each index travelled beside its file, named after the slot.
    assert sorted(p.name for p in (steps / "bwa_index").iterdir()) == [
        "log", "reference", "reference.amb", "reference.ann", "reference.bwt", "reference.pac",
        "reference.sa"]
    assert (steps / "faidx" / "reference.fai").read_text().startswith("chr1\t10000\t")
    with gzip.open(steps / "sort" / "bam", "rb") as bam:
        assert bam.read(4) == b"BAM\x01"
    assert (steps / "index" / "bam").read_bytes() == (steps / "sort" / "bam").read_bytes()
    assert (steps / "index" / "bam.bai").read_bytes()[:4] == b"BAI\x01"
    with gzip.open(steps / "tabix" / "vcf.tbi", "rb") as tbi:
        assert tbi.read(4) == b"TBI\x01"
    # Nothing a tool wrote was left over: every file is a slot or a companion.
    assert list(steps.glob("*/_extras")) == []
    assert list((work / "tmp" / "plexaro_sandboxes").iterdir()) == []

    out = process.stdout
    assert "\ntools run on this machine (host mode: " in out and "loopback vendor stand-in" in out
    assert {mode["mode"] for mode in summary["tool_modes"].values()} == {"host"}
    assert "$ mivo exec bwa mem -t 2 -R '@RG\\tID:reads\\tSM:sample' reference trimmed_1 trimmed_2" in out
    assert "$ mivo exec bcftools mpileup -f reference -r chr1:501-9500 -a AD,DP -Ou -o pileup bam" in out
    # Literal braces reach the tool.
    assert "$ mivo exec bcftools query -r chr1:501-9500 -f '%CHROM\\t%POS\\t%REF\\t%ALT{0}" in out
    table = out[out.index("Called variants against the planted SNPs in chr1:501-9500"):]
    assert table.count(" found\n") == 8
    assert "8 planted, 8 called: 8 found (8 with the planted genotype), 0 missed, 0 false calls" in table


@needs_tools
def test_as_slurm_jobs_the_example_calls_the_same_variants(run_example, tmp_path):
    cluster = require_cluster()
    log = tmp_path / "runs.jsonl"
    process, work = run_example("--executor", "slurm", extra_env={"PLEXARO_RUN_LOG": str(log)})
    assert process.returncode == 0, process.stderr
    summary = json.loads((work / "summary.json").read_text())
    assert summary["executor"] == "slurm" and summary["comparison"]["exact"] is True
    assert [(c["pos"], c["genotype"]) for c in summary["calls"]] == [
        (s["pos"], s["genotype"]) for s in summary["planted"]] and len(summary["planted"]) == 8
    assert "steps run as Slurm jobs (srun), sandboxes in shared" in process.stdout
    records = [json.loads(line) for line in log.read_text().splitlines()]
    assert len(records) == len(summary["steps_run"])
    assert {r["executor"] for r in records} == {"slurm"}
    known = {job["id"]: job for job in cluster.jobs()}
    assert all(known[r["job_id"]]["state"] == "COMPLETED" for r in records)
    assert list((work / "shared").iterdir()) == []


@needs_tools
def test_a_region_without_snps_skips_the_branch(run_example):
    process, work = run_example("--region", "chr1:1-500", "--pairs", "300")
    assert process.returncode == 0, process.stderr
    summary = json.loads((work / "summary.json").read_text())
    assert summary["branch"] == {"condition": "Condition('>', 0).check(0)", "taken": False}
    assert summary["steps_skipped"] == ["filter", "tabix", "table"]
    assert summary["planted"] == [] and summary["calls"] == []
    assert not (work / "steps" / "filter").exists()
    assert "no SNP planted and none called in the region" in process.stdout


@pytest.mark.parametrize("args, message", [
    ([], "these tools are not installed: bcftools, bwa, fastp, samtools, seqkit, tabix"),
    (["--region", "chr1:9-1"], "--region 'chr1:9-1': the end lies before the start"),
    (["--region", "chr1:x"], "--region 'chr1:x' is not chrom, chrom:start or chrom:start-end"),
])
def test_bad_set_up_exits_2_before_any_step(run_example, tmp_path, args, message):
    extra_env = {}
    if not args:  # a PATH that holds python3 and none of the tools
        bin_dir = tmp_path / "bin"
        bin_dir.mkdir()
        (bin_dir / "python3").symlink_to(sys.executable)
        extra_env["PATH"] = str(bin_dir)
    process, work = run_example(*args, extra_env=extra_env)
    assert process.returncode == 2
    assert message in process.stderr
    assert not (work / "steps").exists()


def test_simulated_data_is_the_same_for_a_seed(tmp_path):
    simulate = load("simulate")
    first = simulate.simulate(tmp_path / "a", pairs=50, seed=7)
    again = simulate.simulate(tmp_path / "b", pairs=50, seed=7)
    other = simulate.simulate(tmp_path / "c", pairs=50, seed=8)
    for role in first:
        assert first[role].read_bytes() == again[role].read_bytes()
    assert first["reference"].read_bytes() != other["reference"].read_bytes()
    snps = simulate.read_planted(first["planted"])
    reference = "".join(first["reference"].read_text().splitlines()[1:])
    assert len(reference) == 10_000
    assert all(reference[s.pos - 1] == s.ref != s.alt for s in snps)
    assert all(simulate.END_MARGIN < s.pos <= 10_000 - simulate.END_MARGIN for s in snps)
    with gzip.open(first["reads_1"], "rt") as reads:
        assert sum(1 for _ in reads) == 50 * 4


def test_comparison_names_each_kind_of_disagreement():
    example = load("variant_calling")
    Snp = load("simulate").Snp
    planted = [Snp("chr1", 100, "A", "C", "1/1"), Snp("chr1", 200, "G", "T", "0/1"),
               Snp("chr1", 300, "T", "A", "0/1"), Snp("chr1", 400, "C", "G", "1/1")]

    def call(pos, ref, alt, genotype):
        return {"chrom": "chr1", "pos": pos, "ref": ref, "alt": alt, "qual": 50.0,
                "genotype": genotype}

    calls = [call(100, "A", "C", "1/1"), call(200, "G", "T", "1/1"), call(300, "T", "G", "0/1"),
             call(350, "A", "T", "0/1")]
    comparison = example.compare(planted, calls)
    assert [(row["pos"], row["result"]) for row in comparison["rows"]] == [
        (100, "found"), (200, "found, other genotype"), (300, "other allele"),
        (350, "false call"), (400, "missed")]
    assert (comparison["found"], comparison["genotype_right"], comparison["missed"],
            comparison["false_calls"], comparison["exact"]) == (2, 1, 1, 1, False)
    assert example.compare(planted[:1], calls[:1])["exact"] is True


def test_the_run_says_where_its_tools_run():
    host = load("host")
    assert host.describe_modes({"a": ("host", "no engine"), "b": ("host", "no engine")}) == \
        "tools run on this machine (host mode: no engine)"
    assert host.describe_modes({"a": ("container", "img:1"), "b": ("container", "img:2")}) \
        .startswith("tools run in containers (container mode")
    assert host.describe_modes({"a": ("container", "img:1"), "b": ("host", "no image")}) == \
        "tools run in containers where their image is in the engine (a), the others on this machine"


@pytest.mark.parametrize("args, extra_env, message", [
    (["--containers", "always"], {}, "--containers always: no container engine answers."),
    ([], {"MIVO_CONTAINER": "sometimes"}, "MIVO_CONTAINER='sometimes': use auto, always, never"),
])
def test_containers_that_cannot_be_had_exit_2_before_any_step(run_example, tmp_path, args,
                                                              extra_env, message):
    no_engine = {"DOCKER_HOST": f"unix://{tmp_path}/no-engine.sock", **extra_env}
    process, work = run_example(*args, extra_env=no_engine)
    assert process.returncode == 2, process.stderr
    assert message in process.stderr
    assert not (work / "steps").exists()


def test_the_example_builds_only_its_own_images_from_the_tools_entry_points(tmp_path):
    containers = load("containers")
    example = load("variant_calling")
    tools = dict.fromkeys(step.tool for step in example.STEPS)
    assert containers.image_plan(EXAMPLES / "registry", tools) == {
        "plexaro-example/fastp:0.23": ["fastp"], "plexaro-example/seqkit:2.3": ["seqkit"],
        "plexaro-example/bwa:0.7.17": ["bwa"], "plexaro-example/samtools:1.16": ["samtools"],
        "plexaro-example/bcftools:1.16": ["bcftools"], "plexaro-example/tabix:1.16": ["tabix"]}
    registry = tmp_path / "registry"
    registry.mkdir()
    (registry / "pair.toml").write_text('image = "plexaro-example/pair:1"\nentrypoint = "tabix"\n'
                                        'binaries = ["bgzip", "tabix"]\n')
    (registry / "mate.toml").write_text('image = "plexaro-example/pair:1"\n')
    (registry / "remote.toml").write_text('image = "docker.io/library/debian:bookworm-slim"\n')
    assert containers.image_plan(registry, ["pair", "mate", "remote"]) == {
        "plexaro-example/pair:1": ["tabix", "bgzip", "mate"]}
    (registry / "broken.toml").write_text("image = \n")
    with pytest.raises(containers.PipelineError, match="cannot read the tool description"):
        containers.image_plan(registry, ["broken"])
