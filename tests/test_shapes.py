"""The five analytic shapes: stored values, range freedom and the sides of a box."""

from __future__ import annotations

import ctypes
import gc
import math
import struct
import sys
import types
from collections.abc import Callable
from decimal import Decimal
from fractions import Fraction
from typing import Any

import pytest
from conftest import SAMPLES, Converts, IndexOnly, Sides, Subclass, run_child

from kestrum import Capsule, Cone, Cuboid, Cylinder, Sphere

Construct = Callable[..., Any]

FLT_MAX = 3.4028234663852886e38
# The smallest magnitude that rounds to infinity in single precision.
FLT_OVERFLOW = 3.4028235677973366e38
FLT_TRUE_MIN = 2.0**-149


def f32(value: float) -> float:
    """`value` rounded to single precision (nearest, ties to even) and widened back."""
    try:
        return struct.unpack("f", struct.pack("f", value))[0]  # type: ignore[no-any-return]
    except OverflowError:
        # pack refuses exactly the values whose rounding overflows.
        return math.copysign(math.inf, value)


def half(value: float) -> float:
    """A length as stored: rounded to single precision first, then halved in it."""
    return f32(f32(value) * 0.5)


def same(got: float, expected: float) -> bool:
    """Equality that also tells NaN from NaN and -0.0 from 0.0."""
    if math.isnan(expected):
        return math.isnan(got)
    return got == expected and math.copysign(1.0, got) == math.copysign(1.0, expected)


# (radius argument, length argument, expected radius, expected half length)
VALUES: list[tuple[Any, Any, float, float]] = [
    (2, 6, 2.0, 3.0),
    (0.1, 0.2, 0.10000000149011612, 0.10000000149011612),
    (-1, -3, -1.0, -1.5),
    (0, 0, 0.0, 0.0),
    (-0.0, -0.0, -0.0, -0.0),
    (True, 4, 1.0, 2.0),
    (False, True, 0.0, 0.5),
    (-1, -1, -1.0, -0.5),
    (-1.0, -1.0, -1.0, -0.5),
    # -1.0 also signals a failed conversion.
    (Converts(-1.0), Converts(-1.0), -1.0, -0.5),
    (IndexOnly(-1), IndexOnly(-1), -1.0, -0.5),
    (IndexOnly(3), IndexOnly(10), 3.0, 5.0),
    (Subclass.Float(1.5), Subclass.Float(0.2), 1.5, half(0.2)),
    (Subclass.Int(7), Subclass.Int(9), 7.0, 4.5),
    (Subclass.IntOwnFloat(7), Subclass.IntOwnFloat(9), 0.25, 0.125),
    (Fraction(1, 3), Fraction(2, 3), f32(1 / 3), half(2 / 3)),
    (Decimal("0.1"), Decimal("2.5"), f32(0.1), 1.25),
    (math.nan, math.nan, math.nan, math.nan),
    (math.inf, -math.inf, math.inf, -math.inf),
    (1e39, 1, math.inf, 0.5),
    (-1e39, -1e39, -math.inf, -math.inf),
    (1, 5e38, 1.0, math.inf),
    (1, FLT_MAX, 1.0, 1.7014117331926443e38),
    (FLT_OVERFLOW, FLT_OVERFLOW, math.inf, math.inf),
    (math.nextafter(FLT_OVERFLOW, 0), math.nextafter(FLT_OVERFLOW, 0), FLT_MAX, FLT_MAX / 2),
    (2**1023, 2**1023, math.inf, math.inf),
    (1e-50, -1e-50, 0.0, -0.0),
    # Ties go to the even neighbour; the second case would round down if truncated.
    (1 + 2**-24, 1 + 3 * 2**-24, 1.0, half(1 + 3 * 2**-24)),
    (2**24 + 1, 2**25 + 3, 16777216.0, half(2**25 + 3)),
    # Subnormals: halving after rounding differs from rounding the halved length.
    (1e-40, 2.6 * FLT_TRUE_MIN, f32(1e-40), 2 * FLT_TRUE_MIN),
    (FLT_TRUE_MIN, FLT_TRUE_MIN, FLT_TRUE_MIN, 0.0),
]


