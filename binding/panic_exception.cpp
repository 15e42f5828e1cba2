// PanicException: the exception a native failure becomes, created on first need.
#include "err.hpp"

#include <cstdio>

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

constinit GILOnceCell<Owned> PANIC_EXCEPTION_TYPE;

}  // namespace

PyObject* PanicException::type_object() {
    PyObject* type = try_type_object();
    if (type == nullptr)
        // The sentence and the ": " before the error are two fixed parts of the wording.
        panic("Failed to initialize new exception type.: " + fetch_error().debug());
    return type;
}

PyObject* PanicException::try_type_object() {
    if (Owned* made = PANIC_EXCEPTION_TYPE.get()) return made->get();
    Owned base = Owned::borrow(PyExc_BaseException);
    Owned type = Owned::steal(PyErr_NewExceptionWithDoc("kestrum_runtime.PanicException",
                                                        PANIC_EXCEPTION_DOC, base.get(), nullptr));
    if (!type) return nullptr;
    return PANIC_EXCEPTION_TYPE.set_if_empty(std::move(type)).get();
}

PyObject* PanicException::type_object_if_created() {
    Owned* type = PANIC_EXCEPTION_TYPE.get();
    return type != nullptr ? type->get() : nullptr;
}

PyErr PanicException::from_panic_payload(NativeFailure&& failure) noexcept {
    try {
        auto* text = std::get_if<std::string>(&failure.payload);
        std::string message = text != nullptr ? std::move(*text) : DEFAULT_PANIC_MESSAGE;
        return PyErr(ErrorBuilder([message = std::move(message)] {
            PyObject* type = try_type_object();
            if (type == nullptr) return std::pair<Owned, Owned>{};
            Owned text = PyString::try_new(message);
            if (!text) return std::pair<Owned, Owned>{};
            Owned args = Owned::steal(PyTuple_New(1));
            if (!args) return std::pair<Owned, Owned>{};
            PyTuple_SET_ITEM(args.get(), 0, text.release());
            return std::pair{Owned::borrow(type), std::move(args)};
        }));
    } catch (...) {
        // Only allocation can fail here, and that failure is the error to report.
        return PyErr::no_memory();
    }
}

PyErr PanicException::from_foreign_payload() noexcept {
    return from_panic_payload(NativeFailure{std::any{}});
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
    PyErr(std::move(fetched)).restore();
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
