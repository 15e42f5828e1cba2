// Converting arguments: the record each parameter type gives, and the one way a constructor
// converts an argument with it.
//
// `FromPyObject<T>`, specialised once per parameter type in a file named for it, converts an
// object into a `T` held by the caller, in up to three steps, each going on from what the one
// before left in the value:
//   static bool read(PyObject*, T&)               without Python: runs no Python code and cannot
//                                                 fail; false, with nothing pending, when it cannot
//   static Converted convert(PyObject*, T&)       the conversion where it needs no boundary: the
//                                                 interpreter's calls only, which may run Python
//                                                 code but release nothing of kestrum's and
//                                                 cannot fail natively (optional)
//   static PyResult<void> extract_bound(PyObject*, T&)  inside the boundary: the rest, the
//                                                 refusal included; a record may also take the
//                                                 parameter's name, to word its refusal with it
//                                                 at once
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "argument_error.hpp"
#include "result.hpp"

namespace kestrum {

template <class T>
struct FromPyObject;

// What `convert` gives: the value; nothing, with nothing pending (the rest is
// `extract_bound`'s); or the interpreter's error, pending on the indicator.
enum class Converted : std::uint8_t { VALUE, DECLINED, FAILED };

template <class T>
inline constexpr bool CONVERTS_WITHOUT_BOUNDARY =
    requires(PyObject* object, T& value) { FromPyObject<T>::convert(object, value); };

template <class T>
inline Converted convert_without_boundary(PyObject* object, T& value) {
    if constexpr (CONVERTS_WITHOUT_BOUNDARY<T>)
        return FromPyObject<T>::convert(object, value);
    else
        return Converted::DECLINED;
}

// One value inside the boundary, after `read` said no.
template <class T>
inline PyResult<void> convert_value_from(PyObject* object, T& value) {
    switch (convert_without_boundary(object, value)) {
        case Converted::VALUE:
            return {};
        case Converted::FAILED:
            return fetch_error();
        case Converted::DECLINED:
            break;
    }
    return FromPyObject<T>::extract_bound(object, value);
}

// One value inside the boundary, from nothing.
template <class T>
inline PyResult<void> convert_value(PyObject* object, T& value) {
    if (FromPyObject<T>::read(object, value)) return {};
    return convert_value_from(object, value);
}

// A conversion's error, naming the parameter in a TypeError.
inline PyResult<void> named(PyResult<void> converted, std::string_view name) {
    if (!converted) return argument_extraction_error(name, std::move(converted).take_error());
    return converted;
}

// An argument's `extract_bound`, its error naming the parameter.
template <class T>
inline PyResult<void> extract_argument_bound(PyObject* object, T& value, std::string_view name) {
    if constexpr (requires { FromPyObject<T>::extract_bound(object, value, name); })
        return FromPyObject<T>::extract_bound(object, value, name);
    else
        return named(FromPyObject<T>::extract_bound(object, value), name);
}

// One argument inside the boundary, from nothing, its error naming the parameter.
template <class T>
inline PyResult<void> convert_argument(PyObject* object, T& value, std::string_view name) {
    if (FromPyObject<T>::read(object, value)) return {};
    switch (convert_without_boundary(object, value)) {
        case Converted::VALUE:
            return {};
        case Converted::FAILED:
            return argument_extraction_error(name, fetch_error());
        case Converted::DECLINED:
            break;
    }
    return extract_argument_bound(object, value, name);
}

}  // namespace kestrum
