"""Checks that every implementation has the behaviour the timings assume, so ratios compare like
with like. Run alone with `python bench/selfcheck.py` (checks whatever is importable)."""

from __future__ import annotations

import math
import pathlib


class _Str(str):
    pass


def _mesh_reads(m):
    mesh = m.PyMesh("a/b/c.obj")
    first, second = mesh.mesh_path, mesh.mesh_path
    return (first, type(first) is str, first == second, first is not second)


def _set_mesh_path(m):
    m.PyMesh("a").mesh_path = "b"


def _rod(cls, *args, **kwargs):
    c = cls(*args, **kwargs)
    return (c.radius(), c.half_length())


def _isinstance(cls, *args, **kwargs):
    return isinstance(cls(*args, **kwargs), cls)


# (what, call on the module, expected value or exception type)
CHECKS = [
    ("Cylinder(2, 6)", lambda m: _rod(m.Cylinder, 2, 6), (2.0, 3.0)),
    ("Cylinder(2.0, 6.0)", lambda m: _rod(m.Cylinder, 2.0, 6.0), (2.0, 3.0)),
    ("Cylinder by keywords", lambda m: _rod(m.Cylinder, length=6.0, radius=2.0), (2.0, 3.0)),
    ("Cylinder mixed", lambda m: _rod(m.Cylinder, 2, length=6), (2.0, 3.0)),
    ("Cone(-1, -3)", lambda m: _rod(m.Cone, -1, -3), (-1.0, -1.5)),
    ("float rounding", lambda m: _rod(m.Cylinder, 0.1, 0.2), (0.10000000149011612,) * 2),
    ("round then halve", lambda m: _rod(m.Cylinder, 1e39, 5e38), (math.inf, math.inf)),
    (
        "largest float halved",
        lambda m: _rod(m.Cone, 1, 3.4028234663852886e38)[1],
        1.7014117331926443e38,
    ),
    ("bool is a number", lambda m: _rod(m.Cylinder, True, 4), (1.0, 2.0)),
    ("Sphere(1.5)", lambda m: _isinstance(m.Sphere, 1.5), True),
    ("Sphere(radius=1)", lambda m: _isinstance(m.Sphere, radius=1), True),
    ("Capsule by keywords", lambda m: _isinstance(m.Capsule, length=4, radius=1), True),
    ("Cuboid(list)", lambda m: _isinstance(m.Cuboid, [2.0, 4.0, 6.0]), True),
    ("Cuboid(tuple)", lambda m: _isinstance(m.Cuboid, (2, 4, 6)), True),
    ("Cuboid(range)", lambda m: _isinstance(m.Cuboid, range(2, 8, 2)), True),
    ("Cuboid(sides=, 4 items)", lambda m: _isinstance(m.Cuboid, sides=[2, 4, 6, 8]), True),
    ("Cuboid two sides", lambda m: m.Cuboid([1.0, 2.0]), ValueError),
    ("Cuboid str", lambda m: m.Cuboid("abc"), TypeError),
    ("Cuboid int", lambda m: m.Cuboid(5), TypeError),
    ("Cuboid bad 4th item", lambda m: m.Cuboid([2, 4, 6, "x"]), TypeError),
    ('Sphere("x")', lambda m: m.Sphere("x"), TypeError),
    ("Sphere()", lambda m: m.Sphere(), TypeError),
    ("Sphere(1, 2)", lambda m: m.Sphere(1, 2), TypeError),
    ("Sphere(r=1)", lambda m: m.Sphere(r=1), TypeError),
    ("Cylinder(1)", lambda m: m.Cylinder(1), TypeError),
    ('Cylinder(1, "x")', lambda m: m.Cylinder(1, "x"), TypeError),
    ("radius(0)", lambda m: m.Cylinder(1, 2).radius(0), TypeError),
    ("mesh_path reads", _mesh_reads, ("a/b/c.obj", True, True, True)),
    ("mesh_path non-ASCII", lambda m: m.PyMesh(path="é/ü.obj").mesh_path, "é/ü.obj"),
    ("mesh_path of str subclass", lambda m: type(m.PyMesh(_Str("x.obj")).mesh_path), str),
    ("mesh_path empty", lambda m: m.PyMesh("").mesh_path, ""),
    ("PyMesh(bytes)", lambda m: m.PyMesh(b"a.obj"), TypeError),
    ("PyMesh(Path)", lambda m: m.PyMesh(pathlib.PurePosixPath("a.obj")), TypeError),
    ("PyMesh surrogate", lambda m: m.PyMesh("\ud800"), UnicodeEncodeError),
    ("mesh_path read-only", _set_mesh_path, AttributeError),
]


def _same(actual, expected) -> bool:
    # NaN-free tables: plain equality, but floats must also be floats
    if isinstance(expected, tuple):
        return (
            isinstance(actual, tuple)
            and len(actual) == len(expected)
            and all(_same(a, e) for a, e in zip(actual, expected, strict=True))
        )
    if isinstance(expected, float):
        return type(actual) is float and actual == expected
    return type(actual) is type(expected) and actual == expected


def check(module) -> list[str]:
    """The failed checks of `module`, as readable lines; empty when all pass."""
    failures = []
    for what, call, expected in CHECKS:
        raises = isinstance(expected, type) and issubclass(expected, BaseException)
        try:
            actual = call(module)
        except BaseException as e:
            if raises and isinstance(e, expected):
                continue
            failures.append(f"{what}: raised {type(e).__name__}: {e}"[:200])
            continue
        if raises:
            failures.append(f"{what}: returned {actual!r}, expected {expected.__name__}")
        elif not _same(actual, expected):
            failures.append(f"{what}: got {actual!r}, expected {expected!r}")
    return failures


def check_all(modules: dict, status: dict, reference: str) -> bool:
    """Checks every module, saying how each fares and keeping its failures in its `status`.
    Returns whether an implementation other than `reference` fails."""
    bad_peer = False
    for name, module in modules.items():
        failures = check(module)
        status[name]["selfcheck_failures"] = failures
        if failures:
            print(f"self-check: {name} fails {len(failures)} of {len(CHECKS)} checks:")
            for line in failures:
                print(f"    {line}")
            bad_peer |= name != reference
        else:
            print(f"self-check: {name} passes all {len(CHECKS)} checks")
    return bad_peer


def main() -> int:
    import importlib
    import sys

    import builder

    sys.path[:0] = builder.import_path_entries()
    status = 0
    for name in ["kestrum", *(p.module for p in builder.PEER_LIST)]:
        try:
            module = importlib.import_module(name)
        except ImportError as e:
            print(f"{name}: not importable ({e})")
            continue
        failures = check(module)
        print(f"{name}: {len(CHECKS) - len(failures)}/{len(CHECKS)} checks pass")
        for line in failures:
            print(f"    {line}")
        status |= bool(failures)
    return status


if __name__ == "__main__":
    raise SystemExit(main())
