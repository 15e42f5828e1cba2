// The PanicException type object, and the resumption of a PanicException from Python code.
#include "panic_type.hpp"

#include <cstdio>
#include <string>

#include "once_cell.hpp"
#include "panic.hpp"
#include "text.hpp"

namespace kestrum {

namespace {

constexpr const char* PANIC_EXCEPTION_DOC =
    "\n"
    "The exception raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Filled by compare-and-swap: threads that race each make a type, and only the first is kept.
constinit GILOnceCell<Owned> PANIC_EXCEPTION_TYPE;

}  // namespace

PyObject* try_make_panic_type() {
    if (Owned* made = PANIC_EXCEPTION_TYPE.get()) return made->get();
    Owned base = Owned::borrow(PyExc_BaseException);
    Owned type = Owned::steal(PyErr_NewExceptionWithDoc("kestrum_runtime.PanicException",
                                                        PANIC_EXCEPTION_DOC, base.get(), nullptr));
    if (!type) return nullptr;
    return PANIC_EXCEPTION_TYPE.set_if_empty(std::move(type)).get();
}

PyObject* panic_type_if_created() {
    Owned* type = PANIC_EXCEPTION_TYPE.get();
    return type != nullptr ? type->get() : nullptr;
}

void resume_panic_exception(PyErrStateNormalized&& fetched) {
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

}  // namespace kestrum
