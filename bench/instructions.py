"""Instructions per call, counted by callgrind, for kestrum and every peer on the ops of run.py.

python bench/instructions.py                     # every op and implementation (a few minutes)
python bench/instructions.py --check --n 1000    # CI: the judged implementations; fails on a miss

Each op runs in a loop of N and of 2N iterations inside one process under
`valgrind --tool=callgrind`, with client requests that zero the counters before a loop and dump
them after it. The difference of the two counts, minus the same difference for the empty loop of
the same shape, divided by N, is the cost of one call: interpreter start, imports, setup and the
client requests themselves cancel out. PYTHONHASHSEED=0 and the garbage collector off keep the
counts steady from run to run.

The counted process uses the C library's allocator (PYTHONMALLOC=malloc). Under the interpreter's
own small-object allocator, an object made and dropped on every call costs up to about 20
instructions more or less depending on how full its pool happens to be, which depends on what
the process allocated before (the 10 million floats of the big Cuboid, for one): the count of an
op would change with the ops and implementations chosen. glibc's per-thread cache serves an
allocate-and-free pair the same way every time. Every implementation allocates the same objects,
so the differences hold; --allocator pymalloc counts with the usual allocator. A free-threaded
build (3.13t) accepts mimalloc only, its own: it finds its objects through mimalloc's heaps.

The hand-written C references are compiled by $CC (CI: zig, the wheels' compiler) and, when that
is another compiler, by the system's gcc too, which builds a user's own extension and may make
faster code (columns NAME@gcc). A target holds kestrum to the faster build of its reference.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import gc
import importlib
import itertools
import json
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import builder
import selfcheck
import timing

REFERENCE = builder.REFERENCE
HEAP = "capi_heap_vectorcall"  # the limit for classes with the default type flags
TP_NEW = "capi"  # the hand-written type with the classic tp_new
HAND_WRITTEN = (TP_NEW, HEAP)

# The targets --check holds kestrum to.
CONSTRUCTOR_SLACK = 10  # instructions over HEAP, every constructor op
ACCESSOR_SLACK = 10  # instructions over the better of HAND_WRITTEN
ACCESSORS = ("c.radius()", "c.half_length()", "m.mesh_path")
FAILURE = 'Sphere("x") -> TypeError'
FAILURE_FACTOR = 1.05  # times TP_NEW
# The references each kind of target holds kestrum to.
REFERENCES = {"constructor": (HEAP,), "accessor": HAND_WRITTEN, "failure": (TP_NEW,)}

DEFAULT_N = 5_000
DEFAULT_JSON = builder.BENCH / "instructions.json"
CHILD_FLAG = "--child-spec"
DUMP_PREFIX = "desc: Trigger: Client Request: "
# No fast bins (whose periodic consolidation lands in whichever loop happens to trigger it), a
# per-thread cache deep enough for every block an op frees, no trimming and a fixed mmap
# threshold: an allocate-and-free pair then costs the same on every call.
GLIBC_TUNABLES = ":".join(
    [
        "glibc.malloc.mxfast=0",
        "glibc.malloc.tcache_count=1000",
        "glibc.malloc.trim_threshold=4294967295",
        "glibc.malloc.mmap_threshold=4194304",
    ]
)


def _op_kinds() -> dict[str, str]:
    """Every op of run.py by the target that applies to it ("" for none)."""
    labels = [op.label for op in timing.OPS]
    for label in (*ACCESSORS, FAILURE):
        if label not in labels:
            raise AssertionError(f"op {label!r} is no longer in timing.OPS: update the targets")
    kinds = {}
    for op in timing.OPS:
        if op.heavy:
            kinds[op.label] = ""  # judged by time, in run.py
        elif op.label in ACCESSORS:
            kinds[op.label] = "accessor"
        elif op.label == FAILURE:
            kinds[op.label] = "failure"
        else:
            kinds[op.label] = "constructor"
    return kinds


def parse_args(argv):
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument(
        "--check",
        action="store_true",
        help="fail when kestrum misses a target; without --only, measures only the "
        f"implementations the targets name ({REFERENCE}, {', '.join(HAND_WRITTEN)}) and skips "
        "the ops without an instruction target",
    )
    p.add_argument(
        "--n",
        type=int,
        default=DEFAULT_N,
        help=f"iterations N of the shorter loop (default {DEFAULT_N}); heavy ops use 1",
    )
    p.add_argument(
        "--reps", type=int, default=3, help="N/2N pairs per cell, the median is kept (default 3)"
    )
    builder.add_selection_arguments(p, "count")
    p.add_argument(
        "--json",
        type=Path,
        default=DEFAULT_JSON,
        metavar="PATH",
        help="where to write the results (default bench/instructions.json)",
    )
    p.add_argument(
        "--allocator",
        choices=("malloc", "pymalloc", "mimalloc"),
        default="mimalloc" if sysconfig.get_config_var("Py_GIL_DISABLED") else "malloc",
        help="PYTHONMALLOC of the counted process (default malloc, on a free-threaded build "
        "mimalloc: see the module doc)",
    )
    p.add_argument(
        "--jobs",
        type=int,
        default=os.cpu_count() or 1,
        help="processes counted side by side (default: one per processor); a count does not "
        "depend on it",
    )
    p.add_argument("--valgrind", default="valgrind", help="the valgrind executable")
    p.add_argument(
        "--keep-dumps",
        type=Path,
        metavar="DIR",
        help="keep callgrind's dump files in DIR (callgrind_annotate shows where a count goes)",
    )
    return p.parse_args(argv)


def compile_loop(stmt: str, names: list[str]):
    """A function (n, *values) running `stmt` n times; the values are its fast locals."""
    body = "".join("        " + line + "\n" for line in stmt.splitlines())
    params = "".join(f", {n}" for n in names)
    src = f"def loop(_n{params}, _repeat=_repeat):\n    for _ in _repeat(None, _n):\n{body}"
    # itertools.repeat, not range: the loop itself allocates nothing, so it counts steadily.
    namespace = {"_repeat": itertools.repeat}
    exec(compile(src, f"<counted {stmt.splitlines()[0]!r}>", "exec"), namespace)
    return namespace["loop"]


# ---- inside valgrind


def child(spec_path: str) -> int:
    """Runs the loops the parent described between callgrind client requests; prints the errors
    as JSON."""
    spec = json.loads(Path(spec_path).read_text())
    sys.path[:0] = builder.import_path_entries()
    marks = importlib.import_module(builder.CALLGRIND_MARKS.module)
    if not marks.on_valgrind():
        print("the child must run under valgrind --tool=callgrind", file=sys.stderr)
        return 2
    modules = {
        name: importlib.import_module("kestrum" if name == REFERENCE else module)
        for name, module in spec["modules"].items()
    }
    ops = {op.label: op for op in timing.OPS}

    # Everything is set up before instrumentation starts, so setup runs at full valgrind speed.
    cells, errors = [], {}
    for index, label in enumerate(spec["ops"]):
        op = ops[label]
        n = 1 if op.heavy else spec["n"]
        reps = 1 if op.heavy else spec["reps"]
        cells.append((index, "", compile_loop(op.baseline, []), (), n, reps, op.heavy))
        for name, module in modules.items():
            if name in op.skip:
                continue
            try:
                values = op.setup(module)
                loop = compile_loop(op.stmt, list(values))
                loop(1, *values.values())
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as e:  # a kestrum PanicException derives from BaseException
                errors.setdefault(label, {})[name] = f"{type(e).__name__}: {e}"[:200]
                continue
            cells.append((index, name, loop, tuple(values.values()), n, reps, op.heavy))

    gc.collect()
    gc.disable()
    marks.start()
    for index, name, loop, args, n, reps, heavy in cells:
        if not heavy:
            loop(n, *args)  # the interpreter specializes the loop's instructions here
        for rep in range(reps):
            for k in (n, 2 * n):
                marks.zero()
                loop(k, *args)
                marks.dump(f"{index}|{name}|{rep}|{k}")
    print(json.dumps({"errors": errors}))
    return 0


# ---- outside


def load_modules(only: set[str]) -> tuple[dict, dict, dict[str, list[str]]]:
    """Builds the peers and the client-request module; imports what is wanted. Also returns, per
    hand-written reference loaded, its columns: its own and that of its system-compiled build."""
    modules, status = builder.load_implementations(only)
    builds = {}
    for peer in builder.PEER_LIST:
        if peer.name not in HAND_WRITTEN or peer.name not in modules:
            continue
        builds[peer.name] = [peer.name]
        twin = builder.system_compiled(peer)
        if twin is None:
            continue
        if builder.load_peer(twin, modules, status, compiler=twin.cc):
            builds[peer.name].append(twin.name)
    builder.ensure_built(builder.CALLGRIND_MARKS)
    if builder.CALLGRIND_MARKS.status == "missing":
        raise SystemExit(f"cannot build the callgrind marks: {builder.CALLGRIND_MARKS.reason}")
    return modules, status, builds


def columns_of(reference: str, builds: dict[str, list[str]]) -> list[str]:
    """The columns of a reference: its own build's and, when made, its gcc build's."""
    return builds.get(reference, [reference])


def compiler_of(name: str) -> str:
    """The compiler that built a hand-written column."""
    _, at, label = name.partition("@")
    return label if at else builder.compiler_label(builder.CC)


def read_dumps(directory: Path) -> dict[str, int]:
    """Label of each client-request dump -> its instruction count."""
    counts = {}
    for path in directory.glob("callgrind.out.*"):
        label = total = None
        with path.open() as f:
            for line in f:
                if line.startswith(DUMP_PREFIX):
                    label = line[len(DUMP_PREFIX) :].strip()
                elif line.startswith("summary:"):
                    total = int(line.split()[1])
                    break
        if label is not None and total is not None:
            counts[label] = total
    return counts


def run_cell(args, label: str, name: str, module: str, dumps: Path) -> tuple[dict, str]:
    """Counts one op of one implementation in a process of its own: (dump counts, error)."""
    spec = {"n": args.n, "reps": args.reps, "ops": [label], "modules": {name: module}}
    dumps.mkdir(parents=True, exist_ok=True)
    for old in dumps.glob("callgrind.out*"):
        old.unlink()
    spec_path = dumps / "spec.json"
    spec_path.write_text(json.dumps(spec))
    cmd = [
        args.valgrind,
        "--tool=callgrind",
        "--instr-atstart=no",
        # The interpreter may be a script that starts the real one (tools/debian-python.sh);
        # nothing is counted before the marks, so following it costs no count.
        "--trace-children=yes",
        f"--callgrind-out-file={dumps / 'callgrind.out'}",
        sys.executable,
        str(Path(__file__).resolve()),
        CHILD_FLAG,
        str(spec_path),
    ]
    env = {**os.environ, "PYTHONHASHSEED": "0", "PYTHONMALLOC": args.allocator}
    if args.allocator == "malloc":
        env["GLIBC_TUNABLES"] = GLIBC_TUNABLES
    try:
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    except FileNotFoundError:
        raise SystemExit(f"{args.valgrind!r} not found: install valgrind") from None
    if proc.returncode != 0:
        tail = "\n".join(proc.stderr.strip().splitlines()[-20:])
        raise SystemExit(
            f"the counting run of {label} / {name} failed ({proc.returncode}):\n{tail}"
        )
    lines = proc.stdout.strip().splitlines()
    errors = json.loads(lines[-1])["errors"] if lines else {}
    return read_dumps(dumps), errors.get(label, {}).get(name, "")


def count_all(
    args, modules: dict, names: list[str], ops: list[str], counted=lambda label, name: True
) -> tuple[dict, dict]:
    """Per op and implementation (those `counted` keeps), instructions per call; and the ops that
    failed, with why.

    Every op of every implementation runs in a fresh process, so a count never depends on what
    was counted before it (or on --only and --ops), nor on how many run side by side.
    """
    op_by_label = {op.label: op for op in timing.OPS}
    table, errors = {}, {}
    with (
        tempfile.TemporaryDirectory(prefix="kestrum-callgrind-") as tmp,
        concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool,
    ):
        root = args.keep_dumps or Path(tmp)
        cells = {
            (label, name): pool.submit(
                run_cell,
                args,
                label,
                name,
                getattr(modules[name], "__name__", name),
                root / f"{index:02d}-{name}",
            )
            for index, label in enumerate(ops)
            for name in names
            if name not in op_by_label[label].skip and counted(label, name)
        }
        for label in ops:
            op = op_by_label[label]
            n, reps = (1, 1) if op.heavy else (args.n, args.reps)
            table[label] = {}
            for name in names:
                if (label, name) not in cells:
                    continue
                counts, error = cells[label, name].result()
                if error:
                    errors.setdefault(label, {})[name] = error
                elif (v := per_call(counts, 0, name, n, reps)) is not None:
                    table[label][name] = v
            done = "  ".join(f"{k} {fmt(v)}" for k, v in table[label].items())
            print(f"  {label}: {done}", flush=True)
    return table, errors


def per_call(counts: dict[str, int], index: int, name: str, n: int, reps: int) -> float | None:
    """Median over the repetitions of (count of 2N - count of N), minus the empty loop's, / N."""

    def growth(who):
        diffs = []
        for rep in range(reps):
            long, short = (
                counts.get(f"{index}|{who}|{rep}|{2 * n}"),
                counts.get(f"{index}|{who}|{rep}|{n}"),
            )
            if long is None or short is None:
                return None
            diffs.append(long - short)
        return statistics.median(diffs)

    cell, empty = growth(name), growth("")
    if cell is None or empty is None:
        return None
    return (cell - empty) / n


