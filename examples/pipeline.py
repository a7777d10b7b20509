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
import ast
import importlib
import importlib.util
import json
import logging
import os
import re
import shlex
import signal
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
DEFAULT_INPUT = HERE / "data" / "proteins.fa"
DEFAULT_REGISTRY = HERE / "registry"
TOOL_MANAGER_DIR = REPO / "tools" / "bin"
VENDOR_STUB = REPO / "tests" / "support" / "vendor_stub.py"
HOST_STAND_INS = REPO / "tests" / "support" / "host"  # plexaro.node, plexaro.helpers.paths
KEY_VARIABLES = ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY")
# The vendor the stand-in poses as when there is no key.
STAND_IN_PROVIDER = "openai"
VANTUM_LINES_SHOWN = 8


@dataclass(frozen=True)
class Step:
    node_id: str
    tool: str
    upstreams: tuple[str, ...]  # node ids, in the order the node lists its inputs
    purpose: str


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

_NAMES_LINE = re.compile(r"with these exact names: (?P<names>[\w, ]+)\.\s*$")


class PipelineError(Exception):
    """A failure the run reports and exits on; `status` is the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


# --- output ---------------------------------------------------------------------------

def say(text: str = "", indent: int = 0) -> None:
    prefix = " " * indent
    print("\n".join(prefix + line if line else line for line in text.split("\n")), flush=True)


def shown_path(path, workdir: Path) -> str:
    """A path inside the work directory relative to it, others as they are."""
    try:
        return str(Path(path).relative_to(workdir))
    except ValueError:
        return str(path)


class LayerLog(logging.Handler):
    """Shows the layer's own log lines among the example's output.

    The tool command line is the layer's to build, so it is taken from the
    "Running mivo exec" record rather than recomputed here.
    """

    def emit(self, record: logging.LogRecord) -> None:
        source = record.name.rsplit(".", 1)[-1]
        if record.msg == "Running mivo exec %s %s" and len(record.args) == 2:
            words = [str(record.args[0]), *map(str, record.args[1])]
            say(f"$ mivo exec {shlex.join(words)}", 4)
        elif record.levelno >= logging.WARNING:
            say(f"[{source}] {record.levelname.lower()}: {record.getMessage()}", 4)
        else:
            say(f"[{source}] {record.getMessage()}", 4)


def install_layer_log(verbose: bool) -> None:
    logger = logging.getLogger("plexaro.helpers")
    logger.setLevel(logging.DEBUG if verbose else logging.INFO)
    logger.addHandler(LayerLog())
    logger.propagate = False


# --- set-up ---------------------------------------------------------------------------

def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Run the example protein pipeline through plexaro.helpers.")
    parser.add_argument("--input", default=str(DEFAULT_INPUT),
                        help="FASTA file with one sequence line per record: a local path or a "
                             "Zenodo or Dropbox link (default: the shipped examples/data/proteins.fa)")
    parser.add_argument("--min-length", type=int, default=100,
                        help="proteins at least this long are kept by the last step (default 100)")
    parser.add_argument("--workdir",
                        help="empty or new directory for every file of the run (default: a new "
                             "temporary directory, kept after the run)")
    parser.add_argument("--registry", default=str(DEFAULT_REGISTRY),
                        help="directory of tool descriptions (default: examples/registry)")
    parser.add_argument("--stand-in", action="store_true",
                        help="use the loopback vendor stand-in even when an API key is set")
    parser.add_argument("--verbose", action="store_true", help="also show the layer's debug log")
    return parser.parse_args(argv)


def make_workdir(requested: str | None) -> Path:
    if requested is None:
        return Path(tempfile.mkdtemp(prefix="plexaro-example-")).resolve()
    workdir = Path(requested).resolve()
    if workdir.exists() and (not workdir.is_dir() or any(workdir.iterdir())):
        raise PipelineError(f"--workdir {workdir} exists and is not an empty directory", 2)
    workdir.mkdir(parents=True, exist_ok=True)
    return workdir


def prepare_environment(workdir: Path, registry: Path) -> None:
    """The process environment the layer and the tool manager read."""
    os.environ["PATH"] = os.pathsep.join([str(TOOL_MANAGER_DIR), os.environ.get("PATH", "")])
    os.environ["MIVO_REGISTRY"] = str(registry)
    # A pipeline volume would make this a cloud-worker run (docker wrapper,
    # image archives); the example is a run on this machine.
    if os.environ.pop("PIPELINE_VOLUME_PATH", None):
        say("note: PIPELINE_VOLUME_PATH is ignored: the example runs as on a developer machine")
    # Sandboxes and the tool manager's throw-away projects go to the work
    # directory too, so the run leaves nothing elsewhere.
    scratch = workdir / "tmp"
    scratch.mkdir()
    os.environ["TMPDIR"] = str(scratch)
    tempfile.tempdir = str(scratch)
    os.environ["PLEXARO_CONNECTORS_PATH"] = str(workdir / "connectors.py")


def use_host_stand_ins() -> None:
    """Makes the host's own modules importable: the application's, when it is
    installed, else the small stand-ins the tests use (tests/support/host)."""
    for name in ("plexaro.node", "plexaro.helpers.paths"):
        try:
            found = importlib.util.find_spec(name) is not None
        except ImportError:
            found = False
        if not found:
            if str(HOST_STAND_INS) not in sys.path:
                sys.path.append(str(HOST_STAND_INS))
            return


def import_layer(*names: str) -> dict:
    use_host_stand_ins()
    try:
        return {name: importlib.import_module(f"plexaro.helpers.{name}") for name in names}
    except ImportError as error:
        raise PipelineError(
            f"plexaro.helpers cannot be imported ({error}).\n"
            "Install it with scripts/install, or build it in place with scripts/dev-build "
            "and run with PYTHONPATH=python.", 2) from error


def start_stand_in():
    """The loopback vendor stand-in, scripted with this pipeline's connectors."""
    if not VENDOR_STUB.is_file():
        raise PipelineError(f"no API key in the environment and no vendor stand-in at {VENDOR_STUB}", 2)
    sys.dont_write_bytecode = True  # import from the repository without leaving a cache there
    spec = importlib.util.spec_from_file_location("plexaro_example_vendor_stub", VENDOR_STUB)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    stub = module.VendorStub()
    stub.responder = stand_in_reply
    stub.start()
    stub.apply(provider=STAND_IN_PROVIDER)
    return stub


