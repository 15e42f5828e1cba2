"""Property tests: all six constructors called with generated positional and keyword arguments.

Every generated argument carries its own model of what the documented conversions make of it,
computed from how it was generated, not from kestrum. The expected outcome of a call follows
from the binding rules and those models; the call must give exactly that: an instance holding
the right values (observable through `radius()`, `half_length()` and `mesh_path`), or the
documented exception with the documented message, and nothing else.

Examples per constructor: KESTRUM_FUZZ_EXAMPLES, else 2000 when CI=true, else 200.
"""

from __future__ import annotations

import math
import os
import struct
import sys
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

import pytest
from conftest import Subclass, binding_words, float_error, lossy, raised_by
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

EXAMPLES = int(
    os.environ.get("KESTRUM_FUZZ_EXAMPLES", "2000" if os.environ.get("CI") == "true" else "200")
)

fuzz_settings = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


# ---- expected outcomes --------------------------------------------------------------------


@dataclass
class Fails:
    """An expected exception: exact type and message, its cause, and, when the very instance
    is known, that instance (an error that is not an exact TypeError passes unchanged)."""

    type: type[BaseException]
    message: str
    cause: BaseException | None = None
    instance: Callable[[], BaseException | None] | None = None
    unraisable: bool = False  # formatting the message reports one unraisable error


@dataclass
class Ok:
    value: Any


Outcome = Ok | Fails


def single(value: float) -> float:
    """The nearest single-precision value, widened back; beyond the range an infinity."""
    try:
        return float(struct.unpack("f", struct.pack("f", value))[0])
    except OverflowError:
        return math.copysign(math.inf, value)


def int_to_double(value: int) -> Outcome:
    try:
        return Ok(float(value))
    except OverflowError:
        return Fails(OverflowError, "int too large to convert to float")


def not_a_number(obj: object) -> Fails:
    return Fails(TypeError, f"must be real number, not {type(obj).__name__}")


def cannot_convert(obj: object, target: str) -> Fails:
    return Fails(TypeError, f"'{type(obj).__qualname__}' object cannot be converted to '{target}'")


# ---- generated arguments ------------------------------------------------------------------


@dataclass
class Arg:
    """A generated argument: the object passed and what each conversion makes of it."""

    obj: Any
    number: Outcome  # float conversion, in double precision
    text: Outcome = field(default=None)  # type: ignore[assignment]
    sequence: Outcome = field(default=None)  # type: ignore[assignment]

    def __post_init__(self) -> None:
        if self.text is None:
            self.text = cannot_convert(self.obj, "PyString")
        if self.sequence is None:
            self.sequence = cannot_convert(self.obj, "Sequence")

    def __repr__(self) -> str:
        return f"Arg({self.obj!r})"


class BadStr:
    def __str__(self) -> str:
        raise RuntimeError("no message")

    def __repr__(self) -> str:
        return "BadStr()"


class Raiser:
    """Raises a new `kind(message)`, optionally from a cause, and remembers it."""

    def __init__(self, kind: type[BaseException], message: Any, cause: BaseException | None):
        self.kind, self.message, self.cause = kind, message, cause
        self.raised: BaseException | None = None

    def __call__(self) -> Any:
        self.raised = self.kind(self.message)
        raise self.raised from self.cause

    def expected(self) -> Fails:
        if isinstance(self.message, BadStr):
            # Only a TypeError has its text read (to name the parameter), and it has none.
            return Fails(self.kind, "<unprintable TypeError object>", self.cause, unraisable=True)
        return Fails(self.kind, self.message, self.cause, lambda: self.raised)

    def __repr__(self) -> str:
        return f"raises {self.kind.__name__}({self.message!r}) from {self.cause!r}"


class NarrowTypeError(TypeError):
    pass


CAUSES = [None, LookupError("the cause"), ZeroDivisionError("another cause")]
RAISED_KINDS = [
    TypeError,
    ValueError,
    RuntimeError,
    ZeroDivisionError,
    NarrowTypeError,
    OverflowError,
]

