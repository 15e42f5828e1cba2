// Conversions between Python objects and native values: numbers, texts and sequences.
#include "conversion.hpp"

namespace kestrum {

PyResult<Owned> try_iter(PyObject* object) {
    return steal_or_fetch(PyObject_GetIter(object));
}

PyResult<std::optional<Owned>> next(PyObject* iterator) {
    if (PyObject* item = PyIter_Next(iterator)) return std::optional<Owned>(Owned::steal(item));
    if (auto error = PyErr::take()) return std::move(*error);
    return std::optional<Owned>();
}

PyResult<std::string_view> FromPyObjectBound<std::string_view>::from_py_object_bound(
    PyObject* object) {
    if (!PyUnicode_Check(object)) return downcast_error(object, "PyString");
    if (const std::optional<std::string_view> text = to_str(object)) return *text;
    return fetch_error();
}

PyResult<std::string> FromPyObject<std::string>::extract_bound(PyObject* object) {
    KS_TRY(const std::string_view text,
           FromPyObjectBound<std::string_view>::from_py_object_bound(object));
    return std::string(text);
}

namespace {
// Exact lists and tuples run no user code to iterate, so indexing them is the same as
// iterating. Exact floats, from position `i` on, are read in place: that runs no Python code and
// cannot fail. The first other item stops the run and is returned held (null at the end):
// converting it may allocate, run the collector and its finalisers, or run its own Python code,
// and any of them may empty the list; without the GIL another thread may do so at any moment.
// So a list is read under its lock, and its size is read again with every item.
template <bool IS_LIST>
Owned read_exact_floats(PyObject* sequence, Py_ssize_t& i, FloatSink& sink) {
    const CriticalSection locked(IS_LIST ? sequence : nullptr);
    PyObject* const* items = IS_LIST ? reinterpret_cast<PyListObject*>(sequence)->ob_item
                                     : reinterpret_cast<PyTupleObject*>(sequence)->ob_item;
    for (; i < Py_SIZE(sequence); ++i) {
        float value;
        if (!read_exact_float(items[i], value)) return Owned::borrow(items[i++]);
        sink.push_back(value);
    }
    return {};
}

template <bool IS_LIST>
PyResult<void> convert_items(PyObject* sequence, FloatSink& sink) {
    for (Py_ssize_t i = 0;;) {
        const Owned item = read_exact_floats<IS_LIST>(sequence, i, sink);
        if (!item) return {};
        KS_TRY(const float value, FromPyObject<float>::extract_bound(item.get()));
        sink.push_back(value);
    }
}

// A failing length query is discarded, except what must reach the caller: an interrupt or
// exit (anything that is not an Exception) and MemoryError.
PyResult<void> query_length(PyObject* object) {
    if (PySequence_Size(object) != -1) return {};
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr) return {};
    if (must_reach_caller(pending)) return fetch_error();
    (void)PyErr::take();
    return {};
}
}  // namespace

PyResult<void> convert_sequence(PyObject* object, FloatSink& sink) {
    if (PyUnicode_Check(object))
        return PyErr::new_(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (PyList_CheckExact(object)) return convert_items<true>(object, sink);
    if (PyTuple_CheckExact(object)) return convert_items<false>(object, sink);
    if (!PySequence_Check(object)) return downcast_error(object, "Sequence");

    // The length is only asked, never trusted: nothing is reserved from it.
    KS_CHECK(query_length(object));
    KS_TRY(Owned iterator, try_iter(object));
    for (;;) {
        KS_TRY(std::optional<Owned> item, next(iterator.get()));
        if (!item) break;
        KS_TRY(const float value, FromPyObject<float>::extract_bound(item->get()));
        sink.push_back(value);
    }
    return {};
}

}  // namespace kestrum
