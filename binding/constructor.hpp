// A class's constructor: one pipeline (bind, convert, allocate, store) behind the interpreter's
// `tp_new` and the fast call entry. The fast entry first tries the uncounted road, where the
// same pipeline converts only what reads without Python and runs without the boundary.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <span>
#include <utility>

#include "convert_argument.hpp"
#include "critical_section.hpp"
#include "extract_argument.hpp"
#include "instance.hpp"
#include "result.hpp"
#include "trampoline.hpp"
#include "uncounted_road.hpp"

namespace kestrum {

// The interpreter's own class call, `type.__call__(cls, *args, **kwargs)`, from a vector call.
PyObject* call_as_type(PyObject* type, PyObject* const* args, std::size_t nargsf,
                       PyObject* kwnames);

// What every class implementation type provides:
//   static constexpr FunctionDescription new_description;  its constructor's parameters
//   [[gnu::always_inline]] static auto from_arguments(const auto& args)
//       -> Converted<decltype(args), T>;
//       converts, in parameter order, the bound ArgumentSlots or the UncountedArguments.
//       Inlined by force: clang keeps it out of line despite the fast entry's flattening, and
//       the call costs the uncounted road more than a conversion's work.
template <class T>
struct Constructor {
    static constexpr std::size_t ARITY = T::new_description.parameter_count();
    static constexpr bool HAS_UNCOUNTED_ROAD =
        requires(UncountedArguments<ARITY> args) { T::from_arguments(args); };

    // Convert, allocate, store: the new instance, or null with the allocator's MemoryError
    // pending. Allocation comes last, so that a failed conversion has nothing to undo.
    template <class Arguments>
    [[gnu::always_inline]] static Converted<Arguments, PyObject*> build(PyTypeObject* subtype,
                                                                        const Arguments& args) {
        auto value = T::from_arguments(args);
        if (!value) return std::move(value).take_error();
        PyObject* instance = allocate_instance(subtype);
        if (instance != nullptr) PyClassObject<T>::place(instance, std::move(*value));
        return instance;
    }

    // The general road's pipeline, run inside the boundary, from the bound arguments.
    [[gnu::always_inline]] static PyResult<Owned> build_owned(PyTypeObject* subtype,
                                                              const ArgumentSlots<ARITY>& slots) {
        KS_TRY(PyObject * instance, build(subtype, slots));
        return steal_or_fetch(instance);
    }

    // Binds with `bind`, which fills the slots, then runs the pipeline.
    template <class Bind>
    [[gnu::always_inline]] static PyResult<Owned> bind_and_build(PyTypeObject* subtype,
                                                                 Bind&& bind) {
        ArgumentSlots<ARITY> slots{};
        KS_CHECK(bind(std::span<PyObject*>(slots)));
        return build_owned(subtype, slots);
    }

    static PyObject* tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
        return trampoline([&]() {
            // The caller keeps the keyword dict alive, but not what it holds: a conversion's
            // Python code may empty it, and without the GIL another thread that shares it may
            // change it at any moment. What is bound from it is held, before its lock is let go,
            // until the end.
            std::array<Owned, ARITY> held;
            return bind_and_build(subtype, [&](std::span<PyObject*> slots) -> PyResult<void> {
                const CriticalSection locked(kwargs);
                KS_CHECK(extract_arguments_tuple_dict(T::new_description, args, kwargs, slots,
                                                      parameter_objects<T::new_description>));
                if (kwargs != nullptr) {
                    for (std::size_t i = 0; i < ARITY; ++i) held[i] = Owned::borrow(slots[i]);
                }
                return {};
            });
        });
    }

    // Whether a call of the class still means this construction: the class's tp_new is its own
    // and its tp_init object's, as built. The classes accept attribute assignment, and a
    // program may replace either (`Cls.__init__ = f`); the interpreter's class call then
    // honours the replacement. Asked on every call: a notice of the change (a type watcher)
    // could be switched off by any program, and without the GIL another thread may replace a
    // slot at any moment, so each is read atomically (relaxed: the slot is all that is read).
    static bool constructs_itself(PyTypeObject* type) {
        return std::atomic_ref<newfunc>(type->tp_new).load(std::memory_order_relaxed) == tp_new &&
               std::atomic_ref<initproc>(type->tp_init).load(std::memory_order_relaxed) ==
                   PyBaseObject_Type.tp_init;
    }

