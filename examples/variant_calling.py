#!/usr/bin/env python3
"""Example pipeline: simulated reads to variant calls with Debian's real tools.

A small reference with planted SNPs and simulated read pairs (examples/simulate.py,
deterministic from a seed) go through:

  qc          fastp            quality control and trimming of the read pairs
  read_stats  seqkit stats     summary of the reads that passed QC
  bwa_index   bwa index        the reference's BWA index (five files beside it)
  faidx       samtools faidx   the reference's FASTA index (.fai beside it)
  align       bwa mem          reads against the reference; SAM on standard output
  sort        samtools sort    alignments by position, BAM
  index       samtools index   the BAM's index (.bai beside it)
  pileup      bcftools mpileup genotype likelihoods in a region (needs both indexes)
  call        bcftools call    variant sites and genotypes
  stats       bcftools stats   counts of the calls
  filter      bcftools view    calls with QUAL >= --min-qual   } run only when
  tabix       tabix            the kept calls' index           } SNPs were
  table       bcftools query   one line per call in the region } called

An index travels with its file: a step that writes one beside its input
hands on the input and its index together (the manifest's "from_input"), and
the next step finds both staged side by side. Standard output and standard
error become output slots ("> {slot}", "2> {slot}").

It drives plexaro.helpers the way the plexaro application does: one `MIVO` over
the repository's local tool manager (tools/bin/mivo) and the tool descriptions
of examples/registry, `add` and `sync`, `MIVO.run` per step, `build_vantum` of
each step's outputs, `Weftling.generateConnector` / `getConnector` per edge and
a `Condition` on the branch. At the end the calls are compared with the
planted SNPs and the table is printed.

The tools run in containers when a container engine answers (DOCKER_HOST):
each in its image plexaro-example/<tool>:<version>, built from this machine's
programs when missing (examples/containers.py), with no network and nothing
pulled; on this machine otherwise. The run says which before the first step.

LLM: with an API key in the environment (ANTHROPIC_API_KEY, OPENAI_API_KEY,
GEMINI_API_KEY or GOOGLE_API_KEY) the connectors are written by that vendor's
model; without one the loopback vendor stand-in of the test suite answers with
connectors written for this pipeline, and the output says so.

Everything is written under a work directory (--workdir, or a new temporary
one). Exit status: 0 done, 1 a step or connector failed, 2 bad input or set-up
(for example a missing tool: scripts/example installs them).
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from host import (  # noqa: E402  (the examples' shared host side)
    PipelineError, Step, add_executor_option, add_llm_and_log_options, add_tools,
    add_workdir_and_registry_options,
    build_nodes, check_condition, connector_writer, import_layer, install_layer_log,
    prepare_environment, quiet_when_piped, registry_dir, run_example, run_record, run_steps,
    say, say_run_end, scripted_reply, shown_path, use_executor, write_summary)
import containers  # noqa: E402
import simulate  # noqa: E402

# The Debian packages that hold the programs the steps run.
TOOL_PACKAGES = {"fastp": "fastp", "seqkit": "seqkit", "bwa": "bwa", "samtools": "samtools",
                 "bcftools": "bcftools", "tabix": "tabix"}
DEFAULT_REGION = "chr1:501-9500"

STEPS = (
    Step("qc", "fastp", ("input",), "quality control and trimming of the read pairs"),
    Step("read_stats", "seqkit-stats", ("qc",), "summary of the reads that passed QC"),
    Step("bwa_index", "bwa-index", ("input",), "BWA index of the reference (five files beside it)"),
    Step("faidx", "samtools-faidx", ("input",), "FASTA index of the reference (.fai beside it)"),
    Step("align", "bwa-mem", ("bwa_index", "qc"), "align the read pairs (SAM on standard output)"),
    Step("sort", "samtools-sort", ("align",), "sort the alignments by position"),
    Step("index", "samtools-index", ("sort",), "index the sorted alignments (.bai beside the BAM)"),
    Step("pileup", "bcftools-mpileup", ("index", "faidx", "input"),
         "genotype likelihoods in the region (needs both indexes)"),
    Step("call", "bcftools-call", ("pileup",), "call variant sites and genotypes"),
    Step("stats", "bcftools-stats", ("call",), "count the calls"),
    Step("filter", "bcftools-filter", ("call", "input"), "keep calls with QUAL >= --min-qual"),
    Step("tabix", "tabix-vcf", ("filter",), "index the kept calls (.tbi beside the VCF)"),
    Step("table", "bcftools-query", ("tabix", "input"), "one line per call in the region (needs the index)"),
)
BRANCH_STEP = "filter"

INPUT_MANIFEST = {
    "description": "User inputs of the variant-calling example",
    "inputs": {
        "reference": {"type": "file_path", "description": "Reference genome, FASTA",
                      "entity": "reference_genome", "format": "fasta", "cardinality": "one"},
        "reads_1": {"type": "file_path", "description": "Read 1 of each pair, gzip FASTQ",
                    "entity": "sequencing_reads", "format": "fastq.gz", "cardinality": "one"},
        "reads_2": {"type": "file_path", "description": "Read 2 of each pair, gzip FASTQ, same order",
                    "entity": "sequencing_reads", "format": "fastq.gz", "cardinality": "one"},
        "region": {"type": "str", "description": "Region in which variants are called (chrom:start-end)",
                   "entity": "genomic_region", "cardinality": "one"},
        "min_qual": {"type": "float", "description": "Smallest QUAL of a variant call that is kept",
                     "entity": "quality_threshold", "cardinality": "one"},
    },
}

# The stand-in's answers: connectors for exactly the edges of STEPS.
STAND_IN_CONNECTORS = {
    "edge_input_to_qc": '''
def edge_input_to_qc(output: dict) -> dict:
    reads = [output.get('reads_1'), output.get('reads_2')]
    if not all(isinstance(path, str) and os.path.isfile(path) for path in reads):
        return {}
    return {'reads_1': reads[0], 'reads_2': reads[1]}
''',
    "edge_qc_to_read_stats": '''
def edge_qc_to_read_stats(output: dict) -> dict:
    reads = [output.get('trimmed_1'), output.get('trimmed_2')]
    reads = [path for path in reads if isinstance(path, str) and os.path.isfile(path)]
    return {'reads': reads} if reads else {}
''',
    "edge_input_to_bwa_index": '''
def edge_input_to_bwa_index(output: dict) -> dict:
    reference = output.get('reference')
    if isinstance(reference, str) and os.path.isfile(reference):
        return {'reference': reference}
    return {}
''',
    "edge_input_to_faidx": '''
def edge_input_to_faidx(output: dict) -> dict:
    reference = output.get('reference')
    if isinstance(reference, str) and os.path.isfile(reference):
        return {'reference': reference}
    return {}
''',
    "edge_bwa_index_to_align": '''
def edge_bwa_index_to_align(output: dict) -> dict:
    reference = output.get('reference')
    if isinstance(reference, str) and os.path.isfile(reference + '.bwt'):
        return {'reference': reference}
    return {}
''',
    "edge_qc_to_align": '''
def edge_qc_to_align(output: dict) -> dict:
    reads = [output.get('trimmed_1'), output.get('trimmed_2')]
    if not all(isinstance(path, str) and os.path.isfile(path) for path in reads):
        return {}
    return {'reads_1': reads[0], 'reads_2': reads[1]}
''',
    "edge_align_to_sort": '''
def edge_align_to_sort(output: dict) -> dict:
    alignments = output.get('alignments')
    if isinstance(alignments, str) and os.path.isfile(alignments):
        return {'alignments': alignments}
    return {}
''',
    "edge_sort_to_index": '''
def edge_sort_to_index(output: dict) -> dict:
    bam = output.get('bam')
    if isinstance(bam, str) and os.path.isfile(bam):
        return {'bam': bam}
    return {}
''',
    "edge_index_to_pileup": '''
def edge_index_to_pileup(output: dict) -> dict:
    bam = output.get('bam')
    if isinstance(bam, str) and os.path.isfile(bam):
        return {'bam': bam}
    return {}
''',
    "edge_faidx_to_pileup": '''
def edge_faidx_to_pileup(output: dict) -> dict:
    reference = output.get('reference')
    if isinstance(reference, str) and os.path.isfile(reference):
        return {'reference': reference}
    return {}
''',
    "edge_input_to_pileup": '''
def edge_input_to_pileup(output: dict) -> dict:
    region = output.get('region')
    return {'region': region} if isinstance(region, str) and region else {}
''',
    "edge_pileup_to_call": '''
def edge_pileup_to_call(output: dict) -> dict:
    pileup = output.get('pileup')
    if isinstance(pileup, str) and os.path.isfile(pileup):
        return {'pileup': pileup}
    return {}
''',
    "edge_call_to_stats": '''
def edge_call_to_stats(output: dict) -> dict:
    calls = output.get('calls')
    if isinstance(calls, str) and os.path.isfile(calls):
        return {'vcf': calls}
    return {}
''',
    "edge_call_to_filter": '''
def edge_call_to_filter(output: dict) -> dict:
    calls = output.get('calls')
    if isinstance(calls, str) and os.path.isfile(calls):
        return {'vcf': calls}
    return {}
''',
    "edge_input_to_filter": '''
def edge_input_to_filter(output: dict) -> dict:
    if output.get('min_qual') is None:
        return {}
    return {'min_qual': float(output['min_qual'])}
''',
    "edge_filter_to_tabix": '''
def edge_filter_to_tabix(output: dict) -> dict:
    filtered = output.get('filtered')
    if isinstance(filtered, str) and os.path.isfile(filtered):
        return {'vcf': filtered}
    return {}
''',
    "edge_tabix_to_table": '''
def edge_tabix_to_table(output: dict) -> dict:
    vcf = output.get('vcf')
    if isinstance(vcf, str) and os.path.isfile(vcf):
        return {'vcf': vcf}
    return {}
''',
    "edge_input_to_table": '''
def edge_input_to_table(output: dict) -> dict:
    region = output.get('region')
    return {'region': region} if isinstance(region, str) and region else {}
''',
}
stand_in_reply = scripted_reply(STAND_IN_CONNECTORS)


# --- set-up ---------------------------------------------------------------------------

def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Run the example variant-calling pipeline through plexaro.helpers.")
    parser.add_argument("--pairs", type=int, default=1000,
                        help="simulated read pairs (default 1000)")
    parser.add_argument("--seed", type=int, default=15,
                        help="seed of the simulated reference, SNPs and reads (default 15)")
    parser.add_argument("--region", default=DEFAULT_REGION,
                        help=f"region in which variants are called (default {DEFAULT_REGION}: "
                             "the reference without its thinly covered ends)")
    parser.add_argument("--min-qual", type=float, default=20.0,
                        help="calls with a lower QUAL are filtered out (default 20)")
    add_workdir_and_registry_options(parser)
    parser.add_argument("--containers", choices=containers.SETTINGS,
                        help="auto: the tools run in containers when a container engine answers "
                             "(DOCKER_HOST), building the example's images from this machine's "
                             "tools, and on this machine otherwise; always: fail without an "
                             "engine; never: always on this machine (default: MIVO_CONTAINER, "
                             "else auto)")
    add_executor_option(parser)
    add_llm_and_log_options(parser)
    args = parser.parse_args(argv)
    if args.pairs < 1:
        parser.error("--pairs must be at least 1")
    return args


def check_tools() -> None:
    missing = sorted(name for name in TOOL_PACKAGES if shutil.which(name) is None)
    if missing:
        packages = " ".join(sorted({TOOL_PACKAGES[name] for name in missing}))
        raise PipelineError(
            f"these tools are not installed: {', '.join(missing)}.\n"
            f"scripts/example installs them (as root); or: apt-get install {packages}", 2)


_REGION = re.compile(r"^(?P<chrom>[^:,\s]+)(?::(?P<start>[\d,]+)(?:-(?P<end>[\d,]+))?)?$")


def parse_region(text: str) -> list[tuple[str, int, float]]:
    """(chrom, start, end) intervals, 1-based and inclusive, as bcftools reads a region list."""
    intervals = []
    for part in text.split(","):
        match = _REGION.match(part.strip())
        if not match:
            raise PipelineError(f"--region {text!r} is not chrom, chrom:start or chrom:start-end", 2)
        start = int(match["start"]) if match["start"] else 1
        end = int(match["end"]) if match["end"] else (start if match["start"] else float("inf"))
        if end < start:
            raise PipelineError(f"--region {text!r}: the end lies before the start", 2)
        intervals.append((match["chrom"], start, end))
    return intervals


def in_region(chrom: str, pos: int, intervals) -> bool:
    return any(chrom == c and start <= pos <= end for c, start, end in intervals)


# --- results ----------------------------------------------------------------------------

def snp_count(stats_path: str) -> int:
    """'number of SNPs:' of a bcftools stats text."""
    for line in Path(stats_path).read_text().splitlines():
        fields = line.split("\t")
        if len(fields) >= 4 and fields[0] == "SN" and fields[2] == "number of SNPs:":
            return int(fields[3])
    raise PipelineError(f"{stats_path} has no 'number of SNPs:' line; is it bcftools stats output?")


def read_calls(table_path: str) -> list[dict]:
    calls = []
    for number, line in enumerate(Path(table_path).read_text().splitlines(), 1):
        fields = line.split("\t")
        if len(fields) != 6 or not fields[1].isdigit():
            raise PipelineError(f"{table_path} line {number} is not chrom, pos, ref, alt, qual, "
                                f"genotype: {line[:80]!r}")
        chrom, pos, ref, alt, qual, genotype = fields
        calls.append({"chrom": chrom, "pos": int(pos), "ref": ref, "alt": alt.split(",")[0],
                      "qual": float(qual), "genotype": genotype.replace("|", "/")})
    return calls


def compare(planted: list, calls: list[dict]) -> dict:
    """Each planted SNP against the call at its position, and the calls at no planted one."""
    by_position = {(call["chrom"], call["pos"]): call for call in calls}
    rows, found, genotype_right = [], 0, 0
    for snp in planted:
        call = by_position.pop((snp.chrom, snp.pos), None)
        if call is None:
            result = "missed"
        elif (call["ref"], call["alt"]) != (snp.ref, snp.alt):
            result = "other allele"
        else:
            found += 1
            genotype_right += call["genotype"] == snp.genotype
            result = "found" if call["genotype"] == snp.genotype else "found, other genotype"
        rows.append({"chrom": snp.chrom, "pos": snp.pos,
                     "planted": f"{snp.ref}>{snp.alt} {snp.genotype}",
                     "called": f"{call['ref']}>{call['alt']} {call['genotype']}" if call else "",
                     "qual": call["qual"] if call else None, "result": result})
    for (chrom, pos), call in sorted(by_position.items()):
        rows.append({"chrom": chrom, "pos": pos, "planted": "",
                     "called": f"{call['ref']}>{call['alt']} {call['genotype']}",
                     "qual": call["qual"], "result": "false call"})
    rows.sort(key=lambda row: (row["chrom"], row["pos"]))
    return {"rows": rows, "planted": len(planted), "called": len(calls), "found": found,
            "genotype_right": genotype_right,
            "missed": sum(row["result"] == "missed" for row in rows),
            "false_calls": sum(row["result"] == "false call" for row in rows),
            "exact": found == genotype_right == len(planted) == len(calls)}


def print_comparison(region: str, comparison: dict) -> None:
    say(f"Called variants against the planted SNPs in {region}")
    say(f"{'chrom':<6} {'pos':>6}  {'planted':<9}  {'called':<9}  {'QUAL':>6}  result", 2)
    for row in comparison["rows"]:
        qual = f"{row['qual']:.1f}" if row["qual"] is not None else "-"
        say(f"{row['chrom']:<6} {row['pos']:>6}  {row['planted'] or '-':<9}  "
            f"{row['called'] or '-':<9}  {qual:>6}  {row['result']}", 2)
    if not comparison["rows"]:
        say("(no SNP planted and none called in the region)", 2)
    say(f"{comparison['planted']} planted, {comparison['called']} called: {comparison['found']} "
        f"found ({comparison['genotype_right']} with the planted genotype), "
        f"{comparison['missed']} missed, {comparison['false_calls']} false calls", 2)


# --- the run ------------------------------------------------------------------------------

def run_pipeline(args: argparse.Namespace, workdir: Path) -> dict:
    started = time.monotonic()
    registry = registry_dir(args.registry)
    intervals = parse_region(args.region)
    prepare_environment(workdir, registry)
    check_tools()
    layer = import_layer("condition", "mivo", "vantum", "weftling")
    install_layer_log(args.verbose)

    say(f"work directory: {workdir}")
    executor = use_executor(args.executor, workdir)
    data = simulate.simulate(workdir / "data", pairs=args.pairs, seed=args.seed)
    planted_all = simulate.read_planted(data["planted"])
    planted = [snp for snp in planted_all if in_region(snp.chrom, snp.pos, intervals)]
    say(f"data (seed {args.seed}): {shown_path(data['reference'], workdir)} "
        f"({data['reference'].stat().st_size} bytes), {args.pairs} simulated read pairs, "
        f"{len(planted_all)} planted SNPs ({len(planted)} in {args.region})")

    with connector_writer(layer["weftling"], stand_in_reply, args.stand_in) as (weftling, stub):
        say()
        say(f"registry: {registry}")
        engine = containers.prepare(args.containers, registry,
                                    dict.fromkeys(step.tool for step in STEPS),
                                    workdir / "tmp")
        manager, manifests, modes = add_tools(layer["mivo"], registry, STEPS)
        say()

        connectors_path = Path(os.environ["PLEXARO_CONNECTORS_PATH"])
        values = {"reference": str(data["reference"]), "reads_1": str(data["reads_1"]),
                  "reads_2": str(data["reads_2"]), "region": args.region,
                  "min_qual": args.min_qual}
        nodes, outputs, contexts = build_nodes(values, INPUT_MANIFEST, STEPS, manifests,
                                               layer["vantum"])

        branch = {}

        def snps_were_called(outputs: dict) -> bool:
            snps = snp_count(outputs["stats"]["stats"])
            taken, condition = check_condition(layer["condition"], ">", 0, snps)
            branch.update(condition=condition, taken=taken, snps=snps)
            say(f"branch: bcftools stats counts {snps} SNPs; {branch['condition']} -> {taken}", 2)
            if not taken:
                say("skipped: no SNP was called, nothing to filter or tabulate", 2)
            return taken

        skipped = run_steps(STEPS, nodes, outputs, contexts, weftling=weftling, manager=manager,
                            vantum_module=layer["vantum"], manifests=manifests, workdir=workdir,
                            connectors_path=connectors_path, branch_step=BRANCH_STEP,
                            decide=snps_were_called)
        summary = summarise(args, workdir, data, planted, outputs, skipped, branch, modes,
                            engine, executor, connectors_path, stub, time.monotonic() - started)
    return summary


def summarise(args, workdir: Path, data: dict, planted: list, outputs: dict, skipped: list,
              branch: dict, modes: dict, engine: dict, executor: str, connectors_path: Path,
              stub, seconds: float) -> dict:
    report = json.loads(Path(outputs["qc"]["report"]).read_text())
    reads_before = report["summary"]["before_filtering"]["total_reads"]
    reads_after = report["summary"]["after_filtering"]["total_reads"]
    calls = read_calls(outputs["table"]["table"]) if "table" in outputs else []
    comparison = compare(planted, calls)
    summary = {
        "data": {role: str(path) for role, path in data.items()},
        "pairs": args.pairs,
        "seed": args.seed,
        "region": args.region,
        "min_qual": args.min_qual,
        "reads_before_qc": reads_before,
        "reads_after_qc": reads_after,
        "snps_called": branch.get("snps"),
        "branch": {key: branch[key] for key in ("condition", "taken") if key in branch},
        "planted": [{"chrom": s.chrom, "pos": s.pos, "ref": s.ref, "alt": s.alt,
                     "genotype": s.genotype} for s in planted],
        "calls": calls,
        "comparison": comparison,
        "tool_modes": {tool: {"mode": mode, "detail": detail}
                       for tool, (mode, detail) in modes.items()},
        "containers": engine,
        "executor": executor,
        **run_record(STEPS, outputs, skipped, connectors_path, stub),
    }
    write_summary(summary, workdir)

    say("Summary")
    say(f"reads: {reads_before} before QC, {reads_after} after (fastp)", 2)
    say(f"SNPs called in {args.region}: {branch.get('snps')} (bcftools stats); "
        f"{len(calls)} with QUAL >= {args.min_qual:g}" if "table" in outputs else
        f"SNPs called in {args.region}: {branch.get('snps')} (bcftools stats)", 2)
    say_run_end(summary, workdir, seconds)
    say()
    print_comparison(args.region, comparison)
    return summary


def main(argv: list[str] | None = None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    return run_example(
        run_pipeline, args, workdir_prefix="plexaro-variants-",
        title="plexaro.helpers example pipeline: simulated reads to variant calls with real tools")


if __name__ == "__main__":
    quiet_when_piped()
    sys.exit(main())
