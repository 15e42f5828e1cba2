"""Conversion of constructor arguments: numbers, sequences of numbers and path text."""

from __future__ import annotations

import collections
import pathlib
import sys
from collections.abc import Callable, Iterator
from fractions import Fraction
from typing import Any

import pytest
from conftest import (
    REACHES_CALLER,
    Converts,
    Logged,
    Raises,
    RaisesAfresh,
    Sides,
    Subclass,
    float_error,
    run_child,
)

from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

Construct = Callable[..., Any]


def encode_error(text: str) -> UnicodeEncodeError:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        return error
    raise AssertionError(f"{text!r} has a UTF-8 form")


class Outer:
    class Inner:
        pass


NonAscii = type("Würfel", (), {})
# Type names the interpreter cuts at 50 bytes, one of them inside a character.
Named50 = type("N" * 50, (), {})
Named51 = type("N" * 51, (), {})
CutInCharacter = type("a" + "é" * 30, (), {})


class FailingIter:
    """A sequence whose iteration raises `error` at `at`."""

    def __init__(self, error: BaseException, at: int = 1) -> None:
        self.error = error
        self.at = at

    def __len__(self) -> int:
        return 3

    def __getitem__(self, index: int) -> float:
        if index == self.at:
            raise self.error
        return 1.0


class NoIter:
    def __len__(self) -> int:
        return 3

    def __getitem__(self, index: int) -> float:
        return 1.0

    def __iter__(self) -> Iterator[float]:
        raise RuntimeError("no iterator")


def cannot(name: str, target: str) -> TypeError:
    return TypeError(f"'{name}' object cannot be converted to '{target}'")


def gen() -> Iterator[int]:
    yield from (1, 2, 3)


# (constructor, arguments, parameter whose prefix applies or None, expected exception)
FAILURES: list[tuple[type, tuple[Any, ...], str | None, BaseException]] = [
    (Sphere, ("1",), "radius", float_error("1")),
    (Sphere, (None,), "radius", float_error(None)),
    (Sphere, (object(),), "radius", float_error(object())),
    (Sphere, ([1.0],), "radius", float_error([1.0])),
    (Sphere, (Converts(1),), "radius", float_error(Converts(1))),
    (Capsule, (1, "x"), "length", float_error("x")),
    (Cylinder, ("1", 2), "radius", float_error("1")),
    (Cylinder, (1, None), "length", float_error(None)),
    (Cone, (1j, 1), "radius", float_error(1j)),
    # A message that is not ASCII.
    (Sphere, (NonAscii(),), "radius", float_error(NonAscii())),
    # Long type names, and one whose type name carries its module.
    (Sphere, (Named50(),), "radius", float_error(Named50())),
    (Capsule, (1, Named51()), "length", float_error(Named51())),
    (Sphere, (CutInCharacter(),), "radius", float_error(CutInCharacter())),
    (Sphere, (collections.deque(),), "radius", float_error(collections.deque())),
    # The first failing parameter is the one reported.
    (Capsule, ("a", "b"), "radius", float_error("a")),
    (Cylinder, ("a", None), "radius", float_error("a")),
    # Integers beyond the double range: the interpreter's OverflowError, not renamed.
    (Sphere, (10**400,), None, float_error(10**400)),
    (Cylinder, (1, -(10**400)), None, float_error(-(10**400))),
    (Cone, (10**400, "x"), None, float_error(10**400)),
    (Cuboid, ([1, 2, 10**400],), None, float_error(10**400)),
    # Sequences.
    (Cuboid, ("abc",), "sides", TypeError("Can't extract `str` to `Vec`")),
    (Cuboid, ("",), "sides", TypeError("Can't extract `str` to `Vec`")),
    (Cuboid, ({},), "sides", cannot("dict", "Sequence")),
    (Cuboid, ({1, 2, 3},), "sides", cannot("set", "Sequence")),
    (Cuboid, (gen(),), "sides", cannot("generator", "Sequence")),
    (Cuboid, (5,), "sides", cannot("int", "Sequence")),
    (Cuboid, (None,), "sides", cannot("NoneType", "Sequence")),
    (Cuboid, (Outer.Inner(),), "sides", cannot("Outer.Inner", "Sequence")),
    (Cuboid, ([1, "x"],), "sides", float_error("x")),
    (Cuboid, ([2, 4, 6, "x"],), "sides", float_error("x")),
    (Cuboid, ((1, 2, None),), "sides", float_error(None)),
    (Cuboid, (FailingIter(TypeError("bad item")),), "sides", TypeError("bad item")),
    (Cuboid, (FailingIter(RuntimeError("bad item")),), None, RuntimeError("bad item")),
    (Cuboid, (NoIter(),), None, RuntimeError("no iterator")),
    # Text.
    (PyMesh, (b"a.obj",), "path", cannot("bytes", "PyString")),
    (PyMesh, (1,), "path", cannot("int", "PyString")),
    (PyMesh, (None,), "path", cannot("NoneType", "PyString")),
    (PyMesh, (pathlib.Path("a.obj"),), "path", cannot("PosixPath", "PyString")),
    (PyMesh, (pathlib.PurePosixPath("a.obj"),), "path", cannot("PurePosixPath", "PyString")),
    (PyMesh, (Outer.Inner(),), "path", cannot("Outer.Inner", "PyString")),
    (PyMesh, ("\udc80",), None, encode_error("\udc80")),
    (PyMesh, ("mesh-\ud800.obj",), None, encode_error("mesh-\ud800.obj")),
]


