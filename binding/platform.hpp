// What differs between the systems kestrum is built for: the thread-local storage model, parking a
// thread, the calling thread's name, and how the C++ runtime shows the C library ending a thread.
// A port changes this unit (with platform.cpp and platform.cmake) and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>  // the C library's own headers come with it, and __GLIBC__ with them

#if !defined(_WIN32)
#include <pthread.h>
#endif

#if defined(__GLIBCXX__) || defined(__GLIBC__)
#include <cxxabi.h>
#endif

// For the thread-locals every call reads. glibc keeps room in the static TLS block for libraries
// loaded later, so initial-exec spares each access a call to __tls_get_addr. Elsewhere the default
// model: musl refuses initial-exec in a library loaded by dlopen, Mach-O and PE have their own.
#if defined(__GLIBC__)
#define KESTRUM_TLS_MODEL __attribute__((tls_model("initial-exec")))
#else
#define KESTRUM_TLS_MODEL
#endif

namespace kestrum {

// Waits for the process to end; the thread never touches the interpreter again.
[[noreturn]] void park_thread() noexcept;

// The calling thread's name as the system knows it, NUL-terminated and cut to fit, or
// "<unnamed>". `size` is at least 1.
void current_thread_name(char* out, std::size_t size) noexcept;

// Before 3.14 the interpreter ends a daemon thread that wakes during finalization through the C
// library's thread exit, which glibc carries out by unwinding the thread's stack. That is no
// failure: it must pass every boundary. libstdc++ names it, and a `catch (ThreadEnd&) { throw; }`
// ahead of a `catch (...)` lets it through. libc++abi has no name for it: the first `catch (...)`
// it meets catches it as a foreign exception that cannot be thrown on, so that handler parks the
// thread for good instead (park_if_thread_ends), as the interpreter itself does with such threads
// from 3.14. A module with its own unwinder parks it earlier, in the personality (platform.cpp).
// Other C libraries end a thread without unwinding it: kestrum's frames never resume.
#if defined(__GLIBCXX__)
using ThreadEnd = abi::__forced_unwind;
inline void park_if_thread_ends() noexcept {}
#else
struct ThreadEnd {};  // never thrown: the handlers read the same under every runtime

// To be called first in a `catch (...)`: every C++ exception has a type; glibc's unwinding,
// the only foreign one that reaches kestrum's frames, has none.
inline void park_if_thread_ends() noexcept {
#if defined(__GLIBC__)
    if (abi::__cxa_current_exception_type() == nullptr) park_thread();
#endif
}
#endif

}  // namespace kestrum
