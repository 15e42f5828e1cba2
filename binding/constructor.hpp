// A class's constructor: the interpreter's two entries, `tp_new` and the fast call, in front of
// one pipeline: bind, convert, make, allocate, store. The fast call first reads every argument
// without Python (the uncounted road); where an argument does not read so, or a release waits
// in the pool, the call declines and goes on inside the boundary from what was read.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "conversion.hpp"
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

// What a class's implementation type `T` provides:
//   static constexpr FunctionDescription new_description;  its constructor's parameters
//   static T make(P...);  the value, from one converted value per parameter, each P a type
//                         with a FromPyObject record; or, for a class that may refuse them,
//                         std::optional<T>, empty when refused;
//   static bool accepts(P...);  where given, whether make may be called;
//   static PyErr refuse(P...);  for a class that may refuse: the refusal's error.
template <class Make>
struct MakeSignature;

template <class R, class... P>
struct MakeSignature<R (*)(P...)> {
    using Values = std::tuple<std::remove_cvref_t<P>...>;
    static constexpr bool MAY_BE_EMPTY = false;
};

template <class T, class... P>
struct MakeSignature<std::optional<T> (*)(P...)> {
    using Values = std::tuple<std::remove_cvref_t<P>...>;
    static constexpr bool MAY_BE_EMPTY = true;
};

// How far the call had come when it went inside the boundary: the first `read` values are
// whole, and the next is as `next` says. (`next` comes first for the depth of nested calls on
// `Cuboid`'s road: bench/README.md.)
struct Progress {
    enum Next : std::uint8_t {
        UNTOUCHED,  // from nothing
        DECLINED,   // `convert` declined: `extract_bound` goes on from what it left
        FAILED,     // `convert` failed: its error was pending
    };
    Next next = UNTOUCHED;
    std::uint32_t read = 0;
};

template <class T>
struct Constructor {
    static constexpr const FunctionDescription& DESCRIPTION = T::new_description;
    using Signature = MakeSignature<decltype(&T::make)>;
    using Values = typename Signature::Values;
    static constexpr std::size_t ARITY = std::tuple_size_v<Values>;
    static_assert(ARITY == DESCRIPTION.parameter_count());

    // Whether the values are refused, before any is made.
    static bool refused(Values& values) {
        if constexpr (requires { T::accepts; })
            return !std::apply(T::accepts, values);
        else
            return false;
    }

