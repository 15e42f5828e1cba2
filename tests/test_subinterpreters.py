"""A second interpreter in the same process cannot import kestrum, and the first one's module
keeps working after every refused attempt.

Two kinds of second interpreter: a legacy one (sharing the GIL, as the C API's
Py_NewInterpreter makes it), where kestrum's own check refuses the import on every version, and
one made by the interpreters module, which from 3.12 is isolated and refuses a module of
kestrum's single-phase kind itself, before kestrum's initialisation runs.
"""

from __future__ import annotations

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import run_child

import kestrum

REFUSED_BY_KESTRUM = (
    "kestrum and other natively implemented modules do not yet support subinterpreters, "
    "see https://docs.python.org/3/c-api/init.html#sub-interpreter-support"
)
# The interpreter's own refusal, worded by it.
REFUSED_BY_ISOLATION = (
    REFUSED_BY_KESTRUM
    if sys.version_info < (3, 12)
    else "module kestrum does not support loading in subinterpreters"
)

# Runs inside the second interpreter: reports what importing kestrum raised, and whether a
# module was left behind, as three lines ending in a nul byte written to the pipe `fd`. It
# looks for kestrum where the first interpreter found it.
ATTEMPT = """
import importlib, os, sys
try:
    importlib.import_module(MODULE)
except BaseException as error:
    lines = [type(error).__name__, str(error)]
else:
    lines = ["imported", ""]
lines.append("left in sys.modules" if MODULE in sys.modules else "")
os.write(fd, (chr(10).join(lines) + chr(0)).encode())
"""

# How each child script starts: the built kestrum on the path, and the interpreters module.
PRELUDE = r"""
import sys
sys.path.insert(0, LOCATION)
try:
    import _interpreters as interpreters  # 3.13 and later
except ImportError:
    import _xxsubinterpreters as interpreters
"""


def run_script(script: str) -> subprocess.CompletedProcess[str]:
    """Runs PRELUDE and `script` in a child process, so that the test run's own interpreter never
    shares its process with another one."""
    location = str(Path(kestrum.__file__).parent)
    return run_child(
        f"LOCATION = {location!r}\nATTEMPT = {ATTEMPT!r}\n" + PRELUDE + script, timeout=120
    )


# Prints one JSON document.
SCRIPT = r"""
import _testcapi, ctypes, importlib, json, os

import kestrum
from kestrum import Cone, Cuboid, Cylinder, PyMesh, Sphere

kept = Cylinder(2, 6)
report = {"attempts": [], "checks": []}
read, write = os.pipe()
prelude = f"fd = {write}\nimport sys\nsys.path.insert(0, {LOCATION!r})\n"

def attempt(kind, run, module="kestrum"):
    run(prelude + f"MODULE = {module!r}\n" + ATTEMPT)
    data = b""
    while not data.endswith(b"\0"):
        data += os.read(read, 4096)
    report["attempts"].append([kind, *data[:-1].decode().split("\n")])

def attempt_isolated(interpreter):
    attempt("isolated", lambda code: interpreters.run_string(interpreter, code))

def attempt_legacy():  # a fresh legacy interpreter, ended afterwards
    attempt("legacy", _testcapi.run_in_subinterp)

def main_still_works():
    entry = ctypes.PyDLL(kestrum.__file__).PyInit_kestrum
    entry.restype = ctypes.py_object
    saved = sys.modules.pop("kestrum")
    again = importlib.import_module("kestrum")
    sys.modules["kestrum"] = saved
    report["checks"].append([
        entry() is kestrum,
        again is kestrum,
        kestrum.__all__ == ["Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh"],
        (kept.radius(), kept.half_length()) == (2.0, 3.0),
        (Cone(1, 5).radius(), Cone(1, 5).half_length()) == (1.0, 2.5),
        type(Sphere(1)) is Sphere and type(Cuboid([1, 2, 3])) is Cuboid,
        PyMesh("a/ü.obj").mesh_path == "a/ü.obj",
    ])

# What a legacy interpreter says to another single-phase module: the interpreter's own refusal
# where it refuses them itself (free-threaded builds), kestrum's otherwise.
attempt("control", _testcapi.run_in_subinterp, "_testsinglephase")
first = interpreters.create()
attempt_isolated(first)
main_still_works()
attempt_isolated(first)  # the same interpreter again
for _ in range(3):  # fresh interpreters of both kinds, each ended afterwards
    attempt_legacy()
    main_still_works()
    other = interpreters.create()
    attempt_isolated(other)
    interpreters.destroy(other)
    main_still_works()
interpreters.destroy(first)
for _ in range(1000):
    assert Cylinder(1, 2).half_length() == 1.0
main_still_works()
print(json.dumps(report))
"""


# The first import is an interpreters-module interpreter's; the main interpreter imports after it
# is gone. Prints what the second interpreter printed, then what the main one got.
SECOND_FIRST = r"""
IMPORT = "try:\n import kestrum\nexcept ImportError as e: print(e)\nelse: print('imported')\n"
second = interpreters.create()
interpreters.run_string(second, f"import sys\nsys.path.insert(0, {LOCATION!r})\n" + IMPORT)
interpreters.destroy(second)
exec(IMPORT)
"""


def test_an_interpreter_refused_the_module_holds_no_claim() -> None:
    done = run_script(SECOND_FIRST)
    assert done.returncode == 0, done.stderr
    if sys.version_info < (3, 12):  # not isolated: it imports, and owns kestrum from then on
        assert done.stdout.splitlines() == ["imported", REFUSED_BY_KESTRUM]
    else:
        assert done.stdout.splitlines() == [REFUSED_BY_ISOLATION, "imported"]


def test_second_interpreter_cannot_import_and_first_keeps_working() -> None:
    if importlib.util.find_spec("_testcapi") is None:
        pytest.skip("this interpreter ships without _testcapi, which makes legacy interpreters")
    done = run_script(SCRIPT)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.splitlines()[-1])

    _, control_error, control_message, _ = report["attempts"].pop(0)
    by_interpreter = control_error == "ImportError"  # not a missing module
    legacy = control_message.replace("_testsinglephase", "kestrum")
    refusal = {"legacy": legacy if by_interpreter else REFUSED_BY_KESTRUM}
    refusal["isolated"] = REFUSED_BY_ISOLATION
    kinds = ["isolated", "isolated"] + ["legacy", "isolated"] * 3
    assert [kind for kind, *_ in report["attempts"]] == kinds
    for kind, error, message, left in report["attempts"]:
        assert (error, message, left) == ("ImportError", refusal[kind], ""), kind
    assert report["checks"] == [[True] * 7] * 8