@pytest.mark.parametrize(("radius", "length", "expected_radius", "expected_half"), VALUES)
@pytest.mark.parametrize("cls", [Cylinder, Cone])
def test_values(
    construct: Construct,
    cls: Any,
    radius: Any,
    length: Any,
    expected_radius: float,
    expected_half: float,
) -> None:
    shape = construct(cls, radius, length)
    got_radius, got_half = shape.radius(), shape.half_length()
    assert type(got_radius) is float
    assert type(got_half) is float
    assert same(got_radius, expected_radius), got_radius
    assert same(got_half, expected_half), got_half


@pytest.mark.parametrize(
    "length",
    [0.1, 1 / 3, 1e-3, 12345.678, 3e38, 1e-38, 7e-46, 2.5 * FLT_TRUE_MIN, 123456789.0],
)
def test_half_length_is_rounded_then_halved(construct: Construct, length: float) -> None:
    assert same(construct(Cylinder, 1, length).half_length(), half(length))
    assert same(construct(Cone, 1, -length).half_length(), half(-length))


def test_each_instance_keeps_its_own_values() -> None:
    cone = Cone(0.5, 3.0)
    others = [Cone(2.0, 8.0), Cylinder(4.0, 10.0), Cone(-1, -1)]
    assert (cone.radius(), cone.half_length()) == (0.5, 1.5)
    assert [(o.radius(), o.half_length()) for o in others] == [(2.0, 4.0), (4.0, 5.0), (-1.0, -0.5)]


def test_accessors_are_methods() -> None:
    cylinder = Cylinder(1, 2)
    assert isinstance(cylinder.radius, types.BuiltinMethodType)
    assert cylinder.radius.__self__ is cylinder
    assert cylinder.radius() == 1.0


@pytest.mark.parametrize("cls", [Cylinder, Cone])
@pytest.mark.parametrize("method", ["radius", "half_length"])
def test_accessors_take_no_arguments(cls: Any, method: str) -> None:
    bound = getattr(cls(1, 2), method)
    with pytest.raises(TypeError):
        bound(0)
    with pytest.raises(TypeError):
        bound(x=0)


@pytest.mark.parametrize(
    ("cls", "args"),
    [
        (Sphere, (1.5,)),
        (Sphere, (-1,)),
        (Sphere, (0,)),
        (Sphere, (math.nan,)),
        (Sphere, (1e39,)),
        (Sphere, (True,)),
        (Sphere, (Fraction(1, 3),)),
        (Sphere, (IndexOnly(2),)),
        (Capsule, (1, 4)),
        (Capsule, (-1, 5e38)),
        (Capsule, (math.inf, math.nan)),
        (Capsule, (Subclass.Float(1), Subclass.Int(2))),
    ],
)
def test_range_free_shapes(construct: Construct, cls: type, args: tuple[Any, ...]) -> None:
    assert type(construct(cls, *args)) is cls


@pytest.mark.parametrize(
    ("cls", "args"), [(Sphere, (1,)), (Capsule, (1, 2)), (Cuboid, ([2, 4, 6],))]
)
def test_values_are_not_exposed(cls: type, args: tuple[Any, ...]) -> None:
    shape = cls(*args)
    for name in ("radius", "half_length", "length", "sides", "half_sides"):
        with pytest.raises(AttributeError):
            getattr(shape, name)
    assert [name for name in dir(shape) if not name.startswith("_")] == []


def stored_half_sides(box: Any) -> list[float]:
    """The three floats a Cuboid keeps right after the object header (nothing exposes them)."""
    return list((ctypes.c_float * 3).from_address(id(box) + object.__basicsize__))


