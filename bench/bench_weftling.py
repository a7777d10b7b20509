"""Weftling's connector store against the same flow written plainly in Python.

The plain flow reads the whole connectors file for every existence check and
every write, cleans the reply with `ast`, rewrites the file through a
temporary file, and loads the whole file as a module after every write.
Both sides talk to the same instant stand-in LLM.

Rows:
- one new edge at 5,000 stored connectors against one new edge at 10
  (the layer against itself: the cost per edge must not grow with the file);
- a 300-edge pipeline (generate, load and call each connector) against the
  plain flow.

    PYTHONPATH=python python3 bench/bench_weftling.py
"""
from __future__ import annotations

import ast
import importlib.util
import os
import re
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

# The host's node classes: the stand-ins the tests use (the real ones belong
# to the plexaro application).
sys.path.append(str(Path(__file__).resolve().parents[1] / "tests" / "support" / "host"))

from plexaro.helpers import weftling  # noqa: E402
from plexaro.node import Node  # noqa: E402

HEADER = "# Auto-generated connector functions\nimport os\nimport json\nimport glob\nimport tempfile\n"
RULES = "You are a Python coding agent. " * 150   # a prompt of the usual size

BODY = """def {name}(output: dict) -> dict:
    records = output.get('records')
    if not (isinstance(records, str) and os.path.isdir(records)):
        return {{}}
    files = sorted(glob.glob(os.path.join(records, '**', '*.fa'), recursive=True))
    names = [re.sub(r'\\W', '_', os.path.basename(f)) for f in files]
    return {{'records': files, 'names': names}} if files else {{}}"""


class InstantLLM:
    """Writes the functions the prompt's last line asks for."""

    def call(self, prompt: str) -> str:
        names = prompt.rsplit(": ", 1)[1].rstrip(".").split(", ")
        return "```python\n" + "\n\n".join(BODY.format(name=n) for n in names) + "\n```"


# --- the plain flow -------------------------------------------------------------

class PlainStore:
    def __init__(self, path: str, llm) -> None:
        self.path, self.llm, self.lock, self.module = path, llm, threading.Lock(), None
        self.edges: dict = {}
        with open(path, "w") as f:
            f.write(HEADER)

    def generate(self, up, down) -> str:
        ups = list(getattr(down, "inNodes", None) or [])
        if up not in ups:
            ups.append(up)
        missing = []
        for u in ups:
            name = f"edge_{u.id}_to_{down.id}"
            with self.lock:
                with open(self.path) as f:
                    exists = re.search(rf"^def {re.escape(name)}\(", f.read(), re.M)
            if exists:
                self.edges[(u.id, down.id)] = name
            else:
                missing.append(name)
        if missing:
            prompt = RULES + "Write all 1 function(s) with these exact names: " + ", ".join(missing) + "."
            code = clean(self.llm.call(prompt))
            with self.lock:
                with open(self.path) as f:
                    text = f.read()
                for name in missing:
                    text = re.sub(rf"def {re.escape(name)}\(.*?\n(?=def |\Z)", "", text, flags=re.S)
                write_replacing(self.path, text.rstrip() + "\n\n" + code + "\n")
                self.module = None
            for name in missing:
                self.edges[(up.id, down.id)] = name
        return f"edge_{up.id}_to_{down.id}"

    def get(self, up, down):
        name = self.edges.get((up.id, down.id))
        if name is None:
            return None
        with self.lock:
            if self.module is None:
                spec = importlib.util.spec_from_file_location("connectors", self.path)
                module = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(module)
                self.module = module
        return getattr(self.module, name)


def clean(reply: str) -> str:
    raw = re.sub(r"\n?```$", "", re.sub(r"^```[a-zA-Z]*\n?", "", reply.strip()))
    lines = raw.splitlines()
    for i, line in enumerate(lines):
        if line.strip().startswith("def "):
            raw = "\n".join(lines[i:])
            break
    tree = ast.parse(raw)
    drop = {i for s in tree.body if isinstance(s, (ast.Import, ast.ImportFrom))
            for i in range(s.lineno - 1, s.end_lineno)}
    raw = "\n".join(l for i, l in enumerate(raw.splitlines()) if i not in drop)
    tree = ast.parse(raw)
    lines = raw.splitlines()
    for fn in reversed([s for s in tree.body if isinstance(s, ast.FunctionDef)]):
        used = {n.id for n in ast.walk(fn) if isinstance(n, ast.Name)}
        missing = sorted((used & sys.stdlib_module_names) - {"os", "json", "glob", "tempfile"})
        indent = " " * fn.body[0].col_offset
        lines[fn.lineno:fn.lineno] = [f"{indent}import {m}" for m in missing]
    return "\n".join(lines)


