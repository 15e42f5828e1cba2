"""How throughput grows with threads: each op run by 1 thread, then by 2 (and more, where the
machine has the cores) at once, for kestrum and its peers, printed as ratios.

python bench/threads.py            # 1 and 2 threads and up to one per core, 9 repetitions
python bench/threads.py --quick    # every op on every thread count, a few calls each: for CI

Only a free-threaded interpreter (3.13t and later) runs the threads side by side; with the GIL
they take turns and every ratio is about 1, which the run says.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import sysconfig
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import builder
import selfcheck
import timing

REFERENCE = builder.REFERENCE
DEFAULT_JSON = builder.BENCH / "results-threads.json"
# kestrum, the heap type built as kestrum's classes are, a static type, and a binding library.
DEFAULT_ONLY = "kestrum,capi_heap_vectorcall,capi_vectorcall,nanobind"
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@dataclass(frozen=True)
class ThreadOp:
    label: str
    stmt: str
    own: Callable[[object], dict]  # module -> the loop's values that each thread makes for itself
    shared: Callable[[object], dict] = lambda m: {}  # module -> values made once, used by all
    # Every thread runs one compiled loop, and so reads the same constants, instead of its own.
    shared_code: bool = False


def _cls(*names):
    return lambda m: {name: getattr(m, name) for name in names}


# Each thread compiles the loop for itself, so the constants of the statement are its own: the
# interpreter counts references to a constant too, and threads running one function share its.
OPS = [
    ThreadOp("Cylinder(2.0, 6.0)", "Cylinder(2.0, 6.0)", _cls("Cylinder")),
    ThreadOp(
        "Cylinder(2.0, 6.0), SHARED code", "Cylinder(2.0, 6.0)", _cls("Cylinder"), shared_code=True
    ),
    ThreadOp("Cylinder(2, 6)", "Cylinder(2, 6)", _cls("Cylinder")),
    ThreadOp(
        "Cylinder(radius=2.0, length=6.0)", "Cylinder(radius=2.0, length=6.0)", _cls("Cylinder")
    ),
    ThreadOp("Cone(1.0, 4.0)", "Cone(1.0, 4.0)", _cls("Cone")),
    ThreadOp("Sphere(1.5)", "Sphere(1.5)", _cls("Sphere")),
    ThreadOp("Capsule(1.0, 4.0)", "Capsule(1.0, 4.0)", _cls("Capsule")),
    # A list is read under its lock, and a shared one is one lock for every thread.
    ThreadOp(
        "Cuboid(own list)",
        "Cuboid(sides)",
        lambda m: {"Cuboid": m.Cuboid, "sides": [2.0, 4.0, 6.0]},
    ),
    ThreadOp(
        "Cuboid(SHARED list)",
        "Cuboid(sides)",
        _cls("Cuboid"),
        shared=lambda m: {"sides": [2.0, 4.0, 6.0]},
    ),
    # A tuple needs no lock: the constant of each thread's code, and one constant of this file for
    # every thread.
    ThreadOp("Cuboid((2.0, 4.0, 6.0))", "Cuboid((2.0, 4.0, 6.0))", _cls("Cuboid")),
    ThreadOp(
        "Cuboid(SHARED constant tuple)",
        "Cuboid(sides)",
        _cls("Cuboid"),
        shared=lambda m: {"sides": (2.0, 4.0, 6.0)},
    ),
    ThreadOp('PyMesh("a/b/c.obj")', 'PyMesh("a/b/c.obj")', _cls("PyMesh")),
    ThreadOp("c.radius(), own c", "c.radius()", lambda m: {"c": m.Cylinder(2.0, 6.0)}),
    ThreadOp(
        "c.radius(), SHARED c",
        "c.radius()",
        lambda m: {},
        shared=lambda m: {"c": m.Cylinder(2.0, 6.0)},
    ),
]
EMPTY = "empty loop"  # the row of the loop alone: how far this machine lets threads scale


def thread_counts(text: str) -> list[int]:
    """1 and 2, then doubling while there are cores for it; or the counts of --threads."""
    if text:
        counts = sorted({int(t) for t in text.split(",") if t.strip()})
        if not counts or counts[0] < 1:
            raise SystemExit("--threads takes positive counts, e.g. 1,2,4")
        return counts if counts[0] == 1 else [1, *counts]
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    counts = [1, 2]
    while counts[-1] * 2 <= (cores or 1):
        counts.append(counts[-1] * 2)
    return counts


@dataclass
class Loop:
    """One op on one implementation, or the empty loop: its statement, its iteration count per
    thread, and how its values are made."""

    loop: Callable[..., int]  # compiled once: for the calibration, and for shared code
    stmt: str
    names: list[str]
    own: Callable[[], dict]
    shared: dict
    shared_code: bool = False
    n: int = 0
    error: str = ""

    def arguments(self) -> tuple:
        values = {**self.shared, **self.own()}
        return tuple(values[name] for name in self.names)

    def run(self, threads: int) -> float:
        """One sample on `threads` threads: ns per statement, from the first thread's start to
        the last one's end."""
        barrier = threading.Barrier(threads)
        spans: list[tuple[int, int] | None] = [None] * threads
        errors: list[BaseException] = []

        def work(index: int) -> None:
            try:
                # Made by this thread, so owned by it.
                args = self.arguments()
                loop = self.loop if self.shared_code else timing.compile_loop(self.stmt, self.names)
                barrier.wait()
                start = time.perf_counter_ns()
                loop(self.n, *args)
                spans[index] = (start, time.perf_counter_ns())
            except threading.BrokenBarrierError:
                pass
            except BaseException as e:  # a kestrum PanicException derives from BaseException
                errors.append(e)
                barrier.abort()

        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        if errors:
            raise errors[0]
        begun = min(s[0] for s in spans if s)
        ended = max(s[1] for s in spans if s)
        return (ended - begun) / (self.n * timing.UNROLL)


