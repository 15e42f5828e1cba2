// PanicException: the error value a native failure becomes at the call boundary.
#pragma once

#include <Python.h>

#include "py_err.hpp"
#include "panic.hpp"

namespace kestrum {

struct PanicException {
    // The exception type, created on first need.
    static PyObject* type_object();
    // Builds its exception only when raised; MemoryError when even the value cannot be made.
    static PyErr from_panic_payload(NativeFailure&& failure) noexcept;
    // A caught C++ exception that is not ours carries no text.
    static PyErr from_foreign_payload() noexcept;
};

// The boundary failed while raising an error (its exception could not be built): raises the
// PanicException of `failure` (null: memory ran out) where that can still be built, else
// MemoryError. Never lets a failure out but the interpreter's own thread unwinding.
void raise_failed_raising(NativeFailure* failure);

}  // namespace kestrum
