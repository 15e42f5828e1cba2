// The adapters that make a class's methods and properties: the receiver's value in, a Python
// object out, outside the call boundary where nothing can fail, inside it otherwise.
#pragma once

#include <Python.h>

#include <source_location>
#include <type_traits>
#include <utility>

#include "borrow.hpp"
#include "trampoline.hpp"
#include "uncounted_road.hpp"

namespace kestrum {

PyObject* fail_after_error(std::source_location where = std::source_location::current());

// What computes the result of a method or getter from the receiver's value: either a new
// reference or null with the failure pending (which then counts as a native failure), or a
// PyResult for results that can fail as Python errors.
template <class T, auto F>
constexpr bool RETURNS_REFERENCE = std::is_same_v<decltype(F(std::declval<const T&>())), PyObject*>;

// The general road of a method or getter: the receiver borrowed inside the boundary.
template <class T, auto F>
[[gnu::noinline]] PyObject* compute_in_boundary(PyObject* self);

// The body of a method or getter. For a frozen class whose result is a new reference, the
// uncounted road computes it outside the boundary: nothing on it borrows or releases a
// reference, and the descriptor that called it has checked the receiver's type. A failure takes
// the boundary.
template <class T, auto F>
[[gnu::always_inline]] inline PyObject* compute_from_receiver(PyObject* self) {
    if constexpr (!COUNTS_BORROWS<T> && RETURNS_REFERENCE<T, F>) {
        if (no_release_waiting()) {
            PyObject* result;
            {
                [[maybe_unused]] UncountedRoad road;
                result = F(PyClassObject<T>::contents_of(self));
            }
            if (result != nullptr) return result;
            return fail_after_error();
        }
    }
    return compute_in_boundary<T, F>(self);
}

// Kept out of line so that the uncounted road needs no stack frame.
template <class T, auto F>
PyObject* compute_in_boundary(PyObject* self) {
    return trampoline([self]() -> PyResult<Owned> {
        KS_TRY(PyRef<T> receiver, PyRef<T>::borrow(self));
        if constexpr (RETURNS_REFERENCE<T, F>) {
            Owned result = Owned::steal(F(*receiver));
            if (!result) panic_after_error();
            return result;
        } else {
            return F(*receiver);
        }
    });
}

// A METH_NOARGS method.
template <class T, auto F>
PyObject* method_noargs(PyObject* self, PyObject* /*unused*/) {
    return compute_from_receiver<T, F>(self);
}

// A property getter.
template <class T, auto F>
PyObject* getter_of(PyObject* self, void* /*closure*/) {
    return compute_from_receiver<T, F>(self);
}

// A property setter; deleting the property is refused.
template <PyResult<void> (*Store)(PyObject* self, PyObject* value)>
int setter_of(PyObject* self, PyObject* value, void* /*closure*/) {
    return trampoline_int([=]() -> PyResult<void> {
        if (value == nullptr) return PyErr::new_(PyExc_AttributeError, "can't delete attribute");
        return Store(self, value);
    });
}

}  // namespace kestrum
