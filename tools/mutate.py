#!/usr/bin/env python3
"""Mutation testing: does the fast test suite notice when the native code is wrong?

    python3 tools/mutate.py [--only ID ...] [--check] [-- pytest arguments...]

Applies each mutant of tools/mutants.toml (a single-line change) to a copy of the tree, one at a
time, rebuilds incrementally, runs the fast tests against that build and reports the mutant as
killed (a test failed, crashed or timed out) or survived (every test passed). A mutant whose text
is missing from its file, or found more than once, is stale: its entry needs rewriting. The score
is killed / (killed + survived).

The developer's files are never written: the tree (tracked and untracked, not ignored) is copied
into build/mutate/tree, and build/mutate/build is reused across mutants and runs, so that a
mutant costs the recompilation of what its file reaches plus one test run. Too slow for CI.
"""

from __future__ import annotations

import argparse
import filecmp
import os
import shutil
import signal
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The typing tests check the stubs with mypy, not the native code; the scale test is timing.
FAST_TEST_ARGS = ["tests", "--ignore=tests/test_typing.py"]
FAST_TEST_ENV = {
    "KESTRUM_SKIP_SCALE": "1",
    "KESTRUM_FUZZ_EXAMPLES": "200",
    "KESTRUM_THREAD_OPERATIONS": "20000",
}


@dataclass
class Mutant:
    id: str
    file: str
    find: str
    replace: str
    why: str


@dataclass
class Outcome:
    verdict: str  # killed, survived, stale, unbuildable
    detail: str
    seconds: float = 0.0


def load_mutants(path: Path) -> list[Mutant]:
    with path.open("rb") as handle:
        entries = tomllib.load(handle)["mutant"]
    mutants = [Mutant(**entry) for entry in entries]
    ids = [m.id for m in mutants]
    duplicates = sorted({i for i in ids if ids.count(i) > 1})
    if duplicates:
        raise SystemExit(f"mutate: duplicate mutant ids in {path}: {', '.join(duplicates)}")
    return mutants


def staleness(tree: Path, mutant: Mutant) -> str | None:
    """Why the mutant cannot be applied to the tree as it is, or None."""
    path = tree / mutant.file
    if not path.is_file():
        return f"{mutant.file} does not exist"
    if "\n" in mutant.find or "\n" in mutant.replace:
        return "the text to find or its replacement spans lines"
    count = path.read_text().count(mutant.find)
    if count == 0:
        return "text not found"
    if count > 1:
        return f"text found {count} times"
    return None


