// FloatList: the growable list of single-precision numbers that the sequence conversion
// fills. Short lists, such as the three sides of a box, stay inline and allocate nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>

namespace kestrum {

class FloatList {
public:
    static constexpr std::size_t INLINE_CAPACITY = 4;

    FloatList() = default;
    // A copy of at most INLINE_CAPACITY values, kept inline.
    FloatList(const float* values, std::size_t count) noexcept : size_(count) {
        std::copy_n(values, count, inline_);
    }
    FloatList(FloatList&& other) noexcept { take(other); }
    FloatList& operator=(FloatList&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    FloatList(const FloatList&) = delete;
    FloatList& operator=(const FloatList&) = delete;
    ~FloatList() { release(); }

    void reserve(std::size_t capacity) {
        if (capacity > capacity_) reallocate(capacity);
    }
    void push_back(float value) {
        if (size_ == capacity_) [[unlikely]]
            reallocate(capacity_ * 2);
        data_[size_++] = value;
    }
    std::size_t size() const noexcept { return size_; }
    float operator[](std::size_t index) const noexcept { return data_[index]; }

private:
    bool is_inline() const noexcept { return data_ == inline_; }
    void release() noexcept {
        if (!is_inline()) delete[] data_;
    }
    void take(FloatList& other) noexcept {
        size_ = other.size_;
        if (other.is_inline()) {
            // The whole (small) buffer in one go, used or not.
            std::memcpy(static_cast<void*>(inline_), static_cast<const void*>(other.inline_),
                        sizeof inline_);
            data_ = inline_;
            capacity_ = INLINE_CAPACITY;
        } else {
            data_ = std::exchange(other.data_, other.inline_);
            capacity_ = std::exchange(other.capacity_, INLINE_CAPACITY);
        }
        other.size_ = 0;
    }
    void reallocate(std::size_t capacity) {
        auto grown = std::make_unique_for_overwrite<float[]>(capacity);
        std::copy_n(data_, size_, grown.get());
        release();
        data_ = grown.release();
        capacity_ = capacity;
    }

    float inline_[INLINE_CAPACITY] = {};
    float* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = INLINE_CAPACITY;
};

}  // namespace kestrum
