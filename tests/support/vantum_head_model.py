"""The description built the plain way: one `head` process per file,
os.walk and the host's repr. Tests compare the module against it on trees
where `head` is quick, so every rule and text is checked against an
independent construction."""
from __future__ import annotations

import os
import subprocess


def describe_dir(label, d, lines):
    found = []
    for root, _dirs, files in os.walk(d):
        for f in files:
            found.append(os.path.join(root, f))
    found = sorted(found)[:30]
    rel = [os.path.relpath(p, d) for p in found]
    lines.append(f"  {label} = {d!r}  [directory, files: {rel!r}]")
    for p, r in zip(found, rel):
        try:
            out = subprocess.run(["head", "-n", "3", p], capture_output=True,
                                 text=True, timeout=3).stdout.strip()
            if out:
                lines.append(f"    {r!r}: {out[:200]}")
        except Exception:
            pass


def build(data, header="ACTUAL UPSTREAM OUTPUT at runtime:"):
    lines = [header]
    for k, v in data.items():
        if isinstance(v, str) and os.path.isdir(v):
            describe_dir(k, v, lines)
        elif isinstance(v, str) and os.path.isfile(v):
            lines.append(f"  {k} = {v!r}  [file, size: {os.path.getsize(v)} bytes]")
            try:
                out = subprocess.run(["head", "-n", "5", v], capture_output=True,
                                     text=True, timeout=3).stdout.strip()
                if out:
                    lines.append("    first 5 lines:\n      " + out[:400])
            except Exception:
                pass
        elif (isinstance(v, list) and v
              and all(isinstance(x, str) and os.path.isdir(x) for x in v)):
            lines.append(f"  {k} = list of {len(v)} directories:")
            for i, x in enumerate(v):
                describe_dir(f"{k}[{i}]", x, lines)
        elif isinstance(v, list) and v and isinstance(v[0], str) and os.path.isfile(v[0]):
            lines.append(f"  {k} = list of {len(v)} files, e.g. {v[:3]!r}")
        else:
            lines.append(f"  {k} = {repr(v)[:120]}")
    return "\n".join(lines)
