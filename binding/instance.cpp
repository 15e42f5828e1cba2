// Releasing an instance inside the boundary.
#include "instance.hpp"

#include "panic.hpp"
#include "trampoline.hpp"

namespace kestrum {

void dealloc_in_boundary(PyObject* self, void (*destroy)(PyObject* self)) {
    trampoline_unraisable([self, destroy] {
        if (Py_TYPE(self)->tp_free == nullptr) panic("PyBaseObject_Type should have tp_free");
        destroy(self);
    });
}

}  // namespace kestrum