def stand_in_reply(request) -> str:
    """Connector code for the function names the prompt asks for, fenced as models do."""
    prompt = request.prompt or ""
    match = _NAMES_LINE.search(prompt)
    if not match:
        return "def connector(output: dict) -> dict:\n    return {}\n"
    names = [name.strip() for name in match["names"].split(",") if name.strip()]
    blocks = [STAND_IN_CONNECTORS.get(name, f"\ndef {name}(output: dict) -> dict:\n    return {{}}\n")
              for name in names]
    return "```python" + "".join(blocks) + "```\n"


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


# --- tools --------------------------------------------------------------------------------

def add_tools(mivo_module, registry: Path):
    manager = mivo_module.MIVO(None, str(registry))
    tools = list(dict.fromkeys(step.tool for step in STEPS))
    say(f"MIVO.add({', '.join(map(repr, tools))}); MIVO.sync()")
    try:
        manager.add(*tools)
        manager.sync()
    except RuntimeError as error:
        raise PipelineError(f"the tool manager could not add the tools:\n{error}")
    manifests = {}
    for tool in tools:
        try:
            described = json.loads(manager.show(tool, "json").stdout)
            shown = manager.parse_show(tool)
        except (RuntimeError, ValueError) as error:
            raise PipelineError(f"cannot read the description of {tool}: {error}")
        manifests[tool] = {
            "description": described.get("description", ""),
            "inputs": described.get("inputs", {}),
            "outputs": described.get("outputs", {}),
            **shown,  # image, entrypoint, args_template, gpu_required
        }
        say(f"{tool:<14} {shown['entrypoint']:<6} {shown['args_template']}", 2)
    return manager, manifests


# --- connectors ------------------------------------------------------------------------------

def defined_functions(path: Path) -> dict[str, str]:
    """Function name -> source of the connectors file as it is now."""
    try:
        text = path.read_text()
        tree = ast.parse(text)
    except (OSError, SyntaxError):
        return {}
    return {node.name: ast.get_source_segment(text, node) or ""
            for node in tree.body if isinstance(node, ast.FunctionDef)}