def expected_message(param: str | None, error: BaseException) -> str:
    return f"argument '{param}': {error}" if param else str(error)


@pytest.mark.parametrize(("cls", "args", "param", "error"), FAILURES)
def test_conversion_failure(
    construct: Construct, cls: type, args: tuple[Any, ...], param: str | None, error: BaseException
) -> None:
    with pytest.raises(BaseException) as caught:
        construct(cls, *args)
    assert type(caught.value) is type(error)
    assert str(caught.value) == expected_message(param, error)
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("cls", [Sphere, Capsule, Cylinder, Cone])
def test_length_not_converted_after_radius_fails(construct: Construct, cls: type) -> None:
    calls: list[str] = []
    args = [Logged(calls, "radius", "bad"), Logged(calls, "length")][: 1 if cls is Sphere else 2]
    with pytest.raises(TypeError, match=r"^argument 'radius': "):
        construct(cls, *args)
    assert calls == ["radius"]


def test_every_side_converted_before_count(construct: Construct) -> None:
    seen: list[int] = []
    with pytest.raises(ValueError, match="got 2$"):
        construct(Cuboid, [Logged(seen, 0), Logged(seen, 1)])
    assert seen == [0, 1]
    seen.clear()
    construct(Cuboid, [Logged(seen, i) for i in range(5)])
    assert seen == [0, 1, 2, 3, 4]


# Where a number goes: the first or the second scalar argument, or an element of the sides.
PLACES: dict[str, Callable[[Construct, Any], Any]] = {
    "radius": lambda construct, number: construct(Sphere, number),
    "length": lambda construct, number: construct(Capsule, 1, number),
    "sides": lambda construct, number: construct(Cuboid, [1, number, 3]),
}


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "error",
    [
        ValueError("not a number"),
        TypeErrorSubclass("a subclass is not reworded"),
        OverflowError("too big"),
        ZeroDivisionError(),
        KeyboardInterrupt("stop"),
    ],
    ids=lambda e: type(e).__name__,
)
@pytest.mark.parametrize("where", ["radius", "length", "sides"])
def test_other_errors_pass_unchanged(
    construct: Construct, error: BaseException, where: str
) -> None:
    with pytest.raises(type(error)) as caught:
        PLACES[where](construct, Raises(error))
    assert caught.value is error
    assert str(caught.value) == str(error)


