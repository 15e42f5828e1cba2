"""Leak hunting: every public operation and failure path, repeated until growth would show.

Each case runs for warm-up rounds, then for measured rounds; after each measured round the
interpreter's memory blocks, the bytes in use on the native heap and the reference counts of
the class, of the argument objects and of the exception types (and causes) involved are
compared with the round before. A value that grew in every measured round is a leak, as in
the interpreter's own reference-leak hunter; a stray allocation that a cache makes once does
not grow again.
"""

from __future__ import annotations

import array
import ctypes
import ctypes.util
import gc
import sys
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from conftest import CAUSE, Converts, IndexOnly, RaisesAfresh, Sides, Subclass, raised_by

from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

WARMUP_ROUNDS = 2
MEASURED_ROUNDS = 4
CALLS_PER_ROUND = 100


# The members of glibc's struct mallinfo2, in order.
MALLINFO2 = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in MALLINFO2.split()]


def _native_heap() -> Callable[[], int]:
    """Bytes in use on the C heap (the C++ side of kestrum allocates there)."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    mallinfo2 = getattr(libc, "mallinfo2", None)
    if mallinfo2 is None:
        return lambda: 0
    mallinfo2.restype = _MallInfo2

    def in_use() -> int:
        info = mallinfo2()
        return int(info.uordblks + info.hblkhd)

    return in_use


native_heap_in_use = _native_heap()


def hunt(operation: Callable[[], object], watched: dict[str, object]) -> None:
    """Fails if `operation` leaks memory blocks, native heap or references to `watched`."""
    names = ["memory blocks", "native heap bytes", *(f"refcount of {n}" for n in watched)]
    objects = list(watched.values())
    width = len(names)
    # Measurements go into a table made beforehand, so that keeping them allocates nothing.
    table = array.array("q", bytes(8 * width * (MEASURED_ROUNDS + 1)))

    def measure(row: int) -> None:
        base = row * width
        table[base] = sys.getallocatedblocks()
        table[base + 1] = native_heap_in_use()
        for i in range(len(objects)):
            table[base + 2 + i] = sys.getrefcount(objects[i])

    # A collection at a random point would move the counts. (Collecting first would cost more
    # than the whole hunt once a long test run has filled the heap.)
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(WARMUP_ROUNDS):
            for _ in range(CALLS_PER_ROUND):
                operation()
        measure(0)
        for row in range(1, MEASURED_ROUNDS + 1):
            for _ in range(CALLS_PER_ROUND):
                operation()
            measure(row)
    finally:
        if was_enabled:
            gc.enable()
    deltas = {
        name: [
            table[row * width + i] - table[(row - 1) * width + i]
            for row in range(1, MEASURED_ROUNDS + 1)
        ]
        for i, name in enumerate(names)
    }
    grew = {name: d for name, d in deltas.items() if all(delta >= 1 for delta in d)}
    assert not grew, f"grew in every round of {CALLS_PER_ROUND} calls: {grew}"


def swallow(call: Callable[[], object]) -> Callable[[], None]:
    def run() -> None:
        try:
            call()
        except BaseException:
            pass

    return run


# ---- hostile arguments --------------------------------------------------------------------


class IteratedSides(Sides):
    """Sides iterated by their own iterator, which raises an exception class met among the values
    (a new instance each time), or refuses to start when `broken`."""

    def __init__(self, *values: Any, length: Any = None, broken: bool = False) -> None:
        super().__init__(*values, length=length)
        self.broken = broken

    def __iter__(self) -> Iterator[Any]:
        if self.broken:
            raise TypeError("cannot iterate") from CAUSE
        return self._each()

    def _each(self) -> Iterator[Any]:
        for item in self.values:
            if isinstance(item, type):
                raise item("stop")
            yield item


# ---- cases --------------------------------------------------------------------------------

# (id, class, positional arguments, keyword arguments)
SUCCESSES: list[tuple[str, type, tuple[Any, ...], dict[str, Any]]] = [
    ("sphere-float", Sphere, (1.5,), {}),
    ("sphere-keyword", Sphere, (), {"radius": 1.5}),
    ("sphere-int", Sphere, (3,), {}),
    ("sphere-huge-int", Sphere, (10**300,), {}),
    ("sphere-bool", Sphere, (True,), {}),
    ("sphere-float-subclass", Sphere, (Subclass.Float(2.0),), {}),
    ("sphere-int-subclass", Sphere, (Subclass.Int(7),), {}),
    ("sphere-dunder-float", Sphere, (Converts(2.5),), {}),
    ("sphere-dunder-index", Sphere, (IndexOnly(4),), {}),
    ("capsule", Capsule, (1.0, 4.0), {}),
    ("capsule-keywords", Capsule, (), {"length": 4.0, "radius": 1.0}),
    ("cylinder", Cylinder, (2.0, 6.0), {}),
    ("cylinder-mixed", Cylinder, (2.0,), {"length": 6.0}),
    ("cone", Cone, (-1, 5e38), {}),
    ("cuboid-list", Cuboid, ([2.0, 4.0, 6.0],), {}),
    ("cuboid-tuple", Cuboid, ((2, 4, 6, 8),), {}),
    ("cuboid-keyword", Cuboid, (), {"sides": [2.0, 4.0, 6.0]}),
    ("cuboid-range", Cuboid, (range(2, 8, 2),), {}),
    ("cuboid-bytes", Cuboid, (b"\x01\x02\x03",), {}),
    ("cuboid-sequence", Cuboid, (IteratedSides(1.0, IndexOnly(2), Converts(2.5)),), {}),
    ("cuboid-length-raises", Cuboid, (IteratedSides(1, 2, 3, length=KeyError),), {}),
    ("cuboid-length-absurd", Cuboid, (IteratedSides(1, 2, 3, length=sys.maxsize),), {}),
    ("cuboid-length-too-big", Cuboid, (IteratedSides(1, 2, 3, length=10**30),), {}),
    ("mesh", PyMesh, ("meshes/a.obj",), {}),
    ("mesh-keyword", PyMesh, (), {"path": "meshes/a.obj"}),
    ("mesh-non-ascii", PyMesh, ("Gelände/ü€😀.obj",), {}),
    ("mesh-nul", PyMesh, ("a\0b",), {}),
    ("mesh-str-subclass", PyMesh, (Subclass.Str("b.obj"),), {}),
]

_LONE = "\udcff"

# (id, class, positional, keyword): calls that fail; their messages are tested where the
# failures are made (test_binding, test_conversion).
# fmt: off
FAILURES: list[tuple[str, type, tuple[Any, ...], dict[str, Any]]] = [
    # Binding.
    ("missing-one", Sphere, (), {}),
    ("missing-two", Capsule, (), {}),
    ("missing-after-keyword", Cone, (), {"length": 1.0}),
    ("too-many", Cylinder, (1, 2, 3), {}),
    ("too-many-one", Cuboid, ([1, 2, 3], [4, 5, 6]), {}),
    ("multiple-values", PyMesh, ("a",), {"path": "b"}),
    ("unexpected-keyword", Capsule, (1, 2), {"height": 3}),
    ("unexpected-non-ascii-keyword", Sphere, (), {"rädius": 1}),
    ("unexpected-surrogate-keyword", Sphere, (), {_LONE: 1}),
    ("unprintable-keyword", Sphere, (), {Subclass.UnprintableStr("r"): 1}),
    # Conversion of numbers.
    ("radius-str", Sphere, ("1",), {}),
    ("length-none", Capsule, (1, None), {}),
    ("radius-before-length", Cylinder, ("a", None), {}),
    ("radius-overflow", Cone, (10**400, 1), {}),
    ("dunder-float-raises", Sphere, (RaisesAfresh(ZeroDivisionError("nope")),), {}),
    ("dunder-float-wrong-type", Cylinder, (1, Converts("1.0")), {}),
    ("dunder-index-wrong-type", Capsule, (IndexOnly("x"), 1), {}),
    ("dunder-index-overflow", Sphere, (IndexOnly(10**400),), {}),
    ("type-error-with-cause", Cone, (RaisesAfresh(TypeError("no float here"), CAUSE), 1), {}),
    ("value-error-with-cause", Sphere, (RaisesAfresh(ValueError("bad float"), CAUSE),), {}),
    # Conversion of sequences.
    ("sides-str", Cuboid, ("abc",), {}),
    ("sides-dict", Cuboid, ({},), {}),
    ("sides-int", Cuboid, (5,), {}),
    ("sides-bad-element", Cuboid, ([1, 2, 3, "x"],), {}),
    ("sides-bad-tuple-element", Cuboid, ((1, None, 3),), {}),
    ("sides-overflow", Cuboid, ([1, 2, 10**400],), {}),
    ("sides-element-cause", Cuboid, (IteratedSides(1, RaisesAfresh(TypeError("no float here"), CAUSE), 3),), {}),
    ("sides-iteration-raises", Cuboid, (IteratedSides(1, 2, ValueError),), {}),
    ("sides-iter-raises-with-cause", Cuboid, (IteratedSides(1, 2, 3, broken=True),), {}),
    ("sides-too-few", Cuboid, ([1.0, 2.0],), {}),
    ("sides-empty", Cuboid, (IteratedSides(length=KeyError),), {}),
    # Conversion of text.
    ("path-int", PyMesh, (1,), {}),
    ("path-bytes", PyMesh, (b"a.obj",), {}),
    ("path-lone-surrogate", PyMesh, ("a" + _LONE,), {}),
]
# fmt: on


def watch(cls: type, args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, object]:
    watched: dict[str, object] = {cls.__name__: cls}
    for i, value in enumerate((*args, *kwargs.values())):
        watched[f"argument {i}"] = value
        if isinstance(value, (list, tuple)):
            for j, item in enumerate(value):
                watched[f"item {j} of argument {i}"] = item
        if isinstance(value, Sides):
            watched[f"items of argument {i}"] = value.values
    for j, key in enumerate(kwargs):
        watched[f"keyword {j}"] = key
    return watched


@pytest.mark.parametrize(
    ("cls", "args", "kwargs"), [c[1:] for c in SUCCESSES], ids=[c[0] for c in SUCCESSES]
)
def test_construction_does_not_leak(
    construct: Callable[..., Any], cls: type, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    assert type(construct(cls, *args, **kwargs)) is cls
    hunt(lambda: construct(cls, *args, **kwargs), watch(cls, args, kwargs))


@pytest.mark.parametrize(
    ("cls", "args", "kwargs"), [c[1:] for c in FAILURES], ids=[c[0] for c in FAILURES]
)
def test_failure_does_not_leak(
    construct: Callable[..., Any],
    monkeypatch: pytest.MonkeyPatch,
    cls: type,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
) -> None:
    # An unprintable keyword makes one report per call: kept, they would grow.
    monkeypatch.setattr(sys, "unraisablehook", lambda _: None)
    call = lambda: construct(cls, *args, **kwargs)  # noqa: E731
    error = raised_by(call)
    watched = watch(cls, args, kwargs)
    watched[type(error).__name__] = type(error)
    if error.__cause__ is not None:
        watched["the cause"] = error.__cause__
    hunt(swallow(call), watched)


# ---- accessors ----------------------------------------------------------------------------

ACCESSORS: list[tuple[str, Callable[[], object], Callable[[object], object], object]] = [
    ("cylinder-radius", lambda: Cylinder(2.0, 6.0), lambda c: c.radius(), 2.0),
    ("cylinder-half-length", lambda: Cylinder(2.0, 6.0), lambda c: c.half_length(), 3.0),
    ("cone-radius", lambda: Cone(0.5, 1.0), lambda c: c.radius(), 0.5),
    ("cone-half-length", lambda: Cone(0.5, 1.0), lambda c: c.half_length(), 0.5),
    ("mesh-path", lambda: PyMesh("Gelände/a.obj"), lambda m: m.mesh_path, "Gelände/a.obj"),
]


@pytest.mark.parametrize(
    ("make", "read", "expected"), [a[1:] for a in ACCESSORS], ids=[a[0] for a in ACCESSORS]
)
def test_accessor_does_not_leak(
    make: Callable[[], object], read: Callable[[object], object], expected: object
) -> None:
    instance = make()
    assert read(instance) == expected
    hunt(lambda: read(instance), {"the instance": instance, "its class": type(instance)})


@pytest.mark.parametrize("cls", [Cylinder, Cone])
def test_accessor_call_with_arguments_does_not_leak(cls: type) -> None:
    instance = cls(1, 2)
    hunt(swallow(lambda: instance.radius(1)), {"the instance": instance, "its class": cls})


def _counts_native_heap() -> bool:
    before = native_heap_in_use()
    buffer = ctypes.create_string_buffer(1 << 20)
    grown = native_heap_in_use() - before >= 1 << 20
    del buffer
    return grown


def test_hunt_sees_a_leak() -> None:
    """The hunter itself finds a reference, a memory block and native memory kept per call
    (the last two only where the allocators count them: not with PYTHONMALLOC=malloc, nor
    under a sanitizer's allocator)."""
    kept: list[object] = []
    target = object()
    with pytest.raises(AssertionError, match="refcount of target"):
        hunt(lambda: kept.append(target), {"target": target})
    if sys.getallocatedblocks() > 0:
        with pytest.raises(AssertionError, match="memory blocks"):
            hunt(lambda: kept.append(object()), {})
    if _counts_native_heap():
        with pytest.raises(AssertionError, match="native heap bytes"):
            hunt(lambda: kept.append(ctypes.create_string_buffer(4096)), {})
