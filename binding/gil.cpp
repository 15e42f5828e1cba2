// Interpreter-lock bookkeeping: hold count, lock acquisition and the deferred-release pool.
#include "gil.hpp"

#include <cstdio>
#include <cstdlib>

#include "panic.hpp"
#include "thread_end.hpp"

namespace kestrum {

constinit thread_local std::intptr_t GIL_COUNT KESTRUM_TLS_MODEL = 0;

constinit ReferencePool POOL;

namespace {
// Set once a check found the interpreter initialized; a failed check is repeated. An atomic
// (release on setting, acquire on reading): threads that race each check, and each sets it.
std::atomic<bool> START{false};

PyGILState_STATE ensure_or_hang() {
    try {
        return PyGILState_Ensure();
    } catch (...) {
        // The interpreter ends threads that want the lock while it shuts down (the one thing
        // that unwinds out of it); unwinding them through native frames is unsafe, so the
        // thread is parked instead.
        park_thread();
    }
}
}  // namespace

void LockGIL::bail(std::intptr_t current) {
    if (current == GIL_LOCKED_DURING_TRAVERSE)
        panic(
            "Access to the GIL is prohibited while a __traverse__ implmentation is "
            "running.");
    panic("Access to the GIL is currently prohibited.");
}

GILGuard GILGuard::acquire() {
    std::intptr_t count = GIL_COUNT;
    if (count > 0) {
        GIL_COUNT = count + 1;
        apply_pending_decrefs();
        return GILGuard(false, PyGILState_UNLOCKED);
    }
    if (!START.load(std::memory_order_acquire)) {
        if (Py_IsInitialized() == 0)
            panic(
                "The Python interpreter is not initialized; kestrum cannot take the "
                "GIL before it is.");
        START.store(true, std::memory_order_release);
    }
    PyGILState_STATE state = ensure_or_hang();
    count = GIL_COUNT;
    if (count < 0) {
        PyGILState_Release(state);
        LockGIL::bail(count);
    }
    GIL_COUNT = count + 1;
    apply_pending_decrefs();
    return GILGuard(true, state);
}

void ReferencePool::enqueue(PyObject* object) {
    std::lock_guard lock(mutex_);
    pending_.push_back(object);
    dirty_.store(true, std::memory_order_release);
}

void ReferencePool::update_counts() {
    std::vector<PyObject*> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(pending_);
        dirty_.store(false, std::memory_order_release);
    }
    for (PyObject* object : taken) Py_DECREF(object);
}

// Out of line: the release may run any Python code (a __del__), which may wait for the lock at
// exit and be ended there, by unwinding that must not meet the callers' noexcept frames.
void decref_now(PyObject* object) noexcept {
    // The interpreter is finishing and no entry will come: the reference is leaked.
    if (thread_is_ending()) return;
    try {
        Py_DECREF(object);
    } catch (...) {
        // Only the interpreter's ending of the thread unwinds out of a release (under libc++abi
        // it has no name to catch it by). Going on would end the process in the nearest
        // noexcept frame (a destructor); the thread is parked instead, as when it asks for the
        // lock.
        park_thread();
    }
}

void decref_later(PyObject* object) noexcept {
    try {
        POOL.enqueue(object);
    } catch (...) {
        // Out of memory while queueing: leaking one reference beats releasing it
        // without the lock.
    }
}

#ifdef KESTRUM_CHECK_UNCOUNTED_ROAD
thread_local bool ON_UNCOUNTED_ROAD = false;

void released_on_uncounted_road() noexcept {
    std::fputs("kestrum: a reference was released on the uncounted road\n", stderr);
    std::abort();
}
#endif

}  // namespace kestrum