@pytest.mark.parametrize(
    "sides",
    [
        [2, 4, 6],
        (2.0, 4.0, 6.0),
        [0.1, -0.2, 0.3],
        (1.5, 2.5, 3.5, 4.5),
        [1.5, 2.5, 3.5, 4.5, 5.5],
        [2.0, 4.0, Subclass.Float(6.5)],
        (Subclass.Float(2.5), 4.0, 6.0, 8.0),
        [2.0, 4.0, 6.0, 7],
        range(2, 8, 2),
        b"\x02\x04\x06",
        bytearray(b"\x02\x04\x06"),
        Sides(2, 4, 6),
        [2, 4, 6, 8, 10],
        [1e39, -2, math.nan],
        [10**300, -(10**300), 0],
        [True, Fraction(1, 2), IndexOnly(3)],
        [Subclass.IntOwnFloat(7), 4, 6],
        memoryview(b"\x01\x02\x03"),
    ],
    ids=lambda s: f"{type(s).__name__}-{len(s)}",
)
def test_cuboid_keeps_half_sides(construct: Construct, sides: Any) -> None:
    box = construct(Cuboid, sides)
    assert type(box) is Cuboid
    # A float subclass's stored value, as the interpreter's own conversion reads it.
    expected = [half(float.__float__(s) if isinstance(s, float) else float(s)) for s in sides[:3]]
    got = stored_half_sides(box)
    assert all(same(g, e) for g, e in zip(got, expected, strict=True)), (got, expected)


@pytest.mark.parametrize(
    "sides",
    [[], [1], [1, 2], (), (1.5, 2.5), b"", b"ab", range(2), Sides(1)],
    ids=lambda s: f"{type(s).__name__}-{len(s)}",
)
def test_cuboid_needs_three_sides(
    construct: Construct, sides: Any, capfd: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(ValueError) as caught:
        construct(Cuboid, sides)
    assert type(caught.value) is ValueError
    assert str(caught.value) == (
        f"argument 'sides': expected a sequence of at least 3 numbers, got {len(sides)}"
    )
    assert caught.value.__cause__ is None
    assert caught.value.__context__ is None
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize(("cls", "args"), SAMPLES.items(), ids=[c.__name__ for c in SAMPLES])
def test_identity_comparison(cls: type, args: tuple[Any, ...]) -> None:
    first, second = cls(*args), cls(*args)
    assert (type(first).__eq__, type(first).__hash__) == (object.__eq__, object.__hash__)
    assert first != second and first == first


@pytest.mark.parametrize(
    ("cls", "args"),
    [*SAMPLES.items(), (Cuboid, ([],)), (Cylinder, ("x", 1))],
)
def test_instances_return_their_type_reference(
    construct: Construct, cls: type, args: tuple[Any, ...]
) -> None:
    def churn() -> None:
        for _ in range(200):
            try:
                construct(cls, *args)
            except (TypeError, ValueError):
                pass

    churn()
    gc.collect()
    before = sys.getrefcount(cls)
    churn()
    gc.collect()
    assert sys.getrefcount(cls) == before


# The classes are mutable: a program can replace a constructor and make instances that never
# ran it. Such an instance holds all-zero bytes, which read and release as empty values.
WITHOUT_CONSTRUCTOR = """
import kestrum
for name in kestrum.__all__:
    cls = getattr(kestrum, name)
    cls.__new__ = staticmethod(lambda c, *a, **k: object.__new__(c))
    made = [cls.__new__(cls) for _ in range(3)]
    if hasattr(cls, "radius"):
        print(name, [(m.radius(), m.half_length()) for m in made])
    if name == "PyMesh":
        print(name, [m.mesh_path for m in made])
    del made
print("survived")
"""


def test_instances_made_without_the_constructor_are_empty() -> None:
    done = run_child(WITHOUT_CONSTRUCTOR)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "Cone [(0.0, 0.0), (0.0, 0.0), (0.0, 0.0)]",
        "Cylinder [(0.0, 0.0), (0.0, 0.0), (0.0, 0.0)]",
        "PyMesh ['', '', '']",
        "survived",
    ]
