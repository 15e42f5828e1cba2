// GILOnceCell: filled at most once under the interpreter lock; the first stored value wins.
#pragma once

#include <new>
#include <utility>

#include "result.hpp"

namespace kestrum {

template <class T>
class GILOnceCell {
public:
    constexpr GILOnceCell() noexcept : empty_() {}
    // Cells live until the process ends; their values are deliberately never released,
    // not even by static destruction after the interpreter is gone.
    ~GILOnceCell() {}
    GILOnceCell(const GILOnceCell&) = delete;
    GILOnceCell& operator=(const GILOnceCell&) = delete;

    T* get() noexcept { return filled_ ? &value_ : nullptr; }

    // Stores `value` unless another caller filled the cell meanwhile (the computation may
    // have released the lock); the loser is released. Returns the stored value.
    T& set_if_empty(T&& value) {
        if (!filled_) {
            ::new (static_cast<void*>(&value_)) T(std::move(value));
            filled_ = true;
        }
        return value_;
    }

    template <class F>
    PyResult<T*> get_or_try_init(F&& init) {
        if (filled_) return &value_;
        KS_TRY(T computed, std::forward<F>(init)());
        return &set_if_empty(std::move(computed));
    }

    template <class F>
    T& get_or_init(F&& init) {
        if (filled_) return value_;
        return set_if_empty(std::forward<F>(init)());
    }

private:
    union {
        char empty_;
        T value_;
    };
    bool filled_ = false;
};

}  // namespace kestrum
