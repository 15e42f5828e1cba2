// The system calls behind platform.hpp, and what the linked C++ runtime need not bring.
#include "platform.hpp"

#include <algorithm>
#include <cstring>

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

bool ThreadExitCleanup::arm([[maybe_unused]] void* data) noexcept {
#if defined(_WIN32)
    return false;  // no thread-exit cleanup here yet: nothing is kept for the thread
#else
    // glibc before 2.34 keeps the keys in libpthread, which the module therefore links; the
    // C library offers no other call at a thread's end.
    std::call_once(made_once_, [this] { made_ = pthread_key_create(&key_, cleanup_) == 0; });
    return made_ && pthread_setspecific(key_, data) == 0;
#endif
}

}  // namespace kestrum

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
