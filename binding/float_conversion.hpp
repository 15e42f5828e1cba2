// The float conversion: an object to a single-precision number, with the refusal of what is no
// number.
#pragma once

#include <Python.h>

#include <limits>
#include <string_view>

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
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            PyErr_Clear();
            return false;
        }
        out = narrow_to_single(value);
        return true;
    }

    // A type with neither `__float__` nor `__index__` (no float subclass: each inherits the
    // slot) is left to the refusal; a float subclass's stored double is what the interpreter's
    // conversion reads too (numpy's scalars are checked once); anything else takes the
    // interpreter's conversion.
    static Converted convert(PyObject* object, float& out) {
        const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
        if (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr))
            return Converted::DECLINED;
        if (PyFloat_Check(object)) {
            out = narrow_to_single(PyFloat_AS_DOUBLE(object));
            return Converted::VALUE;
        }
        const double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred() != nullptr) return Converted::FAILED;
        out = narrow_to_single(value);
        return Converted::VALUE;
    }

    // A type that is no number: its refusal; with the parameter's name, worded with it.
    static PyResult<void> extract_bound(PyObject* object, float& out);
    static PyResult<void> extract_bound(PyObject* object, float& out, std::string_view name);
};

}  // namespace kestrum
