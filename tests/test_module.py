"""The module object, its class objects and the shared object's exported symbols."""

from __future__ import annotations

import ctypes
import functools
import gc
import importlib
import inspect
import json
import shutil
import subprocess
import sys
import sysconfig
import types
import weakref
from typing import Any

import pytest
from conftest import SAMPLES, raised_by, run_child

import kestrum
from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

NAMES = ["Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh"]

# Type flags, as in the interpreter's object.h.
HEAPTYPE = 1 << 9
BASETYPE = 1 << 10
HAVE_GC = 1 << 14

# (class, text signature, doc, public attributes of the class)
CLASSES: list[tuple[type, str, str, set[str]]] = [
    (Capsule, "(radius, length)", "", set()),
    (Cone, "(radius, length)", "", {"radius", "half_length"}),
    (Cuboid, "(sides)", "", set()),
    (Cylinder, "(radius, length)", "", {"radius", "half_length"}),
    (Sphere, "(radius)", "", set()),
    (PyMesh, "(path)", "A Python wrapper for the Mesh type.", {"mesh_path"}),
]

class_params = pytest.mark.parametrize(
    ("cls", "signature", "doc", "public"), CLASSES, ids=[c[0].__name__ for c in CLASSES]
)
each_class = pytest.mark.parametrize("cls", [c[0] for c in CLASSES], ids=lambda c: c.__name__)


def test_all_lists_the_classes_in_registration_order() -> None:
    assert type(kestrum.__all__) is list
    assert kestrum.__all__ == NAMES


def test_attributes_are_the_class_objects() -> None:
    for name, cls in zip(NAMES, [Capsule, Cone, Cuboid, Cylinder, Sphere, PyMesh], strict=True):
        assert getattr(kestrum, name) is cls
        assert type(cls) is type
        assert cls.__name__ == name


def test_module_has_nothing_else() -> None:
    assert kestrum.__name__ == "kestrum"
    assert isinstance(kestrum.__doc__, str)
    assert kestrum.__doc__
    public = {name for name in dir(kestrum) if not name.startswith("_")}
    assert public == set(NAMES)
    assert not any(
        isinstance(value, types.BuiltinFunctionType | types.FunctionType)
        for value in vars(kestrum).values()
    )


def test_second_initialisation_returns_same_module() -> None:
    entry = ctypes.PyDLL(kestrum.__file__).PyInit_kestrum
    entry.restype = ctypes.py_object
    entry.argtypes = []
    assert entry() is kestrum
    assert entry() is kestrum
    assert kestrum.__all__ == NAMES
    assert kestrum.Sphere is Sphere


def test_reimport_gives_same_module() -> None:
    saved = sys.modules.pop("kestrum")
    try:
        again = importlib.import_module("kestrum")
        assert again is saved
        assert again.__all__ == NAMES
    finally:
        sys.modules["kestrum"] = saved


def test_only_the_entry_point_is_exported() -> None:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", kestrum.__file__],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    symbols = [line.split() for line in listing.splitlines() if line.strip()]
    functions = [fields[-1] for fields in symbols if fields[-2] in {"T", "t", "W", "i"}]
    assert functions == ["PyInit_kestrum"]


@each_class
def test_class_identity(cls: type) -> None:
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__base__ is object
    assert cls.__mro__ == (cls, object)
    # The full spec name shows wherever the interpreter quotes tp_name.
    assert repr(cls(*SAMPLES[cls])).startswith(f"<builtins.{cls.__name__} object at 0x")


@class_params
def test_class_docs(cls: type, signature: str, doc: str, public: set[str]) -> None:
    assert cls.__text_signature__ == signature  # type: ignore[attr-defined]
    assert cls.__doc__ == doc
    parameters = inspect.signature(cls).parameters
    assert list(parameters) == [name.strip() for name in signature.strip("()").split(",")]
    for parameter in parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


@class_params
def test_class_attributes(cls: type, signature: str, doc: str, public: set[str]) -> None:
    assert {name for name in vars(cls) if not name.startswith("_")} == public
    assert {name for name in dir(cls) if not name.startswith("_")} == public
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)