def write_replacing(path: str, text: str) -> None:
    fd, partial = tempfile.mkstemp(dir=os.path.dirname(path), suffix=".tmp")
    with os.fdopen(fd, "w") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(partial, path)


# --- the workloads ----------------------------------------------------------------

def layer_store(path: str):
    os.environ["PLEXARO_CONNECTORS_PATH"] = path
    default_llm = weftling._default_llm
    weftling._default_llm = InstantLLM   # no vendor client is needed here
    try:
        w = weftling.Weftling()
    finally:
        weftling._default_llm = default_llm

    class Store:
        def generate(self, up, down):
            return w.generateConnector(up, down)

        def get(self, up, down):
            return w.getConnector(up, down)

    return Store()


def pipeline(store, edges: int, data) -> None:
    nodes = [Node(f"n{i}") for i in range(edges + 1)]
    for up, down in zip(nodes, nodes[1:]):
        down.inNodes = [up]
        store.generate(up, down)
        store.get(up, down)(data)


def seconds(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def per_new_edge(directory: str, stored: int, data, edges: int = 15) -> float:
    """Median time of one new edge (generate, load, call) with `stored` connectors in the file."""
    path = os.path.join(directory, f"store{stored}.py")
    store = layer_store(path)
    with open(path, "a") as f:
        f.write("".join("\n" + BODY.format(name=f"edge_s{i}_to_t{i}") + "\n" for i in range(stored)))
    pipeline(store, 1, data)   # first sight of the filled file: indexed and loaded once
    times = []
    for i in range(edges):
        up, down = Node(f"x{i}"), Node(f"y{i}")
        times.append(seconds(lambda: (store.generate(up, down), store.get(up, down)(data))))
    return statistics.median(times)


def run() -> list[tuple[str, float, float]]:
    previous = os.environ.get("PLEXARO_CONNECTORS_PATH")
    with tempfile.TemporaryDirectory(prefix="bench-weftling-") as tmp:
        records = os.path.join(tmp, "records")
        os.makedirs(records)
        for i in range(3):
            open(os.path.join(records, f"seq_{i}.fa"), "w").close()
        data = {"records": records}
        try:
            small, large = [], []
            for _ in range(3):   # interleaved rounds
                small.append(per_new_edge(tmp, 10, data))
                large.append(per_new_edge(tmp, 5000, data))
            layer, plain = [], []
            for r in range(3):
                layer.append(seconds(lambda: pipeline(layer_store(os.path.join(tmp, f"l{r}.py")), 300, data)))
                plain.append(seconds(lambda: pipeline(PlainStore(os.path.join(tmp, f"p{r}.py"), InstantLLM()),
                                                      300, data)))
        finally:
            if previous is None:
                os.environ.pop("PLEXARO_CONNECTORS_PATH", None)
            else:
                os.environ["PLEXARO_CONNECTORS_PATH"] = previous
    print(f"  one new edge: at 10 stored min {min(small) * 1e3:.2f} / median {statistics.median(small) * 1e3:.2f} ms,"
          f" at 5000 stored min {min(large) * 1e3:.2f} / median {statistics.median(large) * 1e3:.2f} ms")
    print(f"  300-edge pipeline: layer min {min(layer):.2f} / median {statistics.median(layer):.2f} s,"
          f" plain min {min(plain):.2f} / median {statistics.median(plain):.2f} s")
    return [
        ("one new edge at 5000 stored / at 10 stored", statistics.median(large) / statistics.median(small), 2.0),
        ("300-edge pipeline", statistics.median(layer) / statistics.median(plain), 0.5),
    ]


if __name__ == "__main__":
    for name, ratio, target in run():
        print(f"{name}: ratio {ratio:.3f} (target <= {target})")
