// Argument binding: matching a call's arguments against a constructor's parameters, with
// the interpreter's own wording for every failure.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "conversion.hpp"
#include "err.hpp"
#include "once_cell.hpp"
#include "uncounted_road.hpp"

namespace kestrum {

struct KeywordOnlyParameter {
    std::string_view parameter_name;
    bool is_required;
};

struct FunctionDescription {
    const char* class_name;  // null for a free function
    const char* function_name;
    std::span<const std::string_view> positional_names;
    std::size_t positional_only_count;
    std::size_t required_positional_count;
    std::span<const KeywordOnlyParameter> keyword_only;

    constexpr std::size_t parameter_count() const {
        return positional_names.size() + keyword_only.size();
    }
    // Every parameter is positional and required: a call with exactly that many positional
    // arguments and no keywords is bound by copying.
    constexpr bool all_positional_required() const {
        return keyword_only.empty() && positional_only_count == 0 &&
               required_positional_count == positional_names.size();
    }
};

// One borrowed argument object per parameter, positional ones first; null when not given.
template <std::size_t N>
using ArgumentSlots = std::array<PyObject*, N>;

// The parameter names as interned `str` objects (positional ones first), or empty. Call
// sites pass interned keyword names, so a keyword usually matches by identity before any
// of its bytes is read.
using ParameterObjects = std::span<PyObject* const>;
// Made only when a call has keywords.
using ParameterObjectsFn = ParameterObjects (*)();

inline ParameterObjects no_parameter_objects() {
    return {};
}

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

// The error builders.
PyErr too_many_positional_arguments(const FunctionDescription& description, Py_ssize_t given);
PyErr multiple_values_for_argument(const FunctionDescription& description, std::string_view name);
PyErr unexpected_keyword_argument(const FunctionDescription& description, PyObject* key);
PyErr positional_only_keyword_arguments(const FunctionDescription& description,
                                        std::span<const std::string_view> names);
PyErr missing_required_positional_arguments(const FunctionDescription& description,
                                            std::span<PyObject* const> slots);
PyErr missing_required_keyword_arguments(const FunctionDescription& description,
                                         std::span<PyObject* const> keyword_slots);
PyErr missing_required_arguments(const FunctionDescription& description, std::string_view kind,
                                 std::span<const std::string_view> names);

void push_parameter_list(std::string& message, std::span<const std::string_view> names);

// A parameter's name as the classes write it, a literal: whether it is ASCII is settled
// when the program is compiled, not on every failing call.
struct ParameterName {
    std::string_view text;
    bool ascii = true;

    template <std::size_t N>
    consteval ParameterName(const char (&literal)[N]) : text(literal, N - 1) {
        for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    operator std::string_view() const { return text; }
};

// Names the parameter in an exact TypeError from its conversion; others pass unchanged.
PyErr argument_extraction_error(std::string_view name, PyErr error);
// The float conversion's usual failure, a type that is no number, refused in the interpreter's
// words without asking it; empty when the object may be a number, or the words could differ.
std::optional<PyErr> refuse_as_real_number(PyObject* object, ParameterName name);
// The exception of an error about one argument, in the same form: "argument '<name>': " + text.
std::pair<Owned, Owned> argument_error_arguments(PyObject* exception_type, std::string_view name,
                                                 std::string_view text);
// That error, worded only when it is raised, from what `text()` gives. The uncounted road makes
// and drops it outside the boundary, where a failed allocation would have nowhere to go.
template <class Text>
PyErr argument_error(PyObject* exception_type, std::string_view name, Text text) {
    return PyErr(ErrorBuilder([exception_type, name, text] {
        return argument_error_arguments(exception_type, name, text());
    }));
}

template <class T>
[[gnu::noinline]] PyResult<T> extract_argument_slow(PyObject* object, ParameterName name) {
    if constexpr (std::is_same_v<T, float>) {
        if (std::optional<PyErr> refused = refuse_as_real_number(object, name))
            return std::move(*refused);
    }
    PyResult<T> value = FromPyObjectBound<T>::from_py_object_bound(object);
    if (!value) value = argument_extraction_error(name, std::move(value).take_error());
    return value;
}

// The argument read in line when `read_in_line` can, else what `otherwise` makes of it, as a
// `Result` (a PyResult, or on the uncounted road a Declinable).
template <class T, template <class> class Result, class Otherwise>
[[gnu::always_inline]] inline Result<T> read_in_line_or(PyObject* object, Otherwise otherwise) {
    if constexpr (requires { T::KEPT; }) {
        // Filled where it stands: moving it out after storing its floats one by one would
        // load them as one block the processor cannot forward from those stores.
        Result<T> read(std::in_place);
        if (read_in_line(object, *read)) return read;
    } else {
        T value{};
        if (read_in_line(object, value)) return value;
    }
    return otherwise();
}

// Converts one bound argument, naming the parameter on failure. What runs no Python code and
// cannot fail is read in line; everything else takes the out-of-line road.
template <class T>
inline PyResult<T> extract_argument(PyObject* object, ParameterName name) {
    return read_in_line_or<T, PyResult>(object,
                                        [&] { return extract_argument_slow<T>(object, name); });
}

// On the uncounted road only what is read in line converts; anything else declines.
template <class T>
inline Declinable<T> extract_argument(UncountedArgument argument, ParameterName /*name*/) {
    return read_in_line_or<T, Declinable>(argument.object, [] { return Declined(); });
}

}  // namespace kestrum