@pytest.mark.parametrize(
    ("cls", "noun"), [(Cylinder, "cylinder"), (Cone, "cone")], ids=["Cylinder", "Cone"]
)
def test_method_docs(cls: type, noun: str) -> None:
    methods = [
        name for name, value in vars(cls).items() if isinstance(value, types.MethodDescriptorType)
    ]
    assert methods == ["radius", "half_length"]
    radius, half_length = cls.radius, cls.half_length  # type: ignore[attr-defined]
    assert radius.__doc__ == f"Returns the radius of the {noun}."
    assert half_length.__doc__ == f"Returns the half length of the {noun}."
    assert radius.__text_signature__ == "($self)"
    assert half_length.__text_signature__ == "($self)"
    assert str(inspect.signature(cls(1, 2).radius)) == "()"


def test_mesh_path_descriptor() -> None:
    descriptor = vars(PyMesh)["mesh_path"]
    assert isinstance(descriptor, types.GetSetDescriptorType)
    assert descriptor.__doc__ == ""
    assert descriptor.__name__ == "mesh_path"
    assert PyMesh.mesh_path is descriptor
    assert descriptor.__get__(PyMesh("x.obj")) == "x.obj"


@each_class
def test_not_subclassable(cls: type) -> None:
    assert not cls.__flags__ & BASETYPE
    with pytest.raises(TypeError) as caught:
        type("Derived", (cls,), {})
    assert str(caught.value) == f"type 'builtins.{cls.__name__}' is not an acceptable base type"


@each_class
def test_instances_are_closed(cls: type) -> None:
    instance = cls(*SAMPLES[cls])
    assert not hasattr(instance, "__dict__")
    assert cls.__dictoffset__ == 0  # type: ignore[attr-defined]
    with pytest.raises(AttributeError) as caught:
        instance.anything = 1
    # The interpreter's words for a class of that name with no attributes of its own.
    closed = type(f"builtins.{cls.__name__}", (), {"__slots__": ()})()
    assert str(caught.value) == str(raised_by(setattr, closed, "anything", 1))
    with pytest.raises(AttributeError):
        instance.__dict__  # noqa: B018
    assert cls.__weakrefoffset__ == 0  # type: ignore[attr-defined]
    with pytest.raises(TypeError):
        weakref.ref(instance)


@each_class
def test_not_collected(cls: type) -> None:
    assert cls.__flags__ & HEAPTYPE
    assert not cls.__flags__ & HAVE_GC
    assert not gc.is_tracked(cls(*SAMPLES[cls]))


@each_class
def test_instances_give_back_what_they_take_of_their_class(cls: type) -> None:
    # Without the GIL the classes live uncounted (immortal), so that threads making instances of
    # one class do not all write its count.
    uncounted = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    before = sys.getrefcount(cls)
    instances = [cls(*SAMPLES[cls]) for _ in range(100)]
    assert sys.getrefcount(cls) == before + (0 if uncounted else len(instances))
    del instances
    assert sys.getrefcount(cls) == before


@each_class
def test_calls_have_the_vector_call_entry(cls: type) -> None:
    # A type slot from 3.14, assigned after the type is made before: the same entry either way.
    import _kestrum_testing

    assert _kestrum_testing.has_vector_call(cls)


# The bytes of each shape's value: its single-precision numbers and nothing else. (The mesh's
# text layout is its own business.)
VALUE_SIZES = {Sphere: 4, Capsule: 8, Cylinder: 8, Cone: 8, Cuboid: 12}


