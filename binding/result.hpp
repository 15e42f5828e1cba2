// PyResult: the value of a fallible operation, or the PyErr it failed with.
#pragma once

#include <new>
#include <optional>
#include <utility>

#include "owned.hpp"
#include "panic.hpp"
#include "py_err.hpp"

namespace kestrum {

// A tagged union rather than a std::variant: libc++ destroys a variant through a table of
// functions, an indirect call on every result that the hot paths could not inline away.
template <class T>
class [[nodiscard]] PyResult {
public:
    PyResult(T value) : ok_(true) { ::new (static_cast<void*>(&value_)) T(std::move(value)); }
    // Builds the value in place.
    template <class... Args>
    explicit PyResult(std::in_place_t, Args&&... args) : ok_(true) {
        ::new (static_cast<void*>(&value_)) T(std::forward<Args>(args)...);
    }
    PyResult(PyErr error) : ok_(false) {
        ::new (static_cast<void*>(&error_)) PyErr(std::move(error));
    }
    PyResult(PyResult&& other) noexcept : ok_(other.ok_) {
        if (ok_)
            ::new (static_cast<void*>(&value_)) T(std::move(other.value_));
        else
            ::new (static_cast<void*>(&error_)) PyErr(std::move(other.error_));
    }
    PyResult& operator=(PyResult&& other) noexcept {
        if (this != &other) {
            this->~PyResult();
            ::new (static_cast<void*>(this)) PyResult(std::move(other));
        }
        return *this;
    }
    ~PyResult() {
        if (ok_)
            value_.~T();
        else
            error_.~PyErr();
    }

    bool is_ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return is_ok(); }

    T& operator*() & { return checked_value(); }
    T* operator->() { return &checked_value(); }
    T value() && { return std::move(checked_value()); }
    PyErr& error() & { return checked_error(); }
    PyErr take_error() && { return std::move(checked_error()); }

private:
    T& checked_value() {
        if (!ok_) panic("a failed result holds no value");
        return value_;
    }
    PyErr& checked_error() {
        if (ok_) panic("a successful result holds no error");
        return error_;
    }

    bool ok_;
    union {
        T value_;
        PyErr error_;
    };
};

template <>
class [[nodiscard]] PyResult<void> {
public:
    PyResult() = default;
    PyResult(PyErr error) : err_(std::move(error)) {}

    bool is_ok() const noexcept { return !err_.has_value(); }
    explicit operator bool() const noexcept { return is_ok(); }
    void value() && {}
    PyErr& error() & {
        if (!err_) panic("a successful result holds no error");
        return *err_;
    }
    PyErr take_error() && {
        if (!err_) panic("a successful result holds no error");
        return std::move(*err_);
    }

private:
    std::optional<PyErr> err_;
};

// A new reference from the interpreter, or the failure it reported.
inline PyResult<Owned> steal_or_fetch(PyObject* result) {
    if (result == nullptr) return fetch_error();
    return Owned::steal(result);
}

}  // namespace kestrum

// The binding layer's stand-in for `?`, in standard C++. KS_TRY evaluates a result: on failure
// it returns the error from the enclosing function, otherwise `declaration` takes the value:
//   KS_TRY(const float radius, convert_argument<float>(args[0], "radius"));
// KS_CHECK does the same for a result without a value.
#define KS_TRY(declaration, ...)                                                            \
    auto KS_RESULT_NAME(__LINE__) = (__VA_ARGS__);                                          \
    if (!KS_RESULT_NAME(__LINE__)) return std::move(KS_RESULT_NAME(__LINE__)).take_error(); \
    declaration = std::move(KS_RESULT_NAME(__LINE__)).value()
#define KS_CHECK(...)                                     \
    do {                                                  \
        if (auto ks_result_ = (__VA_ARGS__); !ks_result_) \
            return std::move(ks_result_).take_error();    \
    } while (false)
#define KS_RESULT_NAME(line) KS_RESULT_NAME_AT(line)
#define KS_RESULT_NAME_AT(line) ks_result_##line
