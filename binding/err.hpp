// Errors: the PanicException type, and the error kinds and text forms that other parts of the
// binding layer put into messages.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "fetch.hpp"
#include "owned.hpp"
#include "panic.hpp"
#include "result.hpp"

namespace kestrum {

struct PanicException {
    // The exception type, created on first need.
    static PyObject* type_object();
    // The same, or null with the failure to create it pending.
    static PyObject* try_type_object();
    // The type if it was ever created (checking never creates it).
    static PyObject* type_object_if_created();
    // Builds its exception only when raised; MemoryError when even the value cannot be made.
    static PyErr from_panic_payload(NativeFailure&& failure) noexcept;
    // A caught C++ exception that is not ours carries no text.
    static PyErr from_foreign_payload() noexcept;
    // Our own PanicException came back from Python code: it is printed with its traceback
    // and its native failure continues.
    [[noreturn]] static void resume(PyErrStateNormalized&& fetched);
};

// A bare TypeError is an exact TypeError that carries nothing but its message: its only
// argument is an exact `str` and it has no cause. The interpreter's own C code raises them.

// The message of `exception` when it is a bare TypeError instance (all that its str() says);
// null otherwise.
inline PyObject* bare_type_error_message(PyObject* exception) {
    if (exception == nullptr ||
        !Py_IS_TYPE(exception, reinterpret_cast<PyTypeObject*>(PyExc_TypeError)))
        return nullptr;
    const auto* instance = reinterpret_cast<PyBaseExceptionObject*>(exception);
    PyObject* args = instance->args;
    if (instance->cause != nullptr || args == nullptr || !PyTuple_CheckExact(args) ||
        PyTuple_GET_SIZE(args) != 1)
        return nullptr;
    PyObject* text = PyTuple_GET_ITEM(args, 0);
    return PyUnicode_CheckExact(text) ? text : nullptr;
}

// The same for a type and value taken off the indicator before the interpreter made them an
// instance (before 3.12 its C code raises a type and a message): the message when the type is
// exactly TypeError and the value an exact `str`; null otherwise.
inline PyObject* bare_type_error_message(PyObject* type, PyObject* value) {
    if (type != PyExc_TypeError || value == nullptr) return nullptr;
    return PyUnicode_CheckExact(value) ? value : nullptr;
}

// Takes the pending exception off the indicator as an instance (every member null when none
// was pending).
PyErrStateNormalized take_normalized();

// The boundary failed while raising an error (its exception could not be built): raises the
// PanicException of `failure` (null: memory ran out) where that can still be built, else
// MemoryError. Never lets a failure out but the interpreter's own thread unwinding.
void raise_failed_raising(NativeFailure* failure);

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

// A type object's __name__ / __qualname__, as a `str`.
PyResult<Owned> type_name(PyObject* type);
PyResult<Owned> type_qualname(PyObject* type);

}  // namespace kestrum