    // The fast call entry of every class: the interpreter's own class call once the class no
    // longer constructs itself.
    static PyObject* vectorcall_checked(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                        PyObject* kwnames) {
        if (!constructs_itself(reinterpret_cast<PyTypeObject*>(type)))
            return call_as_type(type, args, nargsf, kwnames);
        return vectorcall(type, args, nargsf, kwnames);
    }

    // The fast call entry. A call that gives exactly the parameters by position is bound as
    // it stands; by keywords, see vectorcall_keywords.
    // Flattened: the class's conversion must be inlined for the uncounted road to need no stack
    // frame, and the compiler's own choice differs between classes and interpreter versions.
    [[gnu::flatten]] static PyObject* vectorcall(PyObject* type, PyObject* const* args,
                                                 std::size_t nargsf, PyObject* kwnames) {
        if constexpr (HAS_UNCOUNTED_ROAD) {
            if (kwnames != nullptr) return vectorcall_keywords(type, args, nargsf, kwnames);
            if (std::cmp_equal(PyVectorcall_NARGS(nargsf), ARITY))
                return construct_bound(reinterpret_cast<PyTypeObject*>(type), args);
        }
        return vectorcall_general(type, args, nargsf, kwnames);
    }

    // A keyword call that gives exactly the parameters, each keyword by identity the interned
    // name of one, is bound here; anything else takes the general road, which words the
    // failure. Out of line, so that the positional call needs no stack frame for the slots;
    // flattened for the same reason as vectorcall, whose flattening stops at this call.
    [[gnu::noinline, gnu::flatten]] static PyObject* vectorcall_keywords(PyObject* type,
                                                                         PyObject* const* args,
                                                                         std::size_t nargsf,
                                                                         PyObject* kwnames) {
        using Names = InternedParameterNames<T::new_description>;
        const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
        const auto* names = Names::cell.get();
        ArgumentSlots<ARITY> slots{};
        if (!T::new_description.all_positional_required() || names == nullptr ||
            given + static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) != ARITY ||
            !bind_keywords_by_identity(*names, args, given, kwnames, slots))
            return vectorcall_general(type, args, nargsf, kwnames);
        return construct_bound(reinterpret_cast<PyTypeObject*>(type), slots.data());
    }

    // With the arguments bound, the uncounted road when no release waits to be applied. When it
    // declines, the general road goes on from the same slots; only the arguments read in line
    // before the one that declined are read again, a few instructions each, on a road that
    // then runs Python code.
    [[gnu::always_inline]] static PyObject* construct_bound(PyTypeObject* subtype,
                                                            PyObject* const* slots) {
        if (no_release_waiting()) {
            [[maybe_unused]] UncountedRoad road;
            auto built = build(subtype, UncountedArguments<ARITY>{slots});
            if (built) return *built;
        }
        return construct_in_boundary(subtype, slots);
    }

    [[gnu::noinline]] static PyObject* construct_in_boundary(PyTypeObject* subtype,
                                                             PyObject* const* slots) {
        ArgumentSlots<ARITY> bound;
        std::copy_n(slots, ARITY, bound.begin());
        return trampoline([&]() { return build_owned(subtype, bound); });
    }

    [[gnu::noinline]] static PyObject* vectorcall_general(PyObject* type, PyObject* const* args,
                                                          std::size_t nargsf, PyObject* kwnames) {
        return trampoline([&]() {
            return bind_and_build(
                reinterpret_cast<PyTypeObject*>(type), [&](std::span<PyObject*> slots) {
                    return extract_arguments_fastcall(T::new_description, args,
                                                      PyVectorcall_NARGS(nargsf), kwnames, slots,
                                                      parameter_objects<T::new_description>);
                });
        });
    }
};

}  // namespace kestrum
