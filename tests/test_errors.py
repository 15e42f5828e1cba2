"""Error values, native failures and the call boundary, driven through the test-only module."""

from __future__ import annotations

import ctypes
import functools
import json
import os
import sys
import sysconfig
import threading
import traceback
from collections.abc import Callable

import _kestrum_testing as t
import pytest
from conftest import NEEDS_ADDRESS_SPACE_LIMIT, REACHES_CALLER, run_child

import kestrum

panic_type = t.panic_exception_type


def panic_raised(call: Callable[[], object]) -> BaseException:
    """The PanicException that `call()` raises."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is panic_type()
    return info.value


# ---- the PanicException type -------------------------------------------------------


def test_panic_exception_type_is_a_base_exception_named_kestrum_runtime() -> None:
    exc = panic_type()
    assert (exc.__module__, exc.__name__, exc.__qualname__) == (
        "kestrum_runtime",
        "PanicException",
        "PanicException",
    )
    assert exc.__bases__ == (BaseException,)
    assert not issubclass(exc, Exception)
    assert exc.__doc__.startswith("\n") and exc.__doc__.endswith("\n")
    assert "BaseException" in exc.__doc__


# ---- native failures inside a body -------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message", "report"),
    [
        (lambda: t.panic_with_text("it broke: é"), "it broke: é", "it broke: é"),
        (t.panic_with_other_payload, "native code failed without a message", "payload"),
        (t.throw_foreign, "native code failed without a message", None),
        # The exception is built only while the boundary raises it: a failure there too.
        (t.fail_in_restore, "builder failed", "builder failed"),
    ],
    ids=["text", "other-payload", "foreign-exception", "while-raising"],
)
def test_native_failure_becomes_panic_exception(capfd, call, message, report) -> None:
    raised = panic_raised(call)
    assert raised.args == (message,) and not isinstance(raised, Exception)
    err = capfd.readouterr().err
    if report is None:
        assert err == ""
    else:
        # The report names the thread as the system does.
        with open(f"/proc/self/task/{threading.get_native_id()}/comm") as comm:
            name = comm.read().rstrip("\n")
        assert f"kestrum: thread '{name}' failed at " in err and report in err
    assert t.gil_count() == 1  # the boundary left the count where it was


def test_panic_after_error_prints_the_pending_error_then_fails(capfd) -> None:
    assert panic_raised(lambda: t.panic_after_error_with(KeyError("lost key"))).args == (
        "Python API call failed",
    )
    err = capfd.readouterr().err
    assert "KeyError: 'lost key'" in err
    assert sys.last_value.args == ("lost key",)


def test_failure_in_deallocation_goes_to_the_unraisable_hook(capfd, unraisable) -> None:
    t.FailingDealloc("dropped badly")  # released at once
    assert [(type(u.exc_value), u.exc_value.args, u.object) for u in unraisable] == [
        (panic_type(), ("dropped badly",), None)
    ]
    assert "dropped badly" in capfd.readouterr().err  # the failure report
    assert t.noop() is None  # the interpreter carries on


@pytest.mark.parametrize(
    ("code", "words"),
    [
        (
            "t.forbid_gil_then_enter(-1)",
            "Access to the GIL is prohibited while a __traverse__ implmentation is running.",
        ),
        ("t.forbid_gil_then_enter(-2)", "Access to the GIL is currently prohibited."),
    ],
)
def test_failure_outside_the_catching_step_aborts(code: str, words: str) -> None:
    done = run_child(f"import _kestrum_testing as t\n{code}\nprint('survived')")
    assert done.returncode != 0
    assert "survived" not in done.stdout
    assert words in done.stderr
    assert "uncaught panic at ffi boundary" in done.stderr


# A daemon thread parked inside Python code that kestrum runs for it (defined in a namespace that
# is gone before exit), and an object whose release at exit wakes it while the interpreter
# finalizes: the interpreter ends the thread by unwinding its stack through kestrum's frames,
# where handles (an iterator, an item, keyword values, an error, a text, a lock guard) are alive.
WAKES_AT_EXIT = """
import threading, time
gate = threading.Lock(); gate.acquire(); inside = threading.Event()
ns = {"gate": gate, "inside": inside}
exec(
    '''
import kestrum
def park(*_):
    inside.set(); gate.acquire(); return 1.0
class Number:
    __float__ = park
class Length:
    __len__ = __getitem__ = park
class Items:
    __len__ = lambda self: 3
    __getitem__ = park
class Tuple(tuple):
    pass
class Key(str):
    __str__ = park
class Text:
    __str__ = park
class Raises:
    def __float__(self):
        raise TypeError(Text())
class Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            park()
        return type.__getattribute__(cls, name)
class Odd(metaclass=Meta):
    pass
class Dying:
    __float__ = lambda self: 1.0
    __del__ = park
class Fresh:
    def __getitem__(self, index):
        if index == 3:
            raise IndexError(index)
        return Dying()
def run():
    CALL
''',
    ns,
)
threading.Thread(target=ns["run"], daemon=True).start(); del ns; inside.wait()
class Opener:
    def __del__(self, gate=gate, sleep=time.sleep):
        gate.release(); sleep(0.5)
