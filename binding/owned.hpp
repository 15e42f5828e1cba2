// The one owning handle for a strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

#include "gil.hpp"

namespace kestrum {

// Owns exactly one strong reference. Borrowed pointers stay plain `PyObject*`.
// The release goes through `register_decref`, so a handle may safely die on a
// thread that does not hold the GIL.
class Owned {
public:
    Owned() noexcept = default;
    Owned(Owned&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        Owned old(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (ptr_ != nullptr) register_decref(ptr_);
    }

    // Takes over a new reference (which may be null).
    static Owned steal(PyObject* object) noexcept { return Owned(object); }
    // Takes a new reference to a borrowed object (which may be null).
    static Owned new_ref(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Owned(object);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference over to the caller (usually the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Releases the reference now, in line, where the thread holds the lock: a loop's item, whose
    // release through the pool's check would cost it a call. Not noexcept: a finaliser it runs
    // may be where the interpreter ends the thread at exit, by unwinding that must pass.
    void clear() { Py_XDECREF(std::exchange(ptr_, nullptr)); }

private:
    explicit Owned(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace kestrum
