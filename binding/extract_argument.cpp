// Argument binding: the general binding routine and the messages of its failures.
#include "extract_argument.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace kestrum {

namespace {

[[gnu::noinline]] std::optional<std::string_view> keyword_text_slow(PyObject* key) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
        (void)PyErr::take();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// The UTF-8 text of a keyword name, or nothing when it has none (not a `str`, or one with
// lone surrogates); compact ASCII names, what call sites pass, are read in place.
inline std::optional<std::string_view> keyword_text(PyObject* key) {
    if (PyUnicode_Check(key) && PyUnicode_IS_COMPACT_ASCII(key))
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(key)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
    return keyword_text_slow(key);
}

// Parameter names are a few bytes long: a byte loop beats a call to memcmp.
inline bool same_name(std::string_view parameter, std::string_view name) {
    if (parameter.size() != name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (parameter[i] != name[i]) return false;
    }
    return true;
}

constexpr std::size_t NO_PARAMETER = static_cast<std::size_t>(-1);

// The slot of the parameter whose interned name is `key` itself.
inline std::size_t find_parameter_object(ParameterObjects names, PyObject* key) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == key) return i;
    }
    return NO_PARAMETER;
}

// The slot a keyword names: keyword-only parameters are searched first, then positional ones.
inline std::size_t find_parameter(const FunctionDescription& description, std::string_view name) {
    const std::size_t positional_count = description.positional_names.size();
    for (std::size_t j = 0; j < description.keyword_only.size(); ++j) {
        if (same_name(description.keyword_only[j].parameter_name, name))
            return positional_count + j;
    }
    for (std::size_t i = 0; i < positional_count; ++i) {
        if (same_name(description.positional_names[i], name)) return i;
    }
    return NO_PARAMETER;
}

std::string_view parameter_name(const FunctionDescription& description, std::size_t index) {
    const std::size_t positional_count = description.positional_names.size();
    return index < positional_count
               ? description.positional_names[index]
               : description.keyword_only[index - positional_count].parameter_name;
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

// The keywords of a tuple-and-dictionary call, in the dictionary's (the call's) order.
struct DictKeywords {
    PyObject* dict;  // may be null
    Py_ssize_t position = 0;
    bool next(PyObject*& key, PyObject*& value) {
        if (dict == nullptr || PyDict_Next(dict, &position, &key, &value) == 0) return false;
        if (key == nullptr || value == nullptr) panic_after_error();
        return true;
    }
};

// Binds the positional arguments, then the keywords in the call's order, then checks what
// is missing; the first failure wins. Callers name it qualified: its std::span argument would
// bring std::bind into an unqualified call, and libc++'s is the better match.
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
            positional_only_given.push_back(parameter_name(description, index));
            continue;
        }
        if (slots[index] != nullptr)
            return multiple_values_for_argument(description, parameter_name(description, index));
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

PyResult<void> extract_arguments_fastcall_general(const FunctionDescription& description,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames, std::span<PyObject*> slots,
                                                  ParameterObjectsFn names) {
    return kestrum::bind(description, args, nargs, VectorKeywords{args + nargs, kwnames}, slots,
                         names);
}

void intern_parameter_names(const FunctionDescription& description, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::string_view name = parameter_name(description, i);
        PyObject* object =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (object == nullptr) panic_after_error();
        PyUnicode_InternInPlace(&object);
        out[i] = object;
    }
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
    // Borrowed from the call's keywords, which the key's own str() may change.
    Owned held = Owned::borrow(key);
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

