// Interpreter-lock bookkeeping: the per-thread hold count, guards, and the release of references
// (now, or through the reference pool).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "platform.hpp"
#include "thread_end.hpp"

namespace kestrum {

// Depth to which this thread holds the GIL through the binding layer. Guarded by being per
// thread: only its own thread reads or writes it.
// Negative values forbid entry. -1 is the value a class's garbage-collector traversal would
// keep while it runs; no class here defines one, so only the test-only module sets it.
// The boundary reads it on every call, so it must not cost one: constinit spares the
// per-access initialisation check, the platform's fastest model (KESTRUM_TLS_MODEL) the lookup.
extern constinit thread_local std::intptr_t GIL_COUNT KESTRUM_TLS_MODEL;

void decref_later(PyObject* object) noexcept;
void decref_now(PyObject* object) noexcept;

#ifdef KESTRUM_CHECK_UNCOUNTED_ROAD
// Whether this thread is on a road whose entry is not counted (see UncountedRoad), where a
// release would be queued rather than applied: the sanitizer build stops the process there.
// Per thread, so it needs no other guard.
extern thread_local bool ON_UNCOUNTED_ROAD;
[[noreturn]] void released_on_uncounted_road() noexcept;
#endif

// Releases one strong reference now when this thread holds the lock, else queues it for the
// next entry that does.
inline void register_decref(PyObject* object) noexcept {
#ifdef KESTRUM_CHECK_UNCOUNTED_ROAD
    if (ON_UNCOUNTED_ROAD) released_on_uncounted_road();
#endif
    if (GIL_COUNT > 0)
        decref_now(object);
    else
        decref_later(object);
}

// The count a class's garbage-collector traversal would keep (see GIL_COUNT).
constexpr std::intptr_t GIL_LOCKED_DURING_TRAVERSE = -1;

struct LockGIL {
    [[noreturn]] static void bail(std::intptr_t current);
};

// References released by threads that did not hold the lock, applied by the next entry.
class ReferencePool {
public:
    void enqueue(PyObject* object);
    void update_counts();
    bool has_pending() const noexcept { return dirty_.load(std::memory_order_acquire); }

private:
    std::mutex mutex_;
    std::vector<PyObject*> pending_;  // guarded by mutex_
    // Set with release after a reference is queued, cleared under mutex_ as the list is taken:
    // an entry that reads it unset (acquire) has nothing to apply and takes no mutex.
    std::atomic<bool> dirty_{false};
};

// The process's one pool. Its list is guarded by its mutex, which is held only to append one
// reference or to swap the list out, never while a release runs; its pending flag is an atomic
// (release on queueing, acquire on reading). constinit, so it is there before any thread can
// release into it. Declared hidden, as it is defined (the module is built with hidden
// visibility): every entry reads it directly rather than through the global offset table.
extern ReferencePool POOL [[gnu::visibility("hidden")]];

inline void apply_pending_decrefs() {
    if (POOL.has_pending()) POOL.update_counts();
}

// No release waits, so an entry's bookkeeping would do nothing but count it. The uncounted
// road skips it, and with it the check for a negative count, which nothing in the module sets.
inline bool no_release_waiting() {
    return !POOL.has_pending();
}

// Tells a free-threaded interpreter that `module` needs no GIL, which it would otherwise turn back
// on at import: every state here that changes after import names its guard. False, with the
// failure pending, when the interpreter refused.
inline bool declare_gil_not_used([[maybe_unused]] PyObject* module) {
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) == 0;
#else
    return true;
#endif
}

class GILGuard {
public:
    // The bookkeeping of an entry whose caller already holds the lock: leaving only
    // uncounts. Kept apart from the ensured kind so the boundary carries no state.
    class Assumed {
    public:
        Assumed(const Assumed&) = delete;
        Assumed& operator=(const Assumed&) = delete;
        ~Assumed() { GIL_COUNT -= 1; }

    private:
        friend class GILGuard;
        Assumed() {
            const std::intptr_t count = GIL_COUNT;
            if (count < 0) LockGIL::bail(count);
            GIL_COUNT = count + 1;
            apply_pending_decrefs();
        }
    };

    // Every entry from the interpreter: the caller already holds the lock.
    [[nodiscard]] static Assumed assume() { return Assumed(); }
    // Where the calling thread may not hold the lock.
    static GILGuard acquire();

    GILGuard(GILGuard&& other) noexcept
        : active_(std::exchange(other.active_, false)),
          ensured_(other.ensured_),
          state_(other.state_) {}
    GILGuard(const GILGuard&) = delete;
    GILGuard& operator=(const GILGuard&) = delete;
    GILGuard& operator=(GILGuard&&) = delete;
    ~GILGuard() {
        if (!active_) return;
        // A thread being ended has no thread state left to give back.
        if (ensured_ && !thread_is_ending()) PyGILState_Release(state_);
        GIL_COUNT -= 1;
    }

private:
    GILGuard(bool ensured, PyGILState_STATE state) : ensured_(ensured), state_(state) {}
    bool active_ = true;
    bool ensured_;
    PyGILState_STATE state_;
};

// Runs `work` with the GIL released; the lock and the hold count come
// back even when `work` ends in a native failure.
class SuspendGIL {
public:
    SuspendGIL() : count_(std::exchange(GIL_COUNT, 0)), tstate_(PyEval_SaveThread()) {}
    SuspendGIL(const SuspendGIL&) = delete;
    SuspendGIL& operator=(const SuspendGIL&) = delete;
    // Taking the lock back may end the thread by unwinding (interpreter exit), which must
    // leave through here rather than terminate the process; nothing else is thrown here. The
    // count comes back first, so that the handles the unwinding then releases see a counted
    // thread that the interpreter is ending, and drop their references rather than queue them.
    // NOLINTNEXTLINE(bugprone-unsafe-to-allow-exceptions)
    ~SuspendGIL() noexcept(false) {
        GIL_COUNT = count_;
        PyEval_RestoreThread(tstate_);
        apply_pending_decrefs();
    }

private:
    std::intptr_t count_;
    PyThreadState* tstate_;
};

template <class F>
decltype(auto) allow_threads(F&& work) {
    SuspendGIL suspended;
    return std::forward<F>(work)();
}

}  // namespace kestrum
