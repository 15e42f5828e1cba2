// Conversions between Python objects and the native values the classes store.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "critical_section.hpp"
#include "err_kinds.hpp"
#include "float_conversion.hpp"
#include "leading_floats.hpp"
#include "result.hpp"
#include "text.hpp"

namespace kestrum {

// Iteration: an iterator over `object`; then its items until the end (nullopt).
PyResult<Owned> try_iter(PyObject* object);
PyResult<std::optional<Owned>> next(PyObject* iterator);

// The longest exact list or tuple of exact numbers that is read without Python.
inline constexpr std::size_t SHORT_NUMBERS = 4;

// Reads `size` items of at most SHORT_NUMBERS exact floats and ints into an empty `out`, as
// `read_without_python` reads each. The items are borrowed: nothing here runs Python code, and
// an int beyond the double range, whose refusal allocates (and before 3.12 may run the
// collector), ends the read before another item is touched. The count is stored once, at the
// end, not per item: on failure what was read is meaningless anyway.
template <std::size_t N>
[[gnu::always_inline]] inline bool read_short_exact_items(PyObject* const* items, Py_ssize_t size,
                                                          LeadingFloats<N>& out) {
    const auto n = static_cast<std::size_t>(size);
    if (n > SHORT_NUMBERS) return false;
    for (std::size_t i = 0; i < n; ++i) {
        float value;
        if (!read_without_python(items[i], value)) [[unlikely]]
            return false;
        if (i < N) out.values[i] = value;
    }
    out.count = n;
    return true;
}

// Reads an exact list (under its lock) or tuple of at most SHORT_NUMBERS exact floats and ints.
// False, with nothing pending and what was read meaningless, for anything else. Inlined by
// force: clang keeps it out of line even under the fast entry's flattening, and the call's
// saved registers cost the uncounted road more than the read itself.
template <std::size_t N>
[[gnu::always_inline]] inline bool read_without_python(PyObject* object, LeadingFloats<N>& out) {
    if (PyList_CheckExact(object)) {
        const CriticalSection locked(object);
        return read_short_exact_items(reinterpret_cast<PyListObject*>(object)->ob_item,
                                      PyList_GET_SIZE(object), out);
    }
    if (PyTuple_CheckExact(object))
        return read_short_exact_items(reinterpret_cast<PyTupleObject*>(object)->ob_item,
                                      PyTuple_GET_SIZE(object), out);
    return false;
}

// The UTF-8 bytes of a `str` argument, borrowed from it (which outlives the call), and
// whether they are known to be ASCII.
struct BorrowedText {
    std::string_view text;
    bool ascii = false;
};

// What reads without Python, running no Python code and unable to fail: an exact `float` or
// `int`, a compact ASCII `str`, a short exact list or tuple of them. False, with
// nothing pending, for anything else.
inline bool read_without_python(PyObject* object, BorrowedText& out) {
    if (!PyUnicode_Check(object) || !PyUnicode_IS_COMPACT_ASCII(object)) return false;
    out = {std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))),
           true};
    return true;
}

template <class T>
inline bool read_without_python(PyObject* /*object*/, T& /*out*/) {
    return false;
}

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
struct FromPyObjectBound<BorrowedText> {
    static PyResult<BorrowedText> from_py_object_bound(PyObject* object) {
        KS_TRY(const std::string_view text,
               FromPyObjectBound<std::string_view>::from_py_object_bound(object));
        return BorrowedText{text};
    }
};

// Converts every element of a sequence with the float conversion, in iteration order, into
// `sink`; the first failure stops it.
PyResult<void> convert_sequence(PyObject* object, FloatSink& sink);

template <std::size_t N>
struct FromPyObjectBound<LeadingFloats<N>> {
    static PyResult<LeadingFloats<N>> from_py_object_bound(PyObject* object) {
        PyResult<LeadingFloats<N>> result(std::in_place);
        FloatSink sink{result->values, N};
        PyResult<void> converted = convert_sequence(object, sink);
        if (!converted) return std::move(converted).take_error();
        result->count = sink.count;
        return result;
    }
};

}  // namespace kestrum
