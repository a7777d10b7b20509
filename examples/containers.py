"""Where the example's tools run: in containers when a container engine answers,
on this machine otherwise.

The local tool manager (tools/bin/mivo) runs a tool in its image when an engine
answers (DOCKER_HOST, else the engine's usual socket) and the image the tool's
registry entry names is in that engine. The example's own images
("plexaro-example/<tool>:<version>") are not in any registry: they are built
here, at the start of each run, from this machine's programs with
`scripts/engine image` (FROM scratch, each program with the libraries it
loads, about half a second each), so the containers run the same binaries
the host mode would.
Nothing is pulled: the tool manager runs every container with --pull=never
and no network.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import tomllib
from pathlib import Path

from host import REPO, PipelineError, exec_mode, say

ENGINE_SCRIPT = REPO / "scripts" / "engine"
# Only images under this name are the example's to build; any other image a
# registry names must already be in the engine.
OWN_IMAGES = "plexaro-example/"
SETTINGS = ("auto", "always", "never")
BUILD_TIMEOUT = 180
INSPECT_TIMEOUT = 60


def setting_from(option: str | None) -> str:
    """--containers, else the tool manager's MIVO_CONTAINER, else auto."""
    value = (option or os.environ.get("MIVO_CONTAINER", "") or "auto").strip().lower()
    if value not in SETTINGS:
        raise PipelineError(f"MIVO_CONTAINER={value!r}: use {', '.join(SETTINGS)}", 2)
    return value


def image_plan(registry: Path, tools) -> dict[str, list[str]]:
    """The example's own images the tools need: reference -> the programs it holds
    (each tool's entry point and listed binaries)."""
    plan: dict[str, list[str]] = {}
    for tool in tools:
        path = registry / f"{tool}.toml"
        try:
            with open(path, "rb") as handle:
                entry = tomllib.load(handle)
        except (OSError, tomllib.TOMLDecodeError) as error:
            raise PipelineError(f"cannot read the tool description {path}: {error}", 2)
        image = entry.get("image")
        if not isinstance(image, str) or not image.startswith(OWN_IMAGES):
            continue
        programs = [entry.get("entrypoint") or tool, *entry.get("binaries", [])]
        held = plan.setdefault(image, [])
        for program in programs:
            if isinstance(program, str) and program not in held:
                held.append(program)
    return plan


def image_id(docker: str, reference: str) -> str | None:
    try:
        done = subprocess.run([docker, "image", "inspect", "--format", "{{.Id}}", reference],
                              capture_output=True, text=True, timeout=INSPECT_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if done.returncode != 0:
        return None
    return done.stdout.strip() or None


def build_image(reference: str, programs: list[str]) -> str | None:
    """None when built, else why not."""
    try:
        done = subprocess.run(["bash", str(ENGINE_SCRIPT), "image", reference, *programs],
                              capture_output=True, text=True, timeout=BUILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        return f"not built within {BUILD_TIMEOUT} s"
    except OSError as error:
        return str(error)
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines()
        return lines[-1][:300] if lines else f"scripts/engine image exited with {done.returncode}"
    return None


def prepare(option: str | None, registry: Path, tools, scratch: Path) -> dict:
    """Decides where the tools run and, with an engine, builds the example's
    images. Sets MIVO_CONTAINER (and MIVO_CONTAINER_USER) for the tool
    manager; returns what the summary records."""
    setting = setting_from(option)
    os.environ["MIVO_CONTAINER"] = setting
    # Whatever a tool writes in its sandbox then belongs to whoever runs the
    # example, who can read, move and delete it.
    os.environ.setdefault("MIVO_CONTAINER_USER", "caller")
    if setting == "never":
        say("containers: not used (--containers never)")
        return {"setting": setting, "engine": None, "built": [], "not_built": {}}
    mode, detail = exec_mode(None, scratch)
    if mode != "container":
        if setting == "always":
            raise PipelineError(f"--containers always: {detail}.\n"
                                "Start an engine (as root: scripts/engine start DIR, then "
                                "DOCKER_HOST from DIR/env) or use --containers auto", 2)
        say(f"containers: not used ({detail}; set DOCKER_HOST to an engine's socket)")
        return {"setting": setting, "engine": None, "built": [], "not_built": {}}
    engine = os.environ.get("DOCKER_HOST") or "the engine's usual socket"
    built, not_built = build_images(image_plan(registry, tools))
    say(f"containers: engine at {engine}" + (f"; built {', '.join(built)}" if built else ""))
    for reference, why in not_built.items():
        say(f"image {reference} not built: {why}", 2)
    if not_built and setting == "always":
        raise PipelineError("--containers always: the images above could not be built", 2)
    return {"setting": setting, "engine": engine, "built": built, "not_built": not_built}


def build_images(plan: dict[str, list[str]]) -> tuple[list[str], dict[str, str]]:
    """Builds every image of `plan` afresh, so that the containers run the
    programs this machine has now (an image left by an earlier run may hold
    older ones). The image a new build replaces is removed when nothing
    else uses it; a failed build leaves it in place."""
    docker = shutil.which("docker") or "docker"
    built: list[str] = []
    not_built: dict[str, str] = {}
    for reference, programs in plan.items():
        before = image_id(docker, reference)
        why = build_image(reference, programs)
        if why is not None:
            not_built[reference] = why
            continue
        built.append(reference)
        if before and before != image_id(docker, reference):
            subprocess.run([docker, "image", "rm", before], capture_output=True,
                           timeout=INSPECT_TIMEOUT)
    return built, not_built
