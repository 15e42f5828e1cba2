"""The measured operations and the interleaved tight-loop timer."""

from __future__ import annotations

import gc
import json
import os
import platform
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

# Each loop iteration runs the statement this many times, so the loop's own cost is small next to
# the statement's and the baseline subtraction removes little.
UNROLL = 10

RAISES_TYPEERROR = "try:\n    {}\nexcept TypeError:\n    pass"


@dataclass(frozen=True)
class Op:
    label: str  # how the table shows it
    stmt: str  # what the loop runs; free names come from setup
    setup: Callable[[object], dict]  # implementation module -> the loop's local names
    baseline: str = "pass"  # the statement of the same shape whose cost is subtracted
    heavy: bool = False  # one call takes milliseconds: no unrolling, counts start at 1
    skip: tuple[str, ...] = ()  # implementations this op does not run on

    @property
    def unroll(self) -> int:
        return 1 if self.heavy else UNROLL


def _cls(name):
    return lambda m: {name: getattr(m, name)}


def _cuboid(sides: list | tuple) -> Op:
    """Cuboid from a sequence built once, outside the loop: only the conversion is timed."""
    return Op(f"Cuboid({sides!r})", "Cuboid(sides)", lambda m: {"Cuboid": m.Cuboid, "sides": sides})


BIG_SIDES = 10_000_000
_big_sides: list[float] = []


def big_sides() -> list[float]:
    """10 million distinct floats, built once per process and shared by every implementation."""
    if not _big_sides:
        _big_sides.extend(map(float, range(1, BIG_SIDES + 1)))
    return _big_sides


OPS = [
    Op("Cylinder(2.0, 6.0)", "Cylinder(2.0, 6.0)", _cls("Cylinder")),
    Op("Cylinder(2, 6)", "Cylinder(2, 6)", _cls("Cylinder")),
    Op("Cylinder(radius=2.0, length=6.0)", "Cylinder(radius=2.0, length=6.0)", _cls("Cylinder")),
    Op("c.radius()", "c.radius()", lambda m: {"c": m.Cylinder(2.0, 6.0)}),
    Op("c.half_length()", "c.half_length()", lambda m: {"c": m.Cylinder(2.0, 6.0)}),
    Op("Sphere(1.5)", "Sphere(1.5)", _cls("Sphere")),
    Op("Capsule(1.0, 4.0)", "Capsule(1.0, 4.0)", _cls("Capsule")),
    *(_cuboid(sides) for sides in ([2.0, 4.0, 6.0], (2.0, 4.0, 6.0), [2, 4, 6], (2, 4, 6))),
    Op('PyMesh("a/b/c.obj")', 'PyMesh("a/b/c.obj")', _cls("PyMesh")),
    Op("m.mesh_path", "m.mesh_path", lambda m: {"m": m.PyMesh("a/b/c.obj")}),
    Op(
        'Sphere("x") -> TypeError',
        RAISES_TYPEERROR.format('Sphere("x")'),
        _cls("Sphere"),
        baseline=RAISES_TYPEERROR.format("pass"),
    ),
    # The conversion loop at scale; pure Python would take seconds per call, so it sits this out.
    Op(
        "Cuboid(10M floats)",
        "Cuboid(sides)",
        lambda m: {"Cuboid": m.Cuboid, "sides": big_sides()},
        heavy=True,
        skip=("python",),
    ),
]


def compile_loop(stmt: str, names: list[str], unroll: int = UNROLL) -> Callable[..., int]:
    """A function (n, *values) -> elapsed ns of n iterations of `stmt` repeated `unroll` times.

    The values arrive as arguments, so the statement reads them as fast locals.
    """
    body = "".join("        " + line + "\n" for _ in range(unroll) for line in stmt.splitlines())
    params = "".join(f", {n}" for n in names)
    src = (
        f"def loop(_n{params}, _timer=_timer, _range=range):\n"
        f"    _t0 = _timer()\n"
        f"    for _ in _range(_n):\n"
        f"{body}"
        f"    return _timer() - _t0\n"
    )
    namespace = {"_timer": time.perf_counter_ns}
    exec(compile(src, f"<loop {stmt.splitlines()[0]!r}>", "exec"), namespace)
    return namespace["loop"]


