// The float conversion: an object to a single-precision number, read without Python (running no
// Python code) where it can be, else by the interpreter's conversion, with the refusal of what is
// no number.
#pragma once

#include <Python.h>

#include <limits>

#include "result.hpp"

namespace kestrum {

// Nearest single-precision value, ties to even; beyond the range an infinity of the same
// sign. With IEEE 754 types a double beyond FLT_MAX lies between FLT_MAX and infinity, two
// adjacent single-precision values, so the conversion is the processor's rounding, not
// undefined behaviour.
inline float narrow_to_single(double value) {
    static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);
    return static_cast<float>(value);
}

// An exact `float`'s stored double, read in place: it runs no Python code and cannot fail.
inline bool read_exact_float(PyObject* object, float& out) {
    if (!Py_IS_TYPE(object, &PyFloat_Type)) return false;
    out = narrow_to_single(PyFloat_AS_DOUBLE(object));
    return true;
}

// The one shortcut of every number conversion: an exact `float` (its stored double), or an
// exact `int` within the double range (its own conversion, without a float object on the way),
// read without running Python code. False, with nothing pending, for anything else: an `int`
// beyond the range is left to the interpreter's conversion, which reports it.
inline bool read_without_python(PyObject* object, float& out) {
    if (read_exact_float(object, out)) [[likely]]
        return true;
    if (!PyLong_CheckExact(object)) return false;
    const double value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) [[unlikely]] {
        PyErr_Clear();
        return false;
    }
    out = narrow_to_single(value);
    return true;
}

template <class T>
struct FromPyObject;

// Scalar arguments and sequence items alike: read without Python where it can be, else out of
// line.
template <>
struct FromPyObject<float> {
    static PyResult<float> extract_bound(PyObject* object) {
        if (float value; read_without_python(object, value)) return value;
        return extract_slow(object);
    }
    // What `read_without_python` leaves: the refusal of a type that is no number, or the
    // interpreter's own conversion.
    [[gnu::noinline]] static PyResult<float> extract_slow(PyObject* object);
};

}  // namespace kestrum
