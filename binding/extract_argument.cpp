// Argument binding: the general binding routine, for both keyword sources.
#include "extract_argument.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "binding_messages.hpp"
#include "text.hpp"

namespace kestrum {

namespace {

// The UTF-8 text of a keyword name, or nothing when it has none (not a `str`, or one with
// lone surrogates).
std::optional<std::string_view> keyword_text(PyObject* key) {
    if (!PyUnicode_Check(key)) return std::nullopt;
    if (std::optional<std::string_view> text = to_str(key)) return text;
    (void)PyErr::take();
    return std::nullopt;
}

// The slot a keyword names: keyword-only parameters are searched first, then positional ones.
inline std::size_t find_parameter(const FunctionDescription& description, std::string_view name) {
    const std::size_t positional_count = description.positional_names.size();
    for (std::size_t j = 0; j < description.keyword_only.size(); ++j) {
        if (description.keyword_only[j].parameter_name == name) return positional_count + j;
    }
    for (std::size_t i = 0; i < positional_count; ++i) {
        if (description.positional_names[i] == name) return i;
    }
    return NO_PARAMETER;
}

// The keywords of a vector call: names in a tuple, values after the positional arguments.
struct VectorKeywords {
    PyObject* const* values;
    PyObject* names;  // may be null
    Py_ssize_t index = 0;
    bool next(PyObject*& key, PyObject*& value) {
        if (names == nullptr || index >= PyTuple_GET_SIZE(names)) return false;
        key = PyTuple_GET_ITEM(names, index);
        value = values[index++];
        return true;
    }
};

// The keywords of a tuple-and-dictionary call, in the dictionary's (the call's) order. Guarded by
// the dictionary's lock, which the caller holds for as long as the binder reads it.
struct DictKeywords {
    PyObject* dict;  // may be null
    Py_ssize_t position = 0;
    bool next(PyObject*& key, PyObject*& value) {
        if (dict == nullptr || PyDict_Next(dict, &position, &key, &value) == 0) return false;
        if (key == nullptr || value == nullptr) panic_after_error();
        return true;
    }
};

// Binds the positional arguments, then the keywords in the call's order (by identity, then by
// text), then checks what is missing; the first failure wins. Callers name it qualified: its
// std::span argument would bring std::bind into an unqualified call, and libc++'s is the better
// match.
template <class Keywords>
PyResult<void> bind(const FunctionDescription& description, PyObject* const* positional,
                    Py_ssize_t nargs, Keywords keywords, std::span<PyObject*> slots,
                    ParameterObjectsFn names_fn) {
    const std::size_t positional_count = description.positional_names.size();
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, positional_count); ++i) slots[i] = positional[i];
    if (given > positional_count) return too_many_positional_arguments(description, nargs);

    std::vector<std::string_view> positional_only_given;
    ParameterObjects names;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (keywords.next(key, value)) {
        if (names.empty()) names = names_fn();
        std::size_t index = find_parameter_object(names, key);
        if (index == NO_PARAMETER) {
            const std::optional<std::string_view> name = keyword_text(key);
            if (!name) return unexpected_keyword_argument(description, key);
            index = find_parameter(description, *name);
            if (index == NO_PARAMETER) return unexpected_keyword_argument(description, key);
        }
        if (index < description.positional_only_count) {
            positional_only_given.push_back(description.parameter_name(index));
            continue;
        }
        if (slots[index] != nullptr)
            return multiple_values_for_argument(description, description.parameter_name(index));
        slots[index] = value;
    }

    if (!positional_only_given.empty())
        return positional_only_keyword_arguments(description, positional_only_given);
    for (std::size_t i = given; i < description.required_positional_count; ++i) {
        if (slots[i] == nullptr) return missing_required_positional_arguments(description, slots);
    }
    for (std::size_t j = 0; j < description.keyword_only.size(); ++j) {
        if (description.keyword_only[j].is_required && slots[positional_count + j] == nullptr)
            return missing_required_keyword_arguments(description, slots.subspan(positional_count));
    }
    return {};
}

}  // namespace

PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                            PyObject* kwargs, std::span<PyObject*> slots,
                                            ParameterObjectsFn names) {
    if (args == nullptr) panic_after_error();
    return kestrum::bind(description, reinterpret_cast<PyTupleObject*>(args)->ob_item,
                         PyTuple_GET_SIZE(args), DictKeywords{kwargs}, slots, names);
}

PyResult<void> extract_arguments_fastcall(const FunctionDescription& description,
                                          PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames, std::span<PyObject*> slots,
                                          ParameterObjectsFn names) {
    return kestrum::bind(description, args, nargs, VectorKeywords{args + nargs, kwnames}, slots,
                         names);
}

void intern_parameter_names(const FunctionDescription& description, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::string_view name = description.parameter_name(i);
        PyObject* object =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (object == nullptr) panic_after_error();
        PyUnicode_InternInPlace(&object);
        out[i] = object;
    }
}

}  // namespace kestrum
