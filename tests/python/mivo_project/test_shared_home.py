"""Two workers of one pipeline on one pipeline volume: every rewrite of the
project files (the tool manager's and the prune's) is serialised by the lock
in the project home, so no write is torn and none is lost."""
import fcntl
import json
import os
import subprocess
import sys
import threading
import time
import tomllib
from pathlib import Path

import pytest

from plexaro.helpers import mivo
from support.standins import calls, write_program

ROUNDS = 50

# A tool manager that, like a real one, takes a while between reading the
# project files and writing them back (resolving images), and writes them in
# place.
MIVO = """
import time, tomllib, tomli_w

def load(name):
    try:
        with open(name, "rb") as handle:
            return tomllib.load(handle)
    except FileNotFoundError:
        return {}

def save(name, document):
    with open(name, "wb") as handle:
        tomli_w.dump(document, handle)

words = sys.argv[1:]
manifest, lock = load("mivo.toml"), load("mivo.lock")
time.sleep(0.02)
if words[0] == "add":
    for name in words[1:]:
        manifest.setdefault("tools", {})[name] = {"image": "example/" + name + ":1"}
        lock.setdefault("tools", {})[name] = {"image_reference": "example/" + name + ":1"}
    save("mivo.toml", manifest)
    save("mivo.lock", lock)
elif words[0] == "sync":
    lock["tools"] = {name: {"image_reference": entry["image"]}
                     for name, entry in manifest.get("tools", {}).items()}
    save("mivo.lock", lock)
"""

# One worker: each round it records the round in its own table of
# mivo.toml (as a host that edits the project would: under the project lock,
# through a rename), adds the pipeline's two tools and syncs; every other
# round another object first adds a tool of no pipeline, which the sync
# prunes. Prints the warnings it logged and how many prunes rewrote a file.
WORKER = """
import fcntl, json, logging, os, sys, tomllib
import tomli_w
from plexaro.helpers import mivo

home = os.path.join(os.environ["PIPELINE_VOLUME_PATH"], ".mivo_home")
me = sys.argv[2]
lost = []  # earlier rounds of this worker that a rewrite wrote over

def record_round(number):
    with open(os.path.join(home, ".plexaro-project.lock"), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        path = os.path.join(home, "mivo.toml")
        with open(path, "rb") as handle:
            document = tomllib.load(handle)
        mine = document.setdefault("workers", {})
        if number and mine.get(me) != {"round": number - 1}:
            lost.append(f"round {number}: found {mine.get(me)}")
        mine[me] = {"round": number}
        with open(path + "." + me, "wb") as handle:
            tomli_w.dump(document, handle)
        os.replace(path + "." + me, path)

class Keep(logging.Handler):
    def __init__(self):
        super().__init__()
        self.seen = []
    def emit(self, record):
        self.seen.append((record.levelname, record.getMessage()))

keep = Keep()
log = logging.getLogger("plexaro.helpers.mivo")
log.addHandler(keep)
log.setLevel(logging.INFO)

def manager():
    m = mivo.MIVO()
    m._image_cache = ""  # the image cache is not what is tested here
    return m

pipeline, stranger = manager(), manager()
pipeline.add("echoer", "copier")
for round in range(int(sys.argv[1])):
    record_round(round)
    if round % 2 == 0:
        stranger.add("stranger-tool")
    pipeline.add("echoer", "copier")
    pipeline.sync()
print(json.dumps({
    "warnings": [m for level, m in keep.seen if level != "INFO"],
    "lost": lost,
    "prunes": sum(m.startswith("Pruned stale tools") for _, m in keep.seen),
}))
"""


def parse_under_the_lock(home: Path, problems: list, stop: threading.Event):
    """Reads both project files whenever the lock is free, as a third party would."""
    lock_path = home / ".plexaro-project.lock"
    while not stop.is_set():
        time.sleep(0.005)  # leave the workers room to take the lock
        if not lock_path.exists():
            continue
        with open(lock_path, "rb") as handle:
            fcntl.flock(handle, fcntl.LOCK_EX)
            try:
                for name in ("mivo.toml", "mivo.lock"):
                    path = home / name
                    if path.exists():
                        try:
                            tomllib.loads(path.read_text())
                        except tomllib.TOMLDecodeError as error:
                            problems.append(f"{name}: {error}")
            finally:
                fcntl.flock(handle, fcntl.LOCK_UN)


@pytest.mark.slow
def test_two_workers_lose_no_project_write(stand_in_dir, tmp_path, monkeypatch):
    write_program(stand_in_dir, "mivo", MIVO)
    vol = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    home = vol / ".mivo_home"
    home.mkdir(parents=True)
    script = tmp_path / "worker.py"
    script.write_text(WORKER)
    # The workers import the same package as this test.
    package_root = str(Path(mivo.__file__).resolve().parents[2])
    env = {**os.environ, "PYTHONPATH": package_root}

    problems, stop = [], threading.Event()
    watcher = threading.Thread(target=parse_under_the_lock, args=(home, problems, stop))
    watcher.start()
    try:
        workers = [subprocess.Popen([sys.executable, str(script), str(ROUNDS), name], env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                   for name in ("w1", "w2")]
        results = [worker.communicate(timeout=600) for worker in workers]
    finally:
        stop.set()
        watcher.join(60)

    for worker, (out, err) in zip(workers, results):
        assert worker.returncode == 0, err[-2000:]
    reports = [json.loads(out) for out, _ in results]
    assert [report["warnings"] for report in reports] == [[], []]
    assert [report["lost"] for report in reports] == [[], []]
    assert sum(report["prunes"] for report in reports) > 0  # the prune did rewrite
    assert problems == []
    manifest = tomllib.loads((home / "mivo.toml").read_text())
    # Each worker's last round is still recorded: no rewrite wrote over it
    # from an older read.
    assert manifest["workers"] == {"w1": {"round": ROUNDS - 1}, "w2": {"round": ROUNDS - 1}}
    for document in (manifest, tomllib.loads((home / "mivo.lock").read_text())):
        assert set(document["tools"]) == {"echoer", "copier"}
    assert not list(home.glob(".mivo.*.tmp"))
    assert [c["argv"][0] for c in calls(stand_in_dir, "mivo")].count("sync") == 2 * ROUNDS
