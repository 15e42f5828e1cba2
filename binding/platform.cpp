// The system calls behind platform.hpp, and what the linked C++ runtime need not bring.
#include "platform.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>  // names the runtime: _LIBCPPABI_VERSION
#endif

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace kestrum {

void park_thread() noexcept {
#if defined(_WIN32)
    for (;;) Sleep(INFINITE);
#else
    for (;;) pause();
#endif
}

void current_thread_name(char* out, std::size_t size) noexcept {
    char name[64] = {};
#if defined(__linux__)
    // The C library's own call: glibc keeps pthread_getname_np in libpthread before 2.34, which
    // the module would then load for this alone. The kernel's names are at most 16 bytes.
    static_assert(sizeof name >= 16);
    if (prctl(PR_GET_NAME, name) != 0) name[0] = '\0';
#elif defined(__APPLE__)
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) name[0] = '\0';
#endif
    name[sizeof name - 1] = '\0';
    const char* shown = name[0] != '\0' ? name : "<unnamed>";
    const std::size_t length = std::min(std::strlen(shown), size - 1);
    std::memcpy(out, shown, length);
    out[length] = '\0';
}

}  // namespace kestrum

#if defined(KESTRUM_OWN_UNWINDER)
#include <dlfcn.h>
#include <unwind.h>

// The module unwinds its own exceptions with the unwinder linked into it (LLVM's), so that no
// process loads libgcc_s for it. glibc ends a thread (pthread_exit, the interpreter's ending of
// daemon threads at exit) by a forced unwinding with libgcc_s, which it loads itself then, and
// whose frame state the C++ personality linked here cannot read. The module is linked with
// --wrap for the names below (platform.cmake): the personality parks such a thread at the first
// kestrum frame with handlers, before any of them runs, so nothing on the way touches the
// interpreter and the two unwinders never share an unwinding.
extern "C" _Unwind_Reason_Code __real___gxx_personality_v0(int, _Unwind_Action, std::uint64_t,
                                                           _Unwind_Exception*, _Unwind_Context*);
// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" _Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions,
                                                           std::uint64_t exception_class,
                                                           _Unwind_Exception* exception,
                                                           _Unwind_Context* context) {
    if ((actions & _UA_FORCE_UNWIND) != 0) kestrum::park_thread();
    return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}

// The rest keeps the unwinder from asking for what glibc 2.17 keeps outside the C library
// (libpthread, libdl), which the module would then load at every import. Its one lock guards
// its cache of frame descriptions, and a mutex of the C library's serves as that read-write
// lock: it is never taken twice by one thread. Looking up _dl_find_object and a function's name
// are optional to it: without them it searches the loaded objects with dl_iterate_phdr.
namespace {
constinit std::mutex UNWINDER_LOCK;  // guards the unwinder's cache, in place of its own lock
}  // namespace

extern "C" int __wrap_pthread_rwlock_rdlock(pthread_rwlock_t*) {
    UNWINDER_LOCK.lock();
    return 0;
}
extern "C" int __wrap_pthread_rwlock_wrlock(pthread_rwlock_t*) {
    UNWINDER_LOCK.lock();
    return 0;
}
extern "C" int __wrap_pthread_rwlock_unlock(pthread_rwlock_t*) {
    UNWINDER_LOCK.unlock();
    return 0;
}
extern "C" void* __wrap_dlsym(void*, const char*) {
    return nullptr;
}
extern "C" int __wrap_dladdr(const void*, Dl_info*) {
    return 0;
}
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)
#endif

#if defined(_LIBCPPABI_VERSION) && defined(__linux__)
// libc++abi's default terminate handler demangles the type of the exception that ends the
// process, and with it the whole demangler is linked in: half the module. No exception ever
// reaches it (each boundary catches everything, and its last resort aborts with kestrum's own
// report), so the demangler declines here: the handler would print the mangled name.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" char* __cxa_demangle(const char*, char*, std::size_t*, int* status) {
    if (status != nullptr) *status = -2;  // "not a valid name under the mangling rules"
    return nullptr;
}
#endif
