"""The host side of the examples: what the plexaro application does around the layer.

Both example pipelines (pipeline.py: proteins with coreutils; variant_calling.py:
reads to variants with Debian's bioinformatics tools) drive plexaro.helpers the
same way, and this module holds that common part:

  * a work directory that receives every file of the run (sandboxes too);
  * the environment the layer and the repository's local tool manager
    (tools/bin/mivo) read;
  * the LLM: a vendor chosen by an API key in the environment, or the loopback
    vendor stand-in of the test suite answering with connectors written in
    advance for the pipeline;
  * `MIVO.add` / `sync` of the pipeline's tools and their manifests from the
    registry;
  * per edge: `Weftling.generateConnector` with the `build_vantum` text of the
    upstream's outputs, `getConnector`, and the connector applied;
  * per step: `MIVO.run` into the work directory, and `build_vantum` of its outputs;
  * the frame of a run: the shared options, the title line, an error's report with
    the place of the run's files, and the closing lines and entries of the summary.
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
import subprocess
import sys
import tempfile
import textwrap
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterator

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
DEFAULT_REGISTRY = HERE / "registry"
TOOL_MANAGER_DIR = REPO / "tools" / "bin"
VENDOR_STUB = REPO / "tests" / "support" / "vendor_stub.py"
HOST_STAND_INS = REPO / "tests" / "support" / "host"  # plexaro.node, plexaro.helpers.paths
KEY_VARIABLES = ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY")
# The vendor the stand-in poses as when there is no key.
STAND_IN_PROVIDER = "openai"
VANTUM_LINES_SHOWN = 8
# A tool's diagnostics (the layer logs a tool's standard error as a warning)
# are cut to this many lines in the example's output.
STDERR_LINES_SHOWN = 3

_NAMES_LINE = re.compile(r"with these exact names: (?P<names>[\w, ]+)\.\s*$")
# "> {slot}" and "2> {slot}": the layer saves the stream as that output slot.
_CAPTURE = re.compile(r"(?<![\w>])(?P<op>2?>)\s*\{(?P<slot>\w+)\}")


@dataclass(frozen=True)
class Step:
    node_id: str
    tool: str
    upstreams: tuple[str, ...]  # node ids, in the order the node lists its inputs
    purpose: str


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
        elif record.msg == "stderr: %s" and record.args:
            lines = str(record.args[0]).splitlines()
            shown = "\n".join(lines[:STDERR_LINES_SHOWN])
            more = len(lines) - STDERR_LINES_SHOWN
            say(f"[{source}] the tool's standard error:", 4)
            say(textwrap.indent(shown, "! ", lambda line: True), 6)
            if more > 0:
                say(f"! ... ({more} more lines)", 6)
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

def add_workdir_and_registry_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--workdir",
                        help="empty or new directory for every file of the run (default: a new "
                             "temporary directory, kept after the run)")
    parser.add_argument("--registry", default=str(DEFAULT_REGISTRY),
                        help="directory of tool descriptions (default: examples/registry)")


def add_llm_and_log_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--stand-in", action="store_true",
                        help="use the loopback vendor stand-in even when an API key is set")
    parser.add_argument("--verbose", action="store_true", help="also show the layer's debug log")


EXECUTORS = ("local", "slurm")


def add_executor_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--executor", choices=EXECUTORS,
                        help="local: the tools run on this machine; slurm: each tool run is one "
                             "job of the Slurm cluster that SLURM_CONF (or the usual "
                             "configuration) names, with the sandboxes in the work directory "
                             "(default: PLEXARO_EXECUTOR, else local)")


def use_executor(requested: str | None, workdir: Path) -> str:
    """Sets PLEXARO_EXECUTOR (and, for a scheduler, PLEXARO_SANDBOX_DIR in the work
    directory unless one is set) and says where the steps run; a scheduler that
    does not answer stops the run before any step."""
    executor = requested or os.environ.get("PLEXARO_EXECUTOR") or "local"
    if executor not in EXECUTORS:
        raise PipelineError(f"PLEXARO_EXECUTOR={executor!r}: use {' or '.join(EXECUTORS)}", 2)
    os.environ["PLEXARO_EXECUTOR"] = executor
    if executor == "local":
        return executor
    # Without a configuration Slurm's clients look for one in DNS: not from here.
    if not os.environ.get("SLURM_CONF") and not os.path.exists("/etc/slurm/slurm.conf"):
        raise PipelineError("--executor slurm: no Slurm configuration (SLURM_CONF unset, no "
                            "/etc/slurm/slurm.conf). scripts/slurm start DIR starts a private "
                            "cluster (as root); then load DIR/env", 2)
    try:
        ping = subprocess.run(["scontrol", "ping"], capture_output=True, text=True, timeout=30)
        answer = ping.stdout + ping.stderr
        up = ping.returncode == 0 and "UP" in ping.stdout
    except (OSError, subprocess.TimeoutExpired) as error:
        answer, up = str(error), False
    if not up:
        raise PipelineError(f"--executor slurm: no Slurm controller answers ({answer.strip()}). "
                            "scripts/slurm start DIR starts a private one (as root); then "
                            "load DIR/env", 2)
    if not os.environ.get("PLEXARO_SANDBOX_DIR"):
        shared = workdir / "shared"
        shared.mkdir(exist_ok=True)
        os.environ["PLEXARO_SANDBOX_DIR"] = str(shared)
    say(f"steps run as Slurm jobs (srun), sandboxes in "
        f"{shown_path(os.environ['PLEXARO_SANDBOX_DIR'], workdir)}")
    return executor


def registry_dir(requested: str) -> Path:
    registry = Path(requested).resolve()
    if not registry.is_dir():
        raise PipelineError(f"--registry {registry} is not a directory", 2)
    return registry


def make_workdir(requested: str | None, prefix: str) -> Path:
    if requested is None:
        return Path(tempfile.mkdtemp(prefix=prefix)).resolve()
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
    # image archives); the examples are runs on this machine.
    if os.environ.pop("PIPELINE_VOLUME_PATH", None):
        say("note: PIPELINE_VOLUME_PATH is ignored: the example runs as on a developer machine")
    # Sandboxes and the tool manager's throw-away projects go to the work
    # directory too, so the run leaves nothing elsewhere.
    scratch = workdir / "tmp"
    scratch.mkdir()
    os.environ["TMPDIR"] = str(scratch)
    tempfile.tempdir = str(scratch)
    os.environ["PLEXARO_CONNECTORS_PATH"] = str(workdir / "connectors.py")
    # The model-written connectors run in a confined worker process, never in
    # this one (the default; "strict" refuses a kernel that cannot confine).
    os.environ.setdefault("PLEXARO_CONNECTOR_ISOLATION", "auto")


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


def exec_mode(command: str | None, cwd: Path) -> tuple[str, str]:
    """Where the local tool manager's "exec" runs `command`: ("container", image)
    or ("host", the reason); without a command, whether a container engine
    answers at all. A tool manager that cannot say ("mivo mode" unknown to it)
    runs every tool on this machine."""
    try:
        done = subprocess.run(["mivo", "mode", *([command] if command else [])], cwd=cwd,
                              capture_output=True, text=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "host", f"the tool manager did not say where it runs tools ({error})"
    mode, _, detail = done.stdout.strip().partition("\t")
    if done.returncode != 0 or mode not in ("container", "host"):
        return "host", "the local tool manager runs every tool on this machine"
    return mode, detail


def describe_modes(modes: dict[str, tuple[str, str]]) -> str:
    """One line for the output: where the tools of this run are executed."""
    kinds = {mode for mode, _ in modes.values()}
    if kinds == {"container"}:
        return "tools run in containers (container mode: each tool in its image, the sandbox at /workspace)"
    if kinds == {"host"}:
        reasons = sorted({detail for _, detail in modes.values()})
        because = reasons[0] if len(reasons) == 1 else "; ".join(reasons)
        return f"tools run on this machine (host mode: {because})"
    in_containers = sorted(tool for tool, (mode, _) in modes.items() if mode == "container")
    return ("tools run in containers where their image is in the engine "
            f"({', '.join(in_containers)}), the others on this machine")


# --- the LLM ------------------------------------------------------------------------------

def scripted_reply(connectors: dict[str, str]) -> Callable:
    """The stand-in's answer: connector code for the function names the prompt asks
    for, fenced as models do; a name without a scripted connector gets one that
    supplies nothing."""

    def reply(request) -> str:
        prompt = request.prompt or ""
        match = _NAMES_LINE.search(prompt)
        if not match:
            return "def connector(output: dict) -> dict:\n    return {}\n"
        names = [name.strip() for name in match["names"].split(",") if name.strip()]
        blocks = [connectors.get(name, f"\ndef {name}(output: dict) -> dict:\n    return {{}}\n")
                  for name in names]
        return "```python" + "".join(blocks) + "```\n"

    return reply


def start_stand_in(reply: Callable):
    """The loopback vendor stand-in, answering through `reply`."""
    if not VENDOR_STUB.is_file():
        raise PipelineError(f"no API key in the environment and no vendor stand-in at {VENDOR_STUB}", 2)
    sys.dont_write_bytecode = True  # import from the repository without leaving a cache there
    spec = importlib.util.spec_from_file_location("plexaro_example_vendor_stub", VENDOR_STUB)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    stub = module.VendorStub()
    stub.responder = reply
    stub.start()
    stub.apply(provider=STAND_IN_PROVIDER)
    return stub


def wants_stand_in(forced: bool) -> bool:
    return forced or not any(os.environ.get(name) for name in KEY_VARIABLES)


def announce_llm(llm, stub, forced: bool) -> None:
    if stub is not None:
        reason = "--stand-in given" if forced else "no API key in the environment"
        say(f"LLM: loopback vendor stand-in at {stub.url}, answering as {llm.provider} "
            f"{llm.model_name} ({reason}).\n"
            "     The connectors below are its scripted answers for this pipeline, not "
            "written by a model.\n"
            f"     Set one of {', '.join(KEY_VARIABLES)} to have a real model write them.")
    else:
        say(f"LLM: {llm.provider} {llm.model_name} (API key from the environment); "
            "the connectors below are written by the model")


@contextmanager
def connector_writer(weftling_module, reply: Callable, forced: bool) -> Iterator[tuple[object, object]]:
    """A `Weftling` and the vendor stand-in behind it (None with a real vendor),
    announced in the output; the stand-in stops when the run leaves the block."""
    stub = start_stand_in(reply) if wants_stand_in(forced) else None
    try:
        weftling = weftling_module.Weftling()
        announce_llm(weftling.llm, stub, forced)
        yield weftling, stub
    finally:
        if stub is not None:
            stub.stop()


# --- tools --------------------------------------------------------------------------------

def add_tools(mivo_module, registry: Path, steps) -> tuple[object, dict, dict]:
    manager = mivo_module.MIVO(None, str(registry))
    tools = list(dict.fromkeys(step.tool for step in steps))
    say(f"MIVO.add({', '.join(map(repr, tools))}); MIVO.sync()")
    try:
        manager.add(*tools)
        manager.sync()
    except RuntimeError as error:
        raise PipelineError(f"the tool manager could not add the tools:\n{error}")
    manifests, modes = {}, {}
    width = max(map(len, tools))
    scratch = Path(tempfile.gettempdir())
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
            # A scheduler job's requests, where the description has them.
            **{key: described[key] for key in ("cpus", "memory", "time") if key in described},
        }
        modes[tool] = exec_mode(shown["entrypoint"] or tool, scratch)
        say(f"{tool:<{width}}  {modes[tool][0]:<9} {shown['entrypoint']:<8} "
            f"{shown['args_template']}", 2)
    say(describe_modes(modes))
    return manager, manifests, modes


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
        elif isinstance(value, list):
            parts.append(f"{key}: [" + ", ".join(
                f".../{Path(v).name}" if isinstance(v, str) and os.sep in v else repr(v)
                for v in value) + "]")
        elif isinstance(value, str) and os.sep in value:
            parts.append(f"{key}: .../{Path(value).name}")
        else:
            parts.append(f"{key}: {value!r}")
    return "{" + ", ".join(parts) + "}"


# --- steps --------------------------------------------------------------------------------------

def build_nodes(input_values: dict, input_manifest: dict, steps, manifests: dict,
                vantum_module) -> tuple[dict, dict, dict]:
    """The run's nodes (the input node, then one per step, fed by its upstreams), the
    outputs known so far (the input's values) and their build_vantum texts."""
    from plexaro.node import InputNode, Node  # the host's node classes

    nodes = {"input": InputNode("input", inputs=input_values, manifest=input_manifest)}
    outputs = {"input": nodes["input"].inputs}
    contexts = {"input": vantum_module.build_vantum(outputs["input"])}
    for step in steps:
        nodes[step.node_id] = Node(step.node_id, manifests[step.tool],
                                   inNodes=[nodes[u] for u in step.upstreams])
    return nodes, outputs, contexts


def check_condition(condition_module, operator: str, threshold, value) -> tuple[bool, str]:
    """`Condition(operator, threshold).check(value)`, and that call as the output spells it."""
    taken = bool(condition_module.Condition(operator, threshold).check(value))
    return taken, f"Condition({operator!r}, {threshold}).check({value})"


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
    # "> {slot}" and "2> {slot}" never reach the tool: the layer saves the stream as that slot.
    streams = {match["slot"]: "standard output" if match["op"] == ">" else "standard error"
               for match in _CAPTURE.finditer(manifest.get("args_template") or "")}
    # A tool that says nothing on its standard error leaves that slot empty.
    empty = [slot for slot in manifest.get("outputs", {})
             if not outputs.get(slot) and streams.get(slot) != "standard error"]
    if empty:
        raise PipelineError(f"step '{step.node_id}' ({step.tool}) delivered nothing for "
                            f"{', '.join(empty)}; its outputs are in {output_dir}")
    for slot, path in outputs.items():
        if path is None:
            continue
        note = f" (the tool's {streams[slot]})" if slot in streams else ""
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


def run_steps(steps, nodes: dict, outputs: dict, contexts: dict, *, weftling, manager,
              vantum_module, manifests: dict, workdir: Path, connectors_path: Path,
              branch_step: str | None = None, decide: Callable[[dict], bool] | None = None
              ) -> list[str]:
    """Runs the steps in order: the connectors into each step, then the step.

    At `branch_step`, `decide(outputs)` says whether the branch is taken;
    when it is not, that step and every step fed by a skipped one are skipped.
    Returns the skipped node ids."""
    skipped: list[str] = []
    for number, step in enumerate(steps, 1):
        say(f"[{number}/{len(steps)}] {step.node_id}: {step.tool} - {step.purpose}")
        if step.node_id == branch_step and not decide(outputs):
            skipped.append(step.node_id)
            say()
            continue
        if any(upstream in skipped for upstream in step.upstreams):
            say(f"skipped: fed by {', '.join(u for u in step.upstreams if u in skipped)}", 2)
            skipped.append(step.node_id)
            say()
            continue
        node = nodes[step.node_id]
        inputs: dict = {}
        for upstream in node.inNodes:
            inputs.update(connect(weftling, node, upstream, outputs[upstream.id],
                                  contexts[upstream.id], connectors_path))
        outputs[step.node_id], contexts[step.node_id] = run_step(
            manager, vantum_module, step, manifests[step.tool], inputs, workdir)
        say()
    return skipped


# --- the end of a run ---------------------------------------------------------------------

def run_record(steps, outputs: dict, skipped: list, connectors_path: Path, stub) -> dict:
    """The entries of summary.json every example has: what ran, what it wrote and
    who wrote the connectors."""
    return {
        "steps_run": [step.node_id for step in steps if step.node_id in outputs],
        "steps_skipped": skipped,
        "outputs": {step: dict(result) for step, result in outputs.items() if step != "input"},
        "connectors_file": str(connectors_path),
        "connectors": sorted(defined_functions(connectors_path)),
        "llm": "stand-in" if stub is not None else "vendor",
        "llm_requests": len(stub.requests) if stub is not None else None,
    }


def write_summary(summary: dict, workdir: Path) -> None:
    (workdir / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")


def say_run_end(summary: dict, workdir: Path, seconds: float) -> None:
    """The closing lines of the summary, from the `run_record` entries."""
    llm_note = (f"{summary['llm_requests']} requests to the vendor stand-in"
                if summary["llm"] == "stand-in" else "written by the model")
    say(f"connectors: {len(summary['connectors'])} in "
        f"{shown_path(summary['connectors_file'], workdir)} ({llm_note})", 2)
    skipped = summary["steps_skipped"]
    say(f"steps run: {', '.join(summary['steps_run'])}"
        + (f" (skipped: {', '.join(skipped)})" if skipped else ""), 2)
    say(f"outputs: {workdir / 'steps'}; summary: {workdir / 'summary.json'}", 2)
    say(f"done in {seconds:.1f} s", 2)


def run_example(run_pipeline: Callable[[argparse.Namespace, Path], object],
                args: argparse.Namespace, workdir_prefix: str, title: str) -> int:
    """An example's whole run: its work directory, its title line, then
    `run_pipeline(args, workdir)`; a PipelineError ends it with its message, the
    place of the run's files and its exit status."""
    try:
        workdir = make_workdir(args.workdir, workdir_prefix)
    except (PipelineError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return getattr(error, "status", 2)
    say(title)
    try:
        run_pipeline(args, workdir)
    except PipelineError as error:
        sys.stdout.flush()
        print(f"\nerror: {error}", file=sys.stderr)
        print(f"(files of this run: {workdir})", file=sys.stderr)
        return error.status
    return 0


def quiet_when_piped() -> None:
    """A quiet end when the output is piped into head or less."""
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
