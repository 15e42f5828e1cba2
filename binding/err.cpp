// Errors: normalization, moving errors to and from the interpreter, PanicException,
// error kinds and the text forms of objects and errors.
#include "err.hpp"

#include <cxxabi.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "conversion.hpp"
#include "gil.hpp"
#include "once_cell.hpp"

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

// Sets the exception that `builder` describes; when it could not be built, the failure
// that stopped it is left pending instead.
void set_built(ErrorBuilder&& builder) {
    auto [type, argument] = std::move(builder).run();
    if (!type) [[unlikely]] {
        if (PyErr_Occurred() == nullptr) PyErr_NoMemory();
        return;
    }
    if (PyExceptionClass_Check(type.get()))
        PyErr_SetObject(type.get(), argument.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

// Sets the exception that `builder` describes, then takes it back normalized; any member
// of the result may be null.
PyErrStateNormalized lazy_into_normalized_ffi_tuple(ErrorBuilder&& builder) {
    set_built(std::move(builder));
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
}

[[noreturn]] void print_panic_and_unwind(PyErr error, std::string message) {
    std::fputs(
        "--- kestrum is resuming a native failure after fetching a PanicException from "
        "Python ---\n",
        stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::move(error).restore();
    PyErr_PrintEx(0);
    resume_panic(std::move(message));
}

void append_escaped(std::string_view text, std::string& out) {
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
}

constinit InternedName NAME("__name__");
constinit InternedName QUALNAME("__qualname__");
constinit InternedName IO("io");
constinit InternedName STRING_IO("StringIO");
constinit InternedName GETVALUE("getvalue");

PyResult<Owned> str_attribute(PyObject* object, InternedName& name) {
    Owned value = KS_TRY(steal_or_fetch(PyObject_GetAttr(object, name.get())));
    if (!PyUnicode_Check(value.get())) return downcast_error(value.get(), "PyString");
    return value;
}

}  // namespace

PyObject* InternedName::get() {
    return cell_
        .get_or_init([this] {
            PyObject* name = PyUnicode_InternFromString(text_);
            if (name == nullptr) panic_after_error();
            return Owned::steal(name);
        })
        .get();
}

// ---- the error value ---------------------------------------------------------------

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

PyErr PyErr::new_with_cause(PyObject* exception_type, Owned message, std::optional<PyErr> cause) {
    if (!message) [[unlikely]]
        return fetch_error();
    Owned instance = KS_TRY(steal_or_fetch(PyObject_CallOneArg(exception_type, message.get())));
    // The implicit context that raising it here would have given it.
    if (Owned handled = Owned::steal(PyErr_GetHandledException()); handled.get() != Py_None)
        PyException_SetContext(instance.get(), handled.release());
    PyException_SetCause(instance.get(),
                         cause ? std::move(*cause).into_value().release() : nullptr);
    return PyErr(PyErrStateNormalized{Owned::borrow(exception_type), std::move(instance), Owned()});
}

std::optional<PyErr> PyErr::take() {
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
    if (!fetched.pvalue) panic("normalized exception value missing");

    if (maybe_panic &&
        Py_TYPE(fetched.pvalue.get()) == reinterpret_cast<PyTypeObject*>(panic_type)) {
        std::string message;
        if (Owned text = Owned::steal(PyObject_Str(fetched.pvalue.get()))) {
            message = to_string_lossy(text.get());
        } else {
            PyErr_Clear();
            message = "Unwrapped panic from Python code";
        }
        print_panic_and_unwind(PyErr(std::move(fetched)), std::move(message));
    }
    return PyErr(std::move(fetched));
}

PyObject* PyErrState::plain_type_error_text() const {
    const auto* fetched = std::get_if<PyErrStateFetched>(&inner_);
    if (fetched == nullptr || fetched->ptype.get() != PyExc_TypeError) return nullptr;
    PyObject* value = fetched->pvalue.get();
    return value != nullptr && PyUnicode_CheckExact(value) ? value : nullptr;
}

const PyErrStateNormalized& PyErrState::as_normalized() {
    if (normalization_once_.load(std::memory_order_acquire)) [[likely]]
        return std::get<PyErrStateNormalized>(inner_);
    return make_normalized();
}

namespace {
// A failing call holds two states at once (the error taken and the one replacing it).
// The cache is constant-initialised and trivially destructible, so it sits in the static
// TLS block like the lock count and costs no lookup; the blocks it keeps are freed by a
// separate per-thread cleanup, armed when the first block is kept.
struct StateCache {
    static constexpr std::size_t SIZE = 2;
    enum Phase : unsigned char { UNARMED, ARMED, CLOSED };
    void* blocks[SIZE] = {};
    std::size_t count = 0;
    Phase phase = UNARMED;
};
constinit thread_local StateCache STATE_CACHE __attribute__((tls_model("initial-exec")));

struct StateCacheCleanup {
    bool armed = false;
    StateCacheCleanup() = default;
    StateCacheCleanup(const StateCacheCleanup&) = delete;
    StateCacheCleanup& operator=(const StateCacheCleanup&) = delete;
    ~StateCacheCleanup() {
        StateCache& cache = STATE_CACHE;
        for (std::size_t i = 0; i < cache.count; ++i) ::operator delete(cache.blocks[i]);
        cache.count = 0;
        cache.phase = StateCache::CLOSED;  // what the thread frees later is freed at once
    }
};
thread_local StateCacheCleanup STATE_CACHE_CLEANUP;

[[gnu::noinline]] void keep_or_free(StateCache& cache, void* block) noexcept {
    if (cache.phase == StateCache::UNARMED) {
        STATE_CACHE_CLEANUP.armed = true;
        cache.phase = StateCache::ARMED;
        cache.blocks[cache.count++] = block;
        return;
    }
    ::operator delete(block);
}
}  // namespace

void* PyErrState::operator new(std::size_t size) {
    StateCache& cache = STATE_CACHE;
    if (cache.count > 0) return cache.blocks[--cache.count];
    return ::operator new(size);
}

void PyErrState::operator delete(void* block) noexcept {
    StateCache& cache = STATE_CACHE;
    if (cache.count < StateCache::SIZE && cache.phase == StateCache::ARMED) [[likely]] {
        cache.blocks[cache.count++] = block;
        return;
    }
    keep_or_free(cache, block);
}

namespace {
std::mutex NORMALIZER_MUTEX;
std::condition_variable NORMALIZER_DONE;
}  // namespace

const PyErrStateNormalized& PyErrState::make_normalized() {
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(NORMALIZER_MUTEX);
    if (normalizer_thread_ == self) {
        lock.unlock();
        panic("Re-entrant normalization of PyErrState detected");
    }
    if (normalizing_) {
        // Another thread runs the builder and released the interpreter lock on the way:
        // wait for it without holding the lock.
        lock.unlock();
        allow_threads([this] {
            std::unique_lock waiting(NORMALIZER_MUTEX);
            NORMALIZER_DONE.wait(waiting, [this] { return !normalizing_; });
        });
        lock.lock();
    }
    if (!normalization_once_.load(std::memory_order_acquire)) {
        // Nobody else is normalizing, so this thread does it without giving up the lock.
        normalizing_ = true;
        normalizer_thread_ = self;
        lock.unlock();
        struct Finish {
            PyErrState& state;
            ~Finish() {
                {
                    std::lock_guard done(NORMALIZER_MUTEX);
                    state.normalizing_ = false;
                    // A failed normalization is then reported as the emptied state it left.
                    state.normalizer_thread_.reset();
                }
                NORMALIZER_DONE.notify_all();
            }
        } finish{*this};
        PyErrStateNormalized normalized = normalize_inner();
        inner_ = std::move(normalized);
        normalization_once_.store(true, std::memory_order_release);
    } else {
        lock.unlock();
    }
    if (!std::holds_alternative<PyErrStateNormalized>(inner_))
        panic("internal error: entered unreachable code");
    return std::get<PyErrStateNormalized>(inner_);
}

PyErrStateNormalized PyErrState::normalize_inner() {
    auto taken = std::exchange(inner_, std::monostate{});
    if (std::holds_alternative<std::monostate>(taken))
        panic("Cannot normalize a PyErr while already normalizing it.");
    if (auto* normalized = std::get_if<PyErrStateNormalized>(&taken)) return std::move(*normalized);
    GILGuard guard = GILGuard::acquire();
    if (auto* fetched = std::get_if<PyErrStateFetched>(&taken)) {
        PyObject* type = fetched->ptype.release();
        PyObject* value = fetched->pvalue.release();
        PyObject* traceback = fetched->ptraceback.release();
        PyErr_NormalizeException(&type, &value, &traceback);
        PyErrStateNormalized result{Owned::steal(type), Owned::steal(value),
                                    Owned::steal(traceback)};
        if (!result.pvalue) panic("normalized exception value missing");
        return result;
    }
    PyErrStateNormalized result =
        lazy_into_normalized_ffi_tuple(std::move(std::get<ErrorBuilder>(taken)));
    if (!result.ptype) panic("Exception type missing");
    if (!result.pvalue) panic("Exception value missing");
    return result;
}

void PyErrState::restore() {
    PyErrStateNormalized triple;
    if (auto* builder = std::get_if<ErrorBuilder>(&inner_)) {
        // What the interpreter would make of it is what raising it now makes.
        set_built(std::move(*builder));
        return;
    }
    if (auto* normalized = std::get_if<PyErrStateNormalized>(&inner_)) {
        triple = std::move(*normalized);
    } else if (auto* fetched = std::get_if<PyErrStateFetched>(&inner_)) {
        // Put back as it was taken off.
        triple = {std::move(fetched->ptype), std::move(fetched->pvalue),
                  std::move(fetched->ptraceback)};
    } else {
        panic("PyErr state should never be invalid outside of normalization");
    }
    PyErr_Restore(triple.ptype.release(), triple.pvalue.release(), triple.ptraceback.release());
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

std::string PyErr::debug() {
    GILGuard guard = GILGuard::acquire();
    const PyErrStateNormalized& triple = normalized();
    std::string out = "PyErr { type: ";
    append_debug(triple.ptype.get(), out);
    out += ", value: ";
    append_debug(triple.pvalue.get(), out);
    out += ", traceback: ";
    if (!triple.ptraceback) {
        out += "None";
    } else {
        PyResult<std::string> text = format_traceback(triple.ptraceback.get());
        out += "Some(\"";
        if (text) {
            append_escaped(*text, out);
        } else {
            std::move(text).take_error().report_unraisable(triple.ptraceback.get());
            std::string unformattable = "<unformattable ";
            append_debug(triple.ptraceback.get(), unformattable);
            unformattable += '>';
            append_escaped(unformattable, out);
        }
        out += "\")";
    }
    out += " }";
    return out;
}

// ---- fetching and failing ----------------------------------------------------------

PyErr fetch_error() {
    if (auto error = PyErr::take()) return std::move(*error);
    return PyErr::new_(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void panic_after_error(std::source_location where) {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    panic("Python API call failed", where);
}

PyObject* PanicException::type_object() {
    PyObject* type = try_type_object();
    if (type == nullptr) [[unlikely]]
        panic("Failed to initialize new exception type.: " + fetch_error().debug());
    return type;
}

PyObject* PanicException::try_type_object() {
    if (Owned* made = PANIC_EXCEPTION_TYPE.get()) [[likely]]
        return made->get();
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
            if (type == nullptr) [[unlikely]]
                return std::pair<Owned, Owned>{};
            Owned text = PyString::try_new(message);
            if (!text) [[unlikely]]
                return std::pair<Owned, Owned>{};
            Owned args = Owned::steal(PyTuple_New(1));
            if (!args) [[unlikely]]
                return std::pair<Owned, Owned>{};
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
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
    PyErr_NoMemory();
}

// ---- error kinds -------------------------------------------------------------------

PyErr downcast_error(PyObject* object, std::string_view target_name) {
    Owned from = Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    return PyErr(ErrorBuilder([from = std::move(from), target_name] {
        std::string message = "'";
        bool named = false;
        if (PyResult<Owned> qualname = type_qualname(from.get())) {
            if (PyResult<std::string_view> text = to_str(qualname->get())) {
                message += *text;
                named = true;
            }
        }
        if (!named) message += "<failed to extract type name>";
        message += "' object cannot be converted to '";
        message += target_name;
        message += '\'';
        Owned text = PyString::try_new(message);
        if (!text) [[unlikely]]
            return std::pair<Owned, Owned>{};
        return std::pair{Owned::borrow(PyExc_TypeError), std::move(text)};
    }));
}

PyErr nul_byte_error(std::size_t position) {
    return PyErr::new_(PyExc_ValueError,
                       "nul byte found in provided data at position: " + std::to_string(position));
}

PyErr borrow_error() {
    return PyErr::new_(PyExc_RuntimeError, "Already mutably borrowed");
}

// ---- text forms --------------------------------------------------------------------

void python_format(PyObject* object, PyResult<Owned> outcome, std::string& out) {
    if (outcome) {
        out += to_string_lossy(outcome->get());
        return;
    }
    std::move(outcome).take_error().report_unraisable(object);
    PyResult<Owned> name = type_name(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    if (name) {
        if (PyResult<std::string_view> text = to_str(name->get())) {
            out += "<unprintable ";
            out += *text;
            out += " object>";
            return;
        }
    }
    out += "<unprintable object>";
}

void append_display(PyObject* object, std::string& out) {
    python_format(object, steal_or_fetch(PyObject_Str(object)), out);
}

void append_debug(PyObject* object, std::string& out) {
    python_format(object, steal_or_fetch(PyObject_Repr(object)), out);
}

PyResult<std::string> format_traceback(PyObject* traceback) {
    Owned io = KS_TRY(steal_or_fetch(PyImport_Import(IO.get())));
    Owned string_io_type = KS_TRY(steal_or_fetch(PyObject_GetAttr(io.get(), STRING_IO.get())));
    Owned sink = KS_TRY(steal_or_fetch(PyObject_CallNoArgs(string_io_type.get())));
    if (PyTraceBack_Print(traceback, sink.get()) == -1) return fetch_error();
    Owned getvalue = KS_TRY(steal_or_fetch(PyObject_GetAttr(sink.get(), GETVALUE.get())));
    Owned text = KS_TRY(steal_or_fetch(PyObject_CallNoArgs(getvalue.get())));
    if (!PyUnicode_Check(text.get())) return downcast_error(text.get(), "PyString");
    return std::string(KS_TRY(to_str(text.get())));
}

PyResult<Owned> type_name(PyObject* type) {
    return str_attribute(type, NAME);
}
PyResult<Owned> type_qualname(PyObject* type) {
    return str_attribute(type, QUALNAME);
}

}  // namespace kestrum
