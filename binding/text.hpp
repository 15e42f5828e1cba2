// Text: UTF-8 bytes owned by a class value, the UTF-8 form of a `str`, and the `str` made back
// from bytes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "owned.hpp"
#include "panic.hpp"

namespace kestrum {

// The UTF-8 form the interpreter caches inside a `str`, borrowed from it. Nothing, with the
// failure pending, when the `str` has none (a lone surrogate) or memory ran out.
std::optional<std::string_view> to_str(PyObject* text);
// A copy of it that never fails: text without a strict UTF-8 form gets U+FFFD per invalid
// sequence.
std::string to_string_lossy(PyObject* text);
// Decodes UTF-8, replacing each maximal invalid subpart by U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

// Whether every byte of `text` is ASCII.
inline bool is_ascii(std::string_view text) {
    unsigned char seen = 0;
    for (char c : text) seen |= static_cast<unsigned char>(c);
    return seen < 0x80;
}

// Short texts (a typical path) are kept inline and allocate nothing. All-zero bytes are a
// valid, empty Text: the classes accept attribute assignment (their instances are immutable),
// so a program can give a class `object.__new__` and make an instance without its
// constructor, and such an instance must read and release safely.
class Text {
public:
    static constexpr std::size_t INLINE = 16;

    Text() noexcept = default;
    // Makes room for the bytes of a text of `size` bytes: nothing when they fit inline, else a
    // heap block in `heap`. False when memory ran out: the uncounted road copies outside the
    // boundary, so a failed allocation is a value here, not an exception.
    static bool make_room(std::size_t size, char*& heap) noexcept {
        if (size <= INLINE) return true;
        heap = new (std::nothrow) char[size];
        return heap != nullptr;
    }
    // Copies `text` into the room that make_room made for it (the Text owns `heap` from then
    // on). `ascii` says the bytes are known to be ASCII, so they can go back without decoding.
    Text(std::string_view text, bool ascii, char* heap) noexcept
        : size_(text.size()), ascii_(ascii) {
        char* out = local_;
        if (size_ > INLINE) out = heap_ = heap;
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

struct PyString {
    static Owned new_(std::string_view text) {
        Owned result = try_new(text);
        if (!result) panic_after_error();
        return result;
    }
    // Null, with the failure pending, when the `str` cannot be made.
    static Owned try_new(std::string_view text) {
        return Owned::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    // The concatenation of ASCII `parts` as one `str`, written in place. Null, with the failure
    // pending, when the `str` cannot be made. The parts are copied whole, not byte by byte
    // (what that saves is in bench/README.md).
    static Owned from_ascii(std::initializer_list<std::string_view> parts);
    // A new reference, or null with the failure pending. Known ASCII is copied straight into
    // the new `str`: no decoding, no scan for its range.
    static PyObject* from_text(const Text& text) {
        const std::string_view bytes = text.view();
        if (!text.is_ascii())
            return PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
        PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
        if (result != nullptr) std::memcpy(PyUnicode_DATA(result), bytes.data(), bytes.size());
        return result;
    }
};

}  // namespace kestrum