def connect(weftling, node, upstream, upstream_outputs: dict, context: str,
            connectors_path: Path) -> dict:
    """Generate (or reuse) the connector of one edge and apply it to the upstream's outputs.

    `context` is the build_vantum text of the upstream's outputs."""
    before = defined_functions(connectors_path)
    try:
        name = weftling.generateConnector(upstream, node, context)
    except Exception as error:  # the vendor's own error (key, network, quota) as it is
        raise PipelineError(f"the LLM could not write the connector {upstream.id} -> {node.id}: "
                            f"{type(error).__name__}: {error}")
    after = defined_functions(connectors_path)
    written = [fn for fn, source in after.items() if before.get(fn) != source]
    if written:
        others = [fn for fn in written if fn != name]
        state = "written now" + (f", with {', '.join(others)} in the same call" if others else "")
        say(f"connector {upstream.id} -> {node.id}: {name} ({state})", 2)
        for index, fn in enumerate(written):
            if index:
                say("|", 4)
            say(textwrap.indent(after[fn], "| ", lambda line: True), 4)
    else:
        say(f"connector {upstream.id} -> {node.id}: {name} (already written)", 2)
    try:
        function = weftling.getConnector(upstream, node)
    except (AttributeError, SyntaxError) as error:
        raise PipelineError(f"connector {name} cannot be loaded from {connectors_path}: {error}")
    if function is None:
        raise PipelineError(f"no connector was recorded for {upstream.id} -> {node.id}")
    try:
        result = function(upstream_outputs)
    except Exception as error:
        raise PipelineError(f"connector {name} failed on the outputs of '{upstream.id}': "
                            f"{type(error).__name__}: {error}")
    if not isinstance(result, dict):
        raise PipelineError(f"connector {name} returned {type(result).__name__}, not a mapping")
    say(f"gives {short(result)}", 4)
    return result


def short(mapping: dict) -> str:
    parts = []
    for key, value in mapping.items():
        if isinstance(value, list) and len(value) > 3:
            parts.append(f"{key}: [{len(value)} items: {Path(str(value[0])).name}, ...]")
        elif isinstance(value, str) and os.sep in value:
            parts.append(f"{key}: .../{Path(value).name}")
        else:
            parts.append(f"{key}: {value!r}")
    return "{" + ", ".join(parts) + "}"


# --- steps --------------------------------------------------------------------------------------

def run_step(manager, vantum_module, step: Step, manifest: dict, inputs: dict,
             workdir: Path) -> tuple[dict, str]:
    """Runs one step; its output mapping and the build_vantum text of it."""
    missing = [field for field, record in manifest.get("inputs", {}).items()
               if record.get("required") and inputs.get(field) in (None, "", [])]
    if missing:
        raise PipelineError(f"step '{step.node_id}' has no value for {', '.join(missing)}: "
                            "the connectors into it did not supply it")
    output_dir = workdir / "steps" / step.node_id
    try:
        outputs = manager.run(step.tool, manifest, inputs, str(output_dir))
    except Exception as error:
        # A failed run keeps its sandbox (inputs and whatever the tool wrote).
        kept = sorted((workdir / "tmp" / "plexaro_sandboxes").glob(f"run-{step.tool}-*"),
                      key=lambda path: path.stat().st_mtime)
        where = f"\nits sandbox is kept for inspection: {kept[-1]}" if kept else ""
        raise PipelineError(f"step '{step.node_id}' ({step.tool}) failed:\n{error}{where}")
    empty = [slot for slot in manifest.get("outputs", {}) if not outputs.get(slot)]
    if empty:
        raise PipelineError(f"step '{step.node_id}' ({step.tool}) delivered nothing for "
                            f"{', '.join(empty)}; its outputs are in {output_dir}")
    # "> {slot}" never reaches the tool: the layer saves the standard output as that slot.
    captured = re.search(r"(?<![\w>])>\s*\{(\w+)\}", manifest.get("args_template") or "")
    for slot, path in outputs.items():
        note = " (the tool's standard output)" if captured and captured[1] == slot else ""
        say(f"output {slot}: {shown_path(path, workdir)}{note}", 2)
    context = vantum_module.build_vantum(outputs)
    description = context.split("\n")
    say("what the next connector writer is shown (build_vantum):", 2)
    for line in description[:VANTUM_LINES_SHOWN]:
        say(shown_vantum_line(line, workdir), 4)
    if len(description) > VANTUM_LINES_SHOWN:
        say(f"... ({len(description) - VANTUM_LINES_SHOWN} more lines)", 4)
    return outputs, context


