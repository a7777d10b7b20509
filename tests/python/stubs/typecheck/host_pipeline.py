"""A host's use of the six modules, written as typed host code: it must
type-check clean against the stubs (mypy --strict, which checks the stubs
too). It is checked, not run."""
from __future__ import annotations

import subprocess
from typing import Any

from plexaro.helpers.condition import _OPS, Condition
from plexaro.helpers.fetchkin import Fetchkin
from plexaro.helpers.mivo import MIVO
from plexaro.helpers.promptel import Promptel, default_llm
from plexaro.helpers.vantum import build_vantum
from plexaro.helpers.weftling import Weftling
from plexaro.node import GatherNode, InputNode, Node


def prepare(tools: list[str], backend: str | None) -> MIVO:
    mivo = MIVO(backend, registry=None)
    mivo.wait_for_docker(timeout=120)
    mivo.add(*tools)
    mivo.sync(frozen=True)
    mivo.lock(check=False)
    found: subprocess.CompletedProcess[str] = mivo.search("aligner", tier="core")
    print(found.stdout.splitlines(), found.returncode == 0)
    manifest: dict[str, Any] = mivo.parse_show(tools[0])
    print(manifest.get("image"), mivo._base_args() + ["--verbose"], mivo.backend)
    reference, digest = mivo._locked_image_ref(tools[0])
    if reference is not None and digest is not None:
        print(reference.split(":")[0], digest.removeprefix("sha256:"))
    if not mivo._load_cached_image(tools[0]):
        mivo._save_image_to_cache(tools[0])
    print(mivo._cache_tar(tools[0]).endswith(".tar"), mivo._real_docker().strip())
    MIVO._write_toml("mivo.toml", {"tools": {name: {} for name in tools}})
    listed = mivo._run(["list"], cwd="/tmp", timeout=60).stdout
    return mivo if listed else MIVO()


def local_inputs(raw: dict[str, Any], cache_dir: str) -> dict[str, Any]:
    fetch = Fetchkin(cache_dir)
    return {key: fetch.resolve_zenodo_dropbox(key, value) for key, value in raw.items()}


def take_branch(value: float) -> bool:
    condition = Condition(">=", 0.5)
    return condition.check(value) and condition.comparator in _OPS


def describe(outputs: dict[str, str | None]) -> str:
    return build_vantum(outputs) + "\n" + build_vantum(outputs, header="Outputs:")


def ask(prompt: str, key: str | None) -> str:
    llm = Promptel("openai", "gpt-4o-mini", api_key=key) if key else default_llm()
    reply = llm.call(prompt, system_prompt=None, max_tokens=512)
    return f"{llm.provider}/{llm.model_name}: " + (reply or "")


def run_edge(mivo: MIVO, source: InputNode, step: Node, sink: GatherNode, out_dir: str) -> list[Any]:
    """One step and the connectors around it, as the host drives them."""
    weft = Weftling()
    weft.set_llm("anthropic", "claude-haiku-4-5-20251001", api_key="sk-test")
    weft.generateConnector(source, step)
    outputs: dict[str, str | None] = mivo.run("bwa", step.manifest, {"reads": "r.fq"}, out_dir)
    with weft.fileLock:
        name = weft.generateConnector(step, sink, extra_context=describe(outputs), scatter_source=True)
    print(name.isidentifier(), weft.edgeConnectors[(step.id, sink.id)], weft.get_edge_connectors())
    connector = weft.getConnector(step, sink)
    if connector is None:
        return []
    produced = connector(dict(outputs))
    return produced if isinstance(produced, list) else [produced]
