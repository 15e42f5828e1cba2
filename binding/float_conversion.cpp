// The float conversion's refusal of what is no number.
#include "float_conversion.hpp"

#include <cstring>
#include <optional>
#include <string_view>

#include "text.hpp"

namespace kestrum {

namespace {

// The interpreter's float conversion refuses a type with neither `__float__` nor `__index__`
// without running any code of the object, in these words (type names cut at 50 bytes), copied
// from CPython 3.11 and the same through 3.15.
constexpr std::string_view NOT_A_REAL_NUMBER = "must be real number, not ";
constexpr std::size_t TYPE_NAME_LIMIT = 50;

// The type's name as the refusal shows it; empty when it is long or not ASCII, and the
// interpreter, whose words could then differ, is left to refuse.
std::optional<std::string_view> shown_type_name(PyObject* object) {
    const char* type_name = Py_TYPE(object)->tp_name;
    const std::string_view shown(type_name, strnlen(type_name, TYPE_NAME_LIMIT + 1));
    if (shown.size() > TYPE_NAME_LIMIT || !is_ascii(shown)) return std::nullopt;
    return shown;
}

// The interpreter's own conversion, for what the refusal leaves to it.
PyResult<void> convert_by_interpreter(PyObject* object, float& out) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        if (auto error = PyErr::take()) return std::move(*error);
    }
    out = narrow_to_single(value);
    return {};
}

}  // namespace

// The refusal, made as the interpreter's C code makes it before 3.12 (a type and a message, no
// instance) rather than raised by it and taken back (what that saves is in bench/README.md).
PyResult<void> FromPyObject<float>::extract_bound(PyObject* object, float& out) {
    const std::optional<std::string_view> shown = shown_type_name(object);
    if (!shown) return convert_by_interpreter(object, out);
    Owned message = PyString::from_ascii({NOT_A_REAL_NUMBER, *shown});
    if (!message) return fetch_error();
    return PyErr(PyErrStateFetched{Owned::new_ref(PyExc_TypeError), std::move(message), Owned()});
}

PyResult<void> FromPyObject<float>::extract_bound(PyObject* object, float& out,
                                                  std::string_view name) {
    if (const std::optional<std::string_view> shown = shown_type_name(object);
        shown && is_ascii(name))
        return argument_type_error(name, NOT_A_REAL_NUMBER, *shown);
    return named(extract_bound(object, out), name);
}

}  // namespace kestrum