def source_files() -> list[str]:
    listed = subprocess.run(
        ["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
        cwd=ROOT,
        check=True,
        capture_output=True,
    ).stdout.decode()
    return sorted(name for name in listed.split("\0") if name and (ROOT / name).is_file())


def sync_tree(tree: Path) -> None:
    """Makes the copy equal to the developer's tree, touching only files that differ."""
    wanted = set(source_files())
    for name in sorted(wanted):
        source, target = ROOT / name, tree / name
        if target.is_file() and filecmp.cmp(source, target, shallow=False):
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        # A fresh modification time: the build must see the file as changed, even when the
        # developer's copy is older than objects built from a mutant.
        shutil.copyfile(source, target)
        shutil.copymode(source, target)
    for path in sorted(tree.rglob("*"), reverse=True):
        relative = path.relative_to(tree).as_posix()
        if path.is_file() and relative not in wanted:
            path.unlink()
        elif path.is_dir() and not any(path.iterdir()):
            path.rmdir()


def run(command: list[str], timeout: float, env: dict[str, str] | None = None, cwd: Path = ROOT):
    """Runs a command in its own process group; on timeout or Ctrl-C the whole group dies.

    Returns (exit status or None on timeout, combined output)."""
    process = subprocess.Popen(
        command,
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        errors="replace",
        start_new_session=True,
    )
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise


class Workspace:
    def __init__(self, work: Path, python: str, jobs: int, pytest_args: list[str]) -> None:
        self.tree = work / "tree"
        self.build = work / "build"
        self.python = python
        self.jobs = jobs
        self.pytest_args = pytest_args

    def configure(self) -> None:
        if (self.build / "CMakeCache.txt").exists():
            return
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        status, output = run(
            [
                "cmake",
                "-S",
                str(self.tree),
                "-B",
                str(self.build),
                *generator,
                "-DKESTRUM_TESTING=ON",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython_EXECUTABLE={self.python}",
            ],
            timeout=600,
        )
        if status != 0:
            raise SystemExit(f"mutate: configuring failed:\n{output}")

    def compile(self, timeout: float) -> tuple[bool, str]:
        status, output = run(
            ["cmake", "--build", str(self.build), "-j", str(self.jobs)], timeout=timeout
        )
        return status == 0, output

    def test(self, timeout: float) -> tuple[int | None, str]:
        env = {
            **os.environ,
            **FAST_TEST_ENV,
            "PYTHONPATH": str(self.build),
            "KESTRUM_TESTING_BUILD": str(self.build / "tests" / "native"),
        }
        command = [self.python, "-m", "pytest", "-x", "-q", "-rfE", "-p", "no:cacheprovider"]
        return run(command + self.pytest_args, timeout=timeout, env=env, cwd=self.tree)


def first_failure(output: str) -> str:
    for line in output.splitlines():
        if line.startswith(("FAILED ", "ERROR ")):
            return line.split(" - ")[0]
    lines = [line for line in output.splitlines() if line.strip()]
    return lines[-1] if lines else "no output"


def judge(status: int | None, output: str, timeout: float) -> tuple[str, str]:
    if status is None:
        return "killed", f"timed out after {timeout:.0f} s"
    if status < 0:
        return "killed", f"crashed ({signal.Signals(-status).name}) {first_failure(output)}"
    if status == 0:
        return "survived", "every test passed"
    if status in (4, 5):
        raise SystemExit(f"mutate: pytest could not run the tests (status {status}):\n{output}")
    return "killed", first_failure(output)


def try_mutant(space: Workspace, mutant: Mutant, test_timeout: float) -> Outcome:
    reason = staleness(space.tree, mutant)
    if reason is not None:
        return Outcome("stale", reason)
    path = space.tree / mutant.file
    original = path.read_text()
    started = time.monotonic()
    try:
        path.write_text(original.replace(mutant.find, mutant.replace, 1))
        built, log = space.compile(timeout=1200)
        if not built:
            errors = [line for line in log.splitlines() if "error" in line]
            return Outcome("unbuildable", errors[0] if errors else "the build failed")
        status, output = space.test(timeout=test_timeout)
        verdict, detail = judge(status, output, test_timeout)
        return Outcome(verdict, detail, time.monotonic() - started)
    finally:
        path.write_text(original)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mutants", type=Path, default=ROOT / "tools" / "mutants.toml")
    parser.add_argument("--only", nargs="+", metavar="ID", help="run only these mutants")
    parser.add_argument(
        "--check", action="store_true", help="only report which mutants are stale; build nothing"
    )
    parser.add_argument("--work", type=Path, default=ROOT / "build" / "mutate")
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument(
        "--timeout",
        type=float,
        help="seconds one test run may take (default: four times the clean run, at least 120)",
    )
    parser.add_argument("pytest_args", nargs="*", help="after --: replaces the fast test selection")
    options = parser.parse_args()

    mutants = load_mutants(options.mutants)
    if options.only:
        unknown = set(options.only) - {m.id for m in mutants}
        if unknown:
            raise SystemExit(f"mutate: no such mutant: {', '.join(sorted(unknown))}")
        mutants = [m for m in mutants if m.id in options.only]

    space = Workspace(
        options.work, options.python, options.jobs, options.pytest_args or FAST_TEST_ARGS
    )
    space.tree.mkdir(parents=True, exist_ok=True)
    sync_tree(space.tree)

    if options.check:
        stale = [(m, staleness(space.tree, m)) for m in mutants]
        for mutant, reason in stale:
            print(f"{'stale' if reason else 'ok':6} {mutant.id:34} {mutant.file}  {reason or ''}")
        return 1 if any(reason for _, reason in stale) else 0

    space.configure()
    print("mutate: building and testing the unmutated tree", flush=True)
    built, log = space.compile(timeout=1800)
    if not built:
        raise SystemExit(f"mutate: the unmutated tree does not build:\n{log}")
    started = time.monotonic()
    status, output = space.test(timeout=3600)
    clean_seconds = time.monotonic() - started
    if status != 0:
        raise SystemExit(
            f"mutate: the tests fail on the unmutated tree, so no mutant can be judged:\n{output}"
        )
    test_timeout = options.timeout or max(120.0, 4 * clean_seconds)
    print(f"mutate: clean run {clean_seconds:.0f} s; a test run may take {test_timeout:.0f} s")

    outcomes: list[tuple[Mutant, Outcome]] = []
    width = len(str(len(mutants)))
    try:
        for number, mutant in enumerate(mutants, 1):
            outcome = try_mutant(space, mutant, test_timeout)
            outcomes.append((mutant, outcome))
            print(
                f"[{number:{width}}/{len(mutants)}] {outcome.verdict:11} {mutant.id:34} "
                f"{mutant.file}  ({outcome.seconds:.0f} s) {outcome.detail}",
                flush=True,
            )
    except KeyboardInterrupt:
        print("\nmutate: interrupted; the copy is restored, the developer's tree was never touched")

    return report(outcomes)


def report(outcomes: list[tuple[Mutant, Outcome]]) -> int:
    counts = {v: 0 for v in ("killed", "survived", "stale", "unbuildable")}
    for _, outcome in outcomes:
        counts[outcome.verdict] += 1
    judged = counts["killed"] + counts["survived"]
    print()
    for verdict in ("survived", "stale", "unbuildable"):
        for mutant, outcome in outcomes:
            if outcome.verdict == verdict:
                print(f"{verdict}: {mutant.id} ({mutant.file}): {mutant.why}")
                if verdict != "survived":
                    print(f"    {outcome.detail}")
    score = (
        f"{counts['killed']}/{judged} = {100 * counts['killed'] / judged:.0f}%" if judged else "-"
    )
    print(
        f"\nmutate: score {score} killed; {counts['survived']} survived, {counts['stale']} stale, "
        f"{counts['unbuildable']} unbuildable, of {len(outcomes)} mutants"
    )
    return 0 if counts["survived"] == counts["stale"] == counts["unbuildable"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
