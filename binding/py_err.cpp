// PyErr's members: making an error value, taking the pending one, chaining, and reporting it;
// and fetch_error.
#include "py_err.hpp"

#include "panic.hpp"
#include "panic_exception.hpp"
#include "text.hpp"

namespace kestrum {

PyErr PyErr::new_(PyObject* exception_type, std::string message) {
    return PyErr(ErrorBuilder([exception_type, message = std::move(message)] {
        Owned text = PyString::try_new(message);
        if (!text) return std::pair<Owned, Owned>{};
        return std::pair{Owned::new_ref(exception_type), std::move(text)};
    }));
}

void PyErr::materialize_no_memory() {
    PyErr_NoMemory();
    std::optional<PyErr> taken = take();
    state_ = taken ? std::move(taken->state_) : nullptr;
    if (!state_) panic("MemoryError could not be taken back");
}

PyErr PyErr::lazy_arguments(Owned object, Owned args) {
    return PyErr(ErrorBuilder([object = std::move(object), args = std::move(args)]() mutable {
        return std::pair{std::move(object), std::move(args)};
    }));
}

PyErr PyErr::new_with_cause(PyObject* exception_type, std::string_view message,
                            std::optional<PyErr> cause) {
    return new_with_cause(exception_type, PyString::try_new(message), std::move(cause));
}

namespace {
// The exception instance `exception_type(message)`. Before 3.12 calling an exception class
// goes through the type's generic call: a tuple, tp_new, then tp_init, which for the
// exception classes' own initializer only stores the same arguments again. For those
// classes tp_new alone gives the same instance without the tuple and the second store (what it
// saves is in bench/README.md).
PyObject* new_exception(PyObject* exception_type, PyObject* message) {
#if PY_VERSION_HEX < 0x030C0000
    auto* type = reinterpret_cast<PyTypeObject*>(exception_type);
    auto* base = reinterpret_cast<PyTypeObject*>(PyExc_BaseException);
    if (type->tp_init == base->tp_init && type->tp_new == base->tp_new) {
        Owned args = Owned::steal(PyTuple_New(1));
        if (!args) return nullptr;
        PyTuple_SET_ITEM(args.get(), 0, Owned::new_ref(message).release());
        return type->tp_new(type, args.get(), nullptr);
    }
#endif
    return PyObject_CallOneArg(exception_type, message);
}
}  // namespace

PyErr PyErr::new_with_cause(PyObject* exception_type, Owned message, std::optional<PyErr> cause) {
    if (!message) return fetch_error();
    Owned instance = Owned::steal(new_exception(exception_type, message.get()));
    if (!instance) return fetch_error();
    // The implicit context that raising it here would have given it.
    if (Owned handled = Owned::steal(PyErr_GetHandledException());
        handled && handled.get() != Py_None)
        PyException_SetContext(instance.get(), handled.release());
    PyException_SetCause(instance.get(),
                         cause ? std::move(*cause).into_value().release() : nullptr);
    return PyErr(
        PyErrStateNormalized{Owned::new_ref(exception_type), std::move(instance), Owned()});
}

std::optional<PyErr> PyErr::take() {
    return from_pending(take_pending());
}

std::optional<PyErr> PyErr::from_pending(PyErrStateFetched pending) {
    if (!pending.ptype) return std::nullopt;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type = pending.ptype.get();
    PyObject* value = pending.pvalue.get();
    const bool instance = value != nullptr && PyExceptionInstance_Check(value) &&
                          PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type));
    // The interpreter's own C code raises a type and a message; the instance is made only if
    // someone asks for it, or to tell whether it is our own PanicException.
    if (!instance && !PanicException::is_base_of(type)) return PyErr(std::move(pending));
    PyErrStateNormalized fetched = normalize(std::move(pending));
#else
    // From 3.12 the pending exception is always an instance.
    PyErrStateNormalized fetched{std::move(pending.ptype), std::move(pending.pvalue),
                                 std::move(pending.ptraceback)};
#endif
    if (!fetched.pvalue) panic("normalized exception value missing");
    if (PanicException::is_type_of(fetched.pvalue.get()))
        PanicException::resume(std::move(fetched));
    return PyErr(std::move(fetched));
}

PyErr fetch_error() {
    if (auto error = PyErr::take()) return std::move(*error);
    return PyErr::new_(PyExc_SystemError, "attempted to fetch exception but none was set");
}

Owned PyErr::into_value() && {
    const PyErrStateNormalized& triple = normalized();
    Owned value = Owned::new_ref(triple.pvalue.get());
    if (triple.ptraceback) PyException_SetTraceback(value.get(), triple.ptraceback.get());
    state_.reset();
    return value;
}

std::optional<PyErr> PyErr::cause() {
    Owned cause = Owned::steal(PyException_GetCause(value()));
    if (!cause) return std::nullopt;
    if (PyExceptionInstance_Check(cause.get())) {
        Owned type = Owned::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(cause.get())));
        Owned traceback = Owned::steal(PyException_GetTraceback(cause.get()));
        return PyErr(PyErrStateNormalized{std::move(type), std::move(cause), std::move(traceback)});
    }
    return PyErr::lazy_arguments(std::move(cause), Owned::new_ref(Py_None));
}

void PyErr::set_cause(std::optional<PyErr> cause) {
    PyObject* exception = value();
    PyObject* cause_value = cause ? std::move(*cause).into_value().release() : nullptr;
    PyException_SetCause(exception, cause_value);
}

void PyErr::print() {
    const PyErrStateNormalized& triple = normalized();
    Py_INCREF(triple.ptype.get());
    Py_INCREF(triple.pvalue.get());
    Py_XINCREF(triple.ptraceback.get());
    PyErr_Restore(triple.ptype.get(), triple.pvalue.get(), triple.ptraceback.get());
    PyErr_PrintEx(0);
}

void PyErr::report_unraisable(PyObject* context) && {
    std::move(*this).restore();
    PyErr_WriteUnraisable(context);
}

}  // namespace kestrum
