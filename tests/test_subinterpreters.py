"""A second interpreter in the same process cannot import kestrum, and the first one's module
keeps working after every refused attempt."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import kestrum

# Runs inside the second interpreter: reports what importing kestrum raised, and whether a
# module was left behind, as three lines ending in a nul byte written to the pipe `fd`. It
# looks for kestrum where the first interpreter found it.
ATTEMPT = """
import os, sys
try:
    import kestrum
except BaseException as error:
    lines = [type(error).__name__, str(error)]
else:
    lines = ["imported", ""]
lines.append("left in sys.modules" if "kestrum" in sys.modules else "")
os.write(fd, (chr(10).join(lines) + chr(0)).encode())
"""

# Runs in a child process, so that the test run's own interpreter never shares its process
# with another one; prints one JSON document.
SCRIPT = r"""
import ctypes, importlib, json, os, sys
sys.path.insert(0, LOCATION)
try:
    import _interpreters as interpreters  # 3.13 and later
except ImportError:
    import _xxsubinterpreters as interpreters

import kestrum
from kestrum import Cone, Cuboid, Cylinder, PyMesh, Sphere

kept = Cylinder(2, 6)
report = {"attempts": [], "checks": []}
read, write = os.pipe()

def attempt(interpreter):
    prelude = f"fd = {write}\nimport sys\nsys.path.insert(0, {LOCATION!r})\n"
    interpreters.run_string(interpreter, prelude + ATTEMPT)
    data = b""
    while not data.endswith(b"\0"):
        data += os.read(read, 4096)
    report["attempts"].append(data[:-1].decode().split("\n"))

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

first = interpreters.create()
attempt(first)
main_still_works()
attempt(first)  # the same interpreter again
for _ in range(3):  # fresh interpreters, each destroyed afterwards
    other = interpreters.create()
    attempt(other)
    interpreters.destroy(other)
    main_still_works()
interpreters.destroy(first)
for _ in range(1000):
    assert Cylinder(1, 2).half_length() == 1.0
main_still_works()
print(json.dumps(report))
"""


def test_second_interpreter_cannot_import_and_first_keeps_working() -> None:
    location = str(Path(kestrum.__file__).parent)
    done = subprocess.run(
        [sys.executable, "-c", f"LOCATION = {location!r}\nATTEMPT = {ATTEMPT!r}\n" + SCRIPT],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.splitlines()[-1])

    assert len(report["attempts"]) == 5
    for kind, message, left in report["attempts"]:
        assert kind == "ImportError"
        assert "do not yet support subinterpreters" in message
        assert left == ""
    assert report["checks"] == [[True] * 7] * 5
