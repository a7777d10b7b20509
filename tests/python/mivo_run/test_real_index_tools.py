"""Index files with Debian's real samtools and bcftools through MIVO.run:
each step needs the index the step before it wrote, with no manifest tricks."""
import random
import shutil

import pytest

pytestmark = pytest.mark.skipif(not (shutil.which("samtools") and shutil.which("bcftools")),
                                reason="samtools and bcftools come with scripts/install")

SNP = 300  # 1-based position of the planted variant


def write_data(directory):
    """A 600 bp reference and 60 reads as SAM, all carrying one planted SNP."""
    rng = random.Random(15)
    ref = "".join(rng.choice("ACGT") for _ in range(600))
    alt = {"A": "C", "C": "G", "G": "T", "T": "A"}[ref[SNP - 1]]
    sample = ref[:SNP - 1] + alt + ref[SNP:]
    (directory / "ref.fa").write_text(">chr1\n" + "\n".join(ref[i:i + 60] for i in range(0, 600, 60)) + "\n")
    lines = ["@HD\tVN:1.6\tSO:unsorted", "@SQ\tSN:chr1\tLN:600"]
    starts = [rng.randint(SNP - 49, SNP - 1) for _ in range(30)] + [rng.randint(1, 550) for _ in range(30)]
    for i, s in enumerate(starts):
        lines.append(f"r{i}\t0\tchr1\t{s}\t60\t50M\t*\t0\t0\t{sample[s - 1:s + 49]}\t{'I' * 50}")
    (directory / "reads.sam").write_text("\n".join(lines) + "\n")
    return ref[SNP - 1], alt


def test_variant_calling_steps_hand_their_indexes_on(step):
    ref_base, alt = write_data(step.inputs_dir)
    out = step.out

    faidx = step.run("samtools", {"args_template": "samtools faidx {ref}",
                                  "outputs": {"ref": {"from_input": "ref"}}},
                     {"ref": str(step.inputs_dir / "ref.fa")}, str(out / "faidx"))
    # ref.fa is the slot's name plus an extension: it keeps its name.
    assert faidx == {"ref": str(out / "faidx" / "ref.fa")}
    assert (out / "faidx" / "ref.fa.fai").read_text().startswith("chr1\t600\t")

    # The index written with --write-index travels beside the BAM.
    sort = step.run("samtools", {"args_template": "sort --write-index -o {bam}.bam {sam}",
                                 "outputs": {"bam": {}}},
                    {"sam": str(step.inputs_dir / "reads.sam")}, str(out / "sort"))
    assert sorted(p.name for p in (out / "sort").iterdir()) == ["bam.bam", "bam.bam.csi"]

    # A region query needs the index; the read count comes on stdout.
    count = step.run("samtools", {"args_template": "view -c {bam} chr1:1-100 > {n}", "outputs": {"n": {}}},
                     {"bam": sort["bam"]}, str(out / "count"))
    assert int((out / "count" / "n").read_text()) > 0
    whole = step.run("samtools", {"args_template": "view -c - < {sam} > {n}", "outputs": {"n": {}}},
                     {"sam": str(step.inputs_dir / "reads.sam")}, str(out / "whole"))
    assert (out / "whole" / "n").read_text() == "60\n"

    pileup = step.run("bcftools", {"args_template": "mpileup -Ov -r chr1 -f {ref} {bam} > {pile} 2> {log}",
                                   "outputs": {"pile": {}, "log": {}}},
                      {"ref": faidx["ref"], "bam": sort["bam"]}, str(out / "pileup"))
    assert "1 samples in 1 input files" in (out / "pileup" / "log").read_text()

    call = step.run("bcftools", {"args_template": "call -mv -Oz -o {vcf}.vcf.gz {pile}", "outputs": {"vcf": {}}},
                    {"pile": pileup["pile"]}, str(out / "call"))
    index = step.run("bcftools", {"args_template": "index {vcf}", "outputs": {"vcf": {"from_input": "vcf"}}},
                     {"vcf": call["vcf"]}, str(out / "index"))
    assert sorted(p.name for p in (out / "index").iterdir()) == ["vcf.vcf.gz", "vcf.vcf.gz.csi"]

    query = step.run("bcftools", {"args_template": "query -r chr1 -f '%POS %REF %ALT{{0}}\\n' {vcf} > {tsv}",
                                  "outputs": {"tsv": {}}},
                     {"vcf": index["vcf"]}, str(out / "query"))
    assert (out / "query" / "tsv").read_text() == f"{SNP} {ref_base} {alt}\n"
    assert query == {"tsv": str(out / "query" / "tsv")}
