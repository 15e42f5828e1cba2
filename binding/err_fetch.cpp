// Moving errors between the interpreter and error values: making, taking and chaining them.
#include "err.hpp"

#include "text.hpp"

namespace kestrum {

PyErr PyErr::new_(PyObject* exception_type, std::string message) {
    return PyErr(ErrorBuilder([exception_type, message = std::move(message)] {
        Owned text = PyString::try_new(message);
        if (!text) [[unlikely]]
            return std::pair<Owned, Owned>{};
        return std::pair{Owned::borrow(exception_type), std::move(text)};
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
// classes tp_new alone gives the same instance, about 70 instructions sooner (callgrind).
PyObject* new_exception(PyObject* exception_type, PyObject* message) {
#if PY_VERSION_HEX < 0x030C0000
    auto* type = reinterpret_cast<PyTypeObject*>(exception_type);
    auto* base = reinterpret_cast<PyTypeObject*>(PyExc_BaseException);
    if (type->tp_init == base->tp_init && type->tp_new == base->tp_new) {
        Owned args = Owned::steal(PyTuple_New(1));
        if (!args) [[unlikely]]
            return nullptr;
        PyTuple_SET_ITEM(args.get(), 0, Owned::borrow(message).release());
        return type->tp_new(type, args.get(), nullptr);
    }
#endif
    return PyObject_CallOneArg(exception_type, message);
}
}  // namespace

PyErr PyErr::new_with_cause(PyObject* exception_type, Owned message, std::optional<PyErr> cause) {
    if (!message) [[unlikely]]
        return fetch_error();
    Owned instance = KS_TRY(steal_or_fetch(new_exception(exception_type, message.get())));
    // The implicit context that raising it here would have given it.
    if (Owned handled = Owned::steal(PyErr_GetHandledException());
        handled && handled.get() != Py_None)
        PyException_SetContext(instance.get(), handled.release());
    PyException_SetCause(instance.get(),
                         cause ? std::move(*cause).into_value().release() : nullptr);
    return PyErr(PyErrStateNormalized{Owned::borrow(exception_type), std::move(instance), Owned()});
}

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

Owned take_plain_type_error_text() {
#if PY_VERSION_HEX >= 0x030C0000
    Owned exception = Owned::steal(PyErr_GetRaisedException());
    if (PyObject* text = plain_type_error_message(exception.get())) return Owned::borrow(text);
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Owned type_held = Owned::steal(type);
    Owned value_held = Owned::steal(value);
    Owned traceback_held = Owned::steal(traceback);
    if (type == PyExc_TypeError && value != nullptr && PyUnicode_CheckExact(value))
        return value_held;
    PyErr_Restore(type_held.release(), value_held.release(), traceback_held.release());
#endif
    return Owned();
}

std::optional<PyErr> PyErr::take() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErrStateNormalized fetched = take_normalized();
    if (!fetched.pvalue) return std::nullopt;
    PyObject* panic_type = PanicException::type_object_if_created();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return std::nullopt;
    }
    // A PanicException can only be pending if its type exists, so the check never has to
    // create the type (which would fetch its own errors through here).
    PyObject* panic_type = PanicException::type_object_if_created();
    const bool maybe_panic =
        panic_type != nullptr && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                                  reinterpret_cast<PyTypeObject*>(panic_type)) != 0;
    const bool instance = value != nullptr && PyExceptionInstance_Check(value) &&
                          PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type));
    if (!instance && !maybe_panic) {
        // The interpreter's own C code raises a type and a message; the instance is made
        // only if someone asks for it.
        return PyErr(
            PyErrStateFetched{Owned::steal(type), Owned::steal(value), Owned::steal(traceback)});
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyErrStateNormalized fetched{Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
#endif
    if (!fetched.pvalue) panic("normalized exception value missing");
    if (panic_type != nullptr &&
        Py_TYPE(fetched.pvalue.get()) == reinterpret_cast<PyTypeObject*>(panic_type))
        PanicException::resume(std::move(fetched));
    return PyErr(std::move(fetched));
}

Owned PyErr::into_value() && {
    const PyErrStateNormalized& triple = normalized();
    Owned value = Owned::borrow(triple.pvalue.get());
    if (triple.ptraceback) PyException_SetTraceback(value.get(), triple.ptraceback.get());
    state_.reset();
    return value;
}

std::optional<PyErr> PyErr::cause() {
    Owned cause = Owned::steal(PyException_GetCause(value()));
    if (!cause) return std::nullopt;
    if (PyExceptionInstance_Check(cause.get())) {
        Owned type = Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(cause.get())));
        Owned traceback = Owned::steal(PyException_GetTraceback(cause.get()));
        return PyErr(PyErrStateNormalized{std::move(type), std::move(cause), std::move(traceback)});
    }
    return PyErr::lazy_arguments(std::move(cause), Owned::borrow(Py_None));
}

void PyErr::set_cause(std::optional<PyErr> cause) {
    PyObject* exception = value();
    PyObject* cause_value = cause ? std::move(*cause).into_value().release() : nullptr;
    PyException_SetCause(exception, cause_value);
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
