"""Benchmark peer: kestrum's shape classes in pure Python, rounding through C floats with struct."""

import math
import struct

__all__ = ["Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh"]

_F32 = struct.Struct("f")
_pack = _F32.pack
_unpack = _F32.unpack
_FLT_MIN = 1.1754943508222875e-38  # smallest normal float


def _f32(value, name):
    """`value` rounded to single precision, accepting what PyFloat_AsDouble accepts."""
    if type(value) is not float:
        # math's argument parsing is PyFloat_AsDouble: the same accepted types (int, __float__,
        # __index__) and the same TypeError/OverflowError as the native conversions.
        try:
            value = math.ldexp(value, 0)
        except TypeError as e:
            raise TypeError(f"argument '{name}': {e}") from None
    try:
        return _unpack(_pack(value))[0]
    except OverflowError:  # struct refuses what rounds to an infinity; a C cast gives it
        return math.copysign(math.inf, value)


def _half(f):
    """`f` (already single) times 0.5 in single precision: exact unless the result is subnormal."""
    h = f * 0.5
    if -_FLT_MIN < h < _FLT_MIN:
        return _unpack(_pack(h))[0]
    return h


class Sphere:
    __slots__ = ("_radius",)

    def __init__(self, radius):
        self._radius = _f32(radius, "radius")


class _Rod:
    __slots__ = ("_radius", "_half_length")

    def __init__(self, radius, length):
        self._radius = _f32(radius, "radius")
        self._half_length = _half(_f32(length, "length"))


class Capsule(_Rod):
    __slots__ = ()


class Cylinder(_Rod):
    __slots__ = ()

    def radius(self):
        """Returns the radius of the cylinder."""
        return self._radius

    def half_length(self):
        """Returns the half length of the cylinder."""
        return self._half_length


class Cone(_Rod):
    __slots__ = ()

    def radius(self):
        """Returns the radius of the cone."""
        return self._radius

    def half_length(self):
        """Returns the half length of the cone."""
        return self._half_length


class Cuboid:
    __slots__ = ("_half_sides",)

    def __init__(self, sides):
        kind = type(sides)
        if kind is not list and kind is not tuple:
            if isinstance(sides, str):
                raise TypeError("argument 'sides': expected a sequence of numbers, not str")
            # PySequence_Check: a __getitem__ that is not a mapping's
            if isinstance(sides, dict) or not hasattr(kind, "__getitem__"):
                raise TypeError(
                    f"argument 'sides': '{kind.__name__}' object cannot be converted to 'Sequence'"
                )
        # Every element is rounded before the count is looked at.
        values = [_f32(x, "sides") for x in sides]
        if len(values) < 3:
            raise ValueError(
                f"argument 'sides': expected a sequence of at least 3 numbers, got {len(values)}"
            )
        self._half_sides = (_half(values[0]), _half(values[1]), _half(values[2]))


class PyMesh:
    """A Python wrapper for the Mesh type."""

    __slots__ = ("_path",)

    def __init__(self, path):
        if not isinstance(path, str):
            raise TypeError(
                f"argument 'path': '{type(path).__name__}' object cannot be converted to 'PyString'"
            )
        self._path = path.encode("utf-8")

    @property
    def mesh_path(self):
        # A new str on every read, like the native getters.
        return self._path.decode("utf-8")