def prepare(op: ThreadOp, module) -> Loop:
    """The loop of `op` over `module`, run once on one thread; a failure is kept in `error`."""
    try:
        shared = op.shared(module)
        names = list({**shared, **op.own(module)})
        loop = Loop(
            timing.compile_loop(op.stmt, names),
            op.stmt,
            names,
            lambda: op.own(module),
            shared,
            op.shared_code,
        )
        loop.n = 1
        loop.run(1)  # fails here, not halfway through a measurement
        return loop
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        return Loop(lambda *a: 0, "", [], dict, {}, error=f"{type(e).__name__}: {e}")


def calibrate(loop: Loop, target_ns: float) -> None:
    """The iteration count that makes a one-thread sample take about `target_ns`."""
    cell = timing.Cell(loop.loop, loop.arguments())
    timing.calibrate(cell, target_ns)
    loop.n = cell.n


def measure(ops, modules: dict, counts: list[int], reps: int, target_ns: float, quick_n) -> dict:
    """Samples every op on every module at every thread count, interleaved: per repetition and op
    the implementations and the empty loop take turns, and within a turn the thread counts, both
    in an order rotated every repetition. Returns {label: {name: (Loop, {threads: [ns]})}}, the
    empty loop under the name EMPTY of every op."""
    table = {}
    for op in ops:
        row = {name: prepare(op, module) for name, module in modules.items()}
        row[EMPTY] = Loop(timing.compile_loop("pass", []), "pass", [], dict, {})
        for loop in row.values():
            if loop.error:
                continue
            if quick_n:
                loop.n = quick_n
            else:
                calibrate(loop, target_ns)
        table[op.label] = {name: (loop, {k: [] for k in counts}) for name, loop in row.items()}

    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for rep in range(reps):
            for op in ops:
                turns = list(table[op.label])
                for name in turns[rep % len(turns) :] + turns[: rep % len(turns)]:
                    loop, samples = table[op.label][name]
                    if loop.error:
                        continue
                    for k in counts[rep % len(counts) :] + counts[: rep % len(counts)]:
                        try:
                            samples[k].append(loop.run(k))
                        except BaseException as e:
                            loop.error = f"{k} threads: {type(e).__name__}: {e}"
                            break
            if reps > 1:
                print(f"  repetition {rep + 1}/{reps} done", flush=True)
    finally:
        if gc_was_enabled:
            gc.enable()
    return table