keep = Opener()
print("survived")
"""

# kestrum's own PanicException, kept from a failure and raised again from a keyword's text while
# binding holds the keyword dict's lock: resumed there as a native failure, which must end the
# lock's section as it unwinds.
PANIC_IN_LOCKED_KEYWORDS = """
import _testcapi, kestrum
mesh = kestrum.PyMesh("m" * 4000)
kept = None
for k in range(3):
    try:
        _testcapi.set_nomemory(k, k + 1)
        try:
            mesh.mesh_path
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as e:
        kept = e if type(e).__name__ == "PanicException" else kept
class Key(str):
    def __str__(self):
        raise kept
for call in (kestrum.Sphere.__new__, type.__call__):
    for _ in range(3):
        try:
            call(kestrum.Sphere, **{Key("bogus"): 1})
        except BaseException as e:
            assert type(e) is type(kept) and kept is not None, repr(e)
print("survived")
"""


# The call that parks WAKES_AT_EXIT's thread, named by where it waits.
PARKED_CALLS = {
    "exit-in-float": "kestrum.Sphere(Number())",
    "exit-in-len": "kestrum.Cuboid(Length())",
    "exit-in-getitem": "kestrum.Cuboid(Items())",
    "exit-in-iterated-tuple": "kestrum.Cuboid(Tuple((Number(), 1.0, 2.0)))",
    "exit-in-list-item": "kestrum.Cuboid([1.0, Number(), 2.0])",
    "exit-in-keyword-value": "kestrum.Capsule.__new__(kestrum.Capsule, 1, length=Number())",
    "exit-in-keyword-text": "kestrum.Sphere(**{Key('r'): 1})",
    "exit-in-locked-keyword-text": "kestrum.Sphere.__new__(kestrum.Sphere, **{Key('bogus'): 1})",
    "exit-in-error-text": "kestrum.Sphere(Raises())",
    "exit-in-type-name": "kestrum.PyMesh(Odd())",
    "exit-in-release": "kestrum.Cuboid(Fresh())",
    "exit-on-native-thread": "__import__('_kestrum_testing').call_on_detached_native_thread(park)",
}


@pytest.mark.parametrize(
    "code",
    [
        *(WAKES_AT_EXIT.replace("CALL", call) for call in PARKED_CALLS.values()),
        PANIC_IN_LOCKED_KEYWORDS,
    ],
    ids=[*PARKED_CALLS, "panic-in-locked-keywords"],
)
def test_the_process_survives(code: str) -> None:
    done = run_child(code, timeout=120)
    assert (done.returncode, done.stdout.splitlines()) == (0, ["survived"]), done.stderr


# One call of every kind on every road (the fast entry by position and by keyword, uncounted or
# not, and `Cls.__new__`; successful, failing, with long texts; the accessors), by the exception
# it raises when memory suffices (None: it succeeds).
# fmt: off
MEMORY_CALLS = {
    **dict.fromkeys([
        "Sphere(1.5)", "Cylinder(2, 6)", "Cuboid([1.0, 2.0, 3.0])", "PyMesh('a.obj')",
        "PyMesh(long)", "Sphere(radius=1.5)", "Cylinder(1.0, length=2.0)",
        "Cuboid(sides=(1.0, 2.0, 3.0))", "PyMesh(path=long)", "Sphere(True)", "Cuboid(range(3))",
        "PyMesh(wide)", "Sphere.__new__(Sphere, 1.5)", "Cylinder.__new__(Cylinder, radius=1, length=2)",
        "Cuboid.__new__(Cuboid, [1, 2, 3])", "PyMesh.__new__(PyMesh, long)",
        "cylinder.radius()", "cylinder.half_length()", "mesh.mesh_path",
    ], None),
    **dict.fromkeys([
        "Sphere(1, 2)", "Cylinder(1.0)", "Sphere(r=1)", "Sphere.__new__(Sphere, r=1)",
        "Sphere('x')", "Cuboid('abc')", "Cuboid(5)", "PyMesh(b'x')", "PyMesh(path=b'x')",
    ], TypeError),
    "Sphere(huge)": OverflowError,
    **dict.fromkeys([
        "Cuboid([1.0, 2.0])", "Cuboid(())", "Cuboid([])", "Cuboid(sides=[1.0, 2.0])",
        "Cuboid.__new__(Cuboid, [1.0, 2.0])",
    ], ValueError),
    "setattr(mesh, 'mesh_path', 'y')": AttributeError,
}
# fmt: on

# Makes the calls (warming each up, so that what kestrum makes once exists), runs SCENARIO,
# which fills `rows` with the type of each exception raised, and prints their names per call.
MEMORY_CHILD = """
import json
from kestrum import *
cylinder, mesh = Cylinder(1.0, 2.0), PyMesh("m" * 4000)
long, wide, huge = "m" * 4000, "é" * 4000, 2**2000
calls = [eval("lambda: " + code) for code in CODES]
for call in calls:
    try:
        call()
    except BaseException:
        pass
