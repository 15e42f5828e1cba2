"""Many threads at once: constructions, accessors and failures, shared error values, and
references released by threads that do not hold the interpreter lock."""

from __future__ import annotations

import os
import random
import sys
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import _kestrum_testing as t
import pytest
from conftest import CAUSE, Sides, TypeErrorWithCause

from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

THREADS = 8
OPERATIONS = int(os.environ.get("KESTRUM_THREAD_OPERATIONS", "100000"))


def expect_raises(call: Callable[[], object], error: type, message: str) -> None:
    try:
        call()
    except BaseException as raised:
        assert type(raised) is error, repr(raised)
        assert str(raised) == message
        return
    raise AssertionError(f"expected {error.__name__}: {message}")


def operations(worker: int, shared: Cylinder) -> list[Callable[[random.Random], None]]:
    """One checked operation per entry; each draws its inputs from the thread's generator."""
    path = f"meshes/worker-{worker}/Gelände-{'é' * worker}.obj"

    def axial(rng: random.Random) -> None:
        cls = rng.choice((Cylinder, Cone))
        radius, length = rng.randrange(-1000, 1000), rng.randrange(-1000, 1000)
        shape = cls(radius, length=length) if rng.random() < 0.5 else cls(radius, length)
        # Small integers and their halves are exact in single precision.
        assert shape.radius() == radius and shape.half_length() == length / 2

    def shared_accessors(rng: random.Random) -> None:
        assert shared.radius() == 0.5 and shared.half_length() == 1.25

    def uncounted(rng: random.Random) -> None:
        made = rng.choice(
            (
                lambda: Sphere(rng.random()),
                lambda: Capsule(radius=1, length=rng.random()),
                lambda: Cuboid([rng.random(), 2, 3]),
                lambda: Cuboid(Sides(1.0, 2.0, 3.0, 4.0)),
            )
        )()
        assert type(made) in (Sphere, Capsule, Cuboid)

    def mesh(rng: random.Random) -> None:
        assert PyMesh(path).mesh_path == path

    def failing(rng: random.Random) -> None:
        case = rng.randrange(7)
        if case == 0:
            expect_raises(
                lambda: Sphere("1"), TypeError, "argument 'radius': must be real number, not str"
            )
        elif case == 1:
            expect_raises(
                lambda: Cylinder(1),
                TypeError,
                "Cylinder.__new__() missing 1 required positional argument: 'length'",
            )
        elif case == 2:
            expect_raises(
                lambda: Cone(1, 2, 3),
                TypeError,
                "Cone.__new__() takes 2 positional arguments but 3 were given",
            )
        elif case == 3:
            expect_raises(
                lambda: PyMesh(worker),
                TypeError,
                "argument 'path': 'int' object cannot be converted to 'PyString'",
            )
        elif case == 4:
            expect_raises(
                lambda: Cuboid(Sides(1.0, 2.0)),
                ValueError,
                "argument 'sides': expected a sequence of at least 3 numbers, got 2",
            )
        elif case == 5:
            expect_raises(
                lambda: Capsule(1, 10**400), OverflowError, "int too large to convert to float"
            )
        else:
            try:
                Cone(TypeErrorWithCause(), 1)
            except TypeError as raised:
                assert str(raised) == "argument 'radius': no float here"
                assert raised.__cause__ is CAUSE
            else:
                raise AssertionError("Cone accepted a radius without a float")

    return [axial, shared_accessors, uncounted, mesh, failing]


@pytest.fixture
def fast_switching() -> Iterator[None]:
    """Threads hand the lock over far more often than by default."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def test_mixed_operations_on_many_threads(fast_switching: None) -> None:
    shared = Cylinder(0.5, 2.5)
    barrier = threading.Barrier(THREADS)
    done = [0] * THREADS
    errors: list[BaseException] = []

    def work(worker: int) -> None:
        rng = random.Random(worker)
        table = operations(worker, shared)
        barrier.wait()
        try:
            for _ in range(OPERATIONS):
                rng.choice(table)(rng)
                done[worker] += 1
        except BaseException as error:  # reported below, with the thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors[:3]
    assert done == [OPERATIONS] * THREADS
    assert shared.radius() == 0.5
    assert t.gil_count() == 1


def normalize_on_threads(label: str, count: int) -> tuple[list[int], list[Any]]:
    """Normalizes one error value on `count` threads at once: (builder calls, results)."""
    calls: list[int] = []

    def builder() -> tuple[type, str]:
        calls.append(threading.get_ident())
        time.sleep(0.002)  # lets the other threads arrive while this one normalizes
        return KeyError, label

    value = t.ErrorValue(builder)
    barrier = threading.Barrier(count)
    seen: list[Any] = [None] * count

    def normalize(index: int) -> None:
        barrier.wait()
        seen[index] = value.normalize()

    threads = [threading.Thread(target=normalize, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return calls, seen


def test_threads_normalizing_one_error_value_share_one_exception() -> None:
    for round_number in range(20):
        calls, seen = normalize_on_threads(f"round {round_number}", 12)
        assert len(calls) == 1
        first = seen[0]
        assert type(first) is KeyError and first.args == (f"round {round_number}",)
        assert all(exception is first for exception in seen)
    assert t.gil_count() == 1


# The next entry applies them, also a constructor call that would take the uncounted road.
@pytest.mark.parametrize(
    "next_entry", [t.noop, lambda: t.Probe(1.0)], ids=["boundary", "uncounted"]
)
def test_releases_from_threads_without_the_lock_are_applied_later(
    next_entry: Callable[[], object],
) -> None:
    objects = [object() for _ in range(64)]
    shared = object()
    before = [sys.getrefcount(obj) for obj in objects]
    shared_before = sys.getrefcount(shared)
    queued: list[bool] = []

    def release(worker: int) -> None:
        for i in range(400):
            # Each call holds the lock while its helper thread, which does not, queues the
            # release; so the release is still pending when the call returns.
            queued.append(t.release_from_thread(objects[(worker * 400 + i) % len(objects)]))
            queued.append(t.release_from_thread(shared))

    threads = [threading.Thread(target=release, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(queued) == THREADS * 800 and all(queued)
    next_entry()
    assert [sys.getrefcount(obj) for obj in objects] == before
    assert sys.getrefcount(shared) == shared_before
