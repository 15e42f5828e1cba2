// A list's own lock around reads of its size and items; without the GIL another thread may
// change the list at any moment.
#pragma once

#include <Python.h>

// Before 3.13 every build has the GIL, which already keeps a list still while C code reads it.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

#include <optional>

namespace kestrum {

// What `read` gives, run under the lock of `object` (none when it is null).
template <class F>
auto under_lock(PyObject* object, F&& read) -> decltype(read()) {
    if (object == nullptr) return read();
    std::optional<decltype(read())> result;
    Py_BEGIN_CRITICAL_SECTION(object);
    result.emplace(read());
    Py_END_CRITICAL_SECTION();
    return std::move(*result);
}

}  // namespace kestrum
