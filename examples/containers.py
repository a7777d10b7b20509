"""Where the example's tools run: in containers when a container engine answers,
on this machine otherwise.

The local tool manager (tools/bin/mivo) runs a tool in its image when an engine
answers (DOCKER_HOST, else the engine's usual socket) and the image the tool's
registry entry names is in that engine. The example's own images
("plexaro-example/<tool>:<version>") are not in any registry: when they are
missing, they are built here from this machine's programs with
`scripts/engine image` (FROM scratch, each program with the libraries it
loads), so the containers run the same binaries the host mode would.
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


def image_present(docker: str, reference: str) -> bool:
    try:
        done = subprocess.run([docker, "image", "inspect", "--format", "{{.Id}}", reference],
                              capture_output=True, timeout=INSPECT_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return done.returncode == 0


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
    missing images. Sets MIVO_CONTAINER (and MIVO_CONTAINER_USER) for the tool
    manager; returns what the summary records."""
    setting = setting_from(option)
    os.environ["MIVO_CONTAINER"] = setting
    # Whatever a tool writes in its sandbox then belongs to whoever runs the
    # example, who can read, move and delete it.
    os.environ.setdefault("MIVO_CONTAINER_USER", "caller")
    record = {"setting": setting, "engine": None, "built": [], "not_built": {}}
    if setting == "never":
        say("containers: not used (--containers never)")
        return record
    mode, detail = exec_mode(None, scratch)
    if mode != "container":
        if setting == "always":
            raise PipelineError(f"--containers always: {detail}.\n"
                                "Start an engine (as root: scripts/engine start DIR, then "
                                "DOCKER_HOST from DIR/env) or use --containers auto", 2)
        say(f"containers: not used ({detail}; set DOCKER_HOST to an engine's socket)")
        return record
    record["engine"] = os.environ.get("DOCKER_HOST") or "the engine's usual socket"
    docker = shutil.which("docker")
    for reference, programs in image_plan(registry, tools).items():
        if image_present(docker, reference):
            continue
        why = build_image(reference, programs)
        if why is None:
            record["built"].append(reference)
        else:
            record["not_built"][reference] = why
    built = f"; built {', '.join(record['built'])}" if record["built"] else ""
    say(f"containers: engine at {record['engine']}{built}")
    for reference, why in record["not_built"].items():
        say(f"image {reference} not built: {why}", 2)
    if record["not_built"] and setting == "always":
        raise PipelineError("--containers always: the images above could not be built", 2)
    return record
