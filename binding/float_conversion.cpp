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

// That refusal, made as the interpreter's C code makes it before 3.12 (a type and a message, no
// instance) rather than raised by it and taken back (what that saves is in bench/README.md).
// For a type with neither; a long or non-ASCII type name is left to the interpreter, whose words
// could then differ.
std::optional<PyErr> refuse_as_real_number(PyObject* object) {
    const char* type_name = Py_TYPE(object)->tp_name;
    const std::string_view shown(type_name, strnlen(type_name, TYPE_NAME_LIMIT + 1));
    if (shown.size() > TYPE_NAME_LIMIT || !is_ascii(shown)) return std::nullopt;
    Owned message = PyString::from_ascii({NOT_A_REAL_NUMBER, shown});
    if (!message) return fetch_error();
    return PyErr(PyErrStateFetched{Owned::new_ref(PyExc_TypeError), std::move(message), Owned()});
}

}  // namespace

PyResult<void> FromPyObject<float>::extract_bound(PyObject* object, float& out) {
    if (std::optional<PyErr> refused = refuse_as_real_number(object)) return std::move(*refused);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        if (auto error = PyErr::take()) return std::move(*error);
    }
    out = narrow_to_single(value);
    return {};
}

}  // namespace kestrum
