"""Calls the stubs must accept; also executed, so the runtime must accept them too."""

from decimal import Decimal
from fractions import Fraction
from typing import assert_type

import numpy as np

import kestrum
from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere


class Level:
    """A number known only through ``__index__``."""

    def __index__(self) -> int:
        return 4


class Gauge:
    """A number known only through ``__float__``."""

    def __float__(self) -> float:
        return 2.5


class MeshName(str):
    pass


assert_type(Sphere(1.5), Sphere)
assert_type(Sphere(radius=1), Sphere)
assert_type(Sphere(True), Sphere)
assert_type(Sphere(Fraction(1, 3)), Sphere)
assert_type(Sphere(Decimal("0.25")), Sphere)
assert_type(Sphere(Level()), Sphere)
assert_type(Sphere(Gauge()), Sphere)
assert_type(Capsule(1, 4), Capsule)
assert_type(Capsule(length=4, radius=1), Capsule)
assert_type(Capsule(1, length=Gauge()), Capsule)

for shape in (Cylinder(2, 6), Cylinder(length=6, radius=Level()), Cone(Gauge(), 6)):
    radius = assert_type(shape.radius(), float)
    half_length = assert_type(shape.half_length(), float)
    assert type(radius) is float
    assert type(half_length) is float

assert_type(Cuboid([2, 4, 6]), Cuboid)
assert_type(Cuboid((2.0, 4.0, 6.0, 8.0)), Cuboid)
assert_type(Cuboid(sides=range(2, 8, 2)), Cuboid)
assert_type(Cuboid(b"\x02\x04\x06"), Cuboid)
assert_type(Cuboid([Fraction(1, 2), Level(), Gauge(), True]), Cuboid)
assert_type(Cuboid(np.array([2.0, 4.0, 6.0])), Cuboid)
assert_type(Cuboid(np.arange(2, 8, 2, dtype=np.int32)), Cuboid)

mesh = PyMesh("meshes/rock.obj")
assert_type(mesh.mesh_path, str)
assert type(mesh.mesh_path) is str
assert type(PyMesh(path=MeshName("a/b.obj")).mesh_path) is str

shapes: list[object] = [getattr(kestrum, name) for name in kestrum.__all__]
assert len(shapes) == 6