def shown_vantum_line(line: str, workdir: Path, width: int = 110) -> str:
    line = line.replace(str(workdir) + os.sep, "")
    return line if len(line) <= width else line[:width - 3] + "..."


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
    registry = Path(args.registry).resolve()
    if not registry.is_dir():
        raise PipelineError(f"--registry {registry} is not a directory", 2)
    prepare_environment(workdir, registry)
    # weftling loads the three vendor libraries (a few seconds): input
    # problems are reported before that.
    layer = import_layer("condition", "fetchkin", "mivo", "vantum")
    install_layer_log(args.verbose)
    from plexaro.node import InputNode, Node  # the host's node classes

    say(f"work directory: {workdir}")
    fasta = resolve_input(layer["fetchkin"], args.input, workdir)
    records_in = check_fasta(fasta)
    say(f"  {records_in} records, one sequence line each")
    layer.update(import_layer("weftling"))

    stub = None
    if args.stand_in or not any(os.environ.get(name) for name in KEY_VARIABLES):
        stub = start_stand_in()
    try:
        weftling = layer["weftling"].Weftling()
        llm = weftling.llm
        if stub is not None:
            reason = "--stand-in given" if args.stand_in else "no API key in the environment"
            say(f"LLM: loopback vendor stand-in at {stub.url}, answering as {llm.provider} "
                f"{llm.model_name} ({reason}).\n"
                "     The connectors below are its scripted answers for this pipeline, not "
                "written by a model.\n"
                f"     Set one of {', '.join(KEY_VARIABLES)} to have a real model write them.")
        else:
            say(f"LLM: {llm.provider} {llm.model_name} (API key from the environment); "
                "the connectors below are written by the model")
        say()
        say(f"registry: {registry}")
        manager, manifests = add_tools(layer["mivo"], registry)
        say()

        connectors_path = Path(os.environ["PLEXARO_CONNECTORS_PATH"])
        nodes = {"input": InputNode("input", inputs={"proteins": str(fasta), "min_length": args.min_length},
                                    manifest=INPUT_MANIFEST)}
        outputs = {"input": nodes["input"].inputs}
        contexts = {"input": layer["vantum"].build_vantum(outputs["input"])}
        for step in STEPS:
            nodes[step.node_id] = Node(step.node_id, manifests[step.tool],
                                       inNodes=[nodes[u] for u in step.upstreams])

        skipped = []
        branch = None
        for number, step in enumerate(STEPS, 1):
            say(f"[{number}/{len(STEPS)}] {step.node_id}: {step.tool} - {step.purpose}")
            if step.node_id == BRANCH_STEP:
                longest = read_table(outputs["rank"]["ranked"])[0]
                condition = layer["condition"].Condition(">=", args.min_length)
                taken = bool(condition.check(longest[1]))
                branch = {"condition": f"Condition('>=', {args.min_length}).check({longest[1]})",
                          "taken": taken}
                say(f"branch: longest protein {longest[0]} has {longest[1]} residues; "
                    f"{branch['condition']} -> {taken}", 2)
                if not taken:
                    say(f"skipped: no protein reaches {args.min_length} residues", 2)
                    skipped.append(step.node_id)
                    say()
                    continue
            node = nodes[step.node_id]
            inputs = {}
            for upstream in node.inNodes:
                inputs.update(connect(weftling, node, upstream, outputs[upstream.id],
                                      contexts[upstream.id], connectors_path))
            outputs[step.node_id], contexts[step.node_id] = run_step(
                manager, layer["vantum"], step, manifests[step.tool], inputs, workdir)
            say()

        summary = summarise(args, workdir, fasta, records_in, outputs, skipped, branch,
                            connectors_path, stub, time.monotonic() - started)
    finally:
        if stub is not None:
            stub.stop()
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
        "steps_run": [step.node_id for step in STEPS if step.node_id in outputs],
        "steps_skipped": skipped,
        "outputs": {step: {slot: path for slot, path in result.items()}
                    for step, result in outputs.items() if step != "input"},
        "connectors_file": str(connectors_path),
        "connectors": sorted(defined_functions(connectors_path)),
        "llm": "stand-in" if stub is not None else "vendor",
        "llm_requests": len(stub.requests) if stub is not None else None,
    }
    (workdir / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")

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
    llm_note = (f"{summary['llm_requests']} requests to the vendor stand-in" if stub is not None
                else "written by the model")
    say(f"connectors: {len(summary['connectors'])} in {shown_path(connectors_path, workdir)} "
        f"({llm_note})", 2)
    say(f"steps run: {', '.join(summary['steps_run'])}"
        + (f" (skipped: {', '.join(skipped)})" if skipped else ""), 2)
    say(f"outputs: {workdir / 'steps'}; summary: {workdir / 'summary.json'}", 2)
    say(f"done in {seconds:.1f} s", 2)
    return summary


def main(argv: list[str] | None = None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        workdir = make_workdir(args.workdir)
    except (PipelineError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return getattr(error, "status", 2)
    say("plexaro.helpers example pipeline: proteins split, counted, measured, ranked, filtered")
    try:
        run_pipeline(args, workdir)
    except PipelineError as error:
        sys.stdout.flush()
        print(f"\nerror: {error}", file=sys.stderr)
        print(f"(files of this run: {workdir})", file=sys.stderr)
        return error.status
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quiet end when piped into head or less
    sys.exit(main())
