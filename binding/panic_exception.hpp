// PanicException: the exception type that carries native failures to Python, the error value a
// native failure becomes at the call boundary, and what becomes of one that comes back from
// Python code.
#pragma once

#include <Python.h>

#include "err_state.hpp"
#include "panic.hpp"
#include "py_err.hpp"

namespace kestrum {

struct PanicException {
    // The exception type, made on first need.
    static PyObject* type_object();
    // Builds its exception only when raised; MemoryError when even the value cannot be made.
    static PyErr from_panic_payload(NativeFailure&& failure) noexcept;
    // A caught C++ exception that is not ours carries no text.
    static PyErr from_foreign_payload() noexcept;

    // What PyErr::take asks of a fetched exception. Asking never makes the type: none of its
    // exceptions can be pending before it exists, and making it there would fetch its own
    // failure through PyErr::take again.
#if PY_VERSION_HEX < 0x030C0000
    // Whether `type` is this type or derives from it.
    static bool is_base_of(PyObject* type);
#endif
    // Whether `value` is an instance of exactly this type (a subclass does not count).
    static bool is_type_of(PyObject* value);
    // Our own PanicException came back from Python code: it is printed with its traceback and
    // its native failure continues.
    [[noreturn]] static void resume(PyErrStateNormalized&& fetched);
};

// The boundary failed while raising an error (its exception could not be built): raises the
// PanicException of `failure` (null: memory ran out) where that can still be built, else
// MemoryError. Never lets a failure out but the interpreter's own thread unwinding.
void raise_failed_raising(NativeFailure* failure);

}  // namespace kestrum
