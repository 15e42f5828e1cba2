// Errors and the text of their messages: the error kinds that other parts raise, and the text
// of an object, a traceback or a type's name.
#include "err.hpp"

#include "interned_name.hpp"
#include "text.hpp"

namespace kestrum {

namespace {

constinit InternedName NAME("__name__");
constinit InternedName QUALNAME("__qualname__");
constinit InternedName IO("io");
constinit InternedName STRING_IO("StringIO");
constinit InternedName GETVALUE("getvalue");

PyResult<Owned> str_attribute(PyObject* object, InternedName& name) {
    KS_TRY(Owned value, steal_or_fetch(PyObject_GetAttr(object, name.get())));
    if (!PyUnicode_Check(value.get())) return downcast_error(value.get(), "PyString");
    return value;
}

// Appends a type name as read by type_name or type_qualname.
PyResult<void> append_name(PyResult<Owned> read, std::string& out) {
    KS_TRY(Owned name, std::move(read));
    KS_TRY(const std::string_view text, to_str(name.get()));
    out += text;
    return {};
}

}  // namespace

bool must_reach_caller(PyObject* exception_type) {
    return !PyErr_GivenExceptionMatches(exception_type, PyExc_Exception) ||
           PyErr_GivenExceptionMatches(exception_type, PyExc_MemoryError);
}

PyErr downcast_error(PyObject* object, std::string_view target_name) {
    Owned from = Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
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
        return {Owned::borrow(PyExc_TypeError), std::move(text)};
    }));
}

PyErr nul_byte_error(std::size_t position) {
    return PyErr::new_(PyExc_ValueError,
                       "nul byte found in provided data at position: " + std::to_string(position));
}

PyErr borrow_error() {
    return PyErr::new_(PyExc_RuntimeError, "Already mutably borrowed");
}

PyResult<void> python_format(PyObject* object, PyResult<Owned> outcome, std::string& out) {
    if (outcome) {
        out += to_string_lossy(outcome->get());
        return {};
    }
    if (must_reach_caller(outcome.error().get_type())) return std::move(outcome).take_error();
    std::move(outcome).take_error().report_unraisable(object);
    std::string shown = "<unprintable ";
    PyResult<void> named =
        append_name(type_name(reinterpret_cast<PyObject*>(Py_TYPE(object))), shown);
    if (named) {
        out += shown;
        out += " object>";
        return {};
    }
    if (must_reach_caller(named.error().get_type())) return std::move(named).take_error();
    out += "<unprintable object>";
    return {};
}

PyResult<void> append_display(PyObject* object, std::string& out) {
    return python_format(object, steal_or_fetch(PyObject_Str(object)), out);
}

PyResult<void> append_debug(PyObject* object, std::string& out) {
    return python_format(object, steal_or_fetch(PyObject_Repr(object)), out);
}

PyResult<std::string> format_traceback(PyObject* traceback) {
    KS_TRY(Owned io, steal_or_fetch(PyImport_Import(IO.get())));
    KS_TRY(Owned string_io_type, steal_or_fetch(PyObject_GetAttr(io.get(), STRING_IO.get())));
    KS_TRY(Owned sink, steal_or_fetch(PyObject_CallNoArgs(string_io_type.get())));
    if (PyTraceBack_Print(traceback, sink.get()) == -1) return fetch_error();
    KS_TRY(Owned getvalue, steal_or_fetch(PyObject_GetAttr(sink.get(), GETVALUE.get())));
    KS_TRY(Owned text, steal_or_fetch(PyObject_CallNoArgs(getvalue.get())));
    if (!PyUnicode_Check(text.get())) return downcast_error(text.get(), "PyString");
    KS_TRY(const std::string_view printed, to_str(text.get()));
    return std::string(printed);
}

PyResult<Owned> type_name(PyObject* type) {
    return str_attribute(type, NAME);
}

PyResult<Owned> type_qualname(PyObject* type) {
    return str_attribute(type, QUALNAME);
}

}  // namespace kestrum
