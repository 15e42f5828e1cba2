// Errors and objects as text: the error kinds whose messages name a type, the text of an
// object for messages, printing and the debug form.
#include "err.hpp"

#include <cstdio>

#include "gil.hpp"
#include "interned_name.hpp"
#include "text.hpp"

namespace kestrum {

namespace {

void append_escaped(std::string_view text, std::string& out) {
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
}

constinit InternedName NAME("__name__");
constinit InternedName QUALNAME("__qualname__");
constinit InternedName IO("io");
constinit InternedName STRING_IO("StringIO");
constinit InternedName GETVALUE("getvalue");

PyResult<Owned> str_attribute(PyObject* object, InternedName& name) {
    Owned value = KS_TRY(steal_or_fetch(PyObject_GetAttr(object, name.get())));
    if (!PyUnicode_Check(value.get())) return downcast_error(value.get(), "PyString");
    return value;
}

}  // namespace

PyErr downcast_error(PyObject* object, std::string_view target_name) {
    Owned from = Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    return PyErr(ErrorBuilder([from = std::move(from), target_name] {
        std::string message = "'";
        bool named = false;
        if (PyResult<Owned> qualname = type_qualname(from.get())) {
            if (PyResult<std::string_view> text = to_str(qualname->get())) {
                message += *text;
                named = true;
            }
        }
        if (!named) message += "<failed to extract type name>";
        message += "' object cannot be converted to '";
        message += target_name;
        message += '\'';
        Owned text = PyString::try_new(message);
        if (!text) [[unlikely]]
            return std::pair<Owned, Owned>{};
        return std::pair{Owned::borrow(PyExc_TypeError), std::move(text)};
    }));
}

PyErr nul_byte_error(std::size_t position) {
    return PyErr::new_(PyExc_ValueError,
                       "nul byte found in provided data at position: " + std::to_string(position));
}

PyErr borrow_error() {
    return PyErr::new_(PyExc_RuntimeError, "Already mutably borrowed");
}

void PyErr::print() {
    const PyErrStateNormalized& triple = normalized();
    Py_INCREF(triple.ptype.get());
    Py_INCREF(triple.pvalue.get());
    Py_XINCREF(triple.ptraceback.get());
    PyErr_Restore(triple.ptype.get(), triple.pvalue.get(), triple.ptraceback.get());
    PyErr_PrintEx(0);
}

void PyErr::report_unraisable(PyObject* context) && {
    std::move(*this).restore();
    PyErr_WriteUnraisable(context);
}

std::string PyErr::debug() {
    GILGuard guard = GILGuard::acquire();
    const PyErrStateNormalized& triple = normalized();
    std::string out = "PyErr { type: ";
    append_debug(triple.ptype.get(), out);
    out += ", value: ";
    append_debug(triple.pvalue.get(), out);
    out += ", traceback: ";
    if (!triple.ptraceback) {
        out += "None";
    } else {
        PyResult<std::string> text = format_traceback(triple.ptraceback.get());
        out += "Some(\"";
        if (text) {
            append_escaped(*text, out);
        } else {
            std::move(text).take_error().report_unraisable(triple.ptraceback.get());
            std::string unformattable = "<unformattable ";
            append_debug(triple.ptraceback.get(), unformattable);
            unformattable += '>';
            append_escaped(unformattable, out);
        }
        out += "\")";
    }
    out += " }";
    return out;
}

void python_format(PyObject* object, PyResult<Owned> outcome, std::string& out) {
    if (outcome) {
        out += to_string_lossy(outcome->get());
        return;
    }
    std::move(outcome).take_error().report_unraisable(object);
    PyResult<Owned> name = type_name(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    if (name) {
        if (PyResult<std::string_view> text = to_str(name->get())) {
            out += "<unprintable ";
            out += *text;
            out += " object>";
            return;
        }
    }
    out += "<unprintable object>";
}

void append_display(PyObject* object, std::string& out) {
    python_format(object, steal_or_fetch(PyObject_Str(object)), out);
}

void append_debug(PyObject* object, std::string& out) {
    python_format(object, steal_or_fetch(PyObject_Repr(object)), out);
}

PyResult<std::string> format_traceback(PyObject* traceback) {
    Owned io = KS_TRY(steal_or_fetch(PyImport_Import(IO.get())));
    Owned string_io_type = KS_TRY(steal_or_fetch(PyObject_GetAttr(io.get(), STRING_IO.get())));
    Owned sink = KS_TRY(steal_or_fetch(PyObject_CallNoArgs(string_io_type.get())));
    if (PyTraceBack_Print(traceback, sink.get()) == -1) return fetch_error();
    Owned getvalue = KS_TRY(steal_or_fetch(PyObject_GetAttr(sink.get(), GETVALUE.get())));
    Owned text = KS_TRY(steal_or_fetch(PyObject_CallNoArgs(getvalue.get())));
    if (!PyUnicode_Check(text.get())) return downcast_error(text.get(), "PyString");
    return std::string(KS_TRY(to_str(text.get())));
}

PyResult<Owned> type_name(PyObject* type) {
    return str_attribute(type, NAME);
}

PyResult<Owned> type_qualname(PyObject* type) {
    return str_attribute(type, QUALNAME);
}

}  // namespace kestrum
