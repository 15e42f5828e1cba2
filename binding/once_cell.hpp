// GILOnceCell: filled at most once, by whichever thread stores first; the first stored value wins.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <thread>
#include <utility>

namespace kestrum {

template <class T>
class PyResult;

// Guarded by its own state, without the GIL: a compare-and-swap from empty elects
// the one writer, whose release store of "filled" publishes the value to every acquire read.
// Without the GIL two threads may compute a value at once; with it, a computation that runs
// Python code may let another thread in. Either way the loser's value is released by its owner.
template <class T>
class GILOnceCell {
public:
    constexpr GILOnceCell() noexcept : empty_() {}
    // Cells live until the process ends; their values are deliberately never released,
    // not even by static destruction after the interpreter is gone.
    ~GILOnceCell() {}
    GILOnceCell(const GILOnceCell&) = delete;
    GILOnceCell& operator=(const GILOnceCell&) = delete;

    T* get() noexcept {
        return state_.load(std::memory_order_acquire) == FILLED ? &value_ : nullptr;
    }

    // Stores `value` unless another caller filled the cell meanwhile; the loser stays in
    // `value`, for its owner to release. `publish` runs on the stored value before any other
    // thread can see it, and only if it was stored. Returns the stored value.
    template <class Publish>
    T& set_if_empty(T&& value, Publish&& publish) {
        std::uint8_t expected = EMPTY;
        if (state_.compare_exchange_strong(expected, WRITING, std::memory_order_acquire)) {
            ::new (static_cast<void*>(&value_)) T(std::move(value));
            std::forward<Publish>(publish)(value_);
            state_.store(FILLED, std::memory_order_release);
            return value_;
        }
        // The winner is moving its value in, which runs no Python code: a short wait.
        while (state_.load(std::memory_order_acquire) != FILLED) std::this_thread::yield();
        return value_;
    }

    T& set_if_empty(T&& value) {
        return set_if_empty(std::move(value), [](T&) noexcept {});
    }

    // `init` gives a PyResult<T>.
    template <class F>
    PyResult<T*> get_or_try_init(F&& init) {
        if (T* value = get()) return value;
        auto computed = std::forward<F>(init)();
        if (!computed) return std::move(computed).take_error();
        return &set_if_empty(std::move(computed).value());
    }

    template <class F>
    T& get_or_init(F&& init) {
        if (T* value = get()) return *value;
        return set_if_empty(std::forward<F>(init)());
    }

private:
    static constexpr std::uint8_t EMPTY = 0, WRITING = 1, FILLED = 2;

    union {
        char empty_;
        T value_;
    };
    std::atomic<std::uint8_t> state_{EMPTY};
};

}  // namespace kestrum
