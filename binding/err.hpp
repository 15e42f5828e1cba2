// Errors: the error kinds that other parts of the binding layer raise, and the text forms they
// put into messages.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "py_err.hpp"
#include "owned.hpp"
#include "result.hpp"

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

// Appends the text of `object` from the outcome of its str() or repr(). A failure is reported
// as unraisable and a fallback text appended, unless it must reach the caller: then it is
// returned and nothing is appended.
PyResult<void> python_format(PyObject* object, PyResult<Owned> outcome, std::string& out);
// python_format over str() and over repr().
PyResult<void> append_display(PyObject* object, std::string& out);
PyResult<void> append_debug(PyObject* object, std::string& out);

// What PyTraceBack_Print writes for `traceback`.
PyResult<std::string> format_traceback(PyObject* traceback);

// The UTF-8 form the interpreter caches inside a `str`, borrowed from it.
PyResult<std::string_view> to_str(PyObject* text);

// The record form of an error value, used inside the messages of native failures.
std::string debug_text(PyErr error);

// A type object's __name__ / __qualname__, as a `str`.
PyResult<Owned> type_name(PyObject* type);
PyResult<Owned> type_qualname(PyObject* type);

}  // namespace kestrum
