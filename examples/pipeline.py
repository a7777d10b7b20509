#!/usr/bin/env python3
"""Example pipeline: ten proteins split, counted, measured, ranked and filtered.

It drives plexaro.helpers the way the plexaro application does for one run:

  * one `MIVO` over the repository's local tool manager (tools/bin/mivo, which
    runs each tool on this machine instead of in a container) and a registry of
    ordinary command-line tools (examples/registry: split, grep, awk, sort);
  * `add` and `sync` of the pipeline's tools;
  * the input, a FASTA file, may be a Zenodo or Dropbox link, resolved by
    `Fetchkin` (a local path is used as it is);
  * for every edge, `build_vantum` describes what the upstream step really
    wrote, `Weftling.generateConnector` has the LLM write the connector and
    `getConnector` returns it; its result becomes the step's inputs;
  * `MIVO.run` per step, in a sandbox, outputs collected into the work directory;
  * a `Condition` decides whether the last step (keep the long proteins) runs.

With an LLM API key in the environment (ANTHROPIC_API_KEY, OPENAI_API_KEY,
GEMINI_API_KEY or GOOGLE_API_KEY) the connectors are written by that vendor's
model. Without one, the run talks to the loopback vendor stand-in of the test
suite (tests/support/vendor_stub.py), which answers with connectors written
for this pipeline; the output says which of the two happened.

Everything is written under a work directory (--workdir, or a new temporary
one), never into the repository. Exit status: 0 done, 1 a step or connector
failed, 2 bad input or set-up.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from host import (  # noqa: E402  (the examples' shared host side)
    PipelineError, Step, add_llm_and_log_options, add_tools, add_workdir_and_registry_options,
    build_nodes, check_condition, connector_writer, import_layer, install_layer_log,
    prepare_environment, quiet_when_piped, registry_dir, run_example, run_record, run_steps,
    say, say_run_end, scripted_reply, shown_path, write_summary)

DEFAULT_INPUT = HERE / "data" / "proteins.fa"


STEPS = (
    Step("split", "fasta-split", ("input",), "one file per FASTA record"),
    Step("count", "count-records", ("input",), "count the records of the input"),
    Step("measure", "seq-lengths", ("split",), "length of every record"),
    Step("rank", "sort-table", ("measure",), "longest first"),
    Step("long", "filter-rows", ("rank", "input"), "keep the proteins of at least --min-length"),
)
BRANCH_STEP = "long"

# What the input node hands on: its field tags guide the connector writer.
INPUT_MANIFEST = {
    "description": "User inputs of the example pipeline",
    "inputs": {
        "proteins": {"type": "file_path", "description": "FASTA file of proteins, one sequence line per record",
                     "entity": "protein_sequences", "format": "fasta", "cardinality": "one"},
        "min_length": {"type": "int", "description": "Smallest length a protein needs to be kept",
                       "entity": "length_threshold", "cardinality": "one"},
    },
}

# The stand-in's answers: connectors for exactly the edges of STEPS.
STAND_IN_CONNECTORS = {
    "edge_input_to_split": '''
def edge_input_to_split(output: dict) -> dict:
    if output.get('proteins') and os.path.isfile(output['proteins']):
        return {'fasta': output['proteins']}
    return {}
''',
    "edge_input_to_count": '''
def edge_input_to_count(output: dict) -> dict:
    if output.get('proteins') and os.path.isfile(output['proteins']):
        return {'fasta': output['proteins']}
    return {}
''',
    "edge_split_to_measure": '''
def edge_split_to_measure(output: dict) -> dict:
    records = output.get('records')
    if not (isinstance(records, str) and os.path.isdir(records)):
        return {}
    files = sorted(glob.glob(os.path.join(records, '**', '*.fa'), recursive=True))
    return {'records': files} if files else {}
''',
    "edge_measure_to_rank": '''
def edge_measure_to_rank(output: dict) -> dict:
    if output.get('lengths') and os.path.isfile(output['lengths']):
        return {'table': output['lengths']}
    return {}
''',
    "edge_rank_to_long": '''
def edge_rank_to_long(output: dict) -> dict:
    if output.get('ranked') and os.path.isfile(output['ranked']):
        return {'table': output['ranked']}
    return {}
''',
    "edge_input_to_long": '''
def edge_input_to_long(output: dict) -> dict:
    if output.get('min_length') is None:
        return {}
    return {'min_length': int(output['min_length'])}
''',
}
stand_in_reply = scripted_reply(STAND_IN_CONNECTORS)

# --- set-up ---------------------------------------------------------------------------

def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Run the example protein pipeline through plexaro.helpers.")
    parser.add_argument("--input", default=str(DEFAULT_INPUT),
                        help="FASTA file with one sequence line per record: a local path or a "
                             "Zenodo or Dropbox link (default: the shipped examples/data/proteins.fa)")
    parser.add_argument("--min-length", type=int, default=100,
                        help="proteins at least this long are kept by the last step (default 100)")
    add_workdir_and_registry_options(parser)
    add_llm_and_log_options(parser)
    return parser.parse_args(argv)


# --- input ------------------------------------------------------------------------------

def resolve_input(fetchkin_module, value: str, workdir: Path) -> Path:
    fetcher = fetchkin_module.Fetchkin(str(workdir / "downloads"))
    try:
        resolved = fetcher.resolve_zenodo_dropbox("proteins", value)
    except Exception as error:  # the download's own error, shown as it is
        raise PipelineError(f"could not download the input {value}: {type(error).__name__}: {error}")
    path = Path(resolved)
    if not path.is_file():
        raise PipelineError(
            f"input {value!r} is neither an existing file nor a Zenodo or Dropbox link", 2)
    if resolved != value:
        say(f"input: {value}\n  -> downloaded to {shown_path(path, workdir)}")
    else:
        say(f"input: {path}")
    return path.resolve()


def check_fasta(path: Path) -> int:
    """Number of records; the split step cuts every two lines, so each record must be
    exactly a header line and one sequence line, with no blank lines between."""
    try:
        with open(path, encoding="utf-8", newline="") as handle:  # line ends as they are
            text = handle.read()
    except (OSError, UnicodeDecodeError) as error:
        raise PipelineError(f"cannot read the input {path}: {error}", 2)
    layout = "a FASTA file with one sequence line per record"
    if "\r" in text:
        raise PipelineError(f"the input {path} has carriage returns; {layout} with LF line ends "
                            "is expected", 2)
    lines = text.rstrip("\n").split("\n") if text.strip() else []
    if not lines:
        raise PipelineError(f"the input {path} is empty", 2)
    for number, line in enumerate(lines, 1):
        header = number % 2 == 1
        if line.startswith(">") != header or not line.strip():
            raise PipelineError(f"the input {path} is not {layout} "
                                f"(line {number}: {line[:40]!r})", 2)
    if len(lines) % 2:
        raise PipelineError(f"the input {path} ends with a header without a sequence", 2)
    return len(lines) // 2


def read_table(path: str) -> list[tuple[str, int]]:
    """Rows of a length table (id, TAB, length)."""
    rows = []
    for number, line in enumerate(Path(path).read_text().splitlines(), 1):
        if line.strip():
            name, _, length = line.partition("\t")
            if not length.strip().isdigit():
                raise PipelineError(f"{path} line {number} is not 'id<TAB>length': {line[:60]!r}")
            rows.append((name, int(length)))
    if not rows:
        raise PipelineError(f"the length table {path} is empty")
    return rows


def run_pipeline(args: argparse.Namespace, workdir: Path) -> dict:
    started = time.monotonic()
    registry = registry_dir(args.registry)
    prepare_environment(workdir, registry)
    # weftling loads the three vendor libraries (a few seconds): input
    # problems are reported before that.
    layer = import_layer("condition", "fetchkin", "mivo", "vantum")
    install_layer_log(args.verbose)

    say(f"work directory: {workdir}")
    fasta = resolve_input(layer["fetchkin"], args.input, workdir)
    records_in = check_fasta(fasta)
    say(f"  {records_in} records, one sequence line each")
    layer.update(import_layer("weftling"))

    with connector_writer(layer["weftling"], stand_in_reply, args.stand_in) as (weftling, stub):
        say()
        say(f"registry: {registry}")
        manager, manifests, modes = add_tools(layer["mivo"], registry, STEPS)
        say()

        connectors_path = Path(os.environ["PLEXARO_CONNECTORS_PATH"])
        nodes, outputs, contexts = build_nodes(
            {"proteins": str(fasta), "min_length": args.min_length}, INPUT_MANIFEST, STEPS,
            manifests, layer["vantum"])

        branch = {}

        def long_proteins_exist(outputs: dict) -> bool:
            longest = read_table(outputs["rank"]["ranked"])[0]
            taken, condition = check_condition(layer["condition"], ">=", args.min_length, longest[1])
            branch.update(condition=condition, taken=taken)
            say(f"branch: longest protein {longest[0]} has {longest[1]} residues; "
                f"{branch['condition']} -> {taken}", 2)
            if not taken:
                say(f"skipped: no protein reaches {args.min_length} residues", 2)
            return taken

        skipped = run_steps(STEPS, nodes, outputs, contexts, weftling=weftling, manager=manager,
                            vantum_module=layer["vantum"], manifests=manifests, workdir=workdir,
                            connectors_path=connectors_path, branch_step=BRANCH_STEP,
                            decide=long_proteins_exist)

        summary = summarise(args, workdir, fasta, records_in, outputs, skipped, branch or None,
                            connectors_path, stub, time.monotonic() - started)
    return summary


def summarise(args, workdir: Path, fasta: Path, records_in: int, outputs: dict, skipped: list,
              branch: dict, connectors_path: Path, stub, seconds: float) -> dict:
    counted = int(Path(outputs["count"]["count"]).read_text().split()[0])
    split_files = sorted(p.name for p in Path(outputs["split"]["records"]).rglob("*") if p.is_file())
    ranked = read_table(outputs["rank"]["ranked"])
    long_rows = read_table(outputs["long"]["selected"]) if "long" in outputs else []
    if not counted == len(split_files) == len(ranked) == records_in:
        raise PipelineError(
            f"the steps disagree: {records_in} records in the input, grep counted {counted}, "
            f"split wrote {len(split_files)} files, the length table has {len(ranked)} rows")
    summary = {
        "input": str(fasta),
        "records": records_in,
        "total_residues": sum(length for _, length in ranked),
        "ranked": [[name, length] for name, length in ranked],
        "min_length": args.min_length,
        "branch": branch,
        "long": [[name, length] for name, length in long_rows],
        **run_record(STEPS, outputs, skipped, connectors_path, stub),
    }
    write_summary(summary, workdir)

    say("Summary")
    say(f"records: {records_in} (grep counted {counted}, split wrote {len(split_files)} files)", 2)
    say(f"residues: {summary['total_residues']} in total; longest {ranked[0][0]} ({ranked[0][1]}), "
        f"shortest {ranked[-1][0]} ({ranked[-1][1]})", 2)
    say("ranked by length:", 2)
    for name, length in ranked:
        say(f"{length:>5}  {name}", 4)
    if "long" in outputs:
        say(f"at least {args.min_length} residues: "
            f"{', '.join(name for name, _ in long_rows)} ({len(long_rows)} of {records_in})", 2)
    else:
        say(f"branch not taken: no protein reaches {args.min_length} residues", 2)
    say_run_end(summary, workdir, seconds)
    return summary


def main(argv: list[str] | None = None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    return run_example(
        run_pipeline, args, workdir_prefix="plexaro-example-",
        title="plexaro.helpers example pipeline: proteins split, counted, measured, ranked, filtered")


if __name__ == "__main__":
    quiet_when_piped()
    sys.exit(main())
