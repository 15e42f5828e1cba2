// Error kinds: the errors that other parts raise by name, and which failures must reach the
// caller.
#include "err_kinds.hpp"

#include <string>
#include <utility>

#include "err_text.hpp"
#include "text.hpp"

namespace kestrum {

bool must_reach_caller(PyObject* exception_type) {
    return !PyErr_GivenExceptionMatches(exception_type, PyExc_Exception) ||
           PyErr_GivenExceptionMatches(exception_type, PyExc_MemoryError);
}

PyErr downcast_error(PyObject* object, std::string_view target_name) {
    Owned from = Owned::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    return PyErr(ErrorBuilder([from = std::move(from), target_name]() -> std::pair<Owned, Owned> {
        std::string message = "'";
        if (PyResult<void> named = append_name(type_qualname(from.get()), message); !named) {
            if (must_reach_caller(named.error().get_type())) {
                // Raised in place of the TypeError.
                std::move(named).take_error().restore();
                return {};
            }
            message += "<failed to extract type name>";
        }
        message += "' object cannot be converted to '";
        message += target_name;
        message += '\'';
        Owned text = PyString::try_new(message);
        if (!text) return {};
        return {Owned::new_ref(PyExc_TypeError), std::move(text)};
    }));
}

PyErr nul_byte_error(std::size_t position) {
    return PyErr::new_(PyExc_ValueError,
                       "nul byte found in provided data at position: " + std::to_string(position));
}

PyErr borrow_error() {
    return PyErr::new_(PyExc_RuntimeError, "Already mutably borrowed");
}

}  // namespace kestrum
