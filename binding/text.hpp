// Text: an owned run of UTF-8 bytes with its length, as a class value stores it.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

namespace kestrum {

// All-zero bytes are a valid, empty Text: the classes are mutable, so a program can make an
// instance without its constructor (`object.__new__`), and such an instance must read and
// release safely.
class Text {
public:
    Text() noexcept = default;
    explicit Text(std::string_view text) : size_(text.size()) {
        if (size_ == 0) return;
        data_ = new char[size_];
        std::memcpy(data_, text.data(), size_);
    }
    Text(Text&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Text& operator=(Text&& other) noexcept {
        Text old(std::move(*this));
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() { delete[] data_; }

    std::string_view view() const noexcept {
        return data_ != nullptr ? std::string_view(data_, size_) : std::string_view();
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace kestrum
