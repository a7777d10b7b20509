"""The private container engine of a test run, and small tool images for it.

`scripts/engine start DIR` starts Debian's docker.io daemon (no bridge, no
iptables, a closed loopback proxy) with Debian's docker-registry on 127.0.0.1
as its only registry mirror; `bash scripts/test` does that and exports
PLEXARO_DOCKER_HOST and PLEXARO_REGISTRY_MIRROR for the tests. Only that
engine is ever used: a DOCKER_HOST of the developer's own is never taken, so
no test can make an engine reach past this machine.

Images are built without any registry by `scripts/engine image`: FROM
scratch, a static busybox with its applets (a shell and `find`), plus a
Debian tool's binary with every library `ldd` lists.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import uuid
from dataclasses import dataclass, field
from pathlib import Path

HOST_VARIABLE = "PLEXARO_DOCKER_HOST"
MIRROR_VARIABLE = "PLEXARO_REGISTRY_MIRROR"
ENGINE_SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "engine"
BUSYBOX_IMAGE = "plexaro-test/busybox:1"
TOOL_IMAGES = {"samtools": "plexaro-test/samtools:1", "bcftools": "plexaro-test/bcftools:1"}
# Applies to one engine command; an import of a ~10 MB image takes about a second.
COMMAND_TIMEOUT = 120


class EngineUnavailable(Exception):
    """Why the tests that need the engine are skipped."""


def unavailable_reason() -> str | None:
    """None when the test engine can be used, else a reason for a skip."""
    if os.geteuid() != 0:
        return "not root: the container engine runs only as root"
    host = os.environ.get(HOST_VARIABLE, "")
    if not host:
        return (f"no test container engine ({HOST_VARIABLE} unset): run `bash scripts/test`, "
                "or `scripts/engine start DIR` and export the variables of DIR/env")
    client = shutil.which("docker")
    if client is None:
        return "no docker client on PATH"
    try:
        done = subprocess.run([client, "info", "--format", "{{.ServerVersion}}"],
                              env={**os.environ, "DOCKER_HOST": host}, capture_output=True,
                              text=True, timeout=30)
    except subprocess.TimeoutExpired:
        return f"the test container engine at {host} did not answer within 30 s"
    if done.returncode != 0:
        return f"the test container engine at {host} does not answer: {done.stderr.strip()[:300]}"
    return None


@dataclass
class Engine:
    host: str                 # unix://.../docker.sock
    mirror: str               # 127.0.0.1:PORT, the engine's registry mirror
    client: str               # the docker client used by the tests
    _built: dict = field(default_factory=dict)

    @classmethod
    def from_environment(cls) -> "Engine":
        reason = unavailable_reason()
        if reason:
            raise EngineUnavailable(reason)
        return cls(os.environ[HOST_VARIABLE], os.environ.get(MIRROR_VARIABLE, ""),
                   shutil.which("docker"))

    @property
    def env(self) -> dict:
        """Process environment that reaches this engine (and no other)."""
        env = dict(os.environ)
        env["DOCKER_HOST"] = self.host
        env.pop("DOCKER_CONTEXT", None)
        env["DOCKER_BUILDKIT"] = "0"
        return env

    def apply(self, monkeypatch) -> None:
        """Point this test's docker commands (and the layer's) at the engine."""
        monkeypatch.setenv("DOCKER_HOST", self.host)
        monkeypatch.delenv("DOCKER_CONTEXT", raising=False)

    def docker(self, *args: str, input: bytes | None = None, check: bool = True,
               timeout: float = COMMAND_TIMEOUT) -> subprocess.CompletedProcess:
        done = subprocess.run([self.client, *args], input=input, env=self.env,
                              capture_output=True, timeout=timeout)
        if check and done.returncode != 0:
            raise AssertionError(f"docker {' '.join(args)} failed ({done.returncode}): "
                                 f"{done.stderr.decode(errors='replace')[:2000]}")
        return done

    def has_image(self, reference: str) -> bool:
        return self.docker("image", "inspect", reference, check=False).returncode == 0

    def run(self, image: str, *command: str, mounts: dict | None = None,
            check: bool = True) -> subprocess.CompletedProcess:
        """A container run the way every test run must be: local image only (--pull=never), no network."""
        args = ["run", "--rm", "--pull=never", "--network", "none"]
        for source, target in (mounts or {}).items():
            args += ["-v", f"{source}:{target}"]
        return self.docker(*args, image, *command, check=check)

    # --- images ----------------------------------------------------------------------

    def build_image(self, reference: str, *programs: str) -> str:
        """`scripts/engine image`: busybox plus `programs` with their libraries."""
        done = subprocess.run(["bash", str(ENGINE_SCRIPT), "image", reference, *programs],
                              env=self.env, capture_output=True, text=True,
                              timeout=COMMAND_TIMEOUT)
        if done.returncode != 0:
            raise AssertionError(f"image {reference} not built: {done.stderr[-2000:]}")
        return reference

    def busybox_image(self) -> str:
        """A FROM-scratch image holding only a static busybox."""
        if BUSYBOX_IMAGE not in self._built:
            self._built[BUSYBOX_IMAGE] = self.build_image(BUSYBOX_IMAGE)
        return self._built[BUSYBOX_IMAGE]

    def tool_image(self, tool: str) -> str:
        """An image of a Debian tool (samtools, bcftools) beside busybox."""
        reference = TOOL_IMAGES[tool]
        if reference not in self._built:
            self._built[reference] = self.build_image(reference, tool)
        return self._built[reference]

    def unique_image(self, reference: str, marker: str) -> str:
        """A busybox image with the file /marker holding `marker`: an image id
        of its own, which a test may remove without touching the others."""
        container = f"plexaro-test-{uuid.uuid4().hex[:12]}"
        self.docker("run", "--name", container, "--pull=never", "--network", "none",
                    self.busybox_image(), "sh", "-c", 'echo "$0" > /marker', marker)
        try:
            self.docker("commit", container, reference)
        finally:
            self.docker("rm", container, check=False)
        return reference

    def remove_images(self, *references: str) -> None:
        for reference in references:
            self.docker("rmi", "--force", reference, check=False)
            self._built.pop(reference, None)


def write_hello_world(engine: Engine) -> str:
    """Publish `library/hello-world` on the engine's loopback mirror (a
    busybox image under that name), then drop the local copy, so that a
    `docker pull hello-world` must go through the mirror. Returns the name
    it was pushed under."""
    if not engine.mirror:
        raise EngineUnavailable(f"the test engine has no registry mirror ({MIRROR_VARIABLE} unset)")
    pushed = f"{engine.mirror}/library/hello-world:latest"
    engine.docker("tag", engine.busybox_image(), pushed)
    engine.docker("push", pushed)
    engine.docker("rmi", pushed)
    engine.docker("rmi", "--force", "hello-world", check=False)
    return pushed