@dataclass
class Cell:
    """The samples of one implementation on one op (ns per statement, baseline not subtracted)."""

    loop: Callable[..., int]
    args: tuple
    unroll: int = UNROLL
    n: int = 0
    samples: list[float] = field(default_factory=list)
    error: str = ""

    def sample(self) -> None:
        self.samples.append(self.loop(self.n, *self.args) / (self.n * self.unroll))


def calibrate(cell: Cell, target_ns: float, first_n: int = 16) -> None:
    """Picks the iteration count that makes one sample take about `target_ns`."""
    n = first_n
    while True:
        elapsed = cell.loop(n, *cell.args)
        if elapsed >= target_ns / 8 or n >= 1 << 24:
            break
        n *= 4
    cell.n = max(1, int(n * target_ns / max(elapsed, 1)))


def prepare(op: Op, module) -> Cell:
    """The loop of `op` over `module`'s classes, run once; a failure is kept in `error`."""
    try:
        values = op.setup(module)
        loop = compile_loop(op.stmt, list(values), op.unroll)
        cell = Cell(loop, tuple(values.values()), op.unroll)
        cell.loop(1, *cell.args)  # fails here, not halfway through a measurement
        return cell
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # a kestrum PanicException derives from BaseException
        return Cell(lambda *a: 0, (), error=f"{type(e).__name__}: {e}")


def measure(
    ops, modules: dict[str, object], reps: int, target_ns: float, quick_n: int | None, log=print
) -> dict:
    """Times every op on every module, interleaved.

    Per repetition and op, the implementations (and the op's baseline) take turns, in an order
    rotated every repetition so that none always runs first or last. Returns, per op label,
    {"baseline": Cell, "cells": {impl: Cell}}.
    """
    table = {}
    for op in ops:
        cells = {name: prepare(op, mod) for name, mod in modules.items() if name not in op.skip}
        baseline = Cell(compile_loop(op.baseline, [], op.unroll), (), op.unroll)
        for cell in [baseline, *cells.values()]:
            if cell.error:
                continue
            if quick_n is not None:
                cell.n = 1 if op.heavy else quick_n
            else:
                calibrate(cell, target_ns, 1 if op.heavy else 16)
        table[op.label] = {"baseline": baseline, "cells": cells}

    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for rep in range(reps):
            for op in ops:
                row = table[op.label]
                turns = [None, *row["cells"]]
                k = rep % len(turns)
                for name in turns[k:] + turns[:k]:
                    cell = row["baseline"] if name is None else row["cells"][name]
                    if not cell.error:
                        cell.sample()
            if log and reps > 1:
                log(f"  repetition {rep + 1}/{reps} done", flush=True)
    finally:
        if gc_was_enabled:
            gc.enable()
    return table


def summarize(cell: Cell, baseline: Cell) -> dict | None:
    """Median and min ns/op with the baseline's median (min) subtracted."""
    if cell.error or not cell.samples:
        return None
    base_med = statistics.median(baseline.samples)
    base_min = min(baseline.samples)
    return {
        "ns": statistics.median(cell.samples) - base_med,
        "min_ns": min(cell.samples) - base_min,
        "raw_median_ns": statistics.median(cell.samples),
        "iterations": cell.n * cell.unroll,
        "samples_ns": cell.samples,
    }


def print_aligned(rows: list[list[str]], indent: str = "") -> None:
    """Rows as columns: the first left-aligned, the others right-aligned."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        print(
            f"{indent}{r[0]:<{widths[0]}}"
            + "".join(f"  {c:>{w}}" for c, w in zip(r[1:], widths[1:], strict=True))
        )


def write_report(path: Path, meta: dict, status: dict, rows: list[dict], started: float) -> None:
    """Writes a run's JSON file: its own meta fields, then the machine's and the run's times."""
    meta = {
        **meta,
        "unroll": UNROLL,
        "python": sys.version,
        "platform": platform.platform(),
        "processor": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "started": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(started)),
        "seconds": round(time.time() - started, 1),
    }
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(
        json.dumps({"meta": meta, "implementations": status, "ops": rows}, indent=1) + "\n"
    )
    print(f"\nwrote {path}")


def print_failures(rows: list[dict], status: dict) -> None:
    """One line per op that failed on an implementation, and per implementation that is absent."""
    for r in rows:
        for n, err in r["errors"].items():
            print(f"error: {r['op']} / {n}: {err}")
    for n, s in status.items():
        if s["status"] in ("missing", "broken"):
            print(f"{s['status']}: {n}: {s['reason']}")