raisers = st.one_of(
    st.builds(Raiser, st.sampled_from(RAISED_KINDS), st.text(max_size=8), st.sampled_from(CAUSES)),
    st.builds(Raiser, st.just(TypeError), st.builds(BadStr), st.sampled_from(CAUSES)),
)


class Gives:
    """Its conversion (a subclass's) returns whatever it was given, or raises."""

    def __init__(self, result: Any) -> None:
        self.result = result

    def give(self) -> Any:
        return self.result() if isinstance(self.result, Raiser) else self.result

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.result!r})"


class Floaty(Gives):
    def __float__(self) -> Any:
        return self.give()

    def __index__(self) -> int:
        return 999  # never used: __float__ comes first


class Indexy(Gives):
    """Only __index__."""

    def __index__(self) -> Any:
        return self.give()


class Opaque:
    """No number, text or sequence protocol at all."""


def conversion_fails(obj: Any, deprecations_raise: bool = False) -> Fails:
    """What the interpreter's own float conversion raises for `obj`, in its own words."""
    with warnings.catch_warnings():
        if deprecations_raise:
            warnings.simplefilter("error", DeprecationWarning)
        error = float_error(obj)
    return Fails(type(error), str(error))


# Values around the edges of single precision, and integers around the edges of double.
FLOAT_EDGES = [
    0.0, -0.0, 1.0, -1.0, 0.1, 3.4028234663852886e38, -3.4028234663852886e38,
    3.4028235677973362e38, 3.4028235677973366e38, -3.4028235677973366e38, 3.5e38, 1e39,
    1.401298464324817e-45, 7.006492321624085e-46, 7.006492321624087e-46, 2.9e-45,
    1.1754943508222875e-38, 5e-324, 1.7976931348623157e308, math.inf, -math.inf, math.nan,
]  # fmt: skip
INT_EDGES = [
    0, -1, 1, 2**24 + 1, 2**53 + 1, 2**64, -(2**63), 2**128, 2**1024 - 2**970,
    2**1024 - 2**971, 2**1024, -(2**1024), 10**400,
]  # fmt: skip

floats = st.one_of(st.floats(), st.sampled_from(FLOAT_EDGES))
ints = st.one_of(st.integers(), st.sampled_from(INT_EDGES))


@st.composite
def numbers(draw: st.DrawFn, deprecations_raise: bool) -> Arg:
    """An argument for a number parameter: real numbers, their look-alikes and non-numbers."""
    kind = draw(st.integers(0, 15))
    if kind >= 12:  # plain numbers more often, so that more calls convert completely
        kind = kind % 2
    if kind == 0:
        value = draw(floats)
        return Arg(value, Ok(value))
    if kind == 1:
        value = draw(ints)
        return Arg(value, int_to_double(value))
    if kind == 2:
        value = draw(st.booleans())
        return Arg(value, Ok(float(value)))
    if kind == 3:
        value = draw(floats)
        return Arg(Subclass.Float(value), Ok(value))
    if kind == 4:
        value = draw(ints)
        if draw(st.booleans()):
            return Arg(Subclass.IntOwnFloat(value), Ok(0.25))
        return Arg(Subclass.Int(value), int_to_double(value))
    if kind == 5:  # __float__ returning a float, possibly an absurd one
        value = draw(floats)
        return Arg(Floaty(value), Ok(value))
    if kind == 6:  # __float__ returning the wrong type
        wrong = draw(st.one_of(ints, st.text(max_size=3), st.none(), st.just(1j)))
        return Arg(Floaty(wrong), conversion_fails(Floaty(wrong)))
    if kind == 7:  # __float__ returning a float subclass: deprecated
        value = draw(floats)
        obj = Floaty(Subclass.Float(value))
        return Arg(obj, conversion_fails(obj, True) if deprecations_raise else Ok(value))
    if kind == 8:  # __float__ or __index__ raising
        raiser = draw(raisers)
        return Arg(draw(st.sampled_from([Floaty, Indexy]))(raiser), raiser.expected())
    if kind == 9:  # __index__ only
        result = draw(st.one_of(ints, st.booleans(), st.floats(), st.text(max_size=2)))
        if isinstance(result, bool):
            if deprecations_raise:
                return Arg(Indexy(result), conversion_fails(Indexy(result), True))
            return Arg(Indexy(result), Ok(float(result)))
        if isinstance(result, int):
            return Arg(Indexy(result), int_to_double(result))
        return Arg(Indexy(result), conversion_fails(Indexy(result)))
    if kind == 10:  # texts, which are no numbers (but are texts and sequences)
        text = draw(text_values)
        return texts_arg(text, text)
    # Other objects that are no numbers.
    obj = draw(st.sampled_from([None, b"1.5", [1.0], (1.0,), {}, 1j, Opaque(), range(3)]))
    return Arg(obj, not_a_number(obj), sequence=sequence_of_plain(obj))