def fastest(row: dict[str, float], references: tuple[str, ...], builds: dict[str, list[str]]):
    """(reference, column, count) of the lowest count among every build of the references."""
    found = [
        (row[column], reference, column)
        for reference in references
        for column in columns_of(reference, builds)
        if row.get(column) is not None
    ]
    if not found:
        return None
    count, reference, column = min(found)
    return reference, column, count


def judge(table: dict[str, dict[str, float]], builds: dict[str, list[str]]) -> list[dict]:
    """One line per target that can be judged from the table; each reference is taken from its
    faster build (`builds`: the columns of each hand-written reference)."""
    verdicts = []
    for label, kind in _op_kinds().items():
        row = table.get(label, {})
        mine = row.get(REFERENCE)
        if not kind or mine is None:
            continue
        best = fastest(row, REFERENCES[kind], builds)
        if best is None:
            continue
        ref_name, column, ref = best
        if kind == "constructor":
            limit = ref + CONSTRUCTOR_SLACK
            rule = f"at most {CONSTRUCTOR_SLACK} over {HEAP}"
        elif kind == "accessor":
            limit = ref + ACCESSOR_SLACK
            rule = f"at most {ACCESSOR_SLACK} over the better hand-written C ({ref_name})"
        else:
            limit = ref * FAILURE_FACTOR
            rule = f"at most {FAILURE_FACTOR} times {TP_NEW}"
        verdicts.append(
            {
                "op": label,
                "rule": rule + ", its faster build",
                "kestrum": round(mine, 1),
                "reference": ref_name,
                "reference_compiler": compiler_of(column),
                "reference_count": round(ref, 1),
                "reference_counts": {
                    compiler_of(c): round(row[c], 1)
                    for c in columns_of(ref_name, builds)
                    if row.get(c) is not None
                },
                "limit": round(limit, 1),
                "excess": round(mine - limit, 1),
                "ok": mine <= limit,
            }
        )
    return verdicts


