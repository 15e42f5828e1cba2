// Errors about one argument: the parameter's name put in front of the message.
#include "argument_error.hpp"

#include <optional>
#include <string>

#include "err_text.hpp"
#include "text.hpp"

namespace kestrum {

namespace {

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

// The new TypeError for a bare one with message `text`; empty when `text` has no UTF-8 form
// (the general road then rewords it from its display form).
std::optional<PyErr> reword_bare_type_error(std::string_view name, bool name_is_ascii,
                                            PyObject* text) {
    if (PyUnicode_IS_COMPACT_ASCII(text) && name_is_ascii)
        return PyErr::new_with_cause(
            PyExc_TypeError,
            PyString::from_ascii({ARGUMENT_OPEN, name, ARGUMENT_CLOSE, ascii_view(text)}),
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
        const Owned text = Owned::new_ref(message);
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

PyErr argument_type_error(std::string_view name, std::string_view text_start,
                          std::string_view text_end) {
    Owned message =
        PyString::from_ascii({ARGUMENT_OPEN, name, ARGUMENT_CLOSE, text_start, text_end});
    if (!message) return fetch_error();
    return PyErr::new_with_cause(PyExc_TypeError, std::move(message), std::nullopt);
}

std::pair<Owned, Owned> argument_error_arguments(PyObject* exception_type, std::string_view name,
                                                 std::string_view text) {
    std::string message = argument_prefix(name);
    message += text;
    Owned argument = PyString::try_new(message);
    if (!argument) return {};
    return {Owned::new_ref(exception_type), std::move(argument)};
}

}  // namespace kestrum
