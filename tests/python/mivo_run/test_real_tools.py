"""MIVO.run with Debian's real samtools and bgzip (installed by
scripts/install): binary written on standard output, and the BAM chosen over
its index."""
import gzip
import shutil
import subprocess

import pytest

pytestmark = pytest.mark.skipif(shutil.which("samtools") is None or shutil.which("bgzip") is None,
                                reason="samtools/bgzip not installed (scripts/install installs them)")

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


def test_sorted_bam_is_delivered_with_its_index_beside_it(step):
    sam = step.file("reads.sam", SAM)
    manifest = {"args_template": "samtools sort --write-index -o {bam}.bam {sam}",
                "entrypoint": "samtools", "outputs": {"bam": {"type": "file"}}}
    result = step.run("samtools", manifest, {"sam": sam})
    assert result == {"bam": str(step.out / "bam.bam")}
    assert gzip.decompress((step.out / "bam.bam").read_bytes())[:4] == b"BAM\x01"
    assert records(step.out / "bam.bam") == ["r1", "r2"]
    # The BAM keeps its name and its index travels with it; nothing is put aside.
    assert gzip.decompress((step.out / "bam.bam.csi").read_bytes())[:4] == b"CSI\x01"
    assert not (step.out / "_extras").exists()


def test_bgzip_on_standard_output(step):
    vcf_text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\nchr1\t5\t.\tA\tG\t50\tPASS\t.\n"
    vcf = step.file("calls.vcf", vcf_text)
    manifest = {"args_template": "bgzip -c {vcf} > {gz}", "entrypoint": "bgzip", "outputs": {"gz": {}}}
    result = step.run("bgzip", manifest, {"vcf": vcf})
    assert result == {"gz": str(step.out / "gz")}
    data = (step.out / "gz").read_bytes()
    assert data[:2] == b"\x1f\x8b" and gzip.decompress(data).decode() == vcf_text
