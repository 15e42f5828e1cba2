// Conversions between Python objects and the native values the classes store.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "err.hpp"
#include "leading_floats.hpp"
#include "text.hpp"

namespace kestrum {

// The UTF-8 form the interpreter caches inside a `str`, borrowed from it.
PyResult<std::string_view> to_str(PyObject* text);
// Never fails: text without a strict UTF-8 form gets U+FFFD per invalid sequence.
std::string to_string_lossy(PyObject* text);
// Decodes UTF-8, replacing each maximal invalid subpart by U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

struct PyFloat {
    static Owned new_(double value) {
        PyObject* result = PyFloat_FromDouble(value);
        if (result == nullptr) [[unlikely]]
            panic_after_error();
        return Owned::steal(result);
    }
};
struct PyString {
    static Owned new_(std::string_view text) {
        Owned result = try_new(text);
        if (!result) [[unlikely]]
            panic_after_error();
        return result;
    }
    // Null, with the failure pending, when the `str` cannot be made.
    static Owned try_new(std::string_view text) {
        return Owned::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    // Known ASCII is copied straight into the new `str`: no decoding, no scan for its range.
    static Owned new_(const Text& text) {
        const std::string_view bytes = text.view();
        if (!text.is_ascii()) return new_(bytes);
        PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
        if (result == nullptr) [[unlikely]]
            panic_after_error();
        std::memcpy(PyUnicode_DATA(result), bytes.data(), bytes.size());
        return Owned::steal(result);
    }
};

// Display text: str(object).
inline PyResult<Owned> str(PyObject* object) {
    return steal_or_fetch(PyObject_Str(object));
}

// Iteration: an iterator over `object`; then its items until the end (nullopt).
PyResult<Owned> try_iter(PyObject* object);
PyResult<std::optional<Owned>> next(PyObject* iterator);

// Nearest single-precision value, ties to even; beyond the range an infinity of the same
// sign. With IEEE 754 types a double beyond FLT_MAX lies between FLT_MAX and infinity, two
// adjacent single-precision values, so the conversion is the processor's rounding, not
// undefined behaviour.
inline float narrow_to_single(double value) {
    static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);
    return static_cast<float>(value);
}

// The longest exact list or tuple of exact floats that is read in line.
inline constexpr std::size_t SHORT_FLOATS = 4;

// Reads an exact list or tuple of at most SHORT_FLOATS exact floats, which runs no Python
// code and cannot fail. False, with nothing read, for anything else.
template <std::size_t N>
inline bool read_short_exact_floats(PyObject* object, LeadingFloats<N>& out) {
    PyObject* const* items;
    Py_ssize_t size;
    if (PyList_CheckExact(object)) {
        items = reinterpret_cast<PyListObject*>(object)->ob_item;
        size = PyList_GET_SIZE(object);
    } else if (PyTuple_CheckExact(object)) {
        items = reinterpret_cast<PyTupleObject*>(object)->ob_item;
        size = PyTuple_GET_SIZE(object);
    } else {
        return false;
    }
    const auto n = static_cast<std::size_t>(size);
    if (n > SHORT_FLOATS) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (!Py_IS_TYPE(items[i], &PyFloat_Type)) [[unlikely]]
            return false;
    }
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(narrow_to_single(PyFloat_AS_DOUBLE(items[i])));
    return true;
}

template <class T>
struct FromPyObject;

template <>
struct FromPyObject<float> {
    static PyResult<float> extract_bound(PyObject* object) {
        if (Py_IS_TYPE(object, &PyFloat_Type)) [[likely]]
            return narrow_to_single(PyFloat_AS_DOUBLE(object));
        return extract_slow(object);
    }
    [[gnu::noinline]] static PyResult<float> extract_slow(PyObject* object);
};

template <>
struct FromPyObject<std::string> {
    static PyResult<std::string> extract_bound(PyObject* object);
};

// Conversions that may borrow from or iterate over the object.
template <class T>
struct FromPyObjectBound {
    static PyResult<T> from_py_object_bound(PyObject* object) {
        return FromPyObject<T>::extract_bound(object);
    }
};

// The UTF-8 form of a `str` (subclasses included), borrowed from it.
template <>
struct FromPyObjectBound<std::string_view> {
    static PyResult<std::string_view> from_py_object_bound(PyObject* object);
};

// Converts every element of a sequence with the float conversion, in iteration order,
// handing each number to `keep` (which sees `sink`); the first failure stops it.
PyResult<void> convert_sequence(PyObject* object, void* sink, void (*keep)(void*, float));

template <std::size_t N>
struct FromPyObjectBound<LeadingFloats<N>> {
    static PyResult<LeadingFloats<N>> from_py_object_bound(PyObject* object) {
        PyResult<LeadingFloats<N>> result(std::in_place);
        PyResult<void> converted = convert_sequence(object, &*result, [](void* sink, float value) {
            static_cast<LeadingFloats<N>*>(sink)->push_back(value);
        });
        if (!converted) [[unlikely]]
            return std::move(converted).take_error();
        return result;
    }
};

}  // namespace kestrum
