"""Collision shape descriptions: five analytic primitives and a mesh given by its file path.

Every class is an immutable value holder. Numbers are stored in single precision and lengths
are stored halved (after rounding); no value is range-checked. Comparison and hashing are by
identity. An internal failure surfaces as ``kestrum_runtime.PanicException``, which derives
from ``BaseException`` and is not exported by this module.
"""

from typing import Final, Protocol, Self, SupportsFloat, SupportsIndex, final, type_check_only

__all__: Final = ["Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh"]

@type_check_only
class _Sides(Protocol):
    """What ``Cuboid`` reads from ``sides``: its length and its items by position, each a
    number. A ``str`` does not qualify (its items are strings); a NumPy array does. A ``dict``
    with ``int`` keys fits too, but is refused when called: it is not a sequence."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...

@final
class Sphere:
    """A sphere; keeps ``radius``. Nothing is readable back from an instance."""

    def __new__(cls, radius: SupportsFloat | SupportsIndex) -> Self: ...

@final
class Capsule:
    """A capsule; keeps ``radius`` and half of ``length``. Nothing is readable back."""

    def __new__(
        cls, radius: SupportsFloat | SupportsIndex, length: SupportsFloat | SupportsIndex
    ) -> Self: ...

@final
class Cylinder:
    """A cylinder; keeps ``radius`` and half of ``length``."""

    def __new__(
        cls, radius: SupportsFloat | SupportsIndex, length: SupportsFloat | SupportsIndex
    ) -> Self: ...
    def radius(self) -> float:
        """Returns the radius of the cylinder."""

    def half_length(self) -> float:
        """Returns the half length of the cylinder."""

@final
class Cone:
    """A cone; keeps ``radius`` and half of ``length``."""

    def __new__(
        cls, radius: SupportsFloat | SupportsIndex, length: SupportsFloat | SupportsIndex
    ) -> Self: ...
    def radius(self) -> float:
        """Returns the radius of the cone."""

    def half_length(self) -> float:
        """Returns the half length of the cone."""

@final
class Cuboid:
    """A box; keeps half of each of the first three ``sides``.

    Every element of ``sides`` is converted, the ones after the third included; fewer than
    three raise ``ValueError``. A ``str`` is refused although it is a sequence.
    """

    def __new__(cls, sides: _Sides) -> Self: ...

@final
class PyMesh:
    """A mesh given by the path of its file; the file is neither opened nor checked."""

    def __new__(cls, path: str) -> Self: ...
    @property
    def mesh_path(self) -> str:
        """The ``path`` given at construction, unchanged."""
