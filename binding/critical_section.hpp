// A guard on an object's own lock (a list's, a dict's): without the GIL another thread may change
// the object at any moment.
#pragma once

#include <Python.h>

#include "thread_end.hpp"

namespace kestrum {

// Holds `object`'s lock from construction to destruction, so that a native failure or any C++
// exception unwinding through it leaves the lock as it found it. A null object is not locked.
// With the GIL, which already keeps an object still while C code reads it, the guard is empty.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* object) noexcept : locked_(object != nullptr) {
        if (locked_) PyCriticalSection_Begin(&section_, object);
    }
    // At exit the interpreter may end this thread inside the section (waiting in Python code
    // run from it), unwinding with no thread state: the section is then the interpreter's to
    // forget, and touching it would touch the state that is gone.
    ~CriticalSection() {
        if (locked_ && !thread_is_ending()) PyCriticalSection_End(&section_);
    }
#else
    explicit CriticalSection(PyObject* /*object*/) noexcept {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

#ifdef Py_GIL_DISABLED
private:
    PyCriticalSection section_;
    bool locked_;
#endif
};

}  // namespace kestrum
