// PanicException: the error value a native failure becomes at the call boundary.
#include "panic_exception.hpp"

#include <string>

#include "err_text.hpp"
#include "panic_type.hpp"
#include "text.hpp"
#include "thread_end.hpp"

namespace kestrum {

namespace {

constexpr const char* DEFAULT_PANIC_MESSAGE = "native code failed without a message";

}  // namespace

PyObject* PanicException::type_object() {
    PyObject* type = try_make_panic_type();
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
            PyObject* type = try_make_panic_type();
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
