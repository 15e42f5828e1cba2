// PanicException: its type object, made once on first need; the error value a native failure
// becomes; and the resumption of one that comes back from Python code.
#include "panic_exception.hpp"

#include <cstdio>
#include <string>

#include "err_text.hpp"
#include "once_cell.hpp"
#include "text.hpp"
#include "thread_end.hpp"

namespace kestrum {

namespace {

constexpr const char* PANIC_EXCEPTION_DOC =
    "\n"
    "The exception raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr const char* DEFAULT_PANIC_MESSAGE = "native code failed without a message";

// Filled by compare-and-swap: threads that race each make a type, and only the first is kept.
constinit GILOnceCell<Owned> PANIC_EXCEPTION_TYPE;

// The type, or null with the failure to make it pending: what a builder yields when it cannot
// build its pair.
PyObject* make_type() {
    if (Owned* made = PANIC_EXCEPTION_TYPE.get()) return made->get();
    Owned base = Owned::new_ref(PyExc_BaseException);
    Owned type = Owned::steal(PyErr_NewExceptionWithDoc("kestrum_runtime.PanicException",
                                                        PANIC_EXCEPTION_DOC, base.get(), nullptr));
    if (!type) return nullptr;
    return PANIC_EXCEPTION_TYPE.set_if_empty(std::move(type)).get();
}

}  // namespace

PyObject* PanicException::type_object() {
    PyObject* type = make_type();
    if (type == nullptr)
        // The sentence and the ": " before the error are two fixed parts of the wording.
        panic("Failed to initialize new exception type.: " + debug_text(fetch_error()));
    return type;
}

PyErr PanicException::from_panic_payload(NativeFailure&& failure) noexcept {
    try {
        auto* text = std::get_if<std::string>(&failure.payload);
        std::string message = text != nullptr ? std::move(*text) : DEFAULT_PANIC_MESSAGE;
        return PyErr(ErrorBuilder([message = std::move(message)] {
            PyObject* type = make_type();
            if (type == nullptr) return std::pair<Owned, Owned>{};
            Owned text = PyString::try_new(message);
            if (!text) return std::pair<Owned, Owned>{};
            Owned args = Owned::steal(PyTuple_New(1));
            if (!args) return std::pair<Owned, Owned>{};
            PyTuple_SET_ITEM(args.get(), 0, text.release());
            return std::pair{Owned::new_ref(type), std::move(args)};
        }));
    } catch (...) {
        // Only allocation can fail here, and that failure is the error to report.
        return PyErr::no_memory();
    }
}

PyErr PanicException::from_foreign_payload() noexcept {
    return from_panic_payload(NativeFailure{std::any{}});
}

#if PY_VERSION_HEX < 0x030C0000
bool PanicException::is_base_of(PyObject* type) {
    const Owned* made = PANIC_EXCEPTION_TYPE.get();
    return made != nullptr && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                               reinterpret_cast<PyTypeObject*>(made->get())) != 0;
}
#endif

bool PanicException::is_type_of(PyObject* value) {
    const Owned* made = PANIC_EXCEPTION_TYPE.get();
    return made != nullptr && Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(made->get());
}

void PanicException::resume(PyErrStateNormalized&& fetched) {
    std::string message;
    if (Owned text = Owned::steal(PyObject_Str(fetched.pvalue.get()))) {
        message = to_string_lossy(text.get());
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    std::fputs(
        "--- kestrum is resuming a native failure after fetching a PanicException from "
        "Python ---\n",
        stderr);
    std::fputs("Python stack trace below:\n", stderr);
    PyErr_Restore(fetched.ptype.release(), fetched.pvalue.release(), fetched.ptraceback.release());
    PyErr_PrintEx(0);
    resume_panic(std::move(message));
}

void raise_failed_raising(NativeFailure* failure) {
    try {
        PyErr error = failure != nullptr ? PanicException::from_panic_payload(std::move(*failure))
                                         : PyErr::no_memory();
        std::move(error).restore();
        return;
    } catch (ThreadEnd&) {
        throw;
    } catch (...) {
        park_if_thread_ends();
    }
    PyErr_NoMemory();
}

}  // namespace kestrum