# ---- texts --------------------------------------------------------------------------------


text_values = st.one_of(
    st.text(),  # includes lone surrogates and nul characters
    st.text(st.characters(codec="utf-8")),
    st.sampled_from(["", "\0", "a\0b", "\udc80", "x\ud800\udfff", "Gelände/ü€😀.obj", "."]),
)


def utf8(text: str) -> Outcome:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        return Fails(UnicodeEncodeError, str(error))
    return Ok(text)


def texts_arg(obj: str, text: str) -> Arg:
    """A `str` (or a subclass of it) whose characters are `text`."""
    sequence = Fails(TypeError, "Can't extract `str` to `Vec`")
    return Arg(obj, not_a_number(obj), text=utf8(text), sequence=sequence)


@st.composite
def paths(draw: st.DrawFn, deprecations_raise: bool) -> Arg:
    choice = draw(st.integers(0, 2))
    if choice == 0:
        text = draw(text_values)
        kind = draw(st.sampled_from([str, Subclass.Str, Subclass.Renamed, Subclass.UnprintableStr]))
        return texts_arg(kind(text), text)
    if choice == 1:
        raw = draw(st.binary(max_size=8))
        obj = draw(st.sampled_from([bytes, bytearray]))(raw)
        return Arg(obj, not_a_number(obj), sequence=Ok([float(b) for b in raw]))
    return draw(numbers(deprecations_raise))


# ---- sequences ----------------------------------------------------------------------------


def sequence_of_plain(obj: object) -> Outcome:
    if isinstance(obj, (list, tuple)):
        return Ok([float(x) for x in obj])
    if isinstance(obj, range):
        return Ok([float(x) for x in obj])
    if isinstance(obj, (bytes, bytearray)):
        return Ok([float(b) for b in obj])
    return cannot_convert(obj, "Sequence")


def convert_items(items: list[Arg]) -> Outcome:
    values = []
    for item in items:
        if isinstance(item.number, Fails):
            return item.number
        values.append(item.number.value)
    return Ok(values)


class Shrinker:
    """An element whose conversion removes the last `count` items of the list holding it."""

    def __init__(self, count: int) -> None:
        self.count = count
        self.holder: list[Any] = []

    def __float__(self) -> float:
        del self.holder[max(0, len(self.holder) - self.count) :]
        return 1.0

    def __repr__(self) -> str:
        return f"Shrinker({self.count})"


def convert_shrinking_list(items: list[Arg]) -> Outcome:
    """Exact lists are read by index against their current length, which an element's
    conversion may change."""
    items = list(items)
    values = []
    i = 0
    while i < len(items):
        item = items[i]
        if isinstance(item.obj, Shrinker):
            del items[max(0, len(items) - item.obj.count) :]
        if isinstance(item.number, Fails):
            return item.number
        values.append(item.number.value)
        i += 1
    return Ok(values)