def summarize(table: dict, counts: list[int]) -> list[dict]:
    """Per op: ns per statement on one thread, and per implementation and thread count the
    throughput over one thread's, k * t(1) / t(k), each t less the empty loop's median at the same
    count; the median over the repetitions of that ratio, each taken within one repetition."""
    rows = []
    for label, row in table.items():
        empty = row[EMPTY][1]
        base = {k: statistics.median(empty[k]) if empty[k] else 0.0 for k in counts}
        results, errors = {}, {}
        for name, (loop, samples) in row.items():
            if loop.error:
                errors[name] = loop.error
                continue
            if not all(samples[k] for k in counts):
                continue
            less = dict.fromkeys(counts, 0.0) if name == EMPTY else base
            one = [s - less[1] for s in samples[1]]
            ratios = {}
            for k in counts[1:]:
                per_rep = [
                    k * a / (b - less[k])
                    for a, b in zip(one, samples[k], strict=True)
                    if b > less[k]
                ]
                ratios[k] = statistics.median(per_rep) if per_rep else None
            results[name] = {
                "ns_one_thread": statistics.median(one),
                "ratios": ratios,
                "iterations_per_thread": loop.n * timing.UNROLL,
                "samples_ns": samples,
            }
        rows.append({"op": label, "results": results, "errors": errors})
    return rows


def print_tables(rows: list[dict], names: list[str], counts: list[int], quick: bool) -> None:
    def column(name, k):
        return name if len(counts) == 2 else f"{name} x{k}"

    if quick:
        print("\nops run on 1 to", counts[-1], "threads (--quick: nothing is measured)")
        grid = [["op", *names]]
        for r in rows:
            grid.append(
                [
                    r["op"],
                    *(
                        "err" if n in r["errors"] else "ran" if n in r["results"] else "-"
                        for n in names
                    ),
                ]
            )
        timing.print_aligned(grid)
        return
    header = ["op", *(column(n, k) for n in names for k in counts[1:])]
    print(
        f"\nthroughput with {' / '.join(map(str, counts[1:]))} threads over throughput with 1 "
        f"(median of repetitions; {counts[1]}.00 is perfect for {counts[1]} threads)"
    )
    grid = [header]
    for r in rows:
        line = [r["op"]]
        for n in names:
            for k in counts[1:]:
                ratio = r["results"].get(n, {}).get("ratios", {}).get(k)
                line.append("err" if n in r["errors"] else "-" if ratio is None else f"{ratio:.2f}")
        grid.append(line)
    timing.print_aligned(grid)
    empty = [r["results"][EMPTY]["ratios"] for r in rows if EMPTY in r["results"]]
    for k in counts[1:]:
        values = sorted(e[k] for e in empty if e.get(k) is not None)
        if values:
            print(
                f"{EMPTY} with {k} threads, the machine's own ceiling: {statistics.median(values):.2f} "
                f"(from {values[0]:.2f} to {values[-1]:.2f} over the ops' turns)"
            )
    print("\nns per op on one thread (median, less the empty loop's)")
    grid = [["op", *names]]
    for r in rows:
        grid.append(
            [
                r["op"],
                *(
                    f"{r['results'][n]['ns_one_thread']:.1f}" if n in r["results"] else "-"
                    for n in names
                ),
            ]
        )
    timing.print_aligned(grid)


