// The call boundary around every entry from the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "gil.hpp"
#include "panic_exception.hpp"
#include "result.hpp"
#include "thread_end.hpp"

namespace kestrum {

namespace detail {

inline constexpr PanicTrap BOUNDARY_TRAP("uncaught panic at ffi boundary");

// The body's outcome, or the error a native failure inside it becomes. The interpreter ends
// a daemon thread that wakes during finalization by unwinding its stack: that unwinding is
// not a failure and passes through.
template <class Body>
inline auto catch_native(Body& body) -> decltype(body()) {
    try {
        return body();
    } catch (ThreadEnd&) {
        throw;
    } catch (NativeFailure& native) {
        return PanicException::from_panic_payload(std::move(native));
    } catch (std::bad_alloc&) {
        return PyErr::no_memory();
    } catch (...) {
        park_if_thread_ends();
        return PanicException::from_foreign_payload();
    }
}

inline void restore(PyErr&& error) {
    std::move(error).restore();
}

// Hands the error to `raise`. Its exception is often built only now, and building it may
// fail (memory may have run out): the caller then gets the failure's PanicException, or
// MemoryError.
template <class Raise>
inline void raise_error(Raise& raise, PyErr&& error) {
    try {
        raise(std::move(error));
    } catch (ThreadEnd&) {
        throw;
    } catch (NativeFailure& native) {
        raise_failed_raising(&native);
    } catch (...) {
        park_if_thread_ends();
        raise_failed_raising(nullptr);
    }
}

// Runs `body` with the lock bookkeeping entered. A returned error or a native failure is
// handed to `raise` and `error_result` is returned. A failure while entering or leaving
// has nowhere to go: the trap aborts. Only the interpreter's thread unwinding leaves.
template <class R, class Body, class Unwrap, class Raise>
inline R run_boundary(Body& body, Unwrap unwrap, R error_result, Raise raise) {
    try {
        const auto guard = GILGuard::assume();
        auto outcome = catch_native(body);
        if (outcome) return unwrap(std::move(outcome));
        raise_error(raise, std::move(outcome).take_error());
        return error_result;
    } catch (ThreadEnd&) {
        throw;
    } catch (...) {
        park_if_thread_ends();
        BOUNDARY_TRAP.trigger();
    }
}

}  // namespace detail

// Object slots: the body yields PyResult<Owned>; failure returns null.
template <class Body>
inline PyObject* trampoline(Body&& body) {
    return detail::run_boundary<PyObject*>(
        body, [](PyResult<Owned>&& outcome) { return std::move(outcome).value().release(); },
        nullptr, detail::restore);
}

// int slots (setters, clear): the body yields PyResult<void>; failure returns -1.
template <class Body>
inline int trampoline_int(Body&& body) {
    return detail::run_boundary<int>(body, [](auto&&) { return 0; }, -1, detail::restore);
}

// Slots that return nothing (deallocation): a native failure is reported as unraisable
// without a context object, since the object being released is no longer valid.
template <class Body>
void trampoline_unraisable(Body&& body) {
    auto run = [&body]() -> PyResult<void> {
        body();
        return {};
    };
    (void)detail::run_boundary<int>(
        run, [](auto&&) { return 0; }, 0,
        [](PyErr&& error) {
            detail::raise_error(detail::restore, std::move(error));
            PyErr_WriteUnraisable(nullptr);
        });
}

}  // namespace kestrum
