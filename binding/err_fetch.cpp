// Taking a failure off the interpreter's error indicator: as an instance, or as the error value
// that a failed call reports.
#include "err.hpp"

namespace kestrum {

PyErrStateNormalized take_normalized() {
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 the pending exception is always an instance.
    Owned value = Owned::steal(PyErr_GetRaisedException());
    if (!value) return {};
    Owned type = Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    Owned traceback = Owned::steal(PyException_GetTraceback(value.get()));
    return {std::move(type), std::move(value), std::move(traceback)};
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
#endif
}

PyErr fetch_error() {
    if (auto error = PyErr::take()) return std::move(*error);
    return PyErr::new_(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void panic_after_error(std::source_location where) {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    panic("Python API call failed", where);
}

}  // namespace kestrum