class Sequence:
    """A user-defined sequence whose length query and iterator can misbehave."""

    def __init__(self, items: list[Any], length: Any, iterator: Any, stop_with: Any) -> None:
        self.items, self.length, self.iterator, self.stop_with = items, length, iterator, stop_with

    def __len__(self) -> Any:
        return self.length() if isinstance(self.length, Raiser) else self.length

    def __getitem__(self, index: int) -> Any:
        return self.items[index]

    def __iter__(self) -> Any:
        if isinstance(self.iterator, Raiser):
            return self.iterator()
        if self.iterator is not None:
            return self.iterator  # not an iterator
        return self._each()

    def _each(self) -> Iterator[Any]:
        yield from self.items
        if self.stop_with is not None:
            self.stop_with()

    def __repr__(self) -> str:
        return f"Sequence({self.items!r}, {self.length!r}, {self.iterator!r}, {self.stop_with!r})"


class IndexedSequence:
    """Iterated through __getitem__ alone, until it raises IndexError (or something else)."""

    def __init__(self, items: list[Any], stop_with: Any) -> None:
        self.items, self.stop_with = items, stop_with

    def __len__(self) -> int:
        return len(self.items)

    def __getitem__(self, index: int) -> Any:
        if index < len(self.items):
            return self.items[index]
        if self.stop_with is not None:
            self.stop_with()
        raise IndexError(index)

    def __repr__(self) -> str:
        return f"IndexedSequence({self.items!r}, {self.stop_with!r})"


class ListSub(list):  # type: ignore[type-arg]
    pass


@st.composite
def sequences(draw: st.DrawFn, deprecations_raise: bool) -> Arg:
    elements = st.lists(numbers(deprecations_raise), max_size=6)
    choice = draw(st.integers(0, 8))
    if choice <= 1:  # exact lists and tuples
        items = draw(elements)
        container = list if choice == 0 else tuple
        obj = container(item.obj for item in items)
        return Arg(obj, not_a_number(obj), sequence=convert_items(items))
    if choice == 2:  # a list whose elements shrink it while it is converted
        items = draw(elements)
        position = draw(st.integers(0, len(items)))
        shrinker = Shrinker(draw(st.integers(0, 8)))
        items.insert(position, Arg(shrinker, Ok(1.0)))
        obj = [item.obj for item in items]
        shrinker.holder = obj
        return Arg(obj, not_a_number(obj), sequence=convert_shrinking_list(items))
    if choice == 3:  # a list subclass goes the generic way
        items = draw(elements)
        obj = ListSub(item.obj for item in items)
        return Arg(obj, not_a_number(obj), sequence=convert_items(items))
    if choice == 4:  # ranges and bytes
        obj = draw(
            st.one_of(
                st.builds(range, st.integers(-5, 5), st.integers(-5, 10)),
                st.binary(max_size=6),
            )
        )
        return Arg(obj, not_a_number(obj), sequence=sequence_of_plain(obj))
    if choice == 5:  # user-defined sequences with hostile length queries and iterators
        items = draw(elements)
        length = draw(
            st.one_of(
                st.just(len(items)),
                st.sampled_from([0, 10**6, sys.maxsize, -1, 10**30, "3", None, 2.5]),
                raisers,
            )
        )
        iterator = draw(st.one_of(st.none(), st.none(), raisers, st.sampled_from([5, "ab", []])))
        stop_with = draw(st.one_of(st.none(), raisers))
        obj = Sequence([item.obj for item in items], length, iterator, stop_with)
        if isinstance(iterator, Raiser):
            expected: Outcome = iterator.expected()
        elif iterator is not None:
            error = raised_by(iter, obj)
            expected = Fails(type(error), str(error))
        else:
            expected = convert_items(items)
            if isinstance(expected, Ok) and stop_with is not None:
                expected = stop_with.expected()
        return Arg(obj, not_a_number(obj), sequence=expected)
    if choice == 6:
        items = draw(elements)
        stop_with = draw(st.one_of(st.none(), raisers))
        obj = IndexedSequence([item.obj for item in items], stop_with)
        expected = convert_items(items)
        if isinstance(expected, Ok) and stop_with is not None:
            expected = stop_with.expected()
        return Arg(obj, not_a_number(obj), sequence=expected)
    if choice == 7:  # not sequences: sets, dicts, generators, numbers, opaque objects
        obj = draw(
            st.sampled_from(
                [{1.0, 2.0, 3.0}, {"a": 1}, (x for x in [1, 2, 3]), 5, 2.5, None, Opaque()]
            )
        )
        return Arg(obj, not_a_number(obj), sequence=cannot_convert(obj, "Sequence"))
    return draw(paths(deprecations_raise))