@pytest.mark.parametrize("cls", list(VALUE_SIZES), ids=lambda cls: cls.__name__)
def test_instance_is_header_value_and_borrow_counter(cls: type) -> None:
    word = ctypes.sizeof(ctypes.c_ssize_t)
    header = object.__basicsize__
    counter_offset = -(-(header + VALUE_SIZES[cls]) // word) * word  # aligned for the counter
    assert sys.getsizeof(cls(*SAMPLES[cls])) == counter_offset + word
    assert cls.__basicsize__ == counter_offset + word  # type: ignore[attr-defined]


# A call of a class and the interpreter's own class call, `type.__call__`, after each way a
# program may change the class, for each way of calling it: they must give the same. Run in a
# child interpreter: a `__new__` that is put back leaves the class on the interpreter's generic
# call for good.
CHANGED_CLASSES = """
import ctypes, json, sys, unittest.mock
import kestrum
from kestrum import *
if CLEAR_WATCHERS and sys.version_info >= (3, 12):  # a program may clear watchers it does not own
    for i in range(8):
        try:
            ctypes.pythonapi.PyType_ClearWatcher(i)
        except ValueError:  # no watcher of that number
            pass
record = []
def shown(call):
    record.clear()
    try:
        result = call()
    except BaseException as e:
        return [type(e).__name__, str(e), list(record)]
    ours = type(result) is getattr(kestrum, type(result).__name__, None)
    return [type(result).__name__, None if ours else repr(result), list(record)]
def init(self, *args, **kwargs):
    record.append(["__init__", args, kwargs])
def refuse(self, *args, **kwargs):
    raise ValueError("refused")
def other(cls, *args, **kwargs):
    record.append(["__new__", args, kwargs])
    return "patched"
CALLS = {
    Capsule: ((1, 2), {"radius": 1, "length": 2}),
    Cone: ((1, 2), {"radius": 1, "length": 2}),
    Cuboid: (([1, 2, 3],), {"sides": (1, 2, 3)}),
    Cylinder: ((1, 2), {"radius": 1, "length": 2}),
    Sphere: ((1,), {"radius": 1}),
    PyMesh: (("a.obj",), {"path": "a.obj"}),
}
seen = {}
def compare(change, cls):
    args, kwargs = CALLS[cls]
    for form, a, k in [
        ("positional", args, {}),
        ("keyword", (), kwargs),
        ("mixed", args[:1], dict(list(kwargs.items())[1:])),
        ("missing", (), {}),
        ("surplus", args + (0,), {}),
        ("unknown", args, {"extra": 0}),
    ]:
        seen[f"{change}/{cls.__name__}/{form}"] = [
            shown(lambda: cls(*a, **k)), shown(lambda: type.__call__(cls, *a, **k))
        ]
for cls in CALLS:
    original_new = cls.__new__
    def delegate(c, *args, **kwargs):
        record.append(["__new__", args, kwargs])
        return original_new(c, *args, **kwargs)
    compare("as-built", cls)
    cls.extra = 1
    compare("attribute-set", cls)
    cls.__init__ = init
    compare("__init__-recording", cls)
    cls.__init__ = refuse
    compare("__init__-refusing", cls)
    del cls.__init__
    compare("__init__-deleted", cls)
    cls.__new__ = staticmethod(other)
    compare("__new__-other", cls)
    cls.__new__ = staticmethod(delegate)
    compare("__new__-delegating", cls)
    cls.__new__ = original_new
    compare("__new__-put-back", cls)
    with unittest.mock.patch.object(cls, "__new__", staticmethod(other)):
        compare("__new__-mocked", cls)
    compare("__new__-unmocked", cls)
print(json.dumps(seen))
"""


@functools.cache
def changed_class_calls(clear_watchers: bool) -> dict[str, list[Any]]:
    done = run_child(f"CLEAR_WATCHERS = {clear_watchers}\n" + CHANGED_CLASSES)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)  # type: ignore[no-any-return]


@pytest.mark.parametrize("clear_watchers", [False, True], ids=["watchers-kept", "watchers-cleared"])
@pytest.mark.parametrize("cls", NAMES)
def test_a_changed_class_is_called_as_the_interpreter_calls_it(
    cls: str, clear_watchers: bool
) -> None:
    outcomes = {
        key: pair for key, pair in changed_class_calls(clear_watchers).items() if f"/{cls}/" in key
    }
    assert len(outcomes) == 10 * 6
    assert {key: call for key, (call, type_call) in outcomes.items() if call != type_call} == {}
    # The changes took effect: the replacements ran, or their results came back. (Once `__new__`
    # is replaced, the interpreter's own check refuses the class's original one, even put back:
    # "... is not safe".)
    constructed = [cls, None, []]
    assert outcomes[f"attribute-set/{cls}/keyword"][0] == constructed
    assert outcomes[f"__init__-recording/{cls}/keyword"][0][2][0][0] == "__init__"
    assert outcomes[f"__init__-refusing/{cls}/positional"][0][:2] == ["ValueError", "refused"]
    assert outcomes[f"__init__-deleted/{cls}/mixed"][0] == constructed
    assert outcomes[f"__new__-other/{cls}/positional"][0][:2] == ["str", "'patched'"]
