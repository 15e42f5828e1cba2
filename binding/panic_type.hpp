// The PanicException type object, made once on first need, and what becomes of a PanicException
// of that type that comes back from Python code.
#pragma once

#include <Python.h>

#include "err_state.hpp"

namespace kestrum {

// The type, or null with the failure to create it pending.
PyObject* try_make_panic_type();
// The type if it was ever created (asking never creates it).
PyObject* panic_type_if_created();
// Our own PanicException came back from Python code: it is printed with its traceback and its
// native failure continues.
[[noreturn]] void resume_panic_exception(PyErrStateNormalized&& fetched);

}  // namespace kestrum
