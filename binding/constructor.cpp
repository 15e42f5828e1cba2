// The constructor's road for a class that a program has changed.
#include "constructor.hpp"

namespace kestrum {

// The interpreter's API alone, and what it raises goes to the caller as it is: the call is the
// interpreter's own, which a replaced constructor runs in, so nothing of kestrum's boundary
// belongs around it.
PyObject* call_as_type(PyObject* type, PyObject* const* args, std::size_t nargsf,
                       PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkwargs = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* positional = PyTuple_New(nargs);
    if (positional == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional, i, Py_NewRef(args[i]));
    PyObject* keywords = nkwargs > 0 ? PyDict_New() : nullptr;
    bool ready = nkwargs == 0 || keywords != nullptr;
    for (Py_ssize_t k = 0; ready && k < nkwargs; ++k)
        ready = PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) == 0;
    PyObject* result = ready ? PyType_Type.tp_call(type, positional, keywords) : nullptr;
    Py_DECREF(positional);
    Py_XDECREF(keywords);
    return result;
}

}  // namespace kestrum
