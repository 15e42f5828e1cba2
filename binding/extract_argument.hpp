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

// The one binder, for both forms of a call. The tuple-and-dictionary form `tp_new` receives
// (`kwargs` may be null; the caller holds its lock).
PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                            PyObject* kwargs, std::span<PyObject*> slots,
                                            ParameterObjectsFn names = no_parameter_objects);
// The vector form of a fast call: `nargs` positional arguments, then one value per name in
// `kwnames` (which may be null).
PyResult<void> extract_arguments_fastcall(const FunctionDescription& description,
                                          PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames, std::span<PyObject*> slots,
                                          ParameterObjectsFn names = no_parameter_objects);

inline constexpr std::size_t NO_PARAMETER = static_cast<std::size_t>(-1);

// The slot of the parameter from `first` on whose interned name is `key` itself: call sites pass
// interned names, so a keyword usually matches before any of its bytes is read.
inline std::size_t find_parameter_object(ParameterObjects names, PyObject* key,
                                         std::size_t first = 0) {
    for (std::size_t i = first; i < names.size(); ++i) {
        if (names[i] == key) return i;
    }
    return NO_PARAMETER;
}

// Binds `given` positional arguments and then every keyword of `kwnames`, when each keyword
// is, by identity, the interned name of a different parameter not given by position, and
// together they are exactly the parameters. False otherwise, and the binder then words it.
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
    return bound;
}

void intern_parameter_names(const FunctionDescription& description, std::span<PyObject*> out);

// The interned names of one description, made once, by the first call with keywords, and kept
// for the life of the process.
template <const FunctionDescription& Description>
struct InternedParameterNames {
    using Names = std::array<PyObject*, Description.parameter_count()>;
    static constinit inline GILOnceCell<Names> cell;

    static ParameterObjects make() {
        return cell.get_or_init([] {
            Names names{};
            intern_parameter_names(Description, names);
            return names;
        });
    }
};

template <const FunctionDescription& Description>
inline ParameterObjects parameter_objects() {
    if (auto* names = InternedParameterNames<Description>::cell.get()) return *names;
    return InternedParameterNames<Description>::make();
}

}  // namespace kestrum