SCENARIO
print(json.dumps({code: sorted({e.__name__ for e in row if e}) for code, row in zip(CODES, rows)}))
"""

# Fills the memory left under an address-space limit, then makes every call 200 times. Nothing
# is allocated outside the calls meanwhile: the loop runs in a function, whose locals need no
# dictionary, and whose frame object exists before memory runs out; small integers are cached.
EXHAUSTED = """
import resource
def exhaust_then_call():
    try:
        raise MemoryError
    except MemoryError:
        pass
    with open("/proc/self/statm") as f:
        vm = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (vm + 2**26,) * 2)
    hoard = []
    try:
        while True:
            hoard.append(str(len(hoard)) * 3)
    except MemoryError:
        pass
    k = 0
    while k < len(calls):
        call, row, j = calls[k], rows[k], 0
        while j < 200:
            try:
                call()
            except BaseException as e:
                row[j] = type(e)
            j += 1
        k += 1
rows = [[None] * 200 for _ in calls]
exhaust_then_call()
"""

# Every allocation of the interpreter fails from the n-th on (or only the n-th), for each n from
# the first.
NO_MEMORY = """
import _testcapi
rows = [[] for _ in calls]
for call, row in zip(calls, rows):
    for start in range(40):
        for stop in (0, start + 1):
            try:
                _testcapi.set_nomemory(start, stop)
                try:
                    call()
                finally:
                    _testcapi.remove_mem_hooks()
            except BaseException as e:
                row.append(type(e))
