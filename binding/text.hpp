// Text: an owned run of UTF-8 bytes with its length, as a class value stores it.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

namespace kestrum {

// Short texts (a typical path) are kept inline and allocate nothing. All-zero bytes are a
// valid, empty Text: the classes are mutable, so a program can make an instance without its
// constructor (`object.__new__`), and such an instance must read and release safely.
class Text {
public:
    static constexpr std::size_t INLINE = 16;

    Text() noexcept = default;
    // `ascii` says the bytes are known to be ASCII, so they can go back without decoding.
    Text(std::string_view text, bool ascii) : size_(text.size()), ascii_(ascii) {
        char* out = local_;
        if (size_ > INLINE) out = heap_ = new char[size_];
        std::memcpy(out, text.data(), size_);
    }
    Text(Text&& other) noexcept : size_(other.size_), ascii_(other.ascii_) {
        std::memcpy(local_, other.local_, INLINE);  // the pointer too, when not inline
        other.size_ = 0;
    }
    Text& operator=(Text&& other) noexcept {
        Text old(std::move(*this));
        size_ = std::exchange(other.size_, 0);
        ascii_ = other.ascii_;
        std::memcpy(local_, other.local_, INLINE);
        return *this;
    }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() {
        if (size_ > INLINE) delete[] heap_;
    }

    std::string_view view() const noexcept { return {size_ > INLINE ? heap_ : local_, size_}; }
    bool is_ascii() const noexcept { return ascii_; }

private:
    std::size_t size_ = 0;
    union {
        char* heap_;
        char local_[INLINE] = {};
    };
    bool ascii_ = false;
};

}  // namespace kestrum
