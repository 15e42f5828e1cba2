"""Argument binding of the six constructors: every message, and which failure wins."""

from __future__ import annotations

import ctypes
import inspect
import sys
from collections.abc import Callable
from typing import Any, NamedTuple

import _kestrum_testing as t
import pytest
from conftest import REACHES_CALLER, Logged, Subclass, binding_words, lossy, raised_by, run_child

from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

Construct = Callable[..., Any]


# Unlike the interpreter's, the words stay plural for one positional parameter.
TAKES = "{}.__new__() takes {} positional arguments but {} were given"
# A key that the interpreter cannot show as it is: kestrum shows its lossy or fallback text.
UNEXPECTED = "{}.__new__() got an unexpected keyword argument '{}'"

FAILURES = [
    # Missing arguments: one name, two names.
    (Sphere, (), {}, None),
    (Cuboid, (), {}, None),
    (PyMesh, (), {}, None),
    (Capsule, (), {}, None),
    (Cylinder, (), {}, None),
    (Cone, (), {}, None),
    (Cylinder, (1,), {}, None),
    (Capsule, (1,), {}, None),
    (Cone, (), {"length": 1}, None),
    (Capsule, (), {"length": 1}, None),
    # Too many positional arguments: "positional arguments" stays plural.
    (Sphere, (1, 2), {}, TAKES.format("Sphere", 1, 2)),
    (Cone, (1, 2, 3), {}, TAKES.format("Cone", 2, 3)),
    (Capsule, (1, 2, 3, 4), {}, TAKES.format("Capsule", 2, 4)),
    (Cuboid, ([1, 2, 3], [4, 5, 6]), {}, TAKES.format("Cuboid", 1, 2)),
    (PyMesh, ("a", "b"), {}, TAKES.format("PyMesh", 1, 2)),
    (Sphere, tuple(range(12)), {}, TAKES.format("Sphere", 1, 12)),
    # Multiple values.
    (Sphere, (1,), {"radius": 2}, None),
    (Cylinder, (1, 2), {"radius": 1}, None),
    (Cylinder, (1, 2), {"length": 1}, None),
    (Cuboid, ([1, 2, 3],), {"sides": [1, 2, 3]}, None),
    (PyMesh, ("a",), {"path": "b"}, None),
    # Unexpected keywords: matched byte for byte, case-sensitive.
    (Cylinder, (1, 2), {"height": 3}, None),
    (Sphere, (), {"r": 1}, None),
    (Sphere, (), {"Radius": 1}, None),
    (Sphere, (), {"radiu": 1}, None),
    (Sphere, (), {"radiusx": 1}, None),
    (Sphere, (), {"radius\0": 1}, None),
    (Sphere, (), {"rädius": 1}, None),
    (Cuboid, ([1, 2, 3],), {"size": 1}, None),
    (PyMesh, (), {"file": "a"}, None),
    # A key without a UTF-8 form is named by its lossy text.
    (Sphere, (), {"\udc80": 1}, UNEXPECTED.format("Sphere", "\ufffd\ufffd\ufffd")),
    (Capsule, (), {"radius": 1, "a\ud800b": 2}, UNEXPECTED.format("Capsule", lossy("a\ud800b"))),
    # Precedence: surplus positional arguments come before any keyword.
    (Sphere, (1, 2), {"radius": 3}, TAKES.format("Sphere", 1, 2)),
    (Cone, (1, 2, 3), {"size": 3}, TAKES.format("Cone", 2, 3)),
    # Precedence: the first offending keyword in call order wins.
    (Cone, (1, 2), {"b": 1, "a": 2}, None),
    (Cone, (1, 2), {"a": 1, "b": 2}, None),
    (Cylinder, (1,), {"height": 1, "radius": 2}, None),
    (Cylinder, (1,), {"radius": 2, "height": 1}, None),
    (Cylinder, (1,), {"length": 2, "radius": 3}, None),
    # Precedence: an unexpected keyword beats missing arguments.
    (Capsule, (), {"foo": 1}, None),
    (Cuboid, (), {"size": 1}, None),
    # Binding comes before conversion: the unconvertible argument is never looked at.
    (Sphere, ("x",), {"radius": 1}, None),
    (Capsule, ("a",), {"foo": 1}, None),
    (Cuboid, ("abc", 1), {}, TAKES.format("Cuboid", 1, 2)),
    (PyMesh, (b"x",), {"path": 1}, None),
]


