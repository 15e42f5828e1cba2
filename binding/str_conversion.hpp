// The str conversion: the UTF-8 bytes of a `str` argument, viewed where they are (the argument
// outlives the call).
#pragma once

#include <Python.h>

#include <string_view>

#include "conversion.hpp"

namespace kestrum {

struct StrBytes {
    std::string_view text;
    bool ascii = false;  // known to be ASCII
};

template <>
struct FromPyObject<StrBytes> {
    // A compact ASCII `str`, what paths usually are, is read in place.
    static bool read(PyObject* object, StrBytes& out) {
        if (!PyUnicode_Check(object) || !PyUnicode_IS_COMPACT_ASCII(object)) return false;
        out = {std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))),
               true};
        return true;
    }
    // Any `str`, subclasses included, through its UTF-8 form.
    static PyResult<void> extract_bound(PyObject* object, StrBytes& out);
};

}  // namespace kestrum
