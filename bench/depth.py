"""How deep constructor calls nest before the C stack runs out: kestrum against the C heap types.

python bench/depth.py [--quick] [--json FILE]

A class whose `__float__` constructs again (`Sphere(Deeper())`, where `Deeper.__float__` calls
`Sphere(Deeper())` until N calls have nested, then returns 1.0) runs in a fresh interpreter, on a
thread with an 8 MiB stack and a recursion limit of 10**6, so that the C stack is what runs out.
The largest N that completes is found by bisection over such processes: one that dies by a
signal, or whose outermost call raises RecursionError or MemoryError, went too deep. From 3.14
the interpreter measures its stack itself and raises RecursionError before it overflows; the
depth reached is reported either way. Four roads, for kestrum (whatever `import kestrum` finds)
and for `capi_heap_vectorcall` (bench/peers/capi.c, built by bench/builder.py).
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
from pathlib import Path

import builder
import timing

CONTROL = "capi_heap_vectorcall"
ROADS = {
    "positional": "Sphere(Deeper())",
    "keyword": "Sphere(radius=Deeper())",
    "__new__": "Sphere.__new__(Sphere, Deeper())",
    "Cuboid": "Cuboid([Deeper(), 1.0, 1.0])",
}
CAP = 1 << 18  # far beyond what 8 MiB holds at any road's frame size
NESTED = """\
import sys, threading
sys.path[:] = {path!r}
from {module} import Cuboid, Sphere

calls = 0

class Deeper:
    def __float__(self):
        global calls
        calls += 1
        if calls < {n}:
            {call}
        return 1.0

def nest():
    try:
        {call}
        outcome.append("ok" if calls == {n} else f"stopped after {{calls}} calls")
    except (RecursionError, MemoryError) as e:
        outcome.append(f"too deep: {{type(e).__name__}}")
    except BaseException as e:
        outcome.append(f"{{type(e).__name__}}: {{e}}")

outcome = []
sys.setrecursionlimit(10**6)
threading.stack_size(8 << 20)
thread = threading.Thread(target=nest)
thread.start()
thread.join()
print(*outcome)
"""


class RigError(Exception):
    """A child that failed in a way that says nothing about the stack."""


def no_core_dump() -> None:
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def fits(module: str, path: list[str], call: str, n: int) -> bool:
    """Whether `n` nested calls of `call` complete in a fresh interpreter."""
    code = NESTED.format(path=path, module=module, call=call, n=n)
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, preexec_fn=no_core_dump
    )
    if proc.returncode < 0:
        return False  # killed by a signal: the stack overflowed
    said = proc.stdout.strip()
    if proc.returncode == 0 and said == "ok":
        return True
    if proc.returncode == 0 and said.startswith("too deep"):
        return False
    raise RigError(f"{module}, {call}, N = {n}: {said or proc.stderr.strip()[-500:]}")


def deepest(module: str, path: list[str], call: str, resolution: int) -> int:
    """The largest N that fits, to within `resolution` (the N returned always fits)."""
    low, high = 0, 1000
    while high < CAP and fits(module, path, call, high):
        low, high = high, high * 2
    if high >= CAP:
        return low
    while high - low > resolution:
        middle = (low + high) // 2
        if fits(module, path, call, middle):
            low = middle
        else:
            high = middle
    return low


def commit() -> str:
    out = subprocess.run(
        ["git", "rev-parse", "--short", "HEAD"], cwd=builder.BENCH, capture_output=True, text=True
    )
    return out.stdout.strip() or "?"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", help="bisect only to within 250 levels (for CI)"
    )
    parser.add_argument(
        "--resolution", type=int, default=0, help="levels to bisect to (default 1; 250 if --quick)"
    )
    parser.add_argument("--json", type=Path, metavar="FILE", help="also write the results here")
    args = parser.parse_args()
    resolution = args.resolution or (250 if args.quick else 1)

    peer = next(p for p in builder.PEER_LIST if p.name == CONTROL)
    builder.ensure_built(peer)
    if peer.status == "missing":
        print(f"depth.py: {CONTROL}: {peer.reason}", file=sys.stderr)
        return 1
    import kestrum  # the module under test: the children import the same one

    subjects = {
        "kestrum": ("kestrum", sys.path),
        CONTROL: (peer.module, [str(builder.BUILD), *sys.path]),
    }
    version = sys.version.split()[0]
    print(f"CPython {version}, kestrum from {kestrum.__file__}")
    print(f"nested constructor calls that fit in an 8 MiB thread stack (to within {resolution})")
    rows = []
    try:
        for road, call in ROADS.items():
            depth = {name: deepest(*where, call, resolution) for name, where in subjects.items()}
            rows.append({"road": road, "call": call, **depth})
    except RigError as e:
        print(f"depth.py: {e}", file=sys.stderr)
        return 1

    table = [["road", "kestrum", CONTROL, "kestrum / control"]]
    for row in rows:
        ratio = f"{row['kestrum'] / row[CONTROL]:.2f}" if row[CONTROL] else "-"
        table.append([row["call"], f"{row['kestrum']:,}", f"{row[CONTROL]:,}", ratio])
    timing.print_aligned(table)
    if args.json:
        facts = {"python": version, "commit": commit(), "kestrum": kestrum.__file__}
        args.json.write_text(
            json.dumps({**facts, "resolution": resolution, "rows": rows}, indent=2)
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