def print_targets(verdicts: list[dict]) -> None:
    """The targets as a table: kestrum, the reference's count by each compiler, the limit."""
    compilers = list(dict.fromkeys(c for v in verdicts for c in v["reference_counts"]))
    header = ["target", "kestrum", "reference", *compilers, "from", "limit", "met"]
    rows = [header]
    for v in verdicts:
        counts = [fmt(v["reference_counts"].get(c)) for c in compilers]
        met = "ok" if v["ok"] else f"MISSED by {v['excess']:,}"
        rows.append(
            [v["op"], fmt(v["kestrum"]), v["reference"], *counts, v["reference_compiler"]]
            + [fmt(v["limit"]), met]
        )
    timing.print_aligned(rows, indent="  ")


def fmt(v: float | None) -> str:
    if v is None:
        return "-"
    return f"{v:,.0f}" if abs(v) >= 10_000 else f"{v:.1f}"


def print_table(table, names: list[str], ops: list[str], errors: dict) -> None:
    delta = REFERENCE in names and HEAP in names
    header = ["op", *names] + ([f"{REFERENCE}-heap"] if delta else [])
    rows = [header]
    for op in ops:
        row = table.get(op, {})
        line = [op, *("err" if n in errors.get(op, {}) else fmt(row.get(n)) for n in names)]
        if delta:
            both = row.get(REFERENCE) is not None and row.get(HEAP) is not None
            line.append(f"{row[REFERENCE] - row[HEAP]:+,.1f}" if both else "-")
        rows.append(line)
    timing.print_aligned(rows)


