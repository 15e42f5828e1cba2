"""`import kestrum` against the hand-written C heap types, and the size of kestrum's module.

python bench/startup.py [--runs 30] [--json FILE]

Each run is a fresh interpreter that times one import with `time.perf_counter_ns` around it (the
interpreter's own start-up is outside the clock); kestrum and the C reference take turns, run by
run, so the machine's drift meets both alike. Reported: the best run of each, which is the cost
with the least interference from other work, and their ratio. kestrum is the installed module
(the wheel's, when a wheel is installed); the reference is `capi_heap_vectorcall`, heap types
made by `PyType_FromSpec` as kestrum's are (see README.md), built by bench/builder.py.

The module's size is given as installed and stripped of its symbol tables (`strip`), with its
dynamic relocations and the shared libraries it asks the loader for (`readelf`): what the loader
maps, fixes up and opens at import.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import builder

HEAP = "capi_heap_vectorcall"
TIMED = """\
import sys, time
sys.path.insert(0, {path!r})
start = time.perf_counter_ns()
import {module}
print(time.perf_counter_ns() - start)
"""


def import_ns(module: str, path: str) -> int:
    code = TIMED.format(module=module, path=path)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout)


def module_facts(path: Path) -> dict:
    with tempfile.TemporaryDirectory() as work:
        stripped = Path(work) / path.name
        subprocess.run(["strip", "-o", str(stripped), str(path)], check=True)
        stripped_size = stripped.stat().st_size
    relocations = subprocess.run(
        ["readelf", "--relocs", "--wide", str(path)], capture_output=True, text=True, check=True
    ).stdout
    dynamic = subprocess.run(
        ["readelf", "--dynamic", str(path)], capture_output=True, text=True, check=True
    ).stdout
    return {
        "size": path.stat().st_size,
        "stripped": stripped_size,
        "relocations": sum(" R_" in line for line in relocations.splitlines()),
        "needed": [
            line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line
        ],
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()

    peer = next(p for p in builder.PEER_LIST if p.name == HEAP)
    builder.ensure_built(peer)
    if peer.status == "missing":
        print(f"startup.py: {HEAP}: {peer.reason}", file=sys.stderr)
        return 1
    import kestrum  # the module under test, found as the fresh processes will find it

    subjects = {"kestrum": ("kestrum", os.devnull), HEAP: (peer.module, str(builder.BUILD))}
    samples: dict[str, list[int]] = {name: [] for name in subjects}
    for run in range(args.runs):
        # Alternate which goes first, so that neither always follows the other.
        order = list(subjects) if run % 2 == 0 else list(reversed(subjects))
        for name in order:
            samples[name].append(import_ns(*subjects[name]))

    best = {name: min(values) for name, values in samples.items()}
    facts = module_facts(Path(kestrum.__file__))
    print(f"CPython {sys.version.split()[0]}, best of {args.runs} fresh processes, interleaved")
    rows = [
        ("import kestrum", f"{best['kestrum'] / 1000:.0f} µs"),
        (f"import {HEAP}", f"{best[HEAP] / 1000:.0f} µs"),
        ("ratio", f"{best['kestrum'] / best[HEAP]:.2f}"),
        ("module, as installed", f"{facts['size']:,} bytes"),
        ("module, stripped", f"{facts['stripped']:,} bytes"),
        ("dynamic relocations", f"{facts['relocations']:,}"),
        ("libraries it needs", ", ".join(facts["needed"])),
    ]
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"  {label:<{width}}  {value}")
    if args.json:
        args.json.write_text(
            json.dumps({"samples_ns": samples, "best_ns": best, **facts}, indent=2)
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