# ---- calls --------------------------------------------------------------------------------


@dataclass(frozen=True)
class Constructor:
    cls: type
    parameters: tuple[str, ...]
    conversion: str  # which outcome of an Arg each parameter uses


CONSTRUCTORS = {
    "Sphere": Constructor(Sphere, ("radius",), "number"),
    "Capsule": Constructor(Capsule, ("radius", "length"), "number"),
    "Cylinder": Constructor(Cylinder, ("radius", "length"), "number"),
    "Cone": Constructor(Cone, ("radius", "length"), "number"),
    "Cuboid": Constructor(Cuboid, ("sides",), "sequence"),
    "PyMesh": Constructor(PyMesh, ("path",), "text"),
}

STRATEGIES = {"number": numbers, "sequence": sequences, "text": paths}


@dataclass
class Key:
    """A keyword name, its characters (what binding matches) and its display text."""

    key: str
    text: str
    display: str
    unraisable: bool = False

    def __repr__(self) -> str:
        return repr(self.key)


@st.composite
def keys(draw: st.DrawFn, parameters: tuple[str, ...]) -> Key:
    names = st.one_of(
        st.sampled_from(parameters),
        st.sampled_from(["radius", "length", "sides", "path", "Radius", "size", "", "rädius"]),
        st.text(max_size=4),
    )
    text = draw(names)
    kind = draw(st.integers(0, 5))
    if kind == 0:
        return Key(Subclass.Str(text), text, lossy(text))
    if kind == 1:
        return Key(Subclass.Renamed(text), text, "renamed")
    if kind == 2:
        return Key(
            Subclass.UnprintableStr(text),
            text,
            "<unprintable UnprintableStr object>",
            unraisable=True,
        )
    return Key(text, text, lossy(text))


def binding_error(
    con: Constructor, positional: list[Arg], keywords: list[tuple[Key, Arg]]
) -> tuple[Fails | None, list[Arg | None], bool]:
    """The binding rules: the error (if any), the slots, and whether a key was unprintable."""
    name = f"{con.cls.__name__}.__new__()"
    count = len(con.parameters)
    given = len(positional)
    if given > count:  # checked first, and always "arguments": here kestrum's words are its own
        verb = "was" if given == 1 else "were"
        message = f"{name} takes {count} positional arguments but {given} {verb} given"
        return Fails(TypeError, message), [], False
    slots: list[Arg | None] = [*positional, *([None] * (count - given))]
    named: list[str] = []
    for key, value in keywords:
        if isinstance(utf8(key.text), Ok) and key.text in con.parameters:
            named.append(key.text)
            index = con.parameters.index(key.text)
            if slots[index] is not None:
                words = binding_words(con.cls, tuple(range(given)), dict.fromkeys(named))
                return Fails(TypeError, str(words)), slots, False
            slots[index] = value
            continue
        # Shown by its str() or lossily, where the interpreter would raise or keep surrogates.
        message = f"{name} got an unexpected keyword argument '{key.display}'"
        return Fails(TypeError, message), slots, key.unraisable
    words = binding_words(con.cls, tuple(range(given)), dict.fromkeys(named))
    return (None if words is None else Fails(TypeError, words)), slots, False


def expected_outcome(con: Constructor, slots: list[Arg]) -> tuple[Fails | None, list[Any]]:
    values = []
    for parameter, arg in zip(con.parameters, slots, strict=True):
        outcome: Outcome = getattr(arg, con.conversion)
        if isinstance(outcome, Fails):
            if outcome.type is TypeError:  # exactly TypeError: names the parameter
                message = f"argument '{parameter}': {outcome.message}"
                return Fails(TypeError, message, outcome.cause, unraisable=outcome.unraisable), []
            return outcome, []
        values.append(outcome.value)
    if con.cls is Cuboid and len(values[0]) < 3:
        message = (
            f"argument 'sides': expected a sequence of at least 3 numbers, got {len(values[0])}"
        )
        return Fails(ValueError, message), []
    return None, values


