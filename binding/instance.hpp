// A class's instances: the instance record, allocation, storing the value, and deallocation.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

namespace kestrum {

constexpr Py_ssize_t BORROW_FLAG_UNUSED = 0;
constexpr Py_ssize_t BORROW_FLAG_EXCLUSIVE = -1;

// A new instance of `subtype` through its own allocator, or null with its MemoryError pending.
inline PyObject* allocate_instance(PyTypeObject* subtype) {
    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    return alloc(subtype, 0);
}

// Releases an instance with `destroy` inside the boundary, which reports a failure as
// unraisable. One for every class, out of line, so that the trivial release of tp_dealloc
// needs no stack frame.
void dealloc_in_boundary(PyObject* self, void (*destroy)(PyObject* self));

// The instance record: object header, the class's value, the borrow counter; and what is done
// with one.
template <class T>
struct PyClassObject {
    PyObject_HEAD T contents;
    // The count of shared borrows of `contents`. Guarded by atomic access alone: every thread
    // that reaches the instance changes it by an atomic read-modify-write (borrow.hpp), and a
    // frozen class never touches it after `place`.
    Py_ssize_t borrow_flag;

    static T& contents_of(PyObject* self) {
        return reinterpret_cast<PyClassObject*>(self)->contents;
    }

    // Stores the value in a freshly allocated instance.
    static void place(PyObject* instance, T&& value) {
        auto* record = reinterpret_cast<PyClassObject*>(instance);
        ::new (static_cast<void*>(&record->contents)) T(std::move(value));
        record->borrow_flag = BORROW_FLAG_UNUSED;
    }

    // A value that owns nothing, or only memory (declared by `OWNS_ONLY_MEMORY`), is
    // released without the boundary.
    static constexpr bool RELEASE_NEEDS_NO_BOUNDARY =
        std::is_trivially_destructible_v<T> || requires { requires T::OWNS_ONLY_MEMORY; };
    static_assert(!RELEASE_NEEDS_NO_BOUNDARY || std::is_nothrow_destructible_v<T>);

    static void tp_dealloc(PyObject* self) {
        if constexpr (RELEASE_NEEDS_NO_BOUNDARY) {
            // Such a release can neither fail nor run Python code, so the boundary would
            // only count the entry.
            if (Py_TYPE(self)->tp_free != nullptr) {
                destroy(self);
                return;
            }
        }
        dealloc_in_boundary(self, destroy);
    }

    static void destroy(PyObject* self) {
        contents_of(self).~T();
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        // Allocation took a reference to the (heap) type for every instance.
        Py_DECREF(type);
    }
};

}  // namespace kestrum