def main(argv=None) -> int:
    if argv is None and len(sys.argv) == 3 and sys.argv[1] == CHILD_FLAG:
        return child(sys.argv[2])
    args = parse_args(argv)
    if args.n < 1 or args.reps < 1 or args.jobs < 1:
        print("--n, --reps and --jobs must be at least 1")
        return 2
    only = builder.chosen_implementations(args.only)
    if only is None:
        return 2
    if args.check and not only:
        only = {REFERENCE, *HAND_WRITTEN}
    kinds = _op_kinds()
    ops = [
        op.label
        for op in timing.OPS
        if (not args.check or kinds[op.label]) and builder.op_chosen(op.label, args.ops)
    ]
    started = time.time()

    modules, status, builds = load_modules(only)
    failed = False
    for name, s in status.items():
        if s["status"] != "ok" and s["status"] != "built":
            print(f"{s['status']}: {name}: {s['reason']}")
            failed |= args.check and name.partition("@")[0] in (REFERENCE, *HAND_WRITTEN)
    for name, module in modules.items():
        failures = selfcheck.check(module)
        status[name]["selfcheck_failures"] = failures
        if failures:
            print(f"self-check: {name} fails {len(failures)} of {len(selfcheck.CHECKS)} checks")
            for line in failures:
                print(f"    {line}")
            failed |= name != REFERENCE  # a peer that differs makes its counts meaningless
    names = [
        column
        for n in builder.implementation_order()
        if n in modules
        for column in columns_of(n, builds)
    ]
    print(
        f"counting {len(ops)} ops x {len(names)} implementations under callgrind "
        f"(N={args.n}, {args.reps} repetition(s), {platform.python_implementation()} "
        f"{platform.python_version()}) ...",
        flush=True,
    )
    counting_started = time.monotonic()
    # The check counts only what a target reads: kestrum and the builds of the op's references.
    judged = {
        label: {REFERENCE, *(c for r in REFERENCES[kind] for c in columns_of(r, builds))}
        for label, kind in kinds.items()
        if kind
    }
    counted = (lambda label, name: name in judged[label]) if args.check else (lambda *_: True)
    table, errors = count_all(args, modules, names, ops, counted)
    seconds = time.monotonic() - counting_started

    print(f"\ninstructions per call (callgrind, {seconds:.0f} s under valgrind)")
    print_table(table, names, ops, errors)
    for label, errs in errors.items():
        for name, err in errs.items():
            print(f"error: {label} / {name}: {err}")
            failed |= name != REFERENCE or args.check

    verdicts = judge(table, builds)
    if verdicts:
        print(
            f"\ntargets (constructors: at most {CONSTRUCTOR_SLACK} over {HEAP}; accessors: "
            f"{ACCESSOR_SLACK} over the better hand-written C; failure: {FAILURE_FACTOR} times "
            f"{TP_NEW}; each against the faster compiler's build):"
        )
        print_targets(verdicts)
    if args.check:
        judged = {v["op"] for v in verdicts}
        for label in ops:
            if kinds[label] and label not in judged:
                print(f"  MISSED {label}: not counted for kestrum or its reference")
                failed = True

    commit = subprocess.run(
        ["git", "rev-parse", "--short", "HEAD"], cwd=builder.BENCH, capture_output=True, text=True
    ).stdout.strip()
    report = {
        "meta": {
            "checkout": commit,  # of this rig; kestrum is whatever `import kestrum` finds
            "what": "instructions per call: ((count of 2N) - (count of N)) minus the same for "
            "the empty loop, over N; median of the repetitions",
            "n": args.n,
            "repetitions": args.reps,
            "python": sys.version,
            "platform": platform.platform(),
            "pythonhashseed": "0",
            "started": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(started)),
            "valgrind_seconds": round(seconds, 1),
            "compilers": {
                compiler_of(c): builder.SYSTEM_CC if "@" in c else builder.CC
                for columns in builds.values()
                for c in columns
            },
        },
        "implementations": status,
        "ops": {label: table[label] for label in ops},
        "errors": errors,
        "targets": verdicts,
    }
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(report, indent=1) + "\n")
    print(f"\nwrote {args.json} ({time.time() - started:.0f} s in all)")

    missed = [v for v in verdicts if not v["ok"]]
    if args.check and (missed or failed):
        print(
            f"FAILED: {len(missed)} target(s) missed" + ("; see the errors above" if failed else "")
        )
        return 1
    if failed:
        print("FAILED: a peer fails its self-check or an op; its counts are not comparable")
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
