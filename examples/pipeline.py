"""Smoke run: import every built module and evaluate a branch condition."""
import importlib

MODULES = ["condition", "fetchkin", "mivo", "promptel", "vantum", "weftling"]

for name in MODULES:
    try:
        importlib.import_module(f"plexaro.helpers.{name}")
        print(f"plexaro.helpers.{name}: loaded")
    except ImportError as exc:
        print(f"plexaro.helpers.{name}: not available ({exc})")

from plexaro.helpers.condition import Condition  # noqa: E402

reads = 1200
branch = Condition(">=", 1000)
print(f"Condition('>=', 1000).check({reads}) -> {branch.check(reads)}")
