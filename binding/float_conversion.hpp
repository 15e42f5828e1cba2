// The float conversion: an object to a single-precision number, with the refusal of what is no
// number.
#pragma once

#include <Python.h>

#include <limits>

#include "conversion.hpp"

namespace kestrum {

// Nearest single-precision value, ties to even; beyond the range an infinity of the same
// sign. With IEEE 754 types a double beyond FLT_MAX lies between FLT_MAX and infinity, two
// adjacent single-precision values, so the conversion is the processor's rounding, not
// undefined behaviour.
inline float narrow_to_single(double value) {
    static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);
    return static_cast<float>(value);
}

template <>
struct FromPyObject<float> {
    // An exact `float` (its stored double), or an exact `int` within the double range (its own
    // conversion, without a float object on the way). An `int` beyond the range is left to
    // `convert`, which reports it.
    static bool read(PyObject* object, float& out) {
        if (Py_IS_TYPE(object, &PyFloat_Type)) [[likely]] {
            out = narrow_to_single(PyFloat_AS_DOUBLE(object));
            return true;
        }
        if (!PyLong_CheckExact(object)) return false;
        const double value = PyLong_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred() != nullptr) [[unlikely]] {
            PyErr_Clear();
            return false;
        }
        out = narrow_to_single(value);
        return true;
    }

    // A float subclass's stored double (what the interpreter's conversion reads too: numpy's
    // scalars are checked once), else the interpreter's conversion, for a type that has one.
    [[gnu::always_inline]] static Converted convert(PyObject* object, float& out) {
        if (PyFloat_Check(object)) {
            out = narrow_to_single(PyFloat_AS_DOUBLE(object));
            return Converted::VALUE;
        }
        const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
        if (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr))
            return Converted::DECLINED;
        const double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred() != nullptr) return Converted::FAILED;
        out = narrow_to_single(value);
        return Converted::VALUE;
    }

    // A type that is no number: its refusal.
    static PyResult<void> extract_bound(PyObject* object, float& out);
};

}  // namespace kestrum
