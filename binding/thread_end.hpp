// The interpreter's ending of a thread, as each C++ runtime shows it to a handler.
#pragma once

#include <cxxabi.h>

namespace kestrum {

// Before 3.14 the interpreter ends a daemon thread that wakes during finalization by unwinding
// its stack (glibc's thread exit). That is no failure: it must pass every boundary.
// libstdc++ names it, and a `catch (ThreadEnd&) { throw; }` ahead of a `catch (...)` lets it
// through. libc++abi has no name for it: the first `catch (...)` it meets catches it as a
// foreign exception that cannot be thrown on, so that handler parks the thread for good
// instead (park_if_thread_ends), as the interpreter itself does with such threads from 3.14.
// Waits for the process to end; the thread never touches the interpreter again.
[[noreturn]] void park_thread() noexcept;

// Whether the interpreter is ending this thread, which it counts as holding the lock: at exit
// the interpreter ends a thread that waits for the lock by unwinding its stack, with no thread
// state, and nothing on the way may touch the interpreter again.
bool thread_is_ending() noexcept;

#if defined(__GLIBCXX__)
using ThreadEnd = abi::__forced_unwind;
inline void park_if_thread_ends() noexcept {}
#else
struct ThreadEnd {};  // never thrown: the handlers read the same under both runtimes

// To be called first in a `catch (...)`: every C++ exception has a type; glibc's unwinding,
// the only foreign one that reaches kestrum's frames, has none.
inline void park_if_thread_ends() noexcept {
    if (abi::__cxa_current_exception_type() == nullptr) park_thread();
}
#endif

}  // namespace kestrum
