// Shared borrows of an instance's value: the counter's rules and the view that holds one.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

#include "err_kinds.hpp"
#include "instance.hpp"
#include "result.hpp"

namespace kestrum {

// The counter is shared by every thread that reaches the instance: without the GIL each change
// is an atomic read-modify-write (relaxed: the counter orders nothing but itself). Only classes
// that count borrows pay for it.
inline bool try_borrow_shared(Py_ssize_t& flag) {
    std::atomic_ref<Py_ssize_t> counter(flag);
    Py_ssize_t seen = counter.load(std::memory_order_relaxed);
    do {
        if (seen == BORROW_FLAG_EXCLUSIVE) return false;
    } while (!counter.compare_exchange_weak(seen, seen + 1, std::memory_order_relaxed));
    return true;
}

inline void release_borrow_shared(Py_ssize_t& flag) {
    std::atomic_ref<Py_ssize_t>(flag).fetch_sub(1, std::memory_order_relaxed);
}

// Frozen is the default: a class whose value no method borrows exclusively (every class of the
// module) has nothing that could conflict with a shared borrow, so its borrows are not counted.
// A class with such a method declares `static constexpr bool FROZEN = false;` and counts them.
template <class T>
constexpr bool COUNTS_BORROWS = requires { requires !T::FROZEN; };

// A shared view of an instance: a shared borrow, released when the view ends. The
// receiver is the caller's argument, which the interpreter keeps alive for the whole
// call, so the view needs no reference of its own.
template <class T>
class PyRef {
public:
    // The receiver is type-checked by the interpreter's method or property descriptor that
    // every call of a method or getter comes through.
    static PyResult<PyRef> borrow(PyObject* object) {
        auto* record = reinterpret_cast<PyClassObject<T>*>(object);
        if constexpr (COUNTS_BORROWS<T>) {
            if (!try_borrow_shared(record->borrow_flag)) return borrow_error();
        }
        return PyRef(record);
    }

    PyRef(PyRef&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef& operator=(PyRef&&) = delete;
    ~PyRef() {
        if constexpr (COUNTS_BORROWS<T>) {
            if (record_ != nullptr) release_borrow_shared(record_->borrow_flag);
        }
    }

    const T& operator*() const { return record_->contents; }
    const T* operator->() const { return &record_->contents; }

private:
    explicit PyRef(PyClassObject<T>* record) : record_(record) {}
    PyClassObject<T>* record_;
};
}  // namespace kestrum
