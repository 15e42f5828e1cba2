"""Scale: converting `sides` of ten million numbers takes time linear in their count, and at
its peak no more memory than twice the converted list (four bytes a number).

Runs in a child process so that its memory high-water mark is its own. Set
KESTRUM_SKIP_SCALE=1 to skip it (the valgrind run does: it would take hours there).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import kestrum

SMALL = 2_000_000
LARGE = 10_000_000

# Prints, for each kind of sequence and each size, the best time of three conversions and
# the most memory that any of them added to the process at its peak. The time is this process's
# processor time: on a shared machine, waiting for a processor is not the conversion's work.
SCRIPT = r"""
import array, gc, json, sys, time
sys.path.insert(0, LOCATION)
from kestrum import Cuboid

def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)

def reset_peak():
    with open("/proc/self/clear_refs", "w") as out:
        out.write("5")

MAKERS = {
    "list": lambda n: [float(i) for i in range(n)],
    "tuple": lambda n: tuple(float(i) for i in range(n)),
    "range": lambda n: range(n),
    "array": lambda n: array.array("d", range(n)),
}
report = {}
for kind, make in MAKERS.items():
    for n in (SMALL, LARGE):
        sides = make(n)
        times, extra = [], 0
        for _ in range(3):
            gc.collect()
            reset_peak()
            before = status("VmRSS")
            start = time.process_time()
            Cuboid(sides)
            times.append(time.process_time() - start)
            extra = max(extra, status("VmHWM") - before)
        report[f"{kind} {n}"] = {"seconds": min(times), "extra_bytes": extra}
        del sides
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def report() -> dict[str, dict[str, float]]:
    if os.environ.get("KESTRUM_SKIP_SCALE") == "1":
        pytest.skip("KESTRUM_SKIP_SCALE=1")
    if not Path("/proc/self/clear_refs").exists():
        pytest.skip("needs Linux's /proc/self/clear_refs to measure peak memory")
    prelude = (
        f"LOCATION = {str(Path(kestrum.__file__).parent)!r}\nSMALL = {SMALL}\nLARGE = {LARGE}\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", prelude + SCRIPT], capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])  # type: ignore[no-any-return]


KINDS = ["list", "tuple", "range", "array"]


@pytest.mark.parametrize("kind", KINDS)
def test_time_grows_linearly(report: dict[str, dict[str, float]], kind: str) -> None:
    small, large = report[f"{kind} {SMALL}"]["seconds"], report[f"{kind} {LARGE}"]["seconds"]
    # Five times the numbers: five times the time, with room for a noisy machine and for
    # caches that hold less of the larger input; a quadratic conversion would take 25 times.
    factor = LARGE / SMALL
    assert large <= 2.5 * factor * small, f"{SMALL}: {small:.3f} s, {LARGE}: {large:.3f} s"


@pytest.mark.parametrize("kind", KINDS)
def test_peak_memory_stays_within_twice_the_converted_list(
    report: dict[str, dict[str, float]], kind: str
) -> None:
    converted = 4 * LARGE
    extra = report[f"{kind} {LARGE}"]["extra_bytes"]
    assert extra <= 2 * converted, f"peak grew by {extra / 2**20:.1f} MiB"
