// Error texts: the text forms of objects, error values, tracebacks and type names that other
// parts put into messages.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "owned.hpp"
#include "py_err.hpp"
#include "result.hpp"

namespace kestrum {

// Appends the text of `object` from the outcome of its str() or repr(). A failure is reported
// as unraisable and a fallback text appended, unless it must reach the caller: then it is
// returned and nothing is appended.
PyResult<void> python_format(PyObject* object, PyResult<Owned> outcome, std::string& out);
// python_format over str() and over repr().
PyResult<void> append_display(PyObject* object, std::string& out);
PyResult<void> append_debug(PyObject* object, std::string& out);

// What PyTraceBack_Print writes for `traceback`.
PyResult<std::string> format_traceback(PyObject* traceback);

// The record form of an error value, used inside the messages of native failures.
std::string debug_text(PyErr error);

// A type object's __name__ / __qualname__, as a `str`.
PyResult<Owned> type_name(PyObject* type);
PyResult<Owned> type_qualname(PyObject* type);
// Appends a type name as read by type_name or type_qualname.
PyResult<void> append_name(PyResult<Owned> read, std::string& out);

}  // namespace kestrum
