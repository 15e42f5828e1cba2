// Taking a failure off the interpreter's error indicator, after a call reported one.
#pragma once

#include <Python.h>

#include <source_location>

#include "owned.hpp"
#include "result.hpp"

namespace kestrum {

// After an interpreter call reported failure: the pending exception, never nothing.
PyErr fetch_error();

// A new reference from the interpreter, or the failure it reported.
inline PyResult<Owned> steal_or_fetch(PyObject* result) {
    if (result == nullptr) return fetch_error();
    return Owned::steal(result);
}

// For an interpreter call that cannot fail and did: prints the pending error and fails.
[[noreturn]] void panic_after_error(std::source_location where = std::source_location::current());

}  // namespace kestrum
