// Where error states live: a per-thread cache of freed blocks, since a failing call makes
// and drops a couple of them.
#include "err_value.hpp"

namespace kestrum {

namespace {
// A failing call holds two states at once (the error taken and the one replacing it).
// The cache is constant-initialised and trivially destructible, so it sits in the static
// TLS block like the lock count and costs no lookup; the blocks it keeps are freed by a
// separate per-thread cleanup, armed when the first block is kept.
struct StateCache {
    static constexpr std::size_t SIZE = 2;
    enum Phase : unsigned char { UNARMED, ARMED, CLOSED };
    void* blocks[SIZE] = {};
    std::size_t count = 0;
    Phase phase = UNARMED;
};
constinit thread_local StateCache STATE_CACHE __attribute__((tls_model("initial-exec")));

struct StateCacheCleanup {
    // Written only to reach the object: the first access on a thread constructs it, which
    // registers its destructor for the thread's exit.
    bool armed = false;
    StateCacheCleanup() = default;
    StateCacheCleanup(const StateCacheCleanup&) = delete;
    StateCacheCleanup& operator=(const StateCacheCleanup&) = delete;
    ~StateCacheCleanup() {
        StateCache& cache = STATE_CACHE;
        for (std::size_t i = 0; i < cache.count; ++i) ::operator delete(cache.blocks[i]);
        cache.count = 0;
        cache.phase = StateCache::CLOSED;  // what the thread frees later is freed at once
    }
};
thread_local StateCacheCleanup STATE_CACHE_CLEANUP;

[[gnu::noinline]] void keep_or_free(StateCache& cache, void* block) noexcept {
    if (cache.phase == StateCache::UNARMED) {
        STATE_CACHE_CLEANUP.armed = true;
        cache.phase = StateCache::ARMED;
        cache.blocks[cache.count++] = block;
        return;
    }
    ::operator delete(block);
}
}  // namespace

void* PyErrState::operator new(std::size_t size) {
    StateCache& cache = STATE_CACHE;
    if (cache.count > 0) return cache.blocks[--cache.count];
    return ::operator new(size);
}

void PyErrState::operator delete(void* block) noexcept {
    StateCache& cache = STATE_CACHE;
    if (cache.count < StateCache::SIZE && cache.phase == StateCache::ARMED) [[likely]] {
        cache.blocks[cache.count++] = block;
        return;
    }
    keep_or_free(cache, block);
}

}  // namespace kestrum
