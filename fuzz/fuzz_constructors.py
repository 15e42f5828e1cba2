"""libFuzzer harness (atheris): the six constructors called with arguments decoded from the
fuzzer's bytes.

The bytes describe a call: which class, which entry (the call or `__new__`), positional and
keyword arguments, each built from a small language of values: numbers of every size and
kind, texts with surrogates and nul characters, bytes, nested lists and tuples, user-defined
sequences, and hostile objects whose `__float__`, `__index__`, `__len__`, `__iter__` or
`__getitem__` raise or return something absurd. kestrum is built with coverage and
AddressSanitizer (see run.sh), so a memory error ends the run with a report; the checks below
end it when an outcome breaks the documented rules.

    bash fuzz/run.sh SECONDS
"""

from __future__ import annotations

import math
import struct
import sys
import warnings
from typing import Any

import atheris

# Native: its coverage comes from its build. The decoding below is instrumented as Python, so
# that the fuzzer also learns which kinds of values it has built.
import kestrum
from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

CLASSES = [Sphere, Capsule, Cylinder, Cone, Cuboid, PyMesh]
NAMES = ["radius", "length", "sides", "path", "r", "", "rädius", "\udcff", "size"]


class HostileError(Exception):
    """What the hostile objects raise; passes through kestrum unchanged."""


class Hostile:
    """Answers every protocol kestrum may use with a value or failure chosen by the fuzzer."""

    def __init__(self, float_: Any, index: Any, length: Any, items: Any, iterate: Any) -> None:
        self._float, self._index, self._length = float_, index, length
        self._items, self._iterate = items, iterate

    @staticmethod
    def _answer(value: Any) -> Any:
        if isinstance(value, BaseException):
            raise value
        return value

    def __float__(self) -> Any:
        return self._answer(self._float)

    def __index__(self) -> Any:
        return self._answer(self._index)

    def __len__(self) -> Any:
        return self._answer(self._length)

    def __getitem__(self, index: int) -> Any:
        if isinstance(self._items, list) and 0 <= index < len(self._items):
            return self._items[index]
        raise IndexError(index)

    def __iter__(self) -> Any:
        if self._iterate == "items" and isinstance(self._items, list):
            return iter(self._items)
        return self._answer(self._iterate)


class NoFloat:
    """Only a length and items: a sequence but no number."""

    def __init__(self, items: list[Any]) -> None:
        self.items = items

    def __len__(self) -> int:
        return len(self.items)

    def __getitem__(self, index: int) -> Any:
        return self.items[index]


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    def __str__(self) -> str:
        raise HostileError("no text")


@atheris.instrument_func
def failure(fdp: atheris.FuzzedDataProvider) -> BaseException:
    kind = fdp.ConsumeIntInRange(0, 4)
    return [HostileError("x"), TypeError("t"), ValueError("v"), IndexError(0), StopIteration()][
        kind
    ]


@atheris.instrument_func
def value(fdp: atheris.FuzzedDataProvider, depth: int = 0) -> Any:
    kind = fdp.ConsumeIntInRange(0, 16)
    if kind == 0:
        return fdp.ConsumeFloat()  # includes nan, infinities and extremes
    if kind == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 160))  # up to 1280-bit integers
    if kind == 2:
        return fdp.ConsumeBool()
    if kind == 3:
        return FloatSub(fdp.ConsumeFloat())
    if kind == 4:
        return IntSub(fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 160)))
    if kind == 5:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 16))  # may hold surrogates
    if kind == 6:
        return StrSub(fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 8)))
    if kind == 7:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 16))
    if kind == 8:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8)))
    if kind in (9, 10) and depth < 3:
        items = [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 6))]
        return items if kind == 9 else tuple(items)
    if kind == 11 and depth < 3:
        return NoFloat([value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 5))])
    if kind == 12:
        return range(fdp.ConsumeIntInRange(-4, 4), fdp.ConsumeIntInRange(-4, 12))
    if kind == 13 and depth < 3:
        return hostile(fdp, depth)
    if kind == 14:
        return fdp.PickValueInList([None, {}, {1.0, 2.0}, 1j, object(), (x for x in (1, 2, 3))])
    return fdp.ConsumeRegularFloat()


@atheris.instrument_func
def answer(fdp: atheris.FuzzedDataProvider, depth: int) -> Any:
    """What a hostile protocol method returns, or the failure it raises."""
    if fdp.ConsumeIntInRange(0, 3) == 0:
        return failure(fdp)
    return value(fdp, depth + 1)


@atheris.instrument_func
def hostile(fdp: atheris.FuzzedDataProvider, depth: int) -> Hostile:
    items = [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    length = fdp.PickValueInList([len(items), 0, -1, sys.maxsize, 10**30, "3", None])
    if fdp.ConsumeBool():
        length = failure(fdp)
    iterate: Any = "items" if fdp.ConsumeBool() else answer(fdp, depth)
    return Hostile(answer(fdp, depth), answer(fdp, depth), length, items, iterate)


def single(number: float) -> float:
    try:
        return float(struct.unpack("f", struct.pack("f", number))[0])
    except OverflowError:
        return math.copysign(math.inf, number)


def same(actual: float, expected: float) -> bool:
    return (math.isnan(actual) and math.isnan(expected)) or struct.pack("d", actual) == struct.pack(
        "d", expected
    )


ALLOWED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, HostileError,
           IndexError, StopIteration, DeprecationWarning)  # fmt: skip


def check(cls: type, args: list[Any], kwargs: dict[str, Any], result: Any) -> None:
    assert type(result) is cls, result
    plain = [a for a in (*args, *kwargs.values()) if type(a) in (float, int, bool)]
    if cls in (Cylinder, Cone) and not kwargs and len(plain) == 2 == len(args):
        radius, length = (float(a) for a in args)
        assert same(result.radius(), single(radius)), (args, result.radius())
        assert same(result.half_length(), single(single(length) * 0.5)), (args,)
    if cls is PyMesh:
        path = (args or list(kwargs.values()))[0]
        assert result.mesh_path == str.__str__(path) and type(result.mesh_path) is str


@atheris.instrument_func
def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    cls = fdp.PickValueInList(CLASSES)
    via_new = fdp.ConsumeBool()
    args = [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        kwargs[fdp.PickValueInList(NAMES)] = value(fdp)
    with warnings.catch_warnings():
        warnings.simplefilter("error" if fdp.ConsumeBool() else "ignore", DeprecationWarning)
        try:
            result = cls.__new__(cls, *args, **kwargs) if via_new else cls(*args, **kwargs)
        except ALLOWED as error:
            # The binding messages name the constructor; everything a conversion rejects with
            # an exact TypeError names the parameter.
            if type(error) is TypeError:
                text = str(error)
                assert text.startswith((f"{cls.__name__}.__new__() ", "argument '")), text
            return
    check(cls, args, kwargs, result)


def main() -> None:
    assert kestrum.__all__ == ["Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh"]
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