def same_float(actual: float, expected: float) -> bool:
    if math.isnan(expected):
        return math.isnan(actual)
    return struct.pack("<d", actual) == struct.pack("<d", expected)


def check_instance(con: Constructor, instance: Any, values: list[Any]) -> None:
    assert type(instance) is con.cls
    if con.cls in (Cylinder, Cone):
        radius, length = values
        assert type(instance.radius()) is float
        assert same_float(instance.radius(), single(radius))
        assert same_float(instance.half_length(), single(single(length) * 0.5))
    elif con.cls is PyMesh:
        path = instance.mesh_path
        assert type(path) is str and path == values[0]


@st.composite
def calls(draw: st.DrawFn, con: Constructor) -> tuple[bool, list[Arg], list[tuple[Key, Arg]]]:
    deprecations_raise = draw(st.booleans())
    args = STRATEGIES[con.conversion](deprecations_raise)
    # Mostly calls that bind, so that conversion is reached.
    if draw(st.integers(0, 3)) > 0:
        split = draw(st.integers(0, len(con.parameters)))
        positional = [draw(args) for _ in con.parameters[:split]]
        keywords = [(Key(p, p, p), draw(args)) for p in con.parameters[split:]]
        keywords = draw(st.permutations(keywords)) if keywords else []
        if draw(st.integers(0, 4)) == 0:
            extra = draw(keys(con.parameters))
            if all(extra.key != k.key for k, _ in keywords):
                keywords.append((extra, draw(args)))
    else:
        positional = draw(st.lists(args, max_size=len(con.parameters) + 2))
        keywords = []
        for key, value in draw(st.lists(st.tuples(keys(con.parameters), args), max_size=3)):
            if all(key.key != k.key for k, _ in keywords):
                keywords.append((key, value))
    return deprecations_raise, positional, keywords


def run(con: Constructor, via_new: bool, call: Any) -> None:
    deprecations_raise, positional, keywords = call
    binding, slots, unraisable = binding_error(con, positional, keywords)
    expected, values = binding, []
    if expected is None:
        expected, values = expected_outcome(con, slots)  # type: ignore[arg-type]

    reports: list[Any] = []
    hook = sys.unraisablehook
    sys.unraisablehook = reports.append
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error" if deprecations_raise else "ignore", DeprecationWarning)
            args = [arg.obj for arg in positional]
            kwargs = {key.key: value.obj for key, value in keywords}
            try:
                if via_new:
                    result = con.cls.__new__(con.cls, *args, **kwargs)
                else:
                    result = con.cls(*args, **kwargs)
            except BaseException as error:  # anything else than expected fails below
                raised: BaseException | None = error
            else:
                raised = None
    finally:
        sys.unraisablehook = hook

    event("instance" if expected is None else f"{expected.type.__name__}: {expected.message[:28]}")
    unraisable = unraisable or (expected is not None and expected.unraisable)
    assert [type(r.exc_value) for r in reports] == ([RuntimeError] if unraisable else [])
    if expected is None:
        assert raised is None, f"raised {raised!r}, expected an instance"
        check_instance(con, result, values)
        return
    assert raised is not None, f"returned {result!r}, expected {expected}"
    assert type(raised) is expected.type, f"raised {raised!r}, expected {expected}"
    assert str(raised) == expected.message
    assert raised.__cause__ is expected.cause
    if expected.instance is not None:
        assert raised is expected.instance()
    elif expected.type is TypeError:
        assert raised.__context__ is None
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("name", list(CONSTRUCTORS))
@pytest.mark.parametrize("via_new", [False, True], ids=["call", "__new__"])
@settings(fuzz_settings, max_examples=max(1, EXAMPLES // 2))  # half through each entry
@given(data=st.data())
def test_constructor_outcome_matches_the_rules(
    name: str, via_new: bool, data: st.DataObject
) -> None:
    con = CONSTRUCTORS[name]
    run(con, via_new, data.draw(calls(con), label="call"))
