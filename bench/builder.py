"""Builds the benchmark peers into bench/build/, rebuilding only those whose inputs changed."""

from __future__ import annotations

import hashlib
import importlib
import os
import shutil
import subprocess
import sys
import sysconfig
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

BENCH = Path(__file__).resolve().parent
PEERS = BENCH / "peers"
REFERENCE = "kestrum"  # the column of the module under test
BUILD = BENCH / "build"

EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
PY_INCLUDE = sysconfig.get_paths()["include"]
CC = os.environ.get("CC", "gcc")
CXX = os.environ.get("CXX", "g++")
# The callgrind marks are the counting instrument, not an implementation, and need valgrind's
# header from the system: the system's compiler builds them, whatever CC is (zig's finds only
# headers of its own target).
MARKS_CC = "gcc"
# A user's own C extension is built by the system's compiler, which may make faster code than CC:
# the hand-written references are compiled by both (see system_compiled).
SYSTEM_CC = "gcc"
CFLAGS = ["-O2", "-fPIC", "-DNDEBUG", f"-I{PY_INCLUDE}"]
CXXFLAGS = [*CFLAGS, "-std=c++17", "-fvisibility=hidden"]


@dataclass
class Peer:
    """One implementation of the six classes other than kestrum itself."""

    name: str  # column name in the results
    module: str  # importable module name
    requires: tuple[str, ...] = ()  # Python packages the build needs
    cc: str = ""  # the C compiler, when not CC
    sources: tuple[Path, ...] = ()
    status: str = "unknown"  # ok | built | missing
    reason: str = ""
    versions: dict[str, str] = field(default_factory=dict)

    @property
    def artifact(self) -> Path | None:
        return BUILD / f"{self.module}{EXT_SUFFIX}" if self.sources_are_native else None

    @property
    def sources_are_native(self) -> bool:
        return any(s.suffix in (".c", ".cpp", ".pyx") for s in self.sources)


PEER_LIST = [
    Peer("capi", "kestrum_bench_capi", sources=(PEERS / "capi.c",)),
    Peer("capi_vectorcall", "kestrum_bench_capi_vectorcall", sources=(PEERS / "capi.c",)),
    Peer("capi_heap_vectorcall", "kestrum_bench_capi_heap_vectorcall", sources=(PEERS / "capi.c",)),
    Peer(
        "pybind11",
        "kestrum_bench_pybind11",
        requires=("pybind11",),
        sources=(PEERS / "pybind11_peer.cpp", PEERS / "peer_shapes.hpp"),
    ),
    Peer(
        "nanobind",
        "kestrum_bench_nanobind",
        requires=("nanobind",),
        sources=(PEERS / "nanobind_peer.cpp", PEERS / "peer_shapes.hpp"),
    ),
    Peer(
        "cython",
        "kestrum_bench_cython",
        requires=("Cython",),
        sources=(PEERS / "kestrum_bench_cython.pyx",),
    ),
    Peer("python", "kestrum_bench_python", sources=(PEERS / "kestrum_bench_python.py",)),
]


# Not an implementation: the client requests that bench/instructions.py measures between.
CALLGRIND_MARKS = Peer(
    "callgrind_marks", "kestrum_bench_callgrind_marks", sources=(BENCH / "callgrind_marks.c",)
)


class BuildError(Exception):
    pass


