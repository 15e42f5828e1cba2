// Where error states live: a per-thread cache of freed blocks, since a failing call makes
// and drops a couple of them.
#include <pthread.h>

#include <new>

#include "err_value.hpp"

namespace kestrum {

namespace {
// A failing call holds two states at once (the error taken and the one replacing it).
// The cache is constant-initialised and trivially destructible, so it sits in the static
// TLS block like the lock count and costs no lookup. The blocks it keeps are freed at the
// thread's exit by a thread-specific key, not by a thread_local destructor: registering
// one allocates, and glibc ends the process when that fails.
struct StateCache {
    static constexpr std::size_t SIZE = 2;
    enum Phase : unsigned char { UNARMED, ARMED, CLOSED };
    void* blocks[SIZE] = {};
    std::size_t count = 0;
    Phase phase = UNARMED;
};
constinit thread_local StateCache STATE_CACHE __attribute__((tls_model("initial-exec")));

void release_cache(void* data) {
    auto& cache = *static_cast<StateCache*>(data);
    for (std::size_t i = 0; i < cache.count; ++i) ::operator delete(cache.blocks[i]);
    cache.count = 0;
    cache.phase = StateCache::CLOSED;  // what the thread frees later is freed at once
}

pthread_key_t CLEANUP_KEY;
bool CLEANUP_KEY_MADE = false;
pthread_once_t CLEANUP_KEY_ONCE = PTHREAD_ONCE_INIT;

// Arms the thread's cleanup; false (nothing is kept) when no key or no room was to be had.
bool arm(StateCache& cache) noexcept {
    pthread_once(&CLEANUP_KEY_ONCE,
                 [] { CLEANUP_KEY_MADE = pthread_key_create(&CLEANUP_KEY, release_cache) == 0; });
    return CLEANUP_KEY_MADE && pthread_setspecific(CLEANUP_KEY, &cache) == 0;
}

[[gnu::noinline]] void keep_or_free(StateCache& cache, void* block) noexcept {
    if (cache.phase == StateCache::UNARMED && arm(cache)) {
        cache.phase = StateCache::ARMED;
        cache.blocks[cache.count++] = block;
        return;
    }
    ::operator delete(block);
}
}  // namespace

// Null when memory ran out: the error value then stands for MemoryError.
void* PyErrState::operator new(std::size_t size) noexcept {
    StateCache& cache = STATE_CACHE;
    if (cache.count > 0) return cache.blocks[--cache.count];
    return ::operator new(size, std::nothrow);
}

void PyErrState::operator delete(void* block) noexcept {
    StateCache& cache = STATE_CACHE;
    if (cache.count < StateCache::SIZE && cache.phase == StateCache::ARMED) {
        cache.blocks[cache.count++] = block;
        return;
    }
    keep_or_free(cache, block);
}

}  // namespace kestrum
