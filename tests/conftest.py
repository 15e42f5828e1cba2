"""Shared helpers: the test-only native module and the two ways of calling a constructor."""

from __future__ import annotations

import contextlib
import importlib.abc
import importlib.machinery
import inspect
import math
import os
import re
import resource
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import kestrum

ROOT = Path(__file__).resolve().parent.parent


def _cmake() -> str:
    scripts = Path(sysconfig.get_path("scripts")) / "cmake"
    found = str(scripts) if scripts.exists() else shutil.which("cmake")
    if found is None:
        raise RuntimeError("cmake is needed to build the test-only module: pip install '.[test]'")
    return found


def _build_testing_module() -> Path:
    """Builds the test-only module from the source tree (never installed with the package)."""
    prebuilt = os.environ.get("KESTRUM_TESTING_BUILD")
    if prebuilt:
        return Path(prebuilt)
    # The ABI flags tell a free-threaded build from the default one of the same version.
    build = ROOT / "build" / f"testing-{sys.implementation.cache_tag}{sys.abiflags}"
    cmake = _cmake()
    where = build.relative_to(ROOT)
    if not _configured_for(build):
        _announce(
            f"configuring and compiling the test-only module (tests/native and the binding "
            f"layer) into {where} for this environment's interpreter: a minute or more"
        )
        shutil.rmtree(build, ignore_errors=True)
        # The environment's own ninja first: one found on PATH may be a shim of another one.
        generator = ["-G", "Ninja"] if _has_ninja_module() or shutil.which("ninja") else []
        options = ["-DKESTRUM_TESTING=ON", "-DCMAKE_BUILD_TYPE=Release"]
        python = f"-DPython_EXECUTABLE={sys.executable}"
        subprocess.run(
            [cmake, "-S", str(ROOT), "-B", str(build), *generator, *options, python],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    elif steps := _steps_left(cmake, build):
        _announce(f"compiling the test-only module's changed sources in {where}: {steps} steps")
    subprocess.run(
        [cmake, "--build", str(build), "--target", "_kestrum_testing"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return build / "tests" / "native"


def _steps_left(cmake: str, build: Path) -> int:
    """How many steps a Ninja build of the test-only module has left (0 for another generator)."""
    if not (build / "build.ninja").exists():
        return 0
    dry = subprocess.run(
        [cmake, "--build", str(build), "--target", "_kestrum_testing", "--", "-n"],
        capture_output=True,
        text=True,
        check=False,
    )
    if dry.returncode != 0:
        return 0
    return len(re.findall(r"^\[\d+/\d+\]", dry.stdout, re.MULTILINE))


_config: pytest.Config | None = None


def pytest_configure(config: pytest.Config) -> None:
    global _config
    _config = config


def _announce(message: str) -> None:
    """Writes past pytest's capture, so that a long build says what it does before it starts."""
    capture = _config.pluginmanager.get_plugin("capturemanager") if _config else None
    with capture.global_and_fixture_disabled() if capture else contextlib.nullcontext():
        print(f"kestrum's tests: {message}", file=sys.stderr, flush=True)


def _configured_for(build: Path) -> bool:
    """Whether `build` was configured by this interpreter and toolchain with tools that still
    exist: a build left by a virtual environment that has gone since names a cmake and a ninja
    gone with it."""
    try:
        cache = (build / "CMakeCache.txt").read_text()
    except FileNotFoundError:
        return False
    entries = dict(re.findall(r"^([A-Za-z_]+):[A-Z]+=(.*)$", cache, re.MULTILINE))
    tools = [entries.get(name, "") for name in ("CMAKE_COMMAND", "CMAKE_MAKE_PROGRAM")]
    # A toolchain file (tools/lib/compiler.sh exports one) chooses the compiler of a new build only.
    toolchain = entries.get("CMAKE_TOOLCHAIN_FILE", "") == os.environ.get(
        "CMAKE_TOOLCHAIN_FILE", ""
    )
    return (
        entries.get("Python_EXECUTABLE") == sys.executable
        and toolchain
        and all(Path(tool).is_file() for tool in tools)
    )


def _has_ninja_module() -> bool:
    scripts = Path(sysconfig.get_path("scripts")) / "ninja"
    if scripts.exists():
        os.environ["PATH"] = f"{scripts.parent}{os.pathsep}{os.environ.get('PATH', '')}"
        return True
    return False


class _BuildOnFirstImport(importlib.abc.MetaPathFinder):
    """Builds the test-only module when a test first imports it: a run that never does (the
    README's sessions, the typing tests) does not wait for the compiler."""

    failure: BaseException | None = None

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> Any:
        if name != "_kestrum_testing":
            return None
        if self.failure is not None:
            raise ImportError("the test-only module failed to build (see above)") from self.failure
        try:
            sys.path.insert(0, str(_build_testing_module()))
        except (OSError, RuntimeError, subprocess.CalledProcessError) as error:
            self.failure = error
            raise
        sys.meta_path.remove(self)
        return importlib.machinery.PathFinder.find_spec(name)


sys.meta_path.append(_BuildOnFirstImport())


def address_space_limit_holds() -> bool:
    """Whether a soft address-space limit set here reads back: qemu-user ignores the call."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    probe = hard if hard != resource.RLIM_INFINITY else 2**62
    resource.setrlimit(resource.RLIMIT_AS, (probe, hard))
    try:
        return resource.getrlimit(resource.RLIMIT_AS)[0] == probe
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


# For the cases that cap a child's address space: without the cap they would prove nothing.
NEEDS_ADDRESS_SPACE_LIMIT = pytest.mark.skipif(
    not address_space_limit_holds(), reason="qemu-user ignores address-space limits"
)


def run_child(
    code: str, timeout: float = 300, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    """Runs code in a fresh interpreter that imports what this one does (kestrum, the test-only
    module): for whatever could end the process. The timeout only catches a hang: under
    emulation on a loaded machine a child may take minutes."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), **(env or {})},
        timeout=timeout,
    )


def raised_by(call: Callable[..., Any], *args: Any) -> BaseException:
    """The exception the interpreter itself raises for `call(*args)`: the source of its texts."""
    try:
        call(*args)
    except BaseException as error:
        return error
    raise AssertionError(f"{call!r}{args!r} raised nothing")


def binding_words(cls: type, args: tuple[Any, ...], kwargs: dict[str, Any]) -> str | None:
    """What the interpreter says of the call to a Python function of the same parameters as the
    constructor of `cls`, named as it is; None when the call binds. kestrum suggests no name for
    an unexpected keyword, which the interpreter does from 3.13."""
    namespace: dict[str, Any] = {}
    exec(f"def __new__({', '.join(inspect.signature(cls).parameters)}): pass", namespace)
    function = namespace["__new__"]
    function.__qualname__ = f"{cls.__name__}.__new__"
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return str(error).partition(". Did you mean ")[0]
    return None


def float_error(value: Any) -> BaseException:
    """The exception the interpreter's own float conversion raises for `value`."""
    return raised_by(math.copysign, value, 1.0)


def via_call(cls: type, *args: Any, **kwargs: Any) -> Any:
    """The ordinary call, which the interpreter routes through the fast call entry."""
    return cls(*args, **kwargs)


def via_new(cls: type, *args: Any, **kwargs: Any) -> Any:
    """`Cls.__new__(Cls, ...)`, which goes through the tuple-and-dictionary entry."""
    return cls.__new__(cls, *args, **kwargs)


CONSTRUCTORS: list[Callable[..., Any]] = [via_call, via_new]

# One call of each constructor that makes an instance.
SAMPLES: dict[type, tuple[Any, ...]] = {
    kestrum.Capsule: (1, 2),
    kestrum.Cone: (1, 2),
    kestrum.Cuboid: ([1, 2, 3],),
    kestrum.Cylinder: (1, 2),
    kestrum.Sphere: (1,),
    kestrum.PyMesh: ("a.obj",),
}


class Subclass:
    """Subclasses of the built-in types that behave unlike their base."""

    class Float(float):
        def __float__(self) -> float:
            return -12345.0  # never called: the stored value is read directly

    class Int(int):
        pass

    class Str(str):
        pass

    class IntOwnFloat(int):
        """An int whose own float conversion, which the interpreter's conversion uses, differs."""

        def __float__(self) -> float:
            return 0.25

    class Renamed(str):
        """A str whose str() differs from its characters."""

        def __str__(self) -> str:
            return "renamed"

    class UnprintableStr(str):
        def __str__(self) -> str:
            raise RuntimeError("no text")


class IndexOnly:
    """A number that converts only through __index__."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __index__(self) -> Any:
        return self.value


class Sides:
    """A sequence that is neither a list nor a tuple: every element runs Python code. Its length
    query gives `length` when one is given, and raises it when it is an exception class."""

    def __init__(self, *values: Any, length: Any = None) -> None:
        self.values, self.length = values, length

    def __len__(self) -> int:
        if isinstance(self.length, type):
            raise self.length("no length")
        return len(self.values) if self.length is None else self.length  # type: ignore[no-any-return]

    def __getitem__(self, index: int) -> Any:
        return self.values[index]


class Converts:
    """A number whose own float conversion gives `value`, whatever it is."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __float__(self) -> Any:
        return self.value


class Logged(Converts):
    """A number that adds `name` to `log` at each conversion of itself."""

    def __init__(self, log: list[Any], name: Any = None, value: Any = 1.0) -> None:
        super().__init__(value)
        self.log, self.name = log, name

    def __float__(self) -> Any:
        self.log.append(self.name)
        return self.value


class Raises:
    """Raises `error` from its float conversion: from `cause` when one is given (None too, as
    `raise ... from None` does)."""

    def __init__(self, error: BaseException, cause: Any = ...) -> None:
        self.error = error
        self.cause = cause

    def made(self) -> BaseException:
        return self.error

    def __float__(self) -> float:
        if self.cause is ...:
            raise self.made()
        raise self.made() from self.cause


class RaisesAfresh(Raises):
    """Raises a new copy of `error` on each conversion. Raising one instance again would grow
    its traceback (from 3.12 an exception owns its traceback), and every entry's frame holds
    this object."""

    def made(self) -> BaseException:
        return type(self.error)(*self.error.args)


@pytest.fixture(params=CONSTRUCTORS, ids=["call", "__new__"])
def construct(request: pytest.FixtureRequest) -> Callable[..., Any]:
    """Every construction test runs through both entries of a constructor."""
    return request.param  # type: ignore[no-any-return]


@pytest.fixture
def unraisable(monkeypatch: pytest.MonkeyPatch) -> list[Any]:
    """The unraisable reports made during the test, kept here instead of printed."""
    reports: list[Any] = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    return reports


def lossy(text: str) -> str:
    """What a text without a UTF-8 form looks like in a message: one U+FFFD per bad byte."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


# What kestrum never discards, nor replaces by a fallback text: whatever is not an Exception
# (an interrupt, an exit) and MemoryError.
REACHES_CALLER = [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError]


CAUSE = LookupError("the cause")
