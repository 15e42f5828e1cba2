// Errors about one argument: a conversion's failure named for its parameter, and an error that
// the classes raise about an argument.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

#include "py_err.hpp"

namespace kestrum {

// Names the parameter in an exact TypeError from its conversion; others pass unchanged.
PyErr argument_extraction_error(std::string_view name, PyErr error);

// The TypeError that argument_extraction_error makes of a bare one whose ASCII message is
// `text_start` + `text_end`, made at once (`name` is ASCII).
PyErr argument_type_error(std::string_view name, std::string_view text_start,
                          std::string_view text_end);
// The exception of an error about one argument, in the same form: "argument '<name>': " + text.
std::pair<Owned, Owned> argument_error_arguments(PyObject* exception_type, std::string_view name,
                                                 std::string_view text);
// That error, worded only when it is raised, from what `text()` gives. The uncounted road makes
// and drops it outside the boundary, where a failed allocation would have nowhere to go.
template <class Text>
PyErr argument_error(PyObject* exception_type, std::string_view name, Text text) {
    return PyErr(ErrorBuilder([exception_type, name, text] {
        return argument_error_arguments(exception_type, name, text());
    }));
}

}  // namespace kestrum
