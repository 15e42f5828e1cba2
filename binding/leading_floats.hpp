// The sequence conversion: a sequence of numbers to what a class keeps of it, the first N and
// how many there were in all. Every element is still read and converted, but the memory needed
// stays the same however long the sequence is.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "critical_section.hpp"
#include "float_conversion.hpp"

namespace kestrum {

template <std::size_t N>
struct LeadingFloats {
    float values[N] = {};
    // The numbers read so far, counted up to the largest 32-bit count: only a count below N is
    // ever shown, and the whole value stays as small as two numbers, to be handed on whole.
    std::uint32_t count = 0;
};

// Keeps `value` if fewer than `kept.size()` came before it; counts it either way.
inline void keep(std::span<float> kept, std::uint32_t& count, float value) noexcept {
    if (count < kept.size()) kept[count] = value;
    if (count != UINT32_MAX) ++count;
}

// The one rule for items read in place, on every road: from item `first` on, exact floats and
// ints as the float conversion reads them, until the first other item. The items are borrowed:
// nothing here runs Python code. Where the reading stopped: `size` when every item was read.
[[gnu::noinline]] inline Py_ssize_t read_items_in_place(PyObject* const* items, Py_ssize_t size,
                                                        Py_ssize_t first, std::span<float> kept,
                                                        std::uint32_t& count) {
    // One position in the loop; the count follows from it at the end.
    Py_ssize_t at = first;
    for (; at < size; ++at) {
        float value;
        if (!FromPyObject<float>::read(items[at], value)) break;
        if (const auto n = count + static_cast<std::size_t>(at - first); n < kept.size())
            kept[n] = value;
    }
    const std::size_t read = count + static_cast<std::size_t>(at - first);
    count = read < UINT32_MAX ? static_cast<std::uint32_t>(read) : UINT32_MAX;
    return at;
}

// One step of the one rule for an exact list or tuple, from item `i` on. Exact lists and tuples
// run no user code to iterate, so indexing them is the same as iterating. Items are read in
// place, a list's under its lock; the first other item is held and converted by
// `convert_item(item, value)` outside it: converting may allocate, run the collector and its
// finalisers, or run the item's own Python code, and any of them may empty the list; without
// the GIL another thread may do so at any moment. So the size is read again at every step, and
// the held item is released before the next. What the step came to: every item read (VALUE), a
// list grown beyond `limit` items (DECLINED, with nothing held), the held item's conversion
// declined or failed; or nothing: the held item was converted, and the next step goes on.
template <class ConvertItem>
inline std::optional<Converted> convert_step(PyObject* sequence, Py_ssize_t& i,
                                             std::span<float> kept, std::uint32_t& count,
                                             Py_ssize_t limit, ConvertItem convert_item) {
    Owned item;
    {
        const bool is_list = PyList_CheckExact(sequence);
        const CriticalSection locked(is_list ? sequence : nullptr);
        // A list's items move as it grows.
        const auto items = [&] {
            return is_list ? reinterpret_cast<PyListObject*>(sequence)->ob_item
                           : reinterpret_cast<PyTupleObject*>(sequence)->ob_item;
        };
        if (Py_SIZE(sequence) > limit) return Converted::DECLINED;
        i = read_items_in_place(items(), Py_SIZE(sequence), i, kept, count);
        // Against the size as it is now: a read that stopped may have run the collector (an
        // int's refusal allocates), which may have emptied the list.
        if (i >= Py_SIZE(sequence)) return Converted::VALUE;
        item = Owned::new_ref(items()[i]);
    }
    float value;
    if (const Converted converted = convert_item(item.get(), value); converted != Converted::VALUE)
        return converted;
    keep(kept, count, value);
    item.clear();
    ++i;
    return std::nullopt;
}

// The whole rule: its steps until one ends it.
template <class ConvertItem>
Converted convert_items(PyObject* sequence, Py_ssize_t& i, std::span<float> kept,
                        std::uint32_t& count, Py_ssize_t limit, ConvertItem convert_item) {
    for (;;) {
        if (const std::optional<Converted> ended =
                convert_step(sequence, i, kept, count, limit, convert_item))
            return *ended;
    }
}

// An item's conversion on the road without the boundary.
inline Converted convert_float(PyObject* item, float& value) {
    return FromPyObject<float>::convert(item, value);
}

// The longest list that the road without the boundary goes through: its position is the count.
inline constexpr Py_ssize_t COUNTED_ITEMS = UINT32_MAX - 1;

// That road's steps after its first, out of line.
Converted convert_items_apart(PyObject* sequence, Py_ssize_t i, std::span<float> kept,
                              std::uint32_t& count);

// The longest exact list or tuple that is read without Python.
inline constexpr Py_ssize_t SHORT_NUMBERS = 4;

// Converts every element of a sequence with the float conversion, in iteration order, going on
// from item `count` of an exact list or tuple (where `convert` stopped); the first failure
// stops it.
PyResult<void> convert_sequence(PyObject* object, std::span<float> kept, std::uint32_t& count);

template <std::size_t N>
struct FromPyObject<LeadingFloats<N>> {
    // An exact list (under its lock) or tuple of at most SHORT_NUMBERS items, each read in place
    // by the same rule; where one does not read so, `count` says how many did.
    [[gnu::always_inline]] static bool read(PyObject* object, LeadingFloats<N>& out) {
        const bool is_list = PyList_CheckExact(object);
        if (!is_list && !PyTuple_CheckExact(object)) return false;
        const CriticalSection locked(is_list ? object : nullptr);
        PyObject* const* items = is_list ? reinterpret_cast<PyListObject*>(object)->ob_item
                                         : reinterpret_cast<PyTupleObject*>(object)->ob_item;
        const Py_ssize_t size = Py_SIZE(object);
        if (size > SHORT_NUMBERS) return false;
        const auto n = static_cast<std::uint32_t>(size);
        for (std::uint32_t i = 0; i < n; ++i) {
            float value;
            if (!FromPyObject<float>::read(items[i], value)) {
                out.count = i;
                return false;
            }
            if (i < N) out.values[i] = value;
        }
        out.count = n;
        return true;
    }
    // An exact list or tuple whose items read in place or convert without the boundary, going
    // on from where `read` stopped. The first step is taken here and the rest out of line, so
    // that a conversion that constructs again nests under no more than the first step's frame.
    [[gnu::always_inline]] static Converted convert(PyObject* object, LeadingFloats<N>& out) {
        if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) return Converted::DECLINED;
        auto i = static_cast<Py_ssize_t>(out.count);
        if (const std::optional<Converted> ended =
                convert_step(object, i, out.values, out.count, COUNTED_ITEMS, convert_float))
            return *ended;
        return convert_items_apart(object, i, out.values, out.count);
    }
    static PyResult<void> extract_bound(PyObject* object, LeadingFloats<N>& out) {
        return convert_sequence(object, out.values, out.count);
    }
};

}  // namespace kestrum
