"""A short tour of kestrum: build every shape, read back what they give, and see two mistakes."""

from __future__ import annotations

from kestrum import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere


def main() -> None:
    sphere = Sphere(1.5)
    capsule = Capsule(radius=0.5, length=2.0)
    box = Cuboid([2.0, 4.0, 6.0])
    print("built", type(sphere).__name__, type(capsule).__name__, type(box).__name__)

    cylinder = Cylinder(2, 6)
    print(f"Cylinder(2, 6): radius {cylinder.radius()}, half length {cylinder.half_length()}")

    cone = Cone(0.1, 0.2)
    # Values are kept in single precision, so 0.1 comes back as its nearest float32.
    print(f"Cone(0.1, 0.2): radius {cone.radius()}, half length {cone.half_length()}")

    mesh = PyMesh("meshes/rock.obj")
    print(f"PyMesh: mesh_path {mesh.mesh_path!r} (the file is never opened)")

    try:
        Sphere(10**400)  # an integer no float can hold
    except OverflowError as error:
        print(f"Sphere(10**400) -> OverflowError: {error}")

    try:
        Cuboid([1.0, 2.0])
    except ValueError as error:
        print(f"Cuboid([1.0, 2.0]) -> ValueError: {error}")


if __name__ == "__main__":
    main()
