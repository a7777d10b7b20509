"""MIVO.run of real tools in containers: the local mivo runs each tool in its
image on the test engine, the sandbox mounted at /workspace."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from plexaro.helpers.mivo import MIVO

SAM = (
    "@HD\tVN:1.6\tSO:unsorted\n"
    "@SQ\tSN:chr1\tLN:60\n"
    "r1\t0\tchr1\t31\t60\t8M\t*\t0\t0\tACGTTCGA\tIIIIIIII\n"
    "r2\t0\tchr1\t1\t60\t8M\t*\t0\t0\tACGTACGA\tIIIIIIII\n"
    "r3\t0\tchr1\t11\t60\t8M\t*\t0\t0\tTTGCATGC\tIIIIIIII\n"
)
# The host's own samtools checks what the containers wrote (found before any
# test narrows PATH).
HOST_SAMTOOLS = shutil.which("samtools") or "/usr/bin/samtools"
# r1 differs from the reference at position 35 (T for A); r2 and r3 match.
REFERENCE = ">chr1\nACGTACGAAATTGCATGCAACCCCCCCCCCACGTACGAAAGGGGGGGGGGTTTTTTTTTT\n"


@pytest.fixture
def tools(engine, local_mivo, tmp_path, monkeypatch):
    """samtools and bcftools described in the registry with their images;
    no tool binary on the host's PATH, so only a container can run them."""
    local_mivo.add_tool("samtools", image=engine.tool_image("samtools"), entrypoint="samtools")
    local_mivo.add_tool("bcftools", image=engine.tool_image("bcftools"), entrypoint="bcftools")
    host_bin = tmp_path / "host-bin"
    host_bin.mkdir()
    (host_bin / "python3").symlink_to(os.path.realpath(sys.executable))
    (host_bin / "docker").symlink_to(engine.client)
    monkeypatch.setenv("PATH", f"{local_mivo.bin_dir}{os.pathsep}{host_bin}")
    monkeypatch.setenv("MIVO_CONTAINER", "auto")
    return local_mivo


def sandboxes(local_mivo):
    root = local_mivo.temp_dir / "plexaro_sandboxes"
    return sorted(root.iterdir()) if root.exists() else []


def host_samtools(*args):
    return subprocess.run([HOST_SAMTOOLS, *args], capture_output=True, text=True, timeout=60,
                          check=True).stdout


def test_samtools_sort_then_index_then_companions_in_containers(tools, tmp_path):
    reads = tmp_path / "reads.sam"
    reads.write_text(SAM)
    out = tmp_path / "out"
    m = MIVO()

    sorted_bam = m.run("samtools", {
        "args_template": "sort -O bam -o {sorted} {reads}", "entrypoint": "samtools",
        "outputs": {"sorted": {"type": "file"}},
    }, {"reads": str(reads)}, str(out / "sort"))["sorted"]
    body = host_samtools("view", sorted_bam)
    assert [line.split("\t")[0] for line in body.splitlines()] == ["r2", "r3", "r1"]
    assert "SO:coordinate" in host_samtools("view", "-H", sorted_bam)

    bai = m.run("samtools", {
        "args_template": "index -b -o {bai} {bam}", "entrypoint": "samtools",
        "outputs": {"bai": {"type": "file"}},
    }, {"bam": sorted_bam}, str(out / "index"))["bai"]

    # The index goes beside its alignments; both are staged for the next tool.
    pair = tmp_path / "pair"
    pair.mkdir()
    shutil.copy(sorted_bam, pair / "reads.bam")
    shutil.copy(bai, pair / "reads.bam.bai")
    stats = m.run("samtools", {
        "args_template": "idxstats {bam} > {stats}", "entrypoint": "samtools",
        "outputs": {"stats": {"type": "file"}},
    }, {"bam": str(pair / "reads.bam"), "bai": str(pair / "reads.bam.bai")},
        str(out / "stats"))["stats"]
    assert Path(stats).read_text().splitlines()[0] == "chr1\t60\t3\t0"

    # Every step ran in the engine, in its own sandbox, and left none behind.
    calls = [c for c in tools.calls() if c["argv"][:1] == ["exec"]]
    assert [c["argv"][1:3] for c in calls] == [["samtools", "sort"], ["samtools", "index"],
                                               ["samtools", "idxstats"]]
    assert all(Path(c["cwd"]).parent == tools.temp_dir / "plexaro_sandboxes" for c in calls)
    assert sandboxes(tools) == []


def test_bcftools_calls_a_variant_from_staged_companions(tools, tmp_path):
    reads = tmp_path / "reads.sam"
    reads.write_text(SAM)
    ref = tmp_path / "ref.fa"
    ref.write_text(REFERENCE)
    m = MIVO()
    bam = m.run("samtools", {
        "args_template": "sort -O bam -o {sorted} {reads}", "entrypoint": "samtools",
        "outputs": {"sorted": {"type": "file"}},
    }, {"reads": str(reads)}, str(tmp_path / "sorted"))["sorted"]

    out = tmp_path / "called"
    result = m.run("bcftools", {
        "args_template": "mpileup -f {ref} -Ov -o {pileup} {bam}", "entrypoint": "bcftools",
        "outputs": {"pileup": {"type": "file"}},
    }, {"ref": str(ref), "bam": bam}, str(out))
    records = [line.split("\t") for line in Path(result["pileup"]).read_text().splitlines()
               if not line.startswith("#")]
    candidates = [r[:5] for r in records if r[4] != "<*>"]
    assert candidates == [["chr1", "35", ".", "A", "T,<*>"]]
    # The reference index the tool made beside its staged input is delivered
    # under the input's staged name, not put aside as an extra.
    assert (out / "ref.fa.fai").is_file()
    assert not (out / "_extras" / "ref.fa.fai").exists()


def test_failing_tool_passes_status_and_streams(tools, tmp_path):
    with pytest.raises(RuntimeError) as err:
        MIVO().run("samtools", {"args_template": "view {bam}", "entrypoint": "samtools"},
                   {"bam": "missing.bam"}, str(tmp_path / "out"))
    text = str(err.value)
    assert text.startswith("mivo exec samtools view missing.bam failed (exit 1):")
    assert "missing.bam" in text.split("STDERR:", 1)[1]
    # A failed run keeps its sandbox for inspection.
    assert len(sandboxes(tools)) == 1
