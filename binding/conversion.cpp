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
    return to_str(object);
}

PyResult<std::string> FromPyObject<std::string>::extract_bound(PyObject* object) {
    KS_TRY(const std::string_view text,
           FromPyObjectBound<std::string_view>::from_py_object_bound(object));
    return std::string(text);
}

namespace {
// Exact lists and tuples run no user code to iterate, so indexing them is the same as
// iterating. Each item is held from the moment it is read: converting it may allocate, run the
// collector and its finalisers, or run the item's own Python code, and any of them may empty
// the list; without the GIL another thread may do so at any moment. So the size is read again,
// together with each item, at every step.
template <Owned (*Item)(PyObject*, Py_ssize_t)>
PyResult<void> convert_items(PyObject* object, FloatSink& sink) {
    for (Py_ssize_t i = 0;; ++i) {
        const Owned item = Item(object, i);
        if (!item) return {};
        KS_TRY(const float value, FromPyObject<float>::extract_bound(item.get()));
        sink.push_back(value);
    }
}

// The item at `i`, or null past the end.
Owned list_item(PyObject* list, Py_ssize_t i) {
    Owned item;
    Py_BEGIN_CRITICAL_SECTION(list);
    if (i < PyList_GET_SIZE(list)) item = Owned::borrow(PyList_GET_ITEM(list, i));
    Py_END_CRITICAL_SECTION();
    return item;
}
Owned tuple_item(PyObject* tuple, Py_ssize_t i) {
    return Owned::borrow(i < PyTuple_GET_SIZE(tuple) ? PyTuple_GET_ITEM(tuple, i) : nullptr);
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
    if (PyList_CheckExact(object)) return convert_items<list_item>(object, sink);
    if (PyTuple_CheckExact(object)) return convert_items<tuple_item>(object, sink);
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
