"""MIVO.run with Debian's real samtools (installed by scripts/install): a
BAM written on standard output, and the BAM chosen over its index."""
import gzip
import shutil
import subprocess

import pytest

pytestmark = pytest.mark.skipif(shutil.which("samtools") is None,
                                reason="samtools is not installed (scripts/install installs it)")

SAM = "\n".join([
    "@HD\tVN:1.6\tSO:unsorted",
    "@SQ\tSN:chr1\tLN:1000",
    "r2\t0\tchr1\t500\t60\t8M\t*\t0\t0\tACGTACGT\tIIIIIIII",
    "r1\t0\tchr1\t100\t60\t8M\t*\t0\t0\tTTGGCCAA\tIIIIIIII",
]) + "\n"


def records(path):
    out = subprocess.run(["samtools", "view", str(path)], capture_output=True, text=True, check=True)
    return [line.split("\t")[0] for line in out.stdout.splitlines()]


def test_binary_bam_on_standard_output(step):
    sam = step.file("reads.sam", SAM)
    manifest = {"args_template": "samtools view -b {sam} > {bam}", "entrypoint": "samtools",
                "outputs": {"bam": {"type": "file"}}}
    result = step.run("samtools", manifest, {"sam": sam})
    assert result == {"bam": str(step.out / "bam")}
    assert gzip.decompress((step.out / "bam").read_bytes())[:4] == b"BAM\x01"
    assert records(step.out / "bam") == ["r2", "r1"]
    assert step.sandboxes() == []


def test_sorted_bam_is_delivered_not_its_index(step):
    sam = step.file("reads.sam", SAM)
    manifest = {"args_template": "samtools sort --write-index -o {bam}.bam {sam}",
                "entrypoint": "samtools", "outputs": {"bam": {"type": "file"}}}
    result = step.run("samtools", manifest, {"sam": sam})
    assert result == {"bam": str(step.out / "bam")}
    assert gzip.decompress((step.out / "bam").read_bytes())[:4] == b"BAM\x01"
    assert records(step.out / "bam") == ["r1", "r2"]
    assert sorted(p.name for p in (step.out / "_extras").iterdir()) == ["bam.bam", "bam.bam.csi"]
