// Argument binding: the general binding routine and the messages of its failures.
#include "extract_argument.hpp"

#include <optional>
#include <string>
#include <vector>

namespace kestrum {

namespace {

// The UTF-8 text of a keyword name, or nothing when it has none (not a `str`, or one with
// lone surrogates); compact ASCII names are read in place.
std::optional<std::string_view> keyword_text(PyObject* key) {
    if (PyUnicode_Check(key) && PyUnicode_IS_COMPACT_ASCII(key))
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(key)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
        (void)PyErr::take();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::string display_name(const FunctionDescription& description) {
    std::string name;
    if (description.class_name != nullptr) {
        name += description.class_name;
        name += '.';
    }
    name += description.function_name;
    name += "()";
    return name;
}

PyErr type_error(std::string message) {
    return PyErr::new_(PyExc_TypeError, std::move(message));
}

// Binds the positional arguments, then the keywords that `for_each_keyword` hands over
// as (key, value) pairs in the call's order, then checks what is missing.
template <class ForEachKeyword>
PyResult<void> bind(const FunctionDescription& description, PyObject* const* positional,
                    Py_ssize_t nargs, ForEachKeyword&& for_each_keyword,
                    std::span<PyObject*> slots) {
    const std::size_t positional_count = description.positional_names.size();
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, positional_count); ++i) slots[i] = positional[i];
    if (given > positional_count) return too_many_positional_arguments(description, nargs);

    std::vector<std::string_view> positional_only_given;
    auto bind_keyword = [&](PyObject* key, PyObject* value) -> PyResult<void> {
        std::optional<std::string_view> name = keyword_text(key);
        if (!name) return unexpected_keyword_argument(description, key);
        for (std::size_t j = 0; j < description.keyword_only.size(); ++j) {
            if (description.keyword_only[j].parameter_name != *name) continue;
            PyObject*& slot = slots[positional_count + j];
            if (slot != nullptr) return multiple_values_for_argument(description, *name);
            slot = value;
            return {};
        }
        for (std::size_t i = 0; i < positional_count; ++i) {
            if (description.positional_names[i] != *name) continue;
            if (i < description.positional_only_count) {
                positional_only_given.push_back(*name);
                return {};
            }
            if (slots[i] != nullptr) return multiple_values_for_argument(description, *name);
            slots[i] = value;
            return {};
        }
        return unexpected_keyword_argument(description, key);
    };
    KS_TRY(for_each_keyword(bind_keyword));

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
                                            PyObject* kwargs, std::span<PyObject*> slots) {
    if (args == nullptr) panic_after_error();
    auto dict_keywords = [kwargs](auto&& bind_keyword) -> PyResult<void> {
        if (kwargs == nullptr) return {};
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (key == nullptr || value == nullptr) panic_after_error();
            KS_TRY(bind_keyword(key, value));
        }
        return {};
    };
    return bind(description, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), dict_keywords,
                slots);
}

PyResult<void> extract_arguments_fastcall_general(const FunctionDescription& description,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames, std::span<PyObject*> slots) {
    auto vector_keywords = [args, nargs, kwnames](auto&& bind_keyword) -> PyResult<void> {
        if (kwnames == nullptr) return {};
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k)
            KS_TRY(bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
        return {};
    };
    return bind(description, args, nargs, vector_keywords, slots);
}

// ---- messages ----------------------------------------------------------------------

PyErr too_many_positional_arguments(const FunctionDescription& description, Py_ssize_t given) {
    const std::size_t positional_count = description.positional_names.size();
    std::string message = display_name(description);
    if (description.required_positional_count == positional_count) {
        message += " takes " + std::to_string(positional_count);
    } else {
        message += " takes from " + std::to_string(description.required_positional_count) + " to " +
                   std::to_string(positional_count);
    }
    message += " positional arguments but " + std::to_string(given);
    message += given == 1 ? " was given" : " were given";
    return type_error(std::move(message));
}

PyErr multiple_values_for_argument(const FunctionDescription& description, std::string_view name) {
    std::string message = display_name(description);
    message += " got multiple values for argument '";
    message += name;
    message += '\'';
    return type_error(std::move(message));
}

PyErr unexpected_keyword_argument(const FunctionDescription& description, PyObject* key) {
    std::string message = display_name(description);
    message += " got an unexpected keyword argument '";
    append_display(key, message);
    message += '\'';
    return type_error(std::move(message));
}

PyErr positional_only_keyword_arguments(const FunctionDescription& description,
                                        std::span<const std::string_view> names) {
    std::string message = display_name(description);
    message += " got some positional-only arguments passed as keyword arguments: ";
    push_parameter_list(message, names);
    return type_error(std::move(message));
}

PyErr missing_required_positional_arguments(const FunctionDescription& description,
                                            std::span<PyObject* const> slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < description.required_positional_count; ++i) {
        if (slots[i] == nullptr) missing.push_back(description.positional_names[i]);
    }
    return missing_required_arguments(description, "positional", missing);
}

PyErr missing_required_keyword_arguments(const FunctionDescription& description,
                                         std::span<PyObject* const> keyword_slots) {
    std::vector<std::string_view> missing;
    for (std::size_t j = 0; j < description.keyword_only.size(); ++j) {
        if (description.keyword_only[j].is_required && keyword_slots[j] == nullptr)
            missing.push_back(description.keyword_only[j].parameter_name);
    }
    return missing_required_arguments(description, "keyword", missing);
}

PyErr missing_required_arguments(const FunctionDescription& description, std::string_view kind,
                                 std::span<const std::string_view> names) {
    std::string message = display_name(description);
    message += " missing " + std::to_string(names.size()) + " required ";
    message += kind;
    message += names.size() == 1 ? " argument: " : " arguments: ";
    push_parameter_list(message, names);
    return type_error(std::move(message));
}

void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) message += ',';
            message += i + 1 == names.size() ? " and " : " ";
        }
        message += '\'';
        message += names[i];
        message += '\'';
    }
}

PyErr argument_extraction_error(std::string_view name, PyErr error) {
    std::string message = "argument '";
    message += name;
    message += "': ";
    // What the interpreter's own conversions raise: no instance, no cause; its message is
    // what str() of the instance would give.
    if (PyObject* text = error.plain_type_error_text()) {
        message += to_string_lossy(text);
        return PyErr::new_with_cause(PyExc_TypeError, message, std::nullopt);
    }
    if (error.get_type() != PyExc_TypeError) return error;
    append_display(error.value(), message);
    return PyErr::new_with_cause(PyExc_TypeError, message, error.cause());
}

}  // namespace kestrum