    static PyObject* tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
        // Exactly the parameters by position, as `Cls.__new__(Cls, ...)` gives them: the tuple's
        // items (the caller holds the tuple) take the fast call's road.
        if (args != nullptr && kwargs == nullptr && std::cmp_equal(PyTuple_GET_SIZE(args), ARITY)) {
            PyObject* const* items = reinterpret_cast<PyTupleObject*>(args)->ob_item;
            return uncounted<false>(subtype, items, ARITY, nullptr, items);
        }
        return trampoline([&]() -> PyResult<Owned> {
            ArgumentSlots<ARITY> slots{};
            // The caller keeps the keyword dict alive, but not what it holds: a conversion's
            // Python code may empty it, and without the GIL another thread that shares it may
            // change it at any moment. What is bound from it is held, before its lock is let go,
            // until the end.
            std::array<Owned, ARITY> held;
            {
                const CriticalSection locked(kwargs);
                KS_CHECK(extract_arguments_tuple_dict(DESCRIPTION, args, kwargs, slots,
                                                      parameter_objects<T::new_description>));
                if (kwargs != nullptr) {
                    for (std::size_t i = 0; i < ARITY; ++i) held[i] = Owned::new_ref(slots[i]);
                }
            }
            Values values{};
            std::optional<PyErrStateFetched> failed;
            return build(subtype, slots.data(), Progress{}, failed, values);
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

    // The fast call entry of every class. By position, a call that gives exactly the parameters
    // is read as it stands; by keywords, see keyword_road; anything else is bound inside the
    // boundary, which words what is wrong with it. The count is passed on as the constant it
    // is then, so that the road keeps no other.
    [[gnu::flatten]] static PyObject* vectorcall(PyObject* type, PyObject* const* args,
                                                 std::size_t nargsf, PyObject* kwnames) {
        auto* subtype = reinterpret_cast<PyTypeObject*>(type);
        if (!constructs_itself(subtype)) return call_as_type(type, args, nargsf, kwnames);
        if (kwnames != nullptr) return keyword_road(subtype, args, nargsf, kwnames);
        if (!std::cmp_equal(PyVectorcall_NARGS(nargsf), ARITY))
            return in_boundary(subtype, args, nargsf, kwnames, Progress{}, Values{});
        return uncounted<false>(subtype, args, ARITY, nullptr, args);
    }

    // A keyword call that gives exactly the parameters, each keyword by identity the interned
    // name of one, once the first call with keywords has made the names. Out of line, so that
    // the positional call needs no stack frame for its slots.
    [[gnu::noinline, gnu::flatten]] static PyObject* keyword_road(PyTypeObject* subtype,
                                                                  PyObject* const* args,
                                                                  std::size_t nargsf,
                                                                  PyObject* kwnames) {
        const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
        const auto* names = InternedParameterNames<T::new_description>::cell.get();
        ArgumentSlots<ARITY> slots{};
        if (!DESCRIPTION.all_positional_required() || names == nullptr ||
            given + static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) != ARITY ||
            !bind_keywords_by_identity(*names, args, given, kwnames, slots))
            return in_boundary(subtype, args, nargsf, kwnames, Progress{}, Values{});
        return uncounted<true>(subtype, args, nargsf, kwnames, slots.data());
    }

    // With the arguments bound to `slots`: each read without Python, then made and stored, all
    // outside the boundary, when no release waits to be applied. An argument that does not read
    // so hands the call on to continue_without_boundary.
    template <bool BY_KEYWORD>
    static PyObject* uncounted(PyTypeObject* subtype, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames, PyObject* const* slots) {
        if (!no_release_waiting())
            return in_boundary(subtype, args, nargsf, kwnames, Progress{}, Values{});
        Values values{};
        if constexpr (ARITY == 0)
            return finish(subtype, args, nargsf, kwnames, values);
        else
            return read_from<0, BY_KEYWORD>(subtype, args, nargsf, kwnames, slots, values);
    }

    template <std::size_t I, bool BY_KEYWORD>
    [[gnu::always_inline]] static PyObject* read_from(PyTypeObject* subtype, PyObject* const* args,
                                                      std::size_t nargsf, PyObject* kwnames,
                                                      PyObject* const* slots, Values& values) {
        bool read;
        {
            [[maybe_unused]] const UncountedRoad road;
            read =
                FromPyObject<std::tuple_element_t<I, Values>>::read(slots[I], std::get<I>(values));
        }
        if (!read)
            return continue_without_boundary<I, BY_KEYWORD>(subtype, args, nargsf, kwnames, values);
        if constexpr (I + 1 == ARITY)
            return finish(subtype, args, nargsf, kwnames, values);
        else
            return read_from<I + 1, BY_KEYWORD>(subtype, args, nargsf, kwnames, slots, values);
    }

    // Every value converted: made and stored, or, refused, handed to the boundary for its error.
    [[gnu::always_inline]] static PyObject* finish(PyTypeObject* subtype, PyObject* const* args,
                                                   std::size_t nargsf, PyObject* kwnames,
                                                   Values& values) {
        if (!refused(values)) {
            if constexpr (Signature::MAY_BE_EMPTY) {
                if (std::optional<T> made = std::apply(T::make, values))
                    return store(subtype, std::move(*made));
            } else {
                return store(subtype, std::apply(T::make, values));
            }
        }
        return in_boundary(subtype, args, nargsf, kwnames, Progress{.read = ARITY}, values);
    }

    // From the argument of parameter I, which did not read without Python: the conversions that
    // need no boundary, from what was read. Each road ends in its call of the next, with the
    // arguments bound again (by position, or by identity as keyword_road found them) rather than
    // handed on, so that nothing of an earlier road is kept while a conversion's Python code
    // runs, however deep it nests. By position the count and the keywords are known.
    template <std::size_t I, bool BY_KEYWORD>
    static PyObject* continue_without_boundary(PyTypeObject* subtype, PyObject* const* args,
                                               std::size_t nargsf, PyObject* kwnames,
                                               Values values) {
        if constexpr (!BY_KEYWORD) {
            nargsf = ARITY;
            kwnames = nullptr;
        }
        [[maybe_unused]] ArgumentSlots<BY_KEYWORD ? ARITY : 0> bound{};
        PyObject* const* slots = args;
        if constexpr (BY_KEYWORD) {
            (void)bind_keywords_by_identity(
                *InternedParameterNames<T::new_description>::cell.get(), args,
                static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, bound);
            slots = bound.data();
        }
        const Progress progress = convert_without_boundary<I, true>(slots, values);
        if (progress.read == ARITY) return finish_apart(subtype, args, nargsf, kwnames, values);
        return in_boundary(subtype, args, nargsf, kwnames, progress, values);
    }

    // The same finish, after conversions that ran Python code: apart, so that what the
    // allocation and the store need is not kept under that code.
    [[gnu::noinline]] static PyObject* finish_apart(PyTypeObject* subtype, PyObject* const* args,
                                                    std::size_t nargsf, PyObject* kwnames,
                                                    Values values) {
        return finish(subtype, args, nargsf, kwnames, values);
    }

    // Parameters I on, converted outside the boundary (I's read already said no when TRIED):
    // how far the conversions came.
    template <std::size_t I, bool TRIED>
    [[gnu::always_inline]] static Progress convert_without_boundary(PyObject* const* slots,
                                                                    Values& values) {
        using P = std::tuple_element_t<I, Values>;
        auto& value = std::get<I>(values);
        bool read = false;
        if constexpr (!TRIED) {
            [[maybe_unused]] const UncountedRoad road;
            read = FromPyObject<P>::read(slots[I], value);
        }
        if (!read) {
            Converted converted = Converted::DECLINED;
            if constexpr (CONVERTS_WITHOUT_BOUNDARY<P>)
                converted = FromPyObject<P>::convert(slots[I], value);
            switch (converted) {
                case Converted::VALUE:
                    break;
                case Converted::DECLINED:
                    return {.next = Progress::DECLINED, .read = I};
                case Converted::FAILED:
                    return {.next = Progress::FAILED, .read = I};
            }
        }
        if constexpr (I + 1 == ARITY)
            return {.read = ARITY};
        else
            return convert_without_boundary<I + 1, false>(slots, values);
    }

    [[gnu::noinline]] static PyObject* in_boundary(PyTypeObject* subtype, PyObject* const* args,
                                                   std::size_t nargsf, PyObject* kwnames,
                                                   Progress progress, Values values) {
        // Taken off the indicator before the boundary applies the pool, whose releases may run
        // Python code.
        std::optional<PyErrStateFetched> failed;
        if (progress.next == Progress::FAILED) failed.emplace(take_pending());
        return trampoline([&]() -> PyResult<Owned> {
            const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
            ArgumentSlots<ARITY> bound{};
            PyObject* const* slots = args;
            if (kwnames != nullptr || !std::cmp_equal(nargs, ARITY)) {
                KS_CHECK(extract_arguments_fastcall(DESCRIPTION, args, nargs, kwnames, bound,
                                                    parameter_objects<T::new_description>));
                slots = bound.data();
            }
            return build(subtype, slots, progress, failed, values);
        });
    }

    // Inside the boundary: converts what was not converted, then makes and stores the value.
    static PyResult<Owned> build(PyTypeObject* subtype, PyObject* const* slots, Progress progress,
                                 std::optional<PyErrStateFetched>& failed, Values& values) {
        KS_CHECK(convert_from<0>(slots, progress, failed, values));
        if constexpr (requires { T::accepts; }) {
            if (refused(values)) return std::apply(T::refuse, values);
        }
        if constexpr (Signature::MAY_BE_EMPTY) {
            std::optional<T> made = std::apply(T::make, values);
            if (!made) return std::apply(T::refuse, values);
            return steal_or_fetch(store(subtype, std::move(*made)));
        } else {
            return steal_or_fetch(store(subtype, std::apply(T::make, values)));
        }
    }

    template <std::size_t I>
    static PyResult<void> convert_from(PyObject* const* slots, Progress progress,
                                       std::optional<PyErrStateFetched>& failed, Values& values) {
        if constexpr (I == ARITY) {
            return {};
        } else {
            constexpr std::string_view NAME = DESCRIPTION.parameter_name(I);
            auto& value = std::get<I>(values);
            if (I > progress.read || (I == progress.read && progress.next == Progress::UNTOUCHED))
                KS_CHECK(convert_argument(slots[I], value, NAME));
            else if (I == progress.read && progress.next == Progress::DECLINED)
                KS_CHECK(extract_argument_bound(slots[I], value, NAME));
            else if (I == progress.read) {
                std::optional<PyErr> error =
                    failed ? PyErr::from_pending(std::move(*failed)) : std::nullopt;
                return named(error ? std::move(*error) : fetch_error(), NAME);
            }
            return convert_from<I + 1>(slots, progress, failed, values);
        }
    }

    // Allocation comes last, so that a failed conversion has nothing to undo: the new instance,
    // or null with the allocator's MemoryError pending.
    static PyObject* store(PyTypeObject* subtype, T&& value) {
        PyObject* instance = allocate_instance(subtype);
        if (instance != nullptr) PyClassObject<T>::place(instance, std::move(value));
        return instance;
    }
};

}  // namespace kestrum
