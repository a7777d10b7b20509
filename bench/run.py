"""Run every benchmark under bench/ and print one table of ratios.

Each bench/bench_<area>.py measures this layer against a baseline written in
plain Python in the same run and returns (name, ratio, target) rows, where
ratio = layer time / baseline time and a row meets its target when
ratio <= target.

    PYTHONPATH=python python3 bench/run.py          # developer build
    python3 bench/run.py                             # installed package
"""
from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def load(path: Path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main(argv: list[str]) -> int:
    wanted = set(argv)
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        area = path.stem.removeprefix("bench_")
        if wanted and area not in wanted:
            continue
        print(f"running {path.name} ...", flush=True)
        for name, ratio, target in load(path).run():
            rows.append((area, name, ratio, target))

    width = max((len(r[1]) for r in rows), default=10)
    print()
    print(f"{'area':<10} {'benchmark':<{width}} {'ratio':>8} {'target':>8}  result")
    failed = 0
    for area, name, ratio, target in rows:
        ok = ratio <= target
        failed += not ok
        print(f"{area:<10} {name:<{width}} {ratio:>8.3f} {'<= ' + format(target, 'g'):>8}  "
              f"{'met' if ok else 'MISSED'}")
    print(f"\n{len(rows) - failed} met, {failed} missed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