"""


@pytest.mark.parametrize(
    "scenario",
    [
        # AddressSanitizer's own allocator aborts when the address space runs out.
        pytest.param(
            EXHAUSTED,
            marks=[
                pytest.mark.skipif(
                    os.environ.get("KESTRUM_SANITIZED") == "1",
                    reason="the sanitizer cannot run out of memory",
                ),
                NEEDS_ADDRESS_SPACE_LIMIT,
            ],
        ),
        pytest.param(
            NO_MEMORY,
            marks=pytest.mark.skipif(
                bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                reason="3.13t's allocator crashes or hangs in this sweep without kestrum too",
            ),
        ),
    ],
    ids=["exhausted", "no-memory"],
)
def test_running_out_of_memory_raises_memory_error(scenario: str) -> None:
    code = MEMORY_CHILD.replace("CODES", repr(list(MEMORY_CALLS))).replace("SCENARIO", scenario)
    done = run_child(code, timeout=300)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout.splitlines()[-1])
    # A result the interpreter cannot make is an internal failure (a PanicException).
    panic = panic_type().__name__
    unexpected = {}
    for call, raises in MEMORY_CALLS.items():
        allowed = {"MemoryError", *([raises.__name__] if raises else [])}
        if call.startswith(("cylinder.", "mesh.")):
            allowed.add(panic)
        if extra := set(seen[call]) - allowed:
            unexpected[call] = sorted(extra)
    assert unexpected == {}


# The first keyword call of a class makes its interned names: a failure there unwinds out of
# binding while it holds the keyword dict's lock. Each class is swept in turn, not warmed up, with
# only the n-th allocation failing, or every one from the n-th, for each n from the first; then
# called once with memory to spare.
FIRST_KEYWORD_CALLS = """
import _testcapi, json
from kestrum import *
KEYWORDS = {
    Sphere: dict(radius=1.5), Capsule: dict(radius=1, length=2.0),
    Cylinder: dict(radius=2.0, length=6), Cone: dict(length=2.0, radius=1),
    Cuboid: dict(sides=[1, 2.0, 3]), PyMesh: dict(path="a.obj"),
}
rows = {cls: [] for cls in KEYWORDS}
for cls, kw in KEYWORDS.items():
    for n in range(40):
        try:
            _testcapi.set_nomemory(n, STOP)
            try:
                cls.__new__(cls, **kw)
            finally:
                _testcapi.remove_mem_hooks()
        except BaseException as e:
            rows[cls].append(type(e))
    assert type(cls.__new__(cls, **kw)) is cls
