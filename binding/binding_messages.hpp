// The messages of argument binding's failures, in the interpreter's own wording for Python
// functions.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <string_view>

#include "function_description.hpp"
#include "py_err.hpp"

namespace kestrum {

PyErr too_many_positional_arguments(const FunctionDescription& description, Py_ssize_t given);
PyErr multiple_values_for_argument(const FunctionDescription& description, std::string_view name);
PyErr unexpected_keyword_argument(const FunctionDescription& description, PyObject* key);
PyErr positional_only_keyword_arguments(const FunctionDescription& description,
                                        std::span<const std::string_view> names);
PyErr missing_required_positional_arguments(const FunctionDescription& description,
                                            std::span<PyObject* const> slots);
PyErr missing_required_keyword_arguments(const FunctionDescription& description,
                                         std::span<PyObject* const> keyword_slots);
PyErr missing_required_arguments(const FunctionDescription& description, std::string_view kind,
                                 std::span<const std::string_view> names);

void push_parameter_list(std::string& message, std::span<const std::string_view> names);

}  // namespace kestrum
