// The uncounted road: a call that needs no boundary, since every argument reads without Python
// (running no Python code), and nothing on it can fail but an allocation. Its entry is not
// counted, so nothing on it may release a reference (it would be queued, not applied); the
// sanitizer build checks that.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

#include "gil.hpp"
#include "result.hpp"

namespace kestrum {

// The road's one failure: the call is declined, and the general road, inside the boundary, takes
// it on from the same bound slots, converting every argument again.
struct Declined {
    Declined() = default;
    // An error met on the road declines too: the general road meets it again and raises it.
    // (It must hold no reference, which the road could not release.)
    Declined(PyErr&& /*error*/) noexcept {}
};

// A conversion's outcome on the road: the value, or declined.
template <class T>
class [[nodiscard]] Declinable {
public:
    Declinable(T value) : value_(std::move(value)) {}
    template <class... Args>
    explicit Declinable(std::in_place_t, Args&&... args)
        : value_(std::in_place, std::forward<Args>(args)...) {}
    Declinable(Declined /*declined*/) {}
    Declinable(PyErr error) : Declinable(Declined(std::move(error))) {}

    explicit operator bool() const noexcept { return value_.has_value(); }
    T& operator*() & { return checked_value(); }
    T* operator->() { return &checked_value(); }
    // Inlined by force, as checked_value: clang keeps both out of line for the panic, and the
    // call then costs every converted argument of the uncounted road a stack frame.
    [[gnu::always_inline]] T value() && { return std::move(checked_value()); }
    Declined take_error() && { return {}; }

private:
    [[gnu::always_inline]] T& checked_value() {
        if (!value_) [[unlikely]]
            panic("a declined outcome holds no value");
        return *value_;
    }

    std::optional<T> value_;
};

// The road's view of the arguments, bound by position: only what reads without Python is read.
struct UncountedArgument {
    PyObject* object;
};

template <std::size_t N>
struct UncountedArguments {
    PyObject* const* args;
    UncountedArgument operator[](std::size_t i) const { return {args[i]}; }
};

template <class Arguments>
constexpr bool IS_UNCOUNTED = false;
template <std::size_t N>
constexpr bool IS_UNCOUNTED<UncountedArguments<N>> = true;

// What a class's `from_arguments` returns for the arguments of either road.
template <class Arguments, class T>
using Converted =
    std::conditional_t<IS_UNCOUNTED<std::remove_cvref_t<Arguments>>, Declinable<T>, PyResult<T>>;

// Marks the road while it runs; in the sanitizer build a release on it stops the process.
class UncountedRoad {
public:
#ifdef KESTRUM_CHECK_UNCOUNTED_ROAD
    UncountedRoad() noexcept { ON_UNCOUNTED_ROAD = true; }
    ~UncountedRoad() { ON_UNCOUNTED_ROAD = false; }
#else
    UncountedRoad() = default;
#endif
    UncountedRoad(const UncountedRoad&) = delete;
    UncountedRoad& operator=(const UncountedRoad&) = delete;
};

}  // namespace kestrum
