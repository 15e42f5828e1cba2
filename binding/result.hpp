// PyResult: the value of a fallible operation, or the PyErr it failed with.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "err_value.hpp"
#include "panic.hpp"

namespace kestrum {

template <class T>
class [[nodiscard]] PyResult {
public:
    PyResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    // Builds the value in place.
    template <class... Args>
    explicit PyResult(std::in_place_t, Args&&... args)
        : v_(std::in_place_index<0>, std::forward<Args>(args)...) {}
    PyResult(PyErr error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool is_ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return is_ok(); }

    T& operator*() & { return std::get<0>(v_); }
    T* operator->() { return &std::get<0>(v_); }
    T value() && { return std::move(std::get<0>(v_)); }
    PyErr& error() & { return std::get<1>(v_); }
    PyErr take_error() && { return std::move(std::get<1>(v_)); }

private:
    std::variant<T, PyErr> v_;
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

}  // namespace kestrum

// Evaluates a PyResult; on failure returns its error from the enclosing function,
// otherwise yields the value (the binding layer's stand-in for `?`).
#define KS_TRY(...)                                                         \
    __extension__({                                                         \
        auto ks_try_result_ = (__VA_ARGS__);                                \
        if (!ks_try_result_) return std::move(ks_try_result_).take_error(); \
        std::move(ks_try_result_).value();                                  \
    })
