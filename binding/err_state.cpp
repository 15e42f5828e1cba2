// The states of an error value: normalizing it once, whichever thread asks first, restoring it
// to the interpreter, and reading a bare TypeError's message from whichever state holds it.
#include "err.hpp"

#include <condition_variable>
#include <mutex>

#include "gil.hpp"

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

// Sets the exception that `builder` describes, then takes it back normalized; any member
// of the result may be null.
PyErrStateNormalized lazy_into_normalized_ffi_tuple(ErrorBuilder&& builder) {
    set_built(std::move(builder));
    return take_normalized();
}

std::mutex NORMALIZER_MUTEX;
std::condition_variable NORMALIZER_DONE;

}  // namespace

PyObject* PyErrState::bare_type_error_message() const {
    if (const auto* fetched = std::get_if<PyErrStateFetched>(&inner_))
        return kestrum::bare_type_error_message(fetched->ptype.get(), fetched->pvalue.get());
    // An instance: every exception taken off the indicator from 3.12 on; before that, one
    // raised or made as an instance, or normalized since.
    const auto* normalized = std::get_if<PyErrStateNormalized>(&inner_);
    return normalized != nullptr ? kestrum::bare_type_error_message(normalized->pvalue.get())
                                 : nullptr;
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

}  // namespace kestrum
