// InternedName: an attribute name made once as an interned `str` and reused.
#pragma once

#include <Python.h>

#include "once_cell.hpp"
#include "owned.hpp"
#include "panic.hpp"

namespace kestrum {

class InternedName {
public:
    explicit constexpr InternedName(const char* text) : text_(text) {}
    PyObject* get() {
        return cell_
            .get_or_init([this] {
                PyObject* name = PyUnicode_InternFromString(text_);
                if (name == nullptr) panic_after_error();
                return Owned::steal(name);
            })
            .get();
    }

private:
    const char* text_;
    GILOnceCell<Owned> cell_;
};

}  // namespace kestrum
