# cython: language_level=3
"""Benchmark peer: kestrum's shape classes as Cython cdef classes."""

cimport cython
from cpython.mem cimport PyMem_Free, PyMem_Malloc
from cpython.sequence cimport PySequence_Check
from cpython.unicode cimport PyUnicode_FromStringAndSize
from libc.string cimport memcpy

cdef extern from "Python.h":
    const char* PyUnicode_AsUTF8AndSize(object s, Py_ssize_t* size) except NULL

__all__ = ["Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh"]


@cython.final
cdef class Sphere:
    cdef float _radius

    def __cinit__(self, float radius):
        self._radius = radius


@cython.final
cdef class Capsule:
    cdef float _radius, _half_length

    def __cinit__(self, float radius, float length):
        self._radius = radius
        self._half_length = length * <float>0.5


@cython.final
cdef class Cylinder:
    cdef float _radius, _half_length

    def __cinit__(self, float radius, float length):
        self._radius = radius
        self._half_length = length * <float>0.5

    def radius(self):
        """Returns the radius of the cylinder."""
        return self._radius

    def half_length(self):
        """Returns the half length of the cylinder."""
        return self._half_length


@cython.final
cdef class Cone:
    cdef float _radius, _half_length

    def __cinit__(self, float radius, float length):
        self._radius = radius
        self._half_length = length * <float>0.5

    def radius(self):
        """Returns the radius of the cone."""
        return self._radius

    def half_length(self):
        """Returns the half length of the cone."""
        return self._half_length


@cython.final
cdef class Cuboid:
    cdef float _half_sides[3]

    def __cinit__(self, sides):
        cdef Py_ssize_t n = 0
        cdef float v
        if isinstance(sides, str):
            raise TypeError("argument 'sides': expected a sequence of numbers, not str")
        if not PySequence_Check(sides):
            raise TypeError(
                f"argument 'sides': '{type(sides).__name__}' object cannot be converted to 'Sequence'")
        # Every element is rounded before the count is looked at.
        for item in sides:
            v = item
            if n < 3:
                self._half_sides[n] = v * <float>0.5
            n += 1
        if n < 3:
            raise ValueError(f"argument 'sides': expected a sequence of at least 3 numbers, got {n}")


@cython.final
cdef class PyMesh:
    """A Python wrapper for the Mesh type."""
    cdef char* _path
    cdef Py_ssize_t _size

    def __cinit__(self, path):
        cdef Py_ssize_t size
        # A typed `str` argument would refuse str subclasses.
        if not isinstance(path, str):
            raise TypeError(
                f"argument 'path': '{type(path).__name__}' object cannot be converted to 'PyString'")
        cdef const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size)
        self._path = <char*>PyMem_Malloc(size + 1)
        if self._path is NULL:
            raise MemoryError()
        memcpy(self._path, utf8, size + 1)
        self._size = size

    def __dealloc__(self):
        PyMem_Free(self._path)

    @property
    def mesh_path(self):
        return PyUnicode_FromStringAndSize(self._path, self._size)