print(json.dumps({cls.__name__: sorted({e.__name__ for e in row}) for cls, row in rows.items()}))
"""


@pytest.mark.parametrize("stop", ["n + 1", "0"], ids=["the-nth", "from-the-nth"])
def test_a_first_keyword_call_out_of_memory_leaves_no_lock_behind(stop: str) -> None:
    done = run_child(FIRST_KEYWORD_CALLS.replace("STOP", stop), timeout=300)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout.splitlines()[-1])
    assert set(seen) == set(kestrum.__all__)
    # A name the interpreter cannot make is an internal failure (a PanicException).
    assert {
        name: set(raised) - {"MemoryError", panic_type().__name__} for name, raised in seen.items()
    } == dict.fromkeys(seen, set())
    assert all("MemoryError" in raised for raised in seen.values())


# ---- error values through the boundary ---------------------------------------------


@pytest.mark.parametrize("exc_type", [ValueError, KeyError, OSError, SystemError])
def test_returned_error_is_raised_exactly(exc_type) -> None:
    with pytest.raises(exc_type) as info:
        t.return_error(exc_type, "as returned")
    assert type(info.value) is exc_type
    assert info.value.args == ("as returned",)


@pytest.mark.parametrize(("fail", "result", "pending"), [(False, 0, None), (True, -1, ValueError)])
def test_int_slot_returns_minus_one_with_the_error_set(fail, result, pending) -> None:
    rc, exc = t.int_slot(fail)
    assert rc == result
    assert (type(exc) if exc is not None else None) is pending


def test_property_setter_failure_raises_through_int_slot() -> None:
    probe = t.Probe(1.5)
    assert probe.value == 1.5
    with pytest.raises(ValueError, match="^refused int$"):
        probe.value = 3
    with pytest.raises(AttributeError):
        del probe.value
    assert type(probe).value.__doc__ == "the stored value"


def test_fetch_with_nothing_pending_is_a_system_error() -> None:
    with pytest.raises(SystemError, match="^attempted to fetch exception but none was set$"):
        t.fetch_with_nothing_pending()


@pytest.mark.parametrize("not_a_class", [42, "text", int, ValueError("instance")])
def test_lazy_error_whose_type_is_not_an_exception_class(not_a_class) -> None:
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        t.raise_lazy_arguments(not_a_class)


def test_lazy_error_of_an_exception_class_raises_it_without_arguments() -> None:
    with pytest.raises(LookupError) as info:
        t.raise_lazy_arguments(LookupError)
    assert info.value.args == ()


# ---- taking the pending exception ---------------------------------------------------


def test_take_returns_an_ordinary_exception_unchanged() -> None:
    error = ValueError("plain")

    def fail():
        raise error

    assert t.take_after_call(fail) is error
    assert error.__traceback__.tb_frame.f_code is fail.__code__  # the traceback it was taken with
    assert t.take_after_call(lambda: None) is None


def test_take_resumes_our_own_panic_exception(capfd) -> None:
    def fail():
        raise panic_type()("from python")

    assert panic_raised(lambda: t.take_after_call(fail)).args == ("from python",)
    err = capfd.readouterr().err
    lines = err.splitlines()
    assert lines[0].startswith("---") and lines[0].endswith("---")
    assert lines[1] == "Python stack trace below:"
    assert "in fail" in err and "from python" in err
    assert "kestrum: thread" not in err  # resuming writes no failure report


def test_take_resumes_a_panic_whose_str_fails_with_a_fixed_message(capfd) -> None:
    def fail():
        raise panic_type()(StrFails())

    assert panic_raised(lambda: t.take_after_call(fail)).args == (
        "Unwrapped panic from Python code",
    )
    capfd.readouterr()


def test_take_passes_panic_lookalikes_as_ordinary_exceptions(capfd) -> None:
    subclass = type("PanicException", (panic_type(),), {})
    lookalike = type("PanicException", (BaseException,), {"__module__": "kestrum_runtime"})
    for exc_type in (subclass, lookalike):
        error = exc_type("ordinary")

        def fail(error=error):
            raise error

        assert t.take_after_call(fail) is error
    assert capfd.readouterr().err == ""


# ---- causes ------------------------------------------------------------------------


def test_cause_of_an_exception_without_one_is_none() -> None:
    assert t.cause_of(ValueError("no cause")) is None


def test_cause_is_read_back_with_its_traceback() -> None:
    try:
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise ValueError("outer") from inner
    except ValueError as outer:
        caught = outer
    cause = t.cause_of(caught)
    assert cause is caught.__cause__
    assert cause.__traceback__ is not None


def test_a_cause_that_is_a_class_is_raised_as_a_lazy_error() -> None:
    error = ValueError("x")
    # __cause__ accepts only exception instances or None from Python; the C API takes more
    # (and steals the reference it is given).
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(KeyError))
    ctypes.pythonapi.PyException_SetCause(ctypes.py_object(error), ctypes.py_object(KeyError))
    cause = t.cause_of(error)
    assert type(cause) is KeyError
    assert cause.args == ()


@pytest.mark.parametrize("cause", [KeyError("k"), None])
def test_set_cause_sets_or_clears(cause) -> None:
    error = ValueError("v")
    error.__cause__ = RuntimeError("old")
    result = t.with_cause(error, cause)
    assert result is error
    assert error.__cause__ is cause
    assert error.__suppress_context__ is True


@pytest.mark.parametrize(
    ("error", "reworded"),
    [
        (TypeError("must be real number, not str"), True),
        (type("Sub", (TypeError,), {})("subclass"), False),
        (OverflowError("too big"), False),
        (ValueError("bad value"), False),
    ],
    ids=["exact-TypeError", "TypeError-subclass", "OverflowError", "ValueError"],
)
def test_argument_extraction_error_rewords_only_exact_type_errors(error, reworded) -> None:
    cause = KeyError("why")
    error.__cause__ = cause
    with pytest.raises(BaseException) as info:
        t.argument_error("radius", error)
    if reworded:
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument 'radius': {error}"
        assert info.value is not error
        assert info.value.__cause__ is cause
        assert info.value.__context__ is not error
    else:
        assert info.value is error


# ---- text forms --------------------------------------------------------------------


class StrFails:
    def __str__(self) -> str:
        raise RuntimeError("cannot print")


def test_python_format_of_an_unprintable_object_reports_it(unraisable) -> None:
    obj = StrFails()
    assert t.display(obj) == "<unprintable StrFails object>"
    assert [(type(u.exc_value), u.object) for u in unraisable] == [(RuntimeError, obj)]


def unreadable(attribute: str, error: type[BaseException]) -> type:
    """A metaclass whose classes fail to give `attribute` with `error`."""

    class Meta(type):
        def __getattribute__(cls, name):
            if name == attribute:
                raise error(f"no {name}")
            return super().__getattribute__(name)

    return Meta


def test_python_format_falls_back_when_the_type_name_fails(unraisable) -> None:
    class Nameless(StrFails, metaclass=unreadable("__name__", AttributeError)):
        pass

    assert t.display(Nameless()) == "<unprintable object>"


@pytest.mark.parametrize("error", REACHES_CALLER)
@pytest.mark.parametrize("failing", ["str", "type-name"])
def test_python_format_lets_interrupts_through(unraisable, error, failing) -> None:
    class Interrupted:
        def __str__(self) -> str:
            raise (error if failing == "str" else RuntimeError)("no __str__")

    class Named(Interrupted, metaclass=unreadable("__name__", error)):
        pass

    with pytest.raises(error, match=f"^no {'__str__' if failing == 'str' else '__name__'}$"):
        t.display(Named())
    # What was discarded before the interrupt was reported; the interrupt never is.
    assert [type(r.exc_value) for r in unraisable] == ([] if failing == "str" else [RuntimeError])


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("plain", "plain"),
        ("é\u20ac\U0001f600", "é\u20ac\U0001f600"),
        ("a\udc80b", "a\ufffd\ufffd\ufffdb"),
        ("\ud83d", "\ufffd\ufffd\ufffd"),
    ],
)
def test_lossy_text(text, expected) -> None:
    assert t.lossy(text) == expected


@pytest.mark.parametrize(
    "raw",
    [
        b"\xe0\x80\x80",
        b"\xed\xa0\x80",
        b"\xf4\x90\x80\x80",
        b"\xf0\x9f\x98",
        b"\xc0\xaf",
        b"ok\xffok",
        b"\xe2\x82\xac\xe2\x82",
        b"\xf1\x80\x80\xff",
    ],
)
def test_lossy_decoding_matches_the_interpreter(raw) -> None:
    # Both replace each maximal invalid subpart with one U+FFFD.
    assert t.decode_lossy(raw) == raw.decode("utf-8", "replace")


def test_print_writes_what_the_interpreter_writes_for_an_uncaught_error(capsys) -> None:
    try:
        raise KeyError("printed")
    except KeyError as caught:
        error = caught
    before = sys.getrefcount(error.__traceback__)
    result = t.print_error(error)
    after = sys.getrefcount(error.__traceback__)
    assert result is None  # and nothing is left pending
    assert after == before
    assert capsys.readouterr().err == "".join(traceback.format_exception(error))


def test_debug_form_of_an_error_value() -> None:
    expected = "PyErr { type: <class 'ValueError'>, value: ValueError('v'), traceback: None }"
    assert t.debug_form(ValueError("v")) == expected
    try:
        raise KeyError('quote " and \\')
    except KeyError as caught:
        form = t.debug_form(caught)
        tb_text = "".join(__import__("traceback").format_tb(caught.__traceback__))
        value_repr = repr(caught)
    head = f"PyErr {{ type: <class 'KeyError'>, value: {value_repr}, traceback: Some(\""
    assert form.startswith(head) and form.endswith('") }')
    escaped = form[len(head) : -len('") }')]
    assert "\n" not in escaped  # line breaks are escaped
    unescaped = escaped.encode().decode("unicode_escape")
    assert unescaped.startswith("Traceback (most recent call last):\n")
    assert unescaped.endswith(tb_text)


@pytest.mark.parametrize(
    ("obj", "name"),
    [(5, "int"), (b"", "bytes"), (kestrum.Sphere(1), "Sphere"), (StrFails(), "StrFails")],
)
def test_downcast_error_names_the_qualified_type(obj, name) -> None:
    with pytest.raises(TypeError) as info:
        t.downcast(obj)
    assert str(info.value) == f"'{name}' object cannot be converted to 'Target'"


DOWNCASTS = {
    "test-only": (t.downcast, "Target", ""),
    "sides": (kestrum.Cuboid, "Sequence", "argument 'sides': "),
    "path": (kestrum.PyMesh, "PyString", "argument 'path': "),
    "path-new": (
        functools.partial(kestrum.PyMesh.__new__, kestrum.PyMesh),
        "PyString",
        "argument 'path': ",
    ),
}


@pytest.mark.parametrize("where", DOWNCASTS)
@pytest.mark.parametrize("qualname", [42, AttributeError, ValueError, RuntimeError])
def test_downcast_error_without_a_readable_qualname(where, qualname) -> None:
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__" and qualname == 42:
                return qualname
            return super().__getattribute__(name)

    class Odd(metaclass=Meta if qualname == 42 else unreadable("__qualname__", qualname)):
        pass

    convert, target, prefix = DOWNCASTS[where]
    with pytest.raises(TypeError) as info:
        convert(Odd())
    assert str(info.value) == (
        f"{prefix}'<failed to extract type name>' object cannot be converted to '{target}'"
    )


@pytest.mark.parametrize("where", DOWNCASTS)
@pytest.mark.parametrize("error", REACHES_CALLER)
def test_downcast_error_lets_an_interrupted_qualname_through(where, error) -> None:
    class Odd(metaclass=unreadable("__qualname__", error)):
        pass

    convert, _, _ = DOWNCASTS[where]
    with pytest.raises(error, match="^no __qualname__$"):
        convert(Odd())


def test_nul_byte_error() -> None:
    with pytest.raises(ValueError, match="^nul byte found in provided data at position: 7$"):
        t.nul_byte(7)


# ---- class building ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("name", "signature", "cause"),
    [
        ("Doc", "(a\0b)", "class doc cannot contain nul bytes"),
        ("Na\0me", "", "nul byte found in provided data at position: 11"),
    ],
)
def test_class_that_cannot_be_built_names_itself_with_the_cause(name, signature, cause) -> None:
    with pytest.raises(RuntimeError) as info:
        t.build_class(name, signature)
    assert str(info.value) == f"An error occurred while initializing class {name}"
    assert type(info.value.__cause__) is ValueError
    assert str(info.value.__cause__) == cause


def test_built_class_reports_builtins_and_its_signature() -> None:
    cls = t.build_class("Made", "(a, b)")
    assert (cls.__module__, cls.__qualname__, cls.__text_signature__) == (
        "builtins",
        "Made",
        "(a, b)",
    )
    assert isinstance(cls(), cls)


# ---- lock bookkeeping, deferred releases, once-only cells --------------------------


def test_release_inside_allow_threads_is_applied_on_return() -> None:
    obj = object()
    before = sys.getrefcount(obj)
    t.release_in_allow_threads(obj)
    assert sys.getrefcount(obj) == before


def test_a_native_thread_takes_the_lock_itself() -> None:
    seen = []

    def work():
        seen.append(threading.get_ident())
        return "done"

    def fail():
        raise LookupError("from the thread")

    # Counted in while it holds the lock, out once the guard has given it back.
    assert t.call_from_native_thread(work) == (1, 0, "done")
    assert seen and seen[0] != threading.get_ident()
    with pytest.raises(LookupError, match="^from the thread$"):
        t.call_from_native_thread(fail)


def test_once_cell_keeps_the_first_stored_value() -> None:
    def refuse():
        raise LookupError("not yet")

    if t.once_cell_peek() is None:
        with pytest.raises(LookupError):
            t.once_cell_get_or_init(refuse)
        # Raised by the interpreter's C code, passed on as it was taken off the indicator.
        with pytest.raises(ValueError, match=r"^invalid literal for int\(\) with base 10: 'x'$"):
            t.once_cell_get_or_init(functools.partial(int, "x"))
        assert t.once_cell_peek() is None  # a failed computation leaves it empty
    first = t.once_cell_get_or_init(lambda: "first")
    assert t.once_cell_get_or_init(lambda: "second") is first
    assert t.once_cell_peek() is first


def test_reentrant_normalization_is_reported(capfd) -> None:
    holder = []

    def builder():
        holder[0].normalize()
        return (ValueError, "never")

    value = t.ErrorValue(builder)
    holder.append(value)
    assert panic_raised(value.normalize).args == (
        "Re-entrant normalization of PyErrState detected",
    )
    capfd.readouterr()


def test_a_failed_normalization_leaves_the_value_unusable(capfd) -> None:
    calls = []

    def builder():
        calls.append(1)
        raise KeyError("builder broke")

    value = t.ErrorValue(builder)
    assert panic_raised(value.normalize).args == ("Python API call failed",)
    # The failed normalization is over: this thread, like any other, finds the state it
    # emptied, not a normalization still running.
    assert panic_raised(value.normalize).args == (
        "Cannot normalize a PyErr while already normalizing it.",
    )
    seen = []

    def other():
        try:
            value.normalize()
        except BaseException as error:
            seen.append(error)

    thread = threading.Thread(target=other)
    thread.start()
    thread.join()
    assert [e.args for e in seen] == [("Cannot normalize a PyErr while already normalizing it.",)]
    assert panic_raised(value.raise_now).args == (
        "PyErr state should never be invalid outside of normalization",
    )
    assert calls == [1]
    assert "KeyError: 'builder broke'" in capfd.readouterr().err


def test_raise_now_restores_a_lazy_error_as_its_exception() -> None:
    value = t.ErrorValue(lambda: (LookupError, "lazy"))
    with pytest.raises(LookupError, match="^lazy$"):
        value.raise_now()
    with pytest.raises(ValueError, match="^already raised$"):
        value.raise_now()


def test_releasing_an_error_value_releases_its_builder() -> None:
    def builder():
        return (LookupError, "never built")

    before = sys.getrefcount(builder)
    value = t.ErrorValue(builder)
    held = sys.getrefcount(builder)
    del value
    after = sys.getrefcount(builder)
    assert (held, after) == (before + 1, before)


def test_an_exclusively_borrowed_instance_refuses_a_shared_borrow() -> None:
    probe = t.Probe(2.0)
    t.set_borrow_flag(probe, -1)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        _ = probe.value
    t.set_borrow_flag(probe, 0)
    assert probe.value == 2.0


def test_debug_form_escapes_control_characters_of_the_traceback(tmp_path, monkeypatch) -> None:
    # A source line holding a tab and a control character, which the traceback quotes.
    (tmp_path / "tabbed.py").write_text('def fail():\n    raise KeyError("a\tb\x01c")\n')
    monkeypatch.syspath_prepend(str(tmp_path))
    import tabbed

    try:
        tabbed.fail()
    except KeyError as caught:
        form = t.debug_form(caught)
    assert 'raise KeyError(\\"a\\tb\\u{1}c\\")' in form
    assert "\t" not in form and "\x01" not in form


def test_debug_form_with_an_unformattable_traceback(monkeypatch, unraisable) -> None:
    import io

    class Refusing:
        def write(self, text: str) -> None:
            raise OSError("no room")

    try:
        raise KeyError("k")
    except KeyError as caught:
        traceback = caught.__traceback__
        monkeypatch.setattr(io, "StringIO", Refusing)
        form = t.debug_form(caught)
        monkeypatch.undo()
    assert form.startswith("PyErr { type: <class 'KeyError'>, value: KeyError('k'), traceback: ")
    assert 'Some("<unformattable <traceback object at 0x' in form
    assert [(type(u.exc_value), u.object) for u in unraisable] == [(OSError, traceback)]
