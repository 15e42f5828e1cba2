// A class's constructor: the interpreter's `tp_new` and the fast call entry, each binding
// the arguments, converting them, and only then allocating the instance and storing the value.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "extract_argument.hpp"
#include "instance.hpp"
#include "trampoline.hpp"

namespace kestrum {

// The interpreter's own class call, `type.__call__(cls, *args, **kwargs)`, from a vector call.
[[gnu::cold, gnu::noinline]] PyObject* call_as_type(PyObject* type, PyObject* const* args,
                                                    std::size_t nargsf, PyObject* kwnames);

// What every class implementation type provides:
//   static constexpr FunctionDescription new_description;  its constructor's parameters
//   static PyResult<T> from_arguments(const auto& args);   converts, in parameter order;
//       `args` are the bound ArgumentSlots, or PlainArguments on the plain road
//   static LazyTypeObject type_object;                      its type
template <class T>
struct PyClassImpl {
    static constexpr std::size_t ARITY = T::new_description.parameter_count();

    // Constructors bind, convert, and only then allocate.
    template <class Bind>
    [[gnu::always_inline]] static PyResult<Owned> construct(PyTypeObject* subtype, Bind&& bind) {
        ArgumentSlots<ARITY> slots{};
        KS_TRY(bind(std::span<PyObject*>(slots)));
        PyResult<T> value = T::from_arguments(slots);
        if (!value) [[unlikely]]
            return std::move(value).take_error();
        Owned instance = KS_TRY(steal_or_fetch(allocate_instance(subtype)));
        Instance<T>::place(instance.get(), std::move(*value));
        return instance;
    }

    static constexpr bool HAS_PLAIN_ROAD =
        requires(PlainArguments<ARITY> args) { T::from_arguments(args); };

    static PyObject* tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
        return trampoline([&]() KS_INLINE_BODY {
            // The caller keeps the keyword dict alive, but not what it holds: a conversion's
            // Python code may empty it. What was bound from it is held until the end.
            std::array<Owned, ARITY> held;
            return construct(subtype, [&](std::span<PyObject*> slots) -> PyResult<void> {
                KS_TRY(extract_arguments_tuple_dict(T::new_description, args, kwargs, slots,
                                                    parameter_objects<T::new_description>));
                if (kwargs != nullptr) {
                    for (std::size_t i = 0; i < ARITY; ++i) held[i] = Owned::borrow(slots[i]);
                }
                return {};
            });
        });
    }

    // Whether a call of the class still means this construction: the class's tp_new is its own
    // and its tp_init object's, as built. The classes are mutable, and a program may replace
    // either (`Cls.__init__ = f`); the interpreter's class call then honours the replacement.
    static bool constructs_itself(PyTypeObject* type) {
        return type->tp_new == tp_new && type->tp_init == PyBaseObject_Type.tp_init;
    }

    // The fast entry of a class that may have been changed: the interpreter's own class call
    // once it no longer constructs itself. Where the interpreter reports the first change of a
    // class (type watchers, from 3.12), the class runs without this check until then.
    static PyObject* vectorcall_checked(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                        PyObject* kwnames) {
        if (!constructs_itself(reinterpret_cast<PyTypeObject*>(type))) [[unlikely]]
            return call_as_type(type, args, nargsf, kwnames);
        return vectorcall(type, args, nargsf, kwnames);
    }

    // The plain road: a call that gives exactly the parameters (by position, or by keywords
    // matched by identity with the interned names), each of which converts without running
    // Python code (an exact float or int, an ASCII str, a short list of floats), is a
    // hand-written C constructor: bind, convert, allocate, store. Nothing on it can fail but
    // the allocation, whose MemoryError the allocator sets as the general road would raise
    // it; nothing on it reads the lock count or releases a reference, so the entry is not
    // counted. Saves 30 to 100 instructions a call (callgrind), most of them the stack frame
    // that the general road's failure handling needs.
    // Flattened: the class's conversion must be inlined for the road to be plain, and the
    // compiler's own choice differs between classes and interpreter versions. (This entry only:
    // the compiler gives up flattening a conversion that two flattened callers share.)
    [[gnu::flatten]] static PyObject* vectorcall(PyObject* type, PyObject* const* args,
                                                 std::size_t nargsf, PyObject* kwnames) {
        if constexpr (HAS_PLAIN_ROAD) {
            if (kwnames == nullptr && std::cmp_equal(PyVectorcall_NARGS(nargsf), ARITY) &&
                plain_entry()) [[likely]] {
                PyObject* instance = nullptr;
                if (construct_plain(type, args, instance)) [[likely]]
                    return instance;
            }
            if (kwnames != nullptr) return vectorcall_keywords(type, args, nargsf, kwnames);
        }
        return vectorcall_general(type, args, nargsf, kwnames);
    }

    // The plain road of a keyword call; out of line, so that the positional one needs no
    // stack frame for the keyword slots.
    [[gnu::noinline]] static PyObject* vectorcall_keywords(PyObject* type, PyObject* const* args,
                                                           std::size_t nargsf, PyObject* kwnames) {
        const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
        if (T::new_description.all_positional_required() && plain_entry() &&
            given + static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) == ARITY) {
            using Names = InternedParameterNames<T::new_description>;
            ArgumentSlots<ARITY> slots{};
            PyObject* instance = nullptr;
            if (const auto* names = Names::cell.get();
                names != nullptr &&
                bind_keywords_by_identity(*names, args, given, kwnames, slots) &&
                construct_plain(type, slots.data(), instance))
                return instance;
        }
        return vectorcall_general(type, args, nargsf, kwnames);
    }

    // The new instance, or null with the allocator's MemoryError pending; false, with nothing
    // done, when an argument is not plain.
    [[gnu::always_inline]] static bool construct_plain(PyObject* type, PyObject* const* args,
                                                       PyObject*& instance) {
        PyResult<T> value = T::from_arguments(PlainArguments<ARITY>{args});
        if (!value) [[unlikely]]
            return false;
        instance = allocate_instance(reinterpret_cast<PyTypeObject*>(type));
        if (instance != nullptr) [[likely]]
            Instance<T>::place(instance, std::move(*value));
        return true;
    }

    [[gnu::noinline]] static PyObject* vectorcall_general(PyObject* type, PyObject* const* args,
                                                          std::size_t nargsf, PyObject* kwnames) {
        return trampoline([&]() KS_INLINE_BODY {
            return construct(
                reinterpret_cast<PyTypeObject*>(type), [&](std::span<PyObject*> slots) {
                    return extract_arguments_fastcall(T::new_description, args,
                                                      PyVectorcall_NARGS(nargsf), kwnames, slots,
                                                      parameter_objects<T::new_description>);
                });
        });
    }
};

}  // namespace kestrum