def _compiler_id(compiler: str) -> str:
    try:
        out = subprocess.run([compiler, "--version"], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        raise BuildError(f"compiler {compiler!r} not usable: {e}") from None
    return out.stdout.splitlines()[0] if out.stdout else compiler


def compiler_label(compiler: str) -> str:
    """A short name for a C compiler: zig for zig's wrapper, else the first word it prints."""
    if "zig" in compiler:
        return "zig"
    try:
        return _compiler_id(compiler).split()[0]
    except (BuildError, IndexError):
        return Path(compiler).name


def system_compiled(peer: Peer) -> Peer | None:
    """The hand-written C peer compiled by SYSTEM_CC under a name of its own, or None when CC is
    that compiler already."""
    try:
        if _compiler_id(CC) == _compiler_id(SYSTEM_CC):
            return None
    except BuildError:
        pass  # an unusable CC: the peer itself says why
    return Peer(
        f"{peer.name}@{compiler_label(SYSTEM_CC)}",
        f"{peer.module}_{compiler_label(SYSTEM_CC)}",
        sources=peer.sources,
        cc=SYSTEM_CC,
    )


def _commands(peer: Peer, out: Path) -> list[list[str]]:
    """The build steps that turn the peer's sources into `out` (a temporary name)."""
    cc = peer.cc or CC
    recipe = peer.name.partition("@")[0]
    if recipe in ("capi", "capi_vectorcall", "capi_heap_vectorcall"):
        variant = {"capi_vectorcall": ["-DKB_VECTORCALL"], "capi_heap_vectorcall": ["-DKB_HEAP"]}
        defines = [*variant.get(recipe, []), f"-DKB_MODULE_NAME={peer.module}"]
        return [[cc, *CFLAGS, *defines, "-shared", str(PEERS / "capi.c"), "-o", str(out)]]
    if peer.name == "callgrind_marks":
        return [[MARKS_CC, *CFLAGS, "-shared", str(BENCH / "callgrind_marks.c"), "-o", str(out)]]
    if peer.name == "pybind11":
        import pybind11

        inc = f"-I{pybind11.get_include()}"
        return [[CXX, *CXXFLAGS, inc, "-shared", str(PEERS / "pybind11_peer.cpp"), "-o", str(out)]]
    if peer.name == "nanobind":
        import nanobind

        root = Path(nanobind.__file__).parent
        flags = [
            *CXXFLAGS,
            "-DNB_COMPACT_ASSERTIONS",
            f"-I{nanobind.include_dir()}",
            f"-I{root / 'ext' / 'robin_map' / 'include'}",
        ]
        if FREE_THREADED:
            # What nanobind's own build sets for such an interpreter: without it the module asks
            # for the GIL, and importing it turns the GIL on for the whole process.
            flags.append("-DNB_FREE_THREADED")
        # One pair of objects per interpreter ABI, so that builds for two versions may run at once.
        abi = EXT_SUFFIX.removesuffix(".so")
        lib_o = BUILD / f"nanobind_lib{abi}.o"
        peer_o = BUILD / f"nanobind_peer{abi}.o"
        # nanobind's support library is compiled into every extension that uses it.
        return [
            [
                CXX,
                *flags,
                "-fno-strict-aliasing",
                "-ffunction-sections",
                "-fdata-sections",
                "-c",
                str(Path(nanobind.source_dir()) / "nb_combined.cpp"),
                "-o",
                str(lib_o),
            ],
            [CXX, *flags, "-c", str(PEERS / "nanobind_peer.cpp"), "-o", str(peer_o)],
            [CXX, "-shared", "-Wl,--gc-sections", str(peer_o), str(lib_o), "-o", str(out)],
        ]
    if peer.name == "cython":
        c_file = BUILD / f"{peer.module}.c"
        return [
            [
                sys.executable,
                "-m",
                "cython",
                "-3",
                str(PEERS / f"{peer.module}.pyx"),
                "-o",
                str(c_file),
            ],
            [cc, *CFLAGS, "-shared", str(c_file), "-o", str(out)],
        ]
    raise AssertionError(f"no recipe for {peer.name}")


def _fingerprint(peer: Peer, commands: list[list[str]]) -> str:
    """Everything that should force a rebuild: sources, commands, interpreter, tools."""
    h = hashlib.sha256()
    for src in peer.sources:
        h.update(src.read_bytes())
    h.update(repr(commands).encode())
    h.update(sys.version.encode())
    h.update(EXT_SUFFIX.encode())
    h.update(repr(sorted(peer.versions.items())).encode())
    compilers = {c[0] for c in commands if c[0] in (CC, CXX, MARKS_CC, peer.cc)}
    for compiler in sorted(compilers):
        h.update(_compiler_id(compiler).encode())
    return h.hexdigest()


def _run(cmd: list[str]) -> None:
    proc = subprocess.run(cmd, cwd=BUILD, capture_output=True, text=True)
    if proc.returncode != 0:
        tail = "\n".join((proc.stderr or proc.stdout).strip().splitlines()[-15:])
        raise BuildError(f"`{' '.join(cmd[:2])} ...` failed ({proc.returncode}):\n{tail}")


def ensure_built(peer: Peer, log=print) -> None:
    """Builds `peer` if missing or stale; sets its status to ok, built or missing."""
    for package in peer.requires:
        try:
            mod = importlib.import_module(package)
        except ImportError:
            peer.status = "missing"
            peer.reason = f"{package} is not installed (pip install -r bench/requirements.txt)"
            return
        peer.versions[package] = getattr(mod, "__version__", "?")
    if not peer.sources_are_native:
        peer.status = "ok"
        return
    BUILD.mkdir(exist_ok=True)
    artifact = peer.artifact
    tmp = artifact.with_name(artifact.name + ".tmp")
    # One stamp per interpreter ABI, so that builds for several versions live side by side.
    stamp = BUILD / f"{peer.module}{EXT_SUFFIX}.stamp"
    try:
        commands = _commands(peer, tmp)
        # The fingerprint must not depend on the temporary name.
        digest = _fingerprint(peer, _commands(peer, artifact))
        if artifact.exists() and stamp.exists() and stamp.read_text() == digest:
            peer.status = "ok"
            return
        log(f"building {peer.name} ...", flush=True)
        for cmd in commands:
            _run(cmd)
        os.replace(tmp, artifact)  # a half-written module never looks fresh
        stamp.write_text(digest)
        peer.status = "built"
    except BuildError as e:
        peer.status = "missing"
        peer.reason = f"build failed: {e}"
        tmp.unlink(missing_ok=True)


def import_path_entries() -> list[str]:
    return [str(BUILD), str(PEERS)]


def clean() -> None:
    shutil.rmtree(BUILD, ignore_errors=True)


def implementation_order() -> list[str]:
    """Every implementation's column, kestrum (as `REFERENCE`) first."""
    return [REFERENCE, *(p.name for p in PEER_LIST)]


def add_selection_arguments(parser, verb: str, only: str = "") -> None:
    """--only and --ops, which choose the implementations and ops that the script will `verb`;
    `only` is --only's default (empty: all)."""
    parser.add_argument(
        "--only",
        default=only,
        metavar="NAMES",
        help=f"comma-separated implementations to {verb} (default {only or 'all'})",
    )
    parser.add_argument(
        "--ops",
        default="",
        metavar="TEXT",
        help=f"{verb} only the ops whose label contains one of these comma-separated texts",
    )


def _comma_list(text: str) -> list[str]:
    return [s.strip() for s in text.split(",") if s.strip()]


def chosen_implementations(only: str) -> set[str] | None:
    """The implementations --only names (empty: all); None, after saying why, for an unknown one."""
    chosen = set(_comma_list(only))
    known = set(implementation_order())
    if chosen - known:
        print(
            f"unknown implementation(s): {', '.join(sorted(chosen - known))}; known: {sorted(known)}"
        )
        return None
    return chosen


def op_chosen(label: str, ops: str) -> bool:
    """Whether --ops (empty: every op) chooses the op with this label."""
    wanted = _comma_list(ops)
    return not wanted or any(w in label for w in wanted)


def load_implementations(only: set[str], log=print) -> tuple[dict, dict]:
    """Builds the peers and imports kestrum (as `REFERENCE`) and every peer wanted.

    Returns (modules, status per implementation)."""
    sys.path[:0] = import_path_entries()
    modules, status = {}, {}
    if not only or REFERENCE in only:
        try:
            modules[REFERENCE] = importlib.import_module("kestrum")
            status[REFERENCE] = {
                "status": "ok",
                "file": getattr(modules[REFERENCE], "__file__", ""),
            }
        except ImportError as e:
            status[REFERENCE] = {"status": "missing", "reason": f"not importable: {e}"}
    for peer in PEER_LIST:
        if not only or peer.name in only:
            load_peer(peer, modules, status, log=log, versions=peer.versions)
    return modules, status


def load_peer(peer: Peer, modules: dict, status: dict, log=print, **extra: Any) -> bool:
    """Builds `peer` and imports it into `modules`, recording its status (with `extra`).
    Returns whether it was imported."""
    ensure_built(peer, log=log)
    importlib.invalidate_caches()  # the build may have just created the module file
    entry = {"status": peer.status, "module": peer.module, **extra}
    if peer.status == "missing":
        entry["reason"] = peer.reason
    else:
        try:
            modules[peer.name] = importlib.import_module(peer.module)
        except ImportError as e:
            entry.update(status="broken", reason=f"built but not importable: {e}")
    status[peer.name] = entry
    return peer.name in modules
