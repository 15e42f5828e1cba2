// The states of an error value: taking it off the indicator, normalizing it once, whichever
// thread asks first, restoring it to the interpreter, reading a bare TypeError's message from
// whichever state holds it, and the blocks the states live in.
#include "err_state.hpp"

#include <condition_variable>
#include <mutex>

#include "gil.hpp"
#include "panic.hpp"

namespace kestrum {

namespace {

// Sets the exception that `builder` describes; when it could not be built, the failure
// that stopped it is left pending instead.
void set_built(ErrorBuilder&& builder) {
    auto [type, argument] = std::move(builder).run();
    if (!type) {
        if (PyErr_Occurred() == nullptr) PyErr_NoMemory();
        return;
    }
    if (PyExceptionClass_Check(type.get()))
        PyErr_SetObject(type.get(), argument.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

// The message of `exception` when it is a bare TypeError instance (all that its str() says);
// null otherwise.
PyObject* bare_message_of_instance(PyObject* exception) {
    if (exception == nullptr ||
        !Py_IS_TYPE(exception, reinterpret_cast<PyTypeObject*>(PyExc_TypeError)))
        return nullptr;
    const auto* instance = reinterpret_cast<PyBaseExceptionObject*>(exception);
    PyObject* args = instance->args;
    if (instance->cause != nullptr || args == nullptr || !PyTuple_CheckExact(args) ||
        PyTuple_GET_SIZE(args) != 1)
        return nullptr;
    PyObject* text = PyTuple_GET_ITEM(args, 0);
    return PyUnicode_CheckExact(text) ? text : nullptr;
}

// The same for a type and value taken off the indicator before the interpreter made them an
// instance (before 3.12 its C code raises a type and a message): the message when the type is
// exactly TypeError and the value an exact `str`; null otherwise.
PyObject* bare_message_of_pair(PyObject* type, PyObject* value) {
    if (type != PyExc_TypeError || value == nullptr) return nullptr;
    return PyUnicode_CheckExact(value) ? value : nullptr;
}

// Guard the normalizing thread and its flag of every error value.
std::mutex NORMALIZER_MUTEX;
std::condition_variable NORMALIZER_DONE;

}  // namespace

PyErrStateFetched take_pending() {
#if PY_VERSION_HEX >= 0x030C0000
    Owned value = Owned::steal(PyErr_GetRaisedException());
    if (!value) return {};
    Owned type = Owned::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    Owned traceback = Owned::steal(PyException_GetTraceback(value.get()));
    return {std::move(type), std::move(value), std::move(traceback)};
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    return {Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
#endif
}

PyErrStateNormalized normalize(PyErrStateFetched&& fetched) {
    PyObject* type = fetched.ptype.release();
    PyObject* value = fetched.pvalue.release();
    PyObject* traceback = fetched.ptraceback.release();
    // From 3.12 what take_pending gives is already an instance; a pair made by kestrum (see
    // float_conversion.cpp) is normalized on every version.
    if (type != nullptr) PyErr_NormalizeException(&type, &value, &traceback);
    return {Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
}

PyObject* PyErrState::bare_type_error_message() const {
    if (const auto* fetched = std::get_if<PyErrStateFetched>(&inner_))
        return bare_message_of_pair(fetched->ptype.get(), fetched->pvalue.get());
    // An instance: every exception taken off the indicator from 3.12 on; before that, one
    // raised or made as an instance, or normalized since.
    const auto* normalized = std::get_if<PyErrStateNormalized>(&inner_);
    return normalized != nullptr ? bare_message_of_instance(normalized->pvalue.get()) : nullptr;
}

const PyErrStateNormalized& PyErrState::as_normalized() {
    if (normalization_once_.load(std::memory_order_acquire))
        return std::get<PyErrStateNormalized>(inner_);
    return make_normalized();
}

const PyErrStateNormalized& PyErrState::make_normalized() {
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(NORMALIZER_MUTEX);
    if (normalizer_thread_ == self) {
        lock.unlock();
        panic("Re-entrant normalization of PyErrState detected");
    }
    if (normalizing_) {
        // Another thread runs the builder and released the GIL on the way:
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
        PyErrStateNormalized result = normalize(std::move(*fetched));
        if (!result.pvalue) panic("normalized exception value missing");
        return result;
    }
    // Raised and taken back: the instance the interpreter makes of it.
    set_built(std::move(std::get<ErrorBuilder>(taken)));
    PyErrStateNormalized result = normalize(take_pending());
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

// Null when memory ran out: the error value then stands for MemoryError.
void* PyErrState::operator new(std::size_t size) noexcept {
    return ::operator new(size, std::nothrow);
}

void PyErrState::operator delete(void* block) noexcept {
    ::operator delete(block);
}

}  // namespace kestrum