namespace {

// The concatenation of ASCII `parts` as one `str`, written in place. Null, with the failure
// pending, when the `str` cannot be made. The parts are copied whole, not byte by byte (what
// that saves is in bench/README.md).
Owned ascii_message(std::initializer_list<std::string_view> parts) {
    std::size_t length = 0;
    for (std::string_view part : parts) length += part.size();
    Owned message = Owned::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    if (!message) return message;
    char* out = static_cast<char*>(PyUnicode_DATA(message.get()));
    for (std::string_view part : parts) {
        std::memcpy(out, part.data(), part.size());
        out += part.size();
    }
    return message;
}

std::string_view ascii_view(PyObject* text) {
    return {static_cast<const char*>(PyUnicode_DATA(text)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
}

constexpr std::string_view ARGUMENT_OPEN = "argument '";
constexpr std::string_view ARGUMENT_CLOSE = "': ";

std::string argument_prefix(std::string_view name) {
    std::string prefix;
    prefix.append(ARGUMENT_OPEN).append(name).append(ARGUMENT_CLOSE);
    return prefix;
}

// Without an early exit the loop is a few instructions a byte (parameter names are short).
bool is_ascii(std::string_view text) {
    unsigned char seen = 0;
    for (char c : text) seen |= static_cast<unsigned char>(c);
    return seen < 0x80;
}

// The new TypeError for a bare one with message `text`; empty when `text` has no UTF-8 form
// (the general road then rewords it from its display form).
std::optional<PyErr> reword_bare_type_error(std::string_view name, bool name_is_ascii,
                                            PyObject* text) {
    if (PyUnicode_IS_COMPACT_ASCII(text) && name_is_ascii)
        return PyErr::new_with_cause(
            PyExc_TypeError, ascii_message({ARGUMENT_OPEN, name, ARGUMENT_CLOSE, ascii_view(text)}),
            std::nullopt);
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        std::string message = argument_prefix(name);
        message.append(data, static_cast<std::size_t>(size));
        return PyErr::new_with_cause(PyExc_TypeError, message, std::nullopt);
    }
    (void)PyErr::take();
    return std::nullopt;
}

}  // namespace

PyErr argument_extraction_error(std::string_view name, PyErr error) {
    // What the interpreter's own conversions raise: no instance, no cause; its message is
    // what str() of the instance would give.
    if (PyObject* message = error.bare_type_error_message()) {
        // Held: the exception's arguments may be replaced by Python code that kept it, which
        // making the new message (an allocation) may run.
        const Owned text = Owned::borrow(message);
        if (std::optional<PyErr> reworded =
                reword_bare_type_error(name, is_ascii(name), text.get()))
            return std::move(*reworded);
    }
    if (error.get_type() != PyExc_TypeError) return error;
    std::string message = argument_prefix(name);
    if (PyResult<void> shown = append_display(error.value(), message); !shown)
        return std::move(shown).take_error();
    return PyErr::new_with_cause(PyExc_TypeError, message, error.cause());
}

std::pair<Owned, Owned> argument_error_arguments(PyObject* exception_type, std::string_view name,
                                                 std::string_view text) {
    std::string message = argument_prefix(name);
    message += text;
    Owned argument = PyString::try_new(message);
    if (!argument) return {};
    return {Owned::borrow(exception_type), std::move(argument)};
}

namespace {

// The interpreter's float conversion refuses a type with neither `__float__` nor `__index__`
// without running any code of the object, in these words (type names cut at 50 bytes), copied
// from CPython 3.11 and the same through 3.15.
constexpr std::string_view NOT_A_REAL_NUMBER = "must be real number, not ";
constexpr std::size_t TYPE_NAME_LIMIT = 50;

}  // namespace

// The interpreter would format and raise its exception (from 3.12 an instance) only for kestrum
// to take it back and reword it; this builds the reworded one directly (what that saves is in
// bench/README.md). A long or non-ASCII type name is left to the interpreter, whose text is then
// reworded.
std::optional<PyErr> refuse_as_real_number(PyObject* object, ParameterName name) {
    if (PyLong_CheckExact(object) || PyFloat_Check(object)) return std::nullopt;
    const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr))
        return std::nullopt;
    const char* type_name = Py_TYPE(object)->tp_name;
    const std::string_view shown(type_name, strnlen(type_name, TYPE_NAME_LIMIT + 1));
    if (shown.size() > TYPE_NAME_LIMIT || !name.ascii || !is_ascii(shown)) return std::nullopt;
    return PyErr::new_with_cause(
        PyExc_TypeError,
        ascii_message({ARGUMENT_OPEN, name.text, ARGUMENT_CLOSE, NOT_A_REAL_NUMBER, shown}),
        std::nullopt);
}

}  // namespace kestrum