@pytest.mark.parametrize("error", REACHES_CALLER)
@pytest.mark.parametrize("where", ["radius", "length", "sides"])
def test_type_error_whose_text_is_interrupted_lets_the_interrupt_through(
    construct: Construct, unraisable: list[Any], error: type[BaseException], where: str
) -> None:
    class Text:
        def __str__(self) -> str:
            raise error("while worded")

    with pytest.raises(error, match="^while worded$"):
        PLACES[where](construct, RaisesAfresh(TypeError(Text()), None))
    assert unraisable == []


KEPT_CAUSE = KeyError("k")


@pytest.mark.parametrize(
    ("cause", "kept"),
    [(..., None), (None, None), (KEPT_CAUSE, KEPT_CAUSE)],
    ids=["no-cause", "from-None", "cause"],
)
@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("x",), "x"),
        ((), ""),
        (("a", "b"), "('a', 'b')"),
        (("caf\u00e9 \U0001f600",), "caf\u00e9 \U0001f600"),
    ],
)
@pytest.mark.parametrize("where", PLACES)
def test_exact_type_error_reworded(
    construct: Construct, args: tuple[str, ...], message: str, where: str, cause: Any, kept: Any
) -> None:
    error = TypeError(*args)
    with pytest.raises(TypeError) as caught:
        PLACES[where](construct, Raises(error, cause))
    reworded = caught.value
    assert type(reworded) is TypeError
    assert reworded is not error
    assert str(reworded) == f"argument '{where}': {message}"
    assert reworded.args == (f"argument '{where}': {message}",)
    # Only the original's cause is kept: the original is neither the cause nor the context.
    assert reworded.__cause__ is kept
    assert reworded.__suppress_context__ is True
    assert reworded.__context__ is None


@pytest.mark.parametrize(
    "argument", [object(), Raises(TypeError("x"))], ids=["interpreter", "user-code"]
)
def test_error_reworded_while_handling_one_has_it_as_context(
    construct: Construct, argument: Any
) -> None:
    try:
        raise KeyError("handled")
    except KeyError as error:
        handled = error
        with pytest.raises(TypeError) as caught:
            construct(Sphere, argument)
    assert str(caught.value).startswith("argument 'radius': ")
    assert caught.value.__context__ is handled


@pytest.mark.parametrize(
    ("cls", "make_args"),
    [
        (Sphere, lambda held: (held,)),
        (Capsule, lambda held: (1, held)),
        (Cuboid, lambda held: ([1, 2, held],)),
        (Cuboid, lambda held: (held,)),
        (PyMesh, lambda held: (held,)),
    ],
)
@pytest.mark.parametrize(
    "held",
    [object(), 1j, RaisesAfresh(TypeError("x"), KeyError("k"))],
    ids=lambda v: type(v).__name__,
)
def test_failed_conversion_releases_arguments(
    construct: Construct, cls: type, make_args: Callable[[Any], tuple[Any, ...]], held: Any
) -> None:
    args = make_args(held)
    # One call first: an exception kept on `held` may hold a frame that refers back to it.
    with pytest.raises(TypeError):
        construct(cls, *args)
    before = sys.getrefcount(held)
    for _ in range(20):
        with pytest.raises(TypeError):
            construct(cls, *args)
    assert sys.getrefcount(held) == before
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("length", [RuntimeError, sys.maxsize, 0, TypeError])
def test_length_hint_does_not_matter(construct: Construct, length: Any) -> None:
    # A discarded error left pending would surface as a SystemError here.
    assert type(construct(Cuboid, Sides(1, 2, 3, length=length))) is Cuboid
    assert sys.exc_info() == (None, None, None)
    assert float("1.5") == 1.5


@pytest.mark.parametrize("error", REACHES_CALLER)
def test_length_query_lets_interrupts_and_memory_errors_through(
    construct: Construct, error: type[BaseException]
) -> None:
    with pytest.raises(error, match="^no length$"):
        construct(Cuboid, Sides(1, 2, 3, length=error))


def test_length_hint_does_not_count(construct: Construct) -> None:
    with pytest.raises(ValueError, match="got 2$"):
        construct(Cuboid, Sides(1, 1, length=sys.maxsize))