@pytest.mark.parametrize(("cls", "args", "kwargs", "message"), FAILURES)
def test_binding_failure(
    construct: Construct,
    cls: type,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    message: str | None,
) -> None:
    if message is None:  # the interpreter's words, from a function of the same signature
        message = binding_words(cls, args, kwargs)
    with pytest.raises(TypeError) as caught:
        construct(cls, *args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.args == (message,)
    # The failure is the binding error alone: nothing else was pending or chained.
    assert caught.value.__cause__ is None
    assert caught.value.__context__ is None
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize(
    ("cls", "args", "kwargs"),
    [
        (Sphere, ("tracked", 2), {}),
        (Sphere, ("tracked",), {"radius": "tracked"}),
        (Capsule, ("tracked",), {"foo": 1}),
        (Capsule, ("tracked",), {}),
        (Cuboid, (["tracked"] * 3,), {"extra": 1}),
    ],
)
def test_binding_failure_converts_nothing(
    construct: Construct, cls: type, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    conversions: list[Any] = []

    def put(value: Any) -> Any:
        if value == "tracked":
            return Logged(conversions)
        if isinstance(value, list):
            return [put(item) for item in value]
        return value

    with pytest.raises(TypeError):
        construct(cls, *[put(a) for a in args], **{k: put(v) for k, v in kwargs.items()})
    assert conversions == []


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((2, 6), {}),
        ((2,), {"length": 6}),
        ((), {"radius": 2, "length": 6}),
        ((), {"length": 6, "radius": 2}),
        ((2,), {Subclass.Str("length"): 6}),
    ],
)
@pytest.mark.parametrize("cls", [Cylinder, Cone])
def test_keywords_fill_slots_in_parameter_order(
    construct: Construct, cls: Any, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    shape = construct(cls, *args, **kwargs)
    assert (shape.radius(), shape.half_length()) == (2.0, 3.0)


@pytest.mark.parametrize(
    ("cls", "args", "kwargs"),
    [
        (Sphere, (), {"radius": 1.5}),
        (Capsule, (1,), {"length": 4}),
        (Capsule, (), {"length": 4, "radius": 1}),
        (Cuboid, (), {"sides": [2, 4, 6]}),
    ],
)
def test_keyword_binding_constructs(
    construct: Construct, cls: type, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    assert type(construct(cls, *args, **kwargs)) is cls


@pytest.mark.parametrize(
    ("args", "kwargs"), [(("a/b.obj",), {}), ((), {"path": "a/b.obj"})], ids=["position", "keyword"]
)
def test_mesh_path_by_position_or_keyword(
    construct: Construct, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    assert construct(PyMesh, *args, **kwargs).mesh_path == "a/b.obj"


def via_tp_new(cls: Any, keywords: dict[Any, Any]) -> Any:
    """Calls the class's `tp_new` slot, as a C caller does, with the mapping as it is: the
    interpreter refuses keys that are not `str` in every call written in Python
    (`Cls.__new__(Cls, **m)` too, from 3.15)."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    slot = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object)
    py_tp_new = 65
    return slot(get_slot(cls, py_tp_new))(cls, (), keywords)


def refused_keys(keywords: dict[Any, Any]) -> str:
    """The interpreter's own refusal of `**keywords` with keys that are not `str`."""

    def takes_any(**kwargs: Any) -> None:
        pass

    return str(raised_by(lambda: takes_any(**keywords)))


class KeyEntry(NamedTuple):
    """An entry given keys that are not `str`, and what it answers."""

    call: Callable[[Any, dict[Any, Any]], Any]
    refusal: Callable[[str, dict[Any, Any], str], str]  # of (class name, keywords, key as shown)
    reported: bool  # whether a key whose str() fails goes to the unraisable hook


KEY_ENTRIES = {
    # The interpreter refuses the dictionary before the constructor sees it.
    "call": KeyEntry(lambda cls, keys: cls(**keys), lambda _, keys, __: refused_keys(keys), False),
    "tp_new": KeyEntry(via_tp_new, lambda name, _, shown: UNEXPECTED.format(name, shown), True),
}


@pytest.fixture(params=KEY_ENTRIES.values(), ids=KEY_ENTRIES.keys())
def key_entry(request: pytest.FixtureRequest) -> KeyEntry:
    return request.param  # type: ignore[no-any-return]


@pytest.mark.parametrize("cls", [Sphere, Capsule, Cylinder, Cone, Cuboid, PyMesh])
def test_non_str_keyword(key_entry: KeyEntry, cls: type) -> None:
    with pytest.raises(TypeError) as caught:
        key_entry.call(cls, {1: 2})
    assert str(caught.value) == key_entry.refusal(cls.__name__, {1: 2}, "1")
    assert caught.value.__context__ is None


class Keys:
    class Unprintable:
        def __str__(self) -> str:
            raise RuntimeError("no text")

        def __hash__(self) -> int:
            return 7

    class ShownLossy(str):
        def __str__(self) -> str:
            return "s\udc80"


def test_unprintable_keyword(key_entry: KeyEntry, unraisable: list[Any]) -> None:
    key = Keys.Unprintable()
    with pytest.raises(TypeError) as caught:
        key_entry.call(Sphere, {key: 1})
    # The type's __name__, not its __qualname__.
    shown = "<unprintable Unprintable object>"
    assert str(caught.value) == key_entry.refusal("Sphere", {key: 1}, shown)
    expected = [(RuntimeError, key)] * key_entry.reported
    assert [(u.exc_type, u.object) for u in unraisable] == expected


@pytest.mark.parametrize(
    ("key", "shown"),
    [
        (Subclass.Renamed("foo"), "renamed"),
        (Keys.ShownLossy("foo"), "s\ufffd\ufffd\ufffd"),
        (Subclass.UnprintableStr("foo"), "<unprintable UnprintableStr object>"),
    ],
    ids=["str", "lossy", "unprintable"],
)
def test_keyword_named_by_its_display_form(
    construct: Construct, unraisable: list[Any], key: str, shown: str
) -> None:
    with pytest.raises(TypeError) as caught:
        construct(Sphere, **{key: 1})
    assert str(caught.value) == UNEXPECTED.format("Sphere", shown)
    assert [u.object for u in unraisable] == ([key] if shown.startswith("<unprintable") else [])


@pytest.mark.parametrize("error", REACHES_CALLER)
def test_keyword_whose_display_form_is_interrupted_lets_the_interrupt_through(
    construct: Construct, unraisable: list[Any], error: type[BaseException]
) -> None:
    class Key(str):
        def __str__(self) -> str:
            raise error("while named")

    # The rule of the length query, whatever the interpreter's own functions do (3.11.2 words
    # such a keyword with a fallback; later releases let the interrupt through).
    with pytest.raises(error, match="^while named$"):
        construct(Sphere, **{Key("r"): 1})
    assert unraisable == []


@pytest.mark.parametrize(
    ("cls", "args", "kwargs"),
    [
        (Sphere, (), {}),
        (Cone, (1, 2, 3), {}),
        (Cylinder, (1, 2), {"radius": 1}),
        (Sphere, (), {"\udc80": 1}),
    ],
)
def test_failure_leaves_nothing_behind(
    construct: Construct, cls: type, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    value = object()
    before = sys.getrefcount(value)
    for _ in range(20):
        with pytest.raises(TypeError):
            construct(cls, *[value for _ in args], **{k: value for k in kwargs})
    assert sys.exc_info() == (None, None, None)
    assert sys.getrefcount(value) == before
    # The next plain operation runs with a clean error indicator.
    assert float("2.5") == 2.5
    assert Cylinder(1, 2).radius() == 1.0


# A conversion's Python code empties the keyword dict of `Cls.__new__(Cls, **{...})` and
# fills the freed memory, while kestrum still converts what it bound from that dict.
EMPTIES_KEYWORDS = """
import gc
from kestrum import Cuboid, Cylinder
class Emptier:
    def __float__(self):
        for holder in gc.get_referrers(self):
            for d in gc.get_referrers(holder) + [holder]:
                if type(d) is dict and ("sides" in d or "radius" in d):
                    d.clear()
        junk = [[object()] * 8 for _ in range(2000)]
        return 1.0
for _ in range(300):
    box = Cuboid.__new__(Cuboid, **{"sides": [Emptier()] + [float(j) for j in range(50)]})
    tube = Cylinder.__new__(Cylinder, **{"radius": Emptier(), "length": 3.0 + 1.0})
    assert (type(box), tube.radius(), tube.half_length()) == (Cuboid, 1.0, 2.0)
print("survived")
"""


def test_keyword_values_outlive_an_emptied_keyword_dict() -> None:
    done = run_child(EMPTIES_KEYWORDS)
    assert (done.returncode, done.stdout) == (0, "survived\n"), done.stderr


# Parameter kinds no class has, bound by the test-only module's functions of the same shape.
def mixed(a: Any, /, b: Any, c: Any = None, *, k: Any, m: Any = None) -> None:
    pass


def keywords_only(*, x: Any, y: Any, z: Any) -> None:
    pass


# (function, arguments, keywords, message): None for the interpreter's own words, which differ
# only for missing keyword-only parameters: "keyword" arguments here, "keyword-only" there.
SIGNATURE_FAILURES = [
    (mixed, (), {}, None),
    (mixed, (1,), {"k": 1}, None),
    (mixed, (1, 2, 3, 4), {}, None),
    (mixed, (), {"a": 1, "b": 2, "k": 3}, None),
    (mixed, (1, 2), {"k": 3, "b": 4}, None),
    (mixed, (1, 2), {"k": 1, "z": 2}, None),
    (keywords_only, (1,), {}, None),
    (mixed, (1, 2), {}, "mixed() missing 1 required keyword argument: 'k'"),
    (
        keywords_only,
        (),
        {},
        "keywords_only() missing 3 required keyword arguments: 'x', 'y', and 'z'",
    ),
    (
        keywords_only,
        (),
        {"z": 1, "x": 2},
        "keywords_only() missing 1 required keyword argument: 'y'",
    ),
]


@pytest.mark.parametrize("form", ["", "_from_tuple"], ids=["vector", "tuple"])
@pytest.mark.parametrize(("function", "args", "kwargs", "message"), SIGNATURE_FAILURES)
def test_signature_binding_failure(
    form: str,
    function: Callable[..., Any],
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    message: str | None,
) -> None:
    if message is None:
        message = str(raised_by(lambda: function(*args, **kwargs)))
    with pytest.raises(TypeError) as caught:
        getattr(t, function.__name__ + form)(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("form", ["", "_from_tuple"], ids=["vector", "tuple"])
@pytest.mark.parametrize(
    ("function", "args", "kwargs"),
    [
        (mixed, (1, 2), {"k": 3}),
        (mixed, (1,), {"b": 2, "k": 3}),
        (mixed, (1, 2, 3), {"m": 5, "k": 4}),
        (mixed, (1, 2), {"c": 3, "k": 4}),
        (keywords_only, (), {"z": 3, "x": 1, "y": 2}),
    ],
)
def test_signature_binding_fills_each_parameter(
    form: str, function: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    # Distinct objects, so that a value in the wrong slot shows.
    args = tuple(object() for _ in args)
    kwargs = {name: object() for name in kwargs}
    bound = getattr(t, function.__name__ + form)(*args, **kwargs)
    assert bound == inspect.signature(function).bind(*args, **kwargs).arguments
