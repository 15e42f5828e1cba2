// The per-thread interpreter-lock hold count and the release of one reference by it.
#pragma once

#include <Python.h>

#include <cstdint>

namespace kestrum {

// Depth to which this thread holds the interpreter lock through the binding layer.
// Negative values forbid entry. -1 is the value a class's garbage-collector traversal would
// keep while it runs; no class here defines one, so only the test-only module sets it.
// The boundary reads it on every call, so it must not cost one: constinit spares the
// per-access initialisation check, initial-exec the lookup through __tls_get_addr.
extern constinit thread_local std::intptr_t GIL_COUNT __attribute__((tls_model("initial-exec")));

void queue_decref(PyObject* object) noexcept;
void release_counted(PyObject* object) noexcept;

// Whether the interpreter is ending this thread, which it counts as holding the lock: at exit
// the interpreter ends a thread that waits for the lock by unwinding its stack, with no thread
// state, and nothing on the way may touch the interpreter again.
bool thread_is_ending() noexcept;

#ifdef KESTRUM_CHECK_UNCOUNTED_ROAD
// Whether this thread is on a road whose entry is not counted (see UncountedRoad), where a
// release would be queued rather than applied: the sanitizer build stops the process there.
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
        release_counted(object);
    else
        queue_decref(object);
}

}  // namespace kestrum
