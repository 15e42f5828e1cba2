"""Typical mistakes; each marked line must be rejected with exactly the listed error codes."""

import pathlib

import kestrum
from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

Sphere()  # error: call-arg
Sphere("1.5")  # error: arg-type
Sphere(None)  # error: arg-type
Sphere(r=1)  # error: call-arg
Sphere(1, 2)  # error: call-arg
Capsule(1)  # error: call-arg
Capsule(1, length="4")  # error: arg-type
Cylinder(1, 2, 3)  # error: call-arg
Cone(1, 2, height=3)  # error: call-arg
Cylinder(complex(1, 0), 2)  # error: arg-type

Sphere(1).radius  # error: attr-defined
Capsule(1, 2).half_length  # error: attr-defined
Cuboid([1, 2, 3]).half_sides  # error: attr-defined

cylinder = Cylinder(2, 6)
cylinder.radius + 1.0  # error: operator
cylinder.radius(0)  # error: call-arg
cylinder.radius = 3.0  # error: method-assign, assignment
bad_length: int = cylinder.half_length()  # error: assignment

Cuboid(1, 2, 3)  # error: call-arg, arg-type
Cuboid("abc")  # error: arg-type
Cuboid([1, 2, "3"])  # error: list-item
Cuboid({1, 2, 3})  # error: arg-type
Cuboid(side for side in (1, 2, 3))  # error: arg-type
Cuboid(sides=5)  # error: arg-type

PyMesh(pathlib.Path("rock.obj"))  # error: arg-type
PyMesh(b"rock.obj")  # error: arg-type
mesh = PyMesh("rock.obj")
mesh.mesh_path = "other.obj"  # error: misc
mesh.mesh_path()  # error: operator


class Ball(Sphere):  # error: misc
    pass


kestrum.Box  # error: attr-defined

try:
    Cuboid([1, 2])
except kestrum.PanicException:  # error: attr-defined
    pass
