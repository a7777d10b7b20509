"""Confined connector calls against calling the same function in the host.

Rows:
- a warm confined call (worker running, file loaded) against the plain
  function called in the host: the difference of the medians must stay at
  or below 2 ms, reported as a ratio of that difference to 2 ms;
- the first call of a pipeline (worker start, file load, call) at or below
  150 ms, reported the same way.

    PYTHONPATH=python python3 bench/bench_confined.py
"""
from __future__ import annotations

import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.append(str(Path(__file__).resolve().parents[1] / "tests" / "support" / "host"))

from plexaro.helpers import weftling  # noqa: E402
from plexaro.node import Node  # noqa: E402

BODY = """def edge_a_to_b(output: dict) -> dict:
    records = output.get('records')
    if not (isinstance(records, str) and os.path.isdir(records)):
        return {}
    files = sorted(glob.glob(os.path.join(records, '*.fa')))
    return {'records': files, 'names': [os.path.basename(f) for f in files]}"""


class OneLLM:
    def call(self, prompt: str) -> str:
        return BODY


def connector(path: str, isolation: str):
    os.environ["PLEXARO_CONNECTORS_PATH"] = path
    os.environ["PLEXARO_CONNECTOR_ISOLATION"] = isolation
    default_llm = weftling._default_llm
    weftling._default_llm = OneLLM
    try:
        w = weftling.Weftling()
    finally:
        weftling._default_llm = default_llm
    w.generateConnector(Node("a"), Node("b"))
    return w, w.getConnector(Node("a"), Node("b"))


def seconds(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def run() -> list[tuple[str, float, float]]:
    saved = {k: os.environ.get(k) for k in ("PLEXARO_CONNECTORS_PATH", "PLEXARO_CONNECTOR_ISOLATION")}
    try:
        with tempfile.TemporaryDirectory(prefix="bench-confined-") as tmp:
            records = os.path.join(tmp, "records")
            os.makedirs(records)
            for i in range(3):
                open(os.path.join(records, f"seq_{i}.fa"), "w").close()
            data = {"records": records}
            _, plain = connector(os.path.join(tmp, "plain.py"), "off")
            w, confined = connector(os.path.join(tmp, "confined.py"), "auto")
            first = []
            for r in range(5):
                fresh, fn = connector(os.path.join(tmp, f"first{r}.py"), "auto")
                first.append(seconds(lambda: fn(data)))
                fresh._worker_stop = None
                del fresh, fn
            confined(data)
            host, worker = [], []
            for _ in range(200):   # interleaved
                host.append(seconds(lambda: plain(data)))
                worker.append(seconds(lambda: confined(data)))
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
    added = statistics.median(worker) - statistics.median(host)
    print(f"  warm call: host min {min(host) * 1e3:.3f} / median {statistics.median(host) * 1e3:.3f} ms,"
          f" confined min {min(worker) * 1e3:.3f} / median {statistics.median(worker) * 1e3:.3f} ms")
    print(f"  first call: min {min(first) * 1e3:.1f} / median {statistics.median(first) * 1e3:.1f} ms")
    return [
        ("warm confined call: added median / 2 ms", added / 0.002, 1.0),
        ("first confined call: median / 150 ms", statistics.median(first) / 0.150, 1.0),
    ]


if __name__ == "__main__":
    for name, ratio, target in run():
        print(f"{name}: ratio {ratio:.3f} (target <= {target})")
