// Argument binding: matching a call's arguments against a constructor's parameters, with
// the interpreter's own wording for every failure (binding_messages.hpp).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "function_description.hpp"
#include "once_cell.hpp"
#include "result.hpp"

namespace kestrum {

// The tuple-and-dictionary form `tp_new` receives (`kwargs` may be null).
PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                            PyObject* kwargs, std::span<PyObject*> slots,
                                            ParameterObjectsFn names = no_parameter_objects);

PyResult<void> extract_arguments_fastcall_general(const FunctionDescription& description,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames, std::span<PyObject*> slots,
                                                  ParameterObjectsFn names);

// Binds `given` positional arguments and then every keyword of `kwnames`, when each keyword
// is, by identity, the interned name of a different parameter not given by position, and
// together they are exactly the parameters. False, with every slot empty, otherwise.
inline bool bind_keywords_by_identity(ParameterObjects objects, PyObject* const* args,
                                      std::size_t given, PyObject* kwnames,
                                      std::span<PyObject*> slots) {
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    bool bound = true;
    for (std::size_t k = 0; bound && given + k < objects.size(); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k));
        bound = false;
        for (std::size_t i = given; i < objects.size(); ++i) {
            if (objects[i] == key && slots[i] == nullptr) {
                slots[i] = args[given + k];
                bound = true;
                break;
            }
        }
    }
    if (!bound)
        for (PyObject*& slot : slots) slot = nullptr;
    return bound;
}

// The vector form of a fast call: `nargs` positional arguments, then one value per name
// in `kwnames` (which may be null).
inline PyResult<void> extract_arguments_fastcall(const FunctionDescription& description,
                                                 PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames, std::span<PyObject*> slots,
                                                 ParameterObjectsFn names = no_parameter_objects) {
    const std::size_t positional_count = description.positional_names.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (description.all_positional_required() && given <= positional_count) {
        if (kwnames == nullptr) {
            if (given == positional_count) {
                for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = args[i];
                return {};
            }
        } else if (given + static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) ==
                   positional_count) {
            // Exactly enough arguments: it binds if every keyword is, by identity, the name of
            // a different parameter not given by position. Anything else takes the general
            // road, which words the failure.
            const ParameterObjects objects = names();
            if (objects.size() == positional_count &&
                bind_keywords_by_identity(objects, args, given, kwnames, slots))
                return {};
        }
    }
    return extract_arguments_fastcall_general(description, args, nargs, kwnames, slots, names);
}

void intern_parameter_names(const FunctionDescription& description, std::span<PyObject*> out);

template <const FunctionDescription& Description>
struct InternedParameterNames {
    using Names = std::array<PyObject*, Description.parameter_count()>;
    static constinit inline GILOnceCell<Names> cell;

    [[gnu::noinline]] static ParameterObjects make() {
        return cell.get_or_init([] {
            Names names{};
            intern_parameter_names(Description, names);
            return names;
        });
    }
};

// The interned names of one description, made once and kept for the life of the process.
// Read in line once made, since every call with keywords asks for them.
template <const FunctionDescription& Description>
inline ParameterObjects parameter_objects() {
    if (auto* names = InternedParameterNames<Description>::cell.get()) return *names;
    return InternedParameterNames<Description>::make();
}

}  // namespace kestrum
