#!/usr/bin/env python3
"""Deterministic test data for the variant-calling example.

From one seed it writes, into a directory:

  ref.fa            a random reference (one contig, "chr1", 10,000 bp by default)
  reads_1.fq.gz     read 1 of each simulated pair (Illumina-like, 100 bp)
  reads_2.fq.gz     read 2, reverse complement of the other end of the fragment
  planted.tsv       the SNPs the reads carry: chrom, pos (1-based), ref, alt, genotype

The sample is diploid: each fragment comes from one of two haplotypes; a
homozygous SNP ("1/1") is on both, a heterozygous one ("0/1") on the second
only. Reads get a small rate of sequencing errors, and a few pairs are junk
(low quality, many N) for the QC step to remove. The same seed gives the same
reference, SNPs and reads, and on one machine the same bytes (the gzip headers
carry no time stamp).

    python3 examples/simulate.py OUT_DIR [--pairs N] [--seed S]
"""
from __future__ import annotations

import argparse
import gzip
import random
from dataclasses import dataclass
from pathlib import Path

BASES = "ACGT"
COMPLEMENT = str.maketrans("ACGTN", "TGCAN")
CONTIG = "chr1"
READ_LENGTH = 100
FRAGMENT_MEAN, FRAGMENT_SD = 300, 30
ERROR_RATE = 0.002
JUNK_FRACTION = 0.02
# Planted SNPs stay this far from the contig ends, where coverage thins out
# (the example calls variants in the region that leaves the ends out).
END_MARGIN = 600
MIN_SNP_SPACING = 150


@dataclass(frozen=True)
class Snp:
    chrom: str
    pos: int  # 1-based
    ref: str
    alt: str
    genotype: str  # "0/1" or "1/1"


def random_reference(rng: random.Random, length: int) -> str:
    return "".join(rng.choice(BASES) for _ in range(length))


def plant_snps(rng: random.Random, reference: str, count: int) -> list[Snp]:
    positions: list[int] = []
    while len(positions) < count:
        pos = rng.randint(END_MARGIN + 1, len(reference) - END_MARGIN)
        if all(abs(pos - other) >= MIN_SNP_SPACING for other in positions):
            positions.append(pos)
    snps = []
    for index, pos in enumerate(sorted(positions)):
        ref = reference[pos - 1]
        alt = rng.choice([base for base in BASES if base != ref])
        # Alternate the genotypes so both kinds are always present.
        snps.append(Snp(CONTIG, pos, ref, alt, "1/1" if index % 2 == 0 else "0/1"))
    return snps


def haplotypes(reference: str, snps: list[Snp]) -> tuple[str, str]:
    first, second = list(reference), list(reference)
    for snp in snps:
        second[snp.pos - 1] = snp.alt
        if snp.genotype == "1/1":
            first[snp.pos - 1] = snp.alt
    return "".join(first), "".join(second)


def with_errors(rng: random.Random, read: str) -> str:
    bases = list(read)
    for i, base in enumerate(bases):
        if rng.random() < ERROR_RATE:
            bases[i] = rng.choice([b for b in BASES if b != base])
    return "".join(bases)


def quality_string(rng: random.Random, length: int) -> str:
    # Mostly Q35-40, falling towards the 3' end as on real instruments.
    scores = []
    for i in range(length):
        top = 40 if i < length * 0.8 else 32
        scores.append(rng.randint(top - 6, top))
    return "".join(chr(33 + score) for score in scores)


def junk_read(rng: random.Random, length: int) -> tuple[str, str]:
    sequence = "".join("N" if rng.random() < 0.3 else rng.choice(BASES) for _ in range(length))
    return sequence, "".join(chr(33 + rng.randint(2, 8)) for _ in range(length))


def simulate_pairs(rng: random.Random, haplotype_pair: tuple[str, str], pairs: int):
    """Yields (name, seq1, qual1, seq2, qual2)."""
    length = len(haplotype_pair[0])
    for number in range(1, pairs + 1):
        name = f"sim{number:06d}"
        if rng.random() < JUNK_FRACTION:
            seq1, qual1 = junk_read(rng, READ_LENGTH)
            seq2, qual2 = junk_read(rng, READ_LENGTH)
            yield name, seq1, qual1, seq2, qual2
            continue
        haplotype = haplotype_pair[rng.randrange(2)]
        fragment = max(2 * READ_LENGTH, int(rng.gauss(FRAGMENT_MEAN, FRAGMENT_SD)))
        fragment = min(fragment, length)
        start = rng.randint(0, length - fragment)
        piece = haplotype[start:start + fragment]
        forward = piece[:READ_LENGTH]
        reverse = piece[-READ_LENGTH:].translate(COMPLEMENT)[::-1]
        if rng.random() < 0.5:  # which strand read 1 comes from
            forward, reverse = reverse, forward
        yield (name, with_errors(rng, forward), quality_string(rng, READ_LENGTH),
               with_errors(rng, reverse), quality_string(rng, READ_LENGTH))


def write_gzip(path: Path, text: str) -> None:
    # mtime=0 and no file name in the header: the same bytes on every run.
    with open(path, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0) as out:
        out.write(text.encode())


def simulate(out_dir: Path, *, pairs: int = 1000, seed: int = 15, length: int = 10_000,
             snp_count: int = 8) -> dict[str, Path]:
    """Writes the data set into out_dir; returns the paths by role."""
    rng = random.Random(seed)
    reference = random_reference(rng, length)
    snps = plant_snps(rng, reference, snp_count)
    reads_1, reads_2 = [], []
    for name, seq1, qual1, seq2, qual2 in simulate_pairs(rng, haplotypes(reference, snps), pairs):
        reads_1.append(f"@{name}/1\n{seq1}\n+\n{qual1}\n")
        reads_2.append(f"@{name}/2\n{seq2}\n+\n{qual2}\n")

    out_dir.mkdir(parents=True, exist_ok=True)
    paths = {"reference": out_dir / "ref.fa", "reads_1": out_dir / "reads_1.fq.gz",
             "reads_2": out_dir / "reads_2.fq.gz", "planted": out_dir / "planted.tsv"}
    wrapped = "\n".join(reference[i:i + 60] for i in range(0, length, 60))
    paths["reference"].write_text(f">{CONTIG} simulated, seed {seed}\n{wrapped}\n")
    write_gzip(paths["reads_1"], "".join(reads_1))
    write_gzip(paths["reads_2"], "".join(reads_2))
    paths["planted"].write_text("#chrom\tpos\tref\talt\tgenotype\n" + "".join(
        f"{s.chrom}\t{s.pos}\t{s.ref}\t{s.alt}\t{s.genotype}\n" for s in snps))
    return paths


def read_planted(path: Path) -> list[Snp]:
    snps = []
    for line in path.read_text().splitlines():
        if line and not line.startswith("#"):
            chrom, pos, ref, alt, genotype = line.split("\t")
            snps.append(Snp(chrom, int(pos), ref, alt, genotype))
    return snps


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--pairs", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=15)
    args = parser.parse_args()
    for role, path in simulate(args.out_dir, pairs=args.pairs, seed=args.seed).items():
        print(f"{role}: {path}")


if __name__ == "__main__":
    main()
