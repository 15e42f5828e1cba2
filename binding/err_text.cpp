// Error texts: the text of an object, an error value, a traceback or a type's name, for messages.
#include "err_text.hpp"

#include <cstdio>
#include <optional>

#include "err_kinds.hpp"
#include "gil.hpp"
#include "interned_name.hpp"
#include "text.hpp"

namespace kestrum {

namespace {

// Each a once-cell, filled by compare-and-swap on first use from any thread.
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

}  // namespace

PyResult<void> append_name(PyResult<Owned> read, std::string& out) {
    KS_TRY(Owned name, std::move(read));
    const std::optional<std::string_view> text = to_str(name.get());
    if (!text) return fetch_error();
    out += *text;
    return {};
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
    const std::optional<std::string_view> printed = to_str(text.get());
    if (!printed) return fetch_error();
    return std::string(*printed);
}

PyResult<Owned> type_name(PyObject* type) {
    return str_attribute(type, NAME);
}

PyResult<Owned> type_qualname(PyObject* type) {
    return str_attribute(type, QUALNAME);
}

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

// The debug form goes only into the message of a native failure, which reaches the caller as
// a PanicException (not an Exception) anyway: a failure to write it, whatever it is, is
// reported and shown as a fallback text.
void append_debug_reported(PyObject* object, std::string& out) {
    if (PyResult<void> shown = append_debug(object, out); !shown) {
        std::move(shown).take_error().report_unraisable(object);
        out += "<unprintable object>";
    }
}

}  // namespace

std::string debug_text(PyErr error) {
    GILGuard guard = GILGuard::acquire();
    const PyErrStateNormalized& triple = error.normalized();
    std::string out = "PyErr { type: ";
    append_debug_reported(triple.ptype.get(), out);
    out += ", value: ";
    append_debug_reported(triple.pvalue.get(), out);
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
            append_debug_reported(triple.ptraceback.get(), unformattable);
            unformattable += '>';
            append_escaped(unformattable, out);
        }
        out += "\")";
    }
    out += " }";
    return out;
}

}  // namespace kestrum