def gil_state(modules: dict) -> str:
    """What the threads of this run do: run side by side, or take turns (and why)."""
    if not FREE_THREADED:
        return (
            "this interpreter has the GIL: the threads take turns, so every ratio is about 1 "
            "and says nothing about how an implementation scales"
        )
    if sys._is_gil_enabled():
        return (
            "the GIL is on: an imported module asked for it (of "
            f"{', '.join(modules)}); the threads take turns and the ratios say nothing"
        )
    return ""


def parse_args(argv):
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument("--quick", action="store_true", help="20 loop iterations per sample, once")
    p.add_argument(
        "--strict",
        action="store_true",
        help="fail when an implementation is missing or fails its self-check, or when the GIL "
        "is on in a free-threaded interpreter",
    )
    p.add_argument("--json", type=Path, default=DEFAULT_JSON, metavar="PATH")
    p.add_argument("--reps", type=int, default=9, help="repetitions (default 9)")
    p.add_argument(
        "--target-ms",
        type=float,
        default=20.0,
        help="wall time of a one-thread sample, which sets the iteration count (default 20)",
    )
    p.add_argument(
        "--threads",
        default="",
        metavar="COUNTS",
        help="thread counts, e.g. 1,2,4 (default: 1, 2, and doubling while there are cores)",
    )
    builder.add_selection_arguments(p, "run", only=DEFAULT_ONLY)
    return p.parse_args(argv)


def main(argv=None) -> int:
    args = parse_args(argv)
    only = builder.chosen_implementations(args.only)
    if only is None:
        return 2
    counts = thread_counts(args.threads)
    started = time.time()
    modules, status = builder.load_implementations(only)
    bad_peer = selfcheck.check_all(modules, status, REFERENCE)
    names = [n for n in builder.implementation_order() if n in modules]
    ops = [op for op in OPS if builder.op_chosen(op.label, args.ops)]
    gil = gil_state(modules)
    if gil:
        print(f"note: {gil}")
    reps = 1 if args.quick else args.reps
    print(
        f"timing {len(ops)} ops x {len(names)} implementations on {', '.join(map(str, counts))} "
        f"threads, {reps} repetition(s) ...",
        flush=True,
    )
    table = measure(
        ops,
        {n: modules[n] for n in names},
        counts,
        reps,
        args.target_ms * 1e6,
        20 if args.quick else None,
    )
    rows = summarize(table, counts)
    if args.quick:
        for r in rows:
            for n in r["results"]:
                r["results"][n] = {"ran": True}
    print_tables(rows, names, counts, args.quick)
    if gil:
        print(f"note: {gil}")
    timing.print_failures(rows, status)

    timing.write_report(
        args.json,
        {
            "quick": args.quick,
            "statistic": "median over repetitions of k * t(1) / t(k), t less the empty loop's "
            "median at the same thread count",
            "threads": counts,
            "repetitions": reps,
            "target_sample_ms": None if args.quick else args.target_ms,
            "gil": gil or "off",
        },
        status,
        rows,
        started,
    )

    bad_peer |= any(s["status"] == "broken" for s in status.values())
    bad_peer |= any(n != REFERENCE for r in rows for n in r["errors"])
    if bad_peer:
        print("FAILED: a peer fails its self-check or an op; its ratios are not comparable")
        return 1
    missing = [n for n, s in status.items() if s["status"] == "missing"]
    ref_failed = bool(status.get(REFERENCE, {}).get("selfcheck_failures")) or any(
        REFERENCE in r["errors"] for r in rows
    )
    gil_on = FREE_THREADED and bool(gil)
    if args.strict and (missing or ref_failed or gil_on):
        print(
            f"FAILED (--strict): missing: {', '.join(missing) or 'none'}; {REFERENCE} self-check "
            f"or op failed: {ref_failed}; GIL turned on: {gil_on}"
        )
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
