// The messages of argument binding's failures.
#include "binding_messages.hpp"

#include <string>
#include <vector>

#include "err_text.hpp"

namespace kestrum {

namespace {

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

}  // namespace

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
    // Borrowed from the call's keywords, which the key's own str() may change.
    Owned held = Owned::new_ref(key);
    std::string message = display_name(description);
    message += " got an unexpected keyword argument '";
    if (PyResult<void> shown = append_display(key, message); !shown)
        return std::move(shown).take_error();
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

}  // namespace kestrum
