// Conversions between Python objects and the native values the classes store.
#pragma once

#include <Python.h>

#include <cfloat>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "err.hpp"
#include "float_list.hpp"

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
        PyObject* result =
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (result == nullptr) [[unlikely]]
            panic_after_error();
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

[[gnu::cold]] float narrow_out_of_range(double value);

// Nearest single-precision value, ties to even; beyond the range an infinity of the
// same sign. Written out because an out-of-range cast is undefined in C++.
inline float narrow_to_single(double value) {
    if (std::fabs(value) > static_cast<double>(FLT_MAX)) [[unlikely]]
        return narrow_out_of_range(value);
    return static_cast<float>(value);
}

// Reads an exact list or tuple of at most FloatList::INLINE_CAPACITY exact floats, which
// runs no Python code and cannot fail. False, with nothing read, for anything else.
inline bool read_short_exact_floats(PyObject* object, float (&out)[FloatList::INLINE_CAPACITY],
                                    std::size_t& count) {
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
    if (n > FloatList::INLINE_CAPACITY) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (!Py_IS_TYPE(items[i], &PyFloat_Type)) [[unlikely]]
            return false;
        out[i] = narrow_to_single(PyFloat_AS_DOUBLE(items[i]));
    }
    count = n;
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

template <>
struct FromPyObjectBound<FloatList> {
    // Room reserved up front from a length hint at most this large: the hint comes from
    // user code and may be absurd; beyond it the list grows as items arrive.
    static constexpr std::size_t MAX_RESERVED = std::size_t{1} << 24;
    static PyResult<FloatList> from_py_object_bound(PyObject* object);
};

}  // namespace kestrum
