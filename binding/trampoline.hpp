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

// Puts the error onto the indicator. Its exception is often built only now, and building it
// may fail (memory may have run out): the caller then gets the failure's PanicException, or
// MemoryError.
inline void raise_error(PyErr&& error) {
    try {
        std::move(error).restore();
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
// raised, `after_raising` runs, and `error_result` is returned. A failure while entering or
// leaving has nowhere to go: the trap aborts. Only the interpreter's thread unwinding leaves.
template <class R, class Body, class Unwrap, class AfterRaising>
inline R run_boundary(Body& body, Unwrap unwrap, R error_result, AfterRaising after_raising) {
    try {
        const auto guard = GILGuard::assume();
        auto outcome = catch_native(body);
        if (outcome) return unwrap(std::move(outcome));
        raise_error(std::move(outcome).take_error());
        after_raising();
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
        nullptr, [] {});
}

// int slots (setters, clear): the body yields PyResult<void>; failure returns -1.
template <class Body>
inline int trampoline_int(Body&& body) {
    return detail::run_boundary<int>(body, [](auto&&) { return 0; }, -1, [] {});
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
        run, [](auto&&) { return 0; }, 0, [] { PyErr_WriteUnraisable(nullptr); });
}

}  // namespace kestrum
