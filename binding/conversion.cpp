// Conversions between Python objects and native values: numbers, texts and sequences.
#include "conversion.hpp"

namespace kestrum {

PyResult<std::string_view> to_str(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return fetch_error();
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::string to_string_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(data, size);
    (void)PyErr::take();
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) panic_after_error();
    return decode_utf8_lossy(std::string_view(
        PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

namespace {
constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// The allowed range of the second byte after a lead byte, and the sequence length;
// length 0 marks a byte that cannot start a sequence.
struct LeadByte {
    int length;
    unsigned char low;
    unsigned char high;
};

LeadByte classify(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}
}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const LeadByte kind = classify(lead);
        std::size_t end = i + 1;
        bool valid = kind.length != 0;
        for (int k = 1; valid && k < kind.length; ++k) {
            const unsigned char low = k == 1 ? kind.low : 0x80;
            const unsigned char high = k == 1 ? kind.high : 0xBF;
            if (end >= bytes.size()) {
                valid = false;
            } else if (const auto byte = static_cast<unsigned char>(bytes[end]);
                       byte < low || byte > high) {
                valid = false;
            } else {
                ++end;
            }
        }
        // An invalid run (the bytes taken so far) is one maximal subpart: one replacement.
        if (valid)
            out.append(bytes.substr(i, end - i));
        else
            out.append(REPLACEMENT);
        i = end;
    }
    return out;
}

PyResult<Owned> try_iter(PyObject* object) {
    return steal_or_fetch(PyObject_GetIter(object));
}

PyResult<std::optional<Owned>> next(PyObject* iterator) {
    if (PyObject* item = PyIter_Next(iterator)) return std::optional<Owned>(Owned::steal(item));
    if (auto error = PyErr::take()) return std::move(*error);
    return std::optional<Owned>();
}

PyResult<float> FromPyObject<float>::extract_slow(PyObject* object) {
    // An exact int converts as the interpreter's own float conversion would convert it,
    // without making a float object on the way.
    const double value =
        PyLong_CheckExact(object) ? PyLong_AsDouble(object) : PyFloat_AsDouble(object);
    if (value == -1.0) {
        if (auto error = PyErr::take()) return std::move(*error);
    }
    return narrow_to_single(value);
}

PyResult<std::string_view> FromPyObjectBound<std::string_view>::from_py_object_bound(
    PyObject* object) {
    if (!PyUnicode_Check(object)) return downcast_error(object, "PyString");
    return to_str(object);
}

PyResult<std::string> FromPyObject<std::string>::extract_bound(PyObject* object) {
    return std::string(KS_TRY(FromPyObjectBound<std::string_view>::from_py_object_bound(object)));
}

namespace {
// Exact lists and tuples run no user code to iterate, so indexing them is the same as
// iterating; the size is read again each step since an element's conversion may
// shrink a list.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
PyResult<void> convert_items(PyObject* object, void* sink, void (*keep)(void*, float)) {
    for (Py_ssize_t i = 0; i < Size(object); ++i) {
        PyObject* item = Item(object, i);
        if (Py_IS_TYPE(item, &PyFloat_Type)) [[likely]] {
            keep(sink, narrow_to_single(PyFloat_AS_DOUBLE(item)));
            continue;
        }
        // Converting anything else may run Python code that drops the item from the list.
        Owned held = Owned::borrow(item);
        keep(sink, KS_TRY(FromPyObject<float>::extract_bound(held.get())));
    }
    return {};
}

Py_ssize_t list_size(PyObject* list) {
    return PyList_GET_SIZE(list);
}
PyObject* list_item(PyObject* list, Py_ssize_t i) {
    return PyList_GET_ITEM(list, i);
}
Py_ssize_t tuple_size(PyObject* tuple) {
    return PyTuple_GET_SIZE(tuple);
}
PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) {
    return PyTuple_GET_ITEM(tuple, i);
}

// A failing length query is discarded, except what must reach the caller: an interrupt or
// exit (anything that is not an Exception) and MemoryError.
PyResult<void> query_length(PyObject* object) {
    if (PySequence_Size(object) != -1) return {};
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr) return {};
    if (!PyErr_GivenExceptionMatches(pending, PyExc_Exception) ||
        PyErr_GivenExceptionMatches(pending, PyExc_MemoryError))
        return fetch_error();
    (void)PyErr::take();
    return {};
}
}  // namespace

PyResult<void> convert_sequence(PyObject* object, void* sink, void (*keep)(void*, float)) {
    if (PyUnicode_Check(object))
        return PyErr::new_(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (PyList_CheckExact(object)) return convert_items<list_size, list_item>(object, sink, keep);
    if (PyTuple_CheckExact(object))
        return convert_items<tuple_size, tuple_item>(object, sink, keep);
    if (!PySequence_Check(object)) return downcast_error(object, "Sequence");

    // The length is only asked, never trusted: nothing is reserved from it.
    KS_TRY(query_length(object));
    Owned iterator = KS_TRY(try_iter(object));
    for (;;) {
        std::optional<Owned> item = KS_TRY(next(iterator.get()));
        if (!item) break;
        keep(sink, KS_TRY(FromPyObject<float>::extract_bound(item->get())));
    }
    return {};
}

}  // namespace kestrum
