"""Scale: converting `sides` reads each element once, and needs no memory that grows with the
number of elements or with what the sequence claims as its length.

The memory cases run in a child process under an address-space limit a little above what it
already uses. Set KESTRUM_SKIP_SCALE=1 to skip them (the valgrind run does: it would take
hours there).
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
from conftest import NEEDS_ADDRESS_SPACE_LIMIT, Logged, Sides

import kestrum
from kestrum import Cuboid

LARGE = 10_000_000
# Room above the child's address space when a conversion starts: far less than the 40 MB that
# one single-precision number per element of LARGE would take.
HEADROOM = 16 * 2**20

# Makes the sequence, caps the address space just above what the process already has, then
# converts it; prints "ok" when it converted.
SCRIPT = r"""
import array, resource, sys
sys.path.insert(0, LOCATION)
from kestrum import Cuboid

class Liar:
    def __len__(self):
        return 2**40
    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        return 2.0

MAKERS = {
    "list": lambda: [float(i) for i in range(LARGE)],
    "tuple": lambda: tuple(float(i) for i in range(LARGE)),
    "range": lambda: range(LARGE),
    "array": lambda: array.array("d", range(LARGE)),
    "lying length": Liar,
}
sides = MAKERS[KIND]()
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + HEADROOM, resource.RLIM_INFINITY))
Cuboid(sides)
print("ok")
"""


@pytest.mark.skipif(os.environ.get("KESTRUM_SKIP_SCALE") == "1", reason="KESTRUM_SKIP_SCALE=1")
@NEEDS_ADDRESS_SPACE_LIMIT
@pytest.mark.parametrize("kind", ["list", "tuple", "range", "array", "lying length"])
def test_conversion_needs_no_memory_per_element(kind: str) -> None:
    prelude = (
        f"LOCATION = {str(Path(kestrum.__file__).parent)!r}\nLARGE = {LARGE}\n"
        f"HEADROOM = {HEADROOM}\nKIND = {kind!r}\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", prelude + SCRIPT], capture_output=True, text=True, timeout=600
    )
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr


class CountedSides(Sides):
    reads = 0

    def __getitem__(self, index: int) -> Any:
        CountedSides.reads += 1
        return super().__getitem__(index)


@pytest.mark.parametrize(
    ("make", "reads"),
    [(list, 0), (tuple, 0), (lambda values: CountedSides(*values), 1)],
    ids=["list", "tuple", "sequence"],
)
@pytest.mark.parametrize("n", [1_000, 5_000])
def test_each_element_is_read_and_converted_once(make: Any, reads: int, n: int) -> None:
    conversions: list[Any] = []
    CountedSides.reads = 0
    Cuboid(make([Logged(conversions) for _ in range(n)]))
    assert len(conversions) == n
    # A sequence without its own iterator is read by index up to the IndexError that ends it.
    assert CountedSides.reads == (n + 1) * reads