def test_sides_mutated_while_converted(construct: Construct) -> None:
    sides: list[Any] = []

    class Grows:
        def __float__(self) -> float:
            sides.extend(range(1000))
            return 1.0

    class Empties:
        def __float__(self) -> float:
            sides.clear()
            return 1.0

    sides[:] = [Grows(), 2, 3]
    assert type(construct(Cuboid, sides)) is Cuboid
    # The list iterator stops once the list is shorter than its position.
    sides[:] = [Empties(), 2, 3]
    with pytest.raises(ValueError, match="got 1$"):
        construct(Cuboid, sides)
    # The same from an item after the first that needs Python.
    sides[:] = [Fraction(1, 2), Empties(), 3]
    with pytest.raises(ValueError, match="got 2$"):
        construct(Cuboid, sides)


# An element whose __float__ drops the last other reference to it: the interpreter still
# reads the element's type afterwards, for the warning it gives about a float subclass, so
# kestrum must hold the element through its conversion. The debug allocator overwrites what
# is freed, so a read after the release cannot go unnoticed.
DROPS_ITSELF = """
import warnings
from kestrum import Cuboid
class Half(float):
    pass
class Dropper:
    def __float__(self):
        sides.clear()
        return Half(2.0)
for _ in range(200):
    sides = [Dropper(), 2.0, 3.0]
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            Cuboid(sides)
        except ValueError:
            pass
    assert [str(w.message).split(".")[0] for w in seen] == ["Dropper"], seen
print("survived")
"""


def test_element_outlives_a_conversion_that_drops_it() -> None:
    done = run_child(DROPS_ITSELF, env={"PYTHONMALLOC": "debug"})
    assert (done.returncode, done.stdout) == (0, "survived\n"), done.stderr


# The collector runs while an item's conversion fails (on 3.11 the OverflowError of an int past
# the double range is made at once inside an except block, and that allocation may collect),
# and a finaliser empties the list or drops the tuple: the item must still be held.
COLLECTED_WHILE_CONVERTED = """
import gc
from kestrum import Cuboid
class Init:
    def __init__(self, *args, **kwargs): pass
for threshold in range(1, 12):
    SIDES = MAKE([int("1" + "0" * 400), 1.0, 2.0, 3.0, 4.0])
    class Trap:
        def __del__(self):
            global SIDES
            if type(SIDES) is list: SIDES.clear()
            SIDES = None
    gc.collect(); t = Trap(); t.cycle = t; del t
    gc.set_threshold(threshold)
    try:
        raise ValueError
    except ValueError:
        try:
            CALL(SIDES)
        except (OverflowError, ValueError, TypeError):
            pass
    gc.set_threshold(700)
print("survived")
"""
ROADS = {
    "call": "Cuboid(s)",
    "keyword call": "Cuboid(sides=s)",
    "__new__": "Cuboid.__new__(Cuboid, s)",
    "__new__ by keyword": "Cuboid.__new__(Cuboid, **{'sides': s})",
    "replaced __init__": "(setattr(Cuboid, '__init__', Init), Cuboid(s))",
}


@pytest.mark.parametrize("make", ["list", "tuple"])
@pytest.mark.parametrize("road", ROADS.values(), ids=ROADS.keys())
def test_items_outlive_the_collector_during_a_conversion(road: str, make: str) -> None:
    code = f"MAKE = {make}\nCALL = lambda s: {road}\n" + COLLECTED_WHILE_CONVERTED
    done = run_child(code, env={"PYTHONMALLOC": "debug"})
    assert (done.returncode, done.stdout) == (0, "survived\n"), done.stderr


def test_str_subclass_is_not_a_sequence_of_sides(construct: Construct) -> None:
    with pytest.raises(TypeError) as caught:
        construct(Cuboid, Subclass.Str("123"))
    assert str(caught.value) == "argument 'sides': Can't extract `str` to `Vec`"


def test_str_subclass_text_used_unchanged(construct: Construct) -> None:
    class Path(str):
        def __str__(self) -> str:
            return "other.obj"

    got = construct(PyMesh, Path("a/b.obj")).mesh_path
    assert (type(got), got) == (str, "a/b.obj")
