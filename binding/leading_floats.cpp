// The sequence conversion inside the boundary: lists and tuples item by item, any other sequence
// by iteration.
#include "leading_floats.hpp"

#include <optional>

#include "err_kinds.hpp"

namespace kestrum {

namespace {

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

Converted convert_items_apart(PyObject* sequence, Py_ssize_t i, std::span<float> kept,
                              std::uint32_t& count) {
    return convert_items(sequence, i, kept, count, COUNTED_ITEMS, convert_float);
}

PyResult<void> convert_sequence(PyObject* object, std::span<float> kept, std::uint32_t& count) {
    if (PyUnicode_Check(object))
        return PyErr::new_(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        std::optional<PyErr> error;
        auto i = static_cast<Py_ssize_t>(count);
        const Converted converted = convert_items(
            object, i, kept, count, PY_SSIZE_T_MAX, [&](PyObject* item, float& value) {
                PyResult<void> item_converted = convert_value_from(item, value);
                if (item_converted) return Converted::VALUE;
                error = std::move(item_converted).take_error();
                return Converted::FAILED;
            });
        // Without a limit the loop only ends read or failed.
        if (converted == Converted::VALUE || !error) return {};
        return std::move(*error);
    }
    if (!PySequence_Check(object)) return downcast_error(object, "Sequence");

    // The length is only asked, never trusted: nothing is reserved from it.
    KS_CHECK(query_length(object));
    KS_TRY(const Owned iterator, steal_or_fetch(PyObject_GetIter(object)));
    while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) {
        float value;
        KS_CHECK(convert_value(item.get(), value));
        keep(kept, count, value);
        item.clear();
    }
    if (auto error = PyErr::take()) return std::move(*error);
    return {};
}

}  // namespace kestrum
