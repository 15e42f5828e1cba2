// Converting one bound argument: read without running Python code where it can be, else by its
// conversion out of line, naming the parameter on failure.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

#include "argument_error.hpp"
#include "conversion.hpp"
#include "uncounted_road.hpp"

namespace kestrum {

template <class T>
[[gnu::noinline]] PyResult<T> convert_argument_slow(PyObject* object, std::string_view name) {
    PyResult<T> value = FromPyObjectBound<T>::from_py_object_bound(object);
    if (!value) value = argument_extraction_error(name, std::move(value).take_error());
    return value;
}

// The argument as `read_without_python` reads it, else what `otherwise` makes of it, as a
// `Result` (a PyResult, or on the uncounted road a Declinable).
template <class T, template <class> class Result, class Otherwise>
[[gnu::always_inline]] inline Result<T> read_without_python_or(PyObject* object,
                                                               Otherwise otherwise) {
    if constexpr (requires { T::KEPT; }) {
        // Filled where it stands, not moved out after its floats are stored one by one.
        Result<T> read(std::in_place);
        if (read_without_python(object, *read)) return read;
    } else {
        T value{};
        if (read_without_python(object, value)) return value;
    }
    return otherwise();
}

// Converts one bound argument, naming the parameter on failure. What runs no Python code and
// cannot fail is read without Python; everything else takes the out-of-line road.
template <class T>
inline PyResult<T> convert_argument(PyObject* object, std::string_view name) {
    return read_without_python_or<T, PyResult>(
        object, [&] { return convert_argument_slow<T>(object, name); });
}

// On the uncounted road only what reads without Python converts; anything else declines.
// Inlined by force: clang keeps a sequence's read out of line here, and returning its result
// through memory costs more than the read.
template <class T>
[[gnu::always_inline]] inline Declinable<T> convert_argument(UncountedArgument argument,
                                                             std::string_view /*name*/) {
    return read_without_python_or<T, Declinable>(argument.object, [] { return Declined(); });
}

}  // namespace kestrum
