// Error kinds: the errors that other parts of the binding layer make by name, and which
// failures must reach the caller rather than be discarded.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "py_err.hpp"

namespace kestrum {

// The TypeError of a failed type check, formatted only when raised.
PyErr downcast_error(PyObject* object, std::string_view target_name);
// ValueError for a text that must become nul-terminated but holds a zero byte.
PyErr nul_byte_error(std::size_t position);
// An instance whose contents cannot be borrowed.
PyErr borrow_error();

// Whether a failure that kestrum would discard, or show as a fallback text, must reach the
// caller instead: an interrupt or exit (anything that is not an Exception) and MemoryError.
bool must_reach_caller(PyObject* exception_type);

}  // namespace kestrum
