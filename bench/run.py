"""Side-by-side benchmark of kestrum against peer implementations of the same six classes.

python bench/run.py            # build missing or stale peers, check them, time every op
python bench/run.py --quick    # a few iterations: proves the rig still works, judges nothing
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import builder
import selfcheck
import timing

REFERENCE = builder.REFERENCE
DEFAULT_JSON = builder.BENCH / "results.json"


def parse_args(argv):
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument(
        "--quick",
        action="store_true",
        help="tiny iteration counts, one repetition: for CI, times mean nothing",
    )
    p.add_argument(
        "--strict",
        action="store_true",
        help="fail when any implementation is missing or fails its self-check",
    )
    p.add_argument(
        "--json",
        type=Path,
        default=DEFAULT_JSON,
        metavar="PATH",
        help="where to write the results (default bench/results.json)",
    )
    p.add_argument(
        "--reps", type=int, default=9, help="repetitions per op and implementation (default 9)"
    )
    p.add_argument(
        "--target-ms",
        type=float,
        default=20.0,
        help="wall time of one sample, which sets the iteration count (default 20)",
    )
    builder.add_selection_arguments(p, "run")
    p.add_argument(
        "--what-if-immutable",
        action="store_true",
        help="mark kestrum's classes immutable in this process before timing, as static C types "
        "and Cython's are: shows how much of the constructor gap is the interpreter's call path",
    )
    return p.parse_args(argv)


# offsetof(PyTypeObject, tp_flags) on a 64-bit CPython 3.11 to 3.13: 21 pointer-sized fields.
TP_FLAGS_OFFSET = 21 * 8
IMMUTABLETYPE = 1 << 8


def mark_immutable(module) -> None:
    """What-if only: sets Py_TPFLAGS_IMMUTABLETYPE on each class of `module`, in place.

    CPython 3.11 specializes a call of a class (straight to its tp_vectorcall, skipping the
    generic call path) only for immutable types. kestrum's classes are built with the default
    flags, so they never get that fast path; this shows what it is worth.
    """
    import ctypes

    for name in module.__all__:
        cls = getattr(module, name)
        flags = ctypes.c_ulong.from_address(id(cls) + TP_FLAGS_OFFSET)
        if flags.value != cls.__flags__:
            raise RuntimeError("tp_flags is not where this interpreter was expected to keep it")
        flags.value |= IMMUTABLETYPE
        if not cls.__flags__ & IMMUTABLETYPE:
            raise RuntimeError(f"could not mark {name} immutable")


def fmt_ns(v, heavy: bool = False) -> str:
    """ns per op; an op of milliseconds per call in ms, as the tables in bench/README.md give it."""
    if v is None:
        return "-"
    return f"{v / 1e6:.1f} ms" if heavy else f"{v:.1f}"


def _print_grid(title: str, rows: list[dict], names: list[str], cell) -> None:
    print()
    print(title)
    timing.print_aligned([["op", *names], *([r["op"], *(cell(r, n) for n in names)] for r in rows)])


def print_table(rows: list[dict], names: list[str], status: dict, quick: bool) -> None:
    def ns(r, n):
        if n in r["errors"]:
            return "err"
        return fmt_ns(r["results"][n]["ns"], r["heavy"]) if n in r["results"] else "-"

    def ran(r, n):
        if n in r["errors"]:
            return "err"
        return "ran" if n in r["results"] else "-"

    def ratio(r, n):
        return "-" if r["ratios"].get(n) is None else f"{r['ratios'][n]:.2f}"

    peers = [n for n in names if n != REFERENCE]
    if quick:
        # A handful of calls per cell measures nothing, so no figure is shown at all.
        _print_grid("ops run (--quick: nothing is measured)", rows, names, ran)
    else:
        title = "ns per op (median of repetitions, minus the median empty-loop baseline)"
        _print_grid(title, rows, names, ns)
        if REFERENCE in names and peers:
            title = f"time of each implementation / time of {REFERENCE} (above 1: {REFERENCE} is faster)"
            _print_grid(title, rows, peers, ratio)
        elif REFERENCE not in names:
            print(f"\n({REFERENCE} is missing: no ratios)")

    timing.print_failures(rows, status)


def main(argv=None) -> int:
    args = parse_args(argv)
    log = print
    only = builder.chosen_implementations(args.only)
    if only is None:
        return 2
    started = time.time()

    modules, status = builder.load_implementations(only, log)
    if args.what_if_immutable and REFERENCE in modules:
        mark_immutable(modules[REFERENCE])
        status[REFERENCE]["what_if"] = "classes marked immutable before timing"
        print("what-if: kestrum's classes are marked immutable for this run")

    # A peer that behaves differently would make its ratio meaningless; that is the rig's bug.
    # kestrum's own faults are its tests' business, so they only fail --strict.
    bad_peer = selfcheck.check_all(modules, status, REFERENCE)

    ops = [op for op in timing.OPS if builder.op_chosen(op.label, args.ops)]
    reps = 1 if args.quick else args.reps
    quick_n = 20 if args.quick else None
    names = [n for n in builder.implementation_order() if n in modules]
    print(
        f"timing {len(ops)} ops x {len(names)} implementations, {reps} repetition(s) ...",
        flush=True,
    )
    table = timing.measure(
        ops, {n: modules[n] for n in names}, reps, args.target_ms * 1e6, quick_n, log=log
    )

    rows = []
    for op in ops:
        entry = table[op.label]
        results, errors, ratios = {}, {}, {}
        for n in names:
            cell = entry["cells"].get(n)
            if cell is None:  # the op skips this implementation
                continue
            if cell.error:
                errors[n] = cell.error
            elif args.quick:  # a few calls: no figure is worth keeping
                results[n] = {"ran": True, "iterations": cell.n * cell.unroll}
            else:
                results[n] = timing.summarize(cell, entry["baseline"])
        ref = None if args.quick else results.get(REFERENCE)
        for n in names:
            if n != REFERENCE and n in results and ref and ref["ns"] > 0:
                ratios[n] = results[n]["ns"] / ref["ns"]
        rows.append(
            {
                "op": op.label,
                "stmt": op.stmt,
                "heavy": op.heavy,
                "baseline_ns": None
                if args.quick
                else timing.statistics.median(entry["baseline"].samples),
                "results": results,
                "errors": errors,
                "ratios": ratios,
            }
        )

    print_table(rows, names, status, args.quick)

    timing.write_report(
        args.json,
        {
            "quick": args.quick,
            "statistic": "median over repetitions, minus the median empty-loop baseline",
            "repetitions": reps,
            "target_sample_ms": None if args.quick else args.target_ms,
            "compilers": {"cc": builder.CC, "cxx": builder.CXX, "flags": builder.CFLAGS},
        },
        status,
        rows,
        started,
    )

    missing = [n for n, s in status.items() if s["status"] == "missing"]
    bad_peer |= any(s["status"] == "broken" for s in status.values())
    bad_peer |= any(n != REFERENCE for r in rows for n in r["errors"])
    if bad_peer:
        print("FAILED: a peer fails its self-check or an op; its timings are not comparable")
        return 1
    ref_failed = bool(status.get(REFERENCE, {}).get("selfcheck_failures")) or any(
        REFERENCE in r["errors"] for r in rows
    )
    if args.strict and (missing or ref_failed):
        print(
            f"FAILED (--strict): missing: {', '.join(missing) or 'none'}; "
            f"{REFERENCE} self-check or op failed: {ref_failed}"
        )
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
