// Class type objects: static class descriptions, the heap types built from them, instance
// layout, allocation, deallocation and the shared borrow.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "extract_argument.hpp"
#include "once_cell.hpp"
#include "trampoline.hpp"

namespace kestrum {

struct MethodEntry {
    const char* name;
    PyCFunction function;
    int flags;
    const char* doc;
};

// `get` and `set` are the interpreter's slots, each with the boundary inside: made by
// `getter_of` and `setter_of`.
struct PropertyEntry {
    const char* name;
    getter get;  // may be null
    setter set;  // may be null
    const char* doc;
};

struct ClassDescription {
    std::string_view name;
    std::string_view doc;
    std::string_view text_signature;  // empty when the class has none
    newfunc tp_new;
    // The fast call entry, and the same behind a check that the class still constructs
    // through its own tp_new (see PyClassImpl::vectorcall_checked).
    vectorcallfunc vectorcall;
    vectorcallfunc vectorcall_checked;
    std::span<const MethodEntry> methods;
    std::span<const PropertyEntry> properties;
    Py_ssize_t basicsize;
    destructor dealloc;
};

// The tables a type object points into (and, before 3.12, its spec name): they live as long
// as the type.
struct TypeTables {
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getsets;
    std::string spec_name;
};

// A built type with its tables; the type is released before the tables it points into.
struct TypeObject {
    std::unique_ptr<TypeTables> tables;
    Owned type;

    PyTypeObject* type_object() const { return reinterpret_cast<PyTypeObject*>(type.get()); }
};

PyResult<std::string> build_pyclass_doc(std::string_view name, std::string_view doc,
                                        std::string_view text_signature);
PyResult<TypeObject> create_type_object(const ClassDescription& description,
                                        const std::string& doc);

// The once-only type object of one class.
class LazyTypeObject {
public:
    explicit constexpr LazyTypeObject(const ClassDescription& description)
        : description_(description) {}

    // Builds the type on first use; a failure is a RuntimeError naming the class.
    PyResult<PyTypeObject*> get_or_try_init();
    // For callers that cannot report an error (type checks); module initialisation has
    // built every type before such a caller can run.
    PyTypeObject* get() {
        if (TypeObject* type = type_.get()) [[likely]]
            return type->type_object();
        return get_slow();
    }
    const ClassDescription& description() const { return description_; }

private:
    [[gnu::cold]] PyTypeObject* get_slow();
    PyResult<TypeObject> build();

    const ClassDescription& description_;
    GILOnceCell<TypeObject> type_;
    GILOnceCell<std::string> doc_;
};

// Instance record: object header, the class's value, the borrow counter.
template <class T>
struct PyClassObject {
    PyObject_HEAD T contents;
    Py_ssize_t borrow_flag;
};

constexpr Py_ssize_t BORROW_FLAG_UNUSED = 0;
constexpr Py_ssize_t BORROW_FLAG_EXCLUSIVE = -1;

// Every change of the counter happens under the interpreter lock, which already orders
// them; an atomic, let alone a locked read-modify-write, would only add cost to every
// accessor and keep the compiler from holding its result in registers.
inline bool try_borrow_shared(Py_ssize_t& flag) {
    if (flag == BORROW_FLAG_EXCLUSIVE) [[unlikely]]
        return false;
    ++flag;
    return true;
}

inline void release_borrow_shared(Py_ssize_t& flag) {
    --flag;
}

// Allocates an instance of `subtype` through its own allocator.
inline PyResult<Owned> allocate_instance(PyTypeObject* subtype) {
    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* instance = alloc(subtype, 0);
    if (instance == nullptr) [[unlikely]]
        return fetch_error();
    return Owned::steal(instance);
}

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
    using Layout = PyClassObject<T>;
    static constexpr std::size_t ARITY = T::new_description.parameter_count();

    static T& contents(PyObject* self) { return reinterpret_cast<Layout*>(self)->contents; }

    // A value that owns nothing, or only plain memory (declared by `OWNS_ONLY_MEMORY`), is
    // released without the boundary.
    static constexpr bool RELEASE_IS_PLAIN =
        std::is_trivially_destructible_v<T> || requires { requires T::OWNS_ONLY_MEMORY; };
    static_assert(!RELEASE_IS_PLAIN || std::is_nothrow_destructible_v<T>);

    static void place(PyObject* instance, T&& value) {
        auto* record = reinterpret_cast<Layout*>(instance);
        ::new (static_cast<void*>(&record->contents)) T(std::move(value));
        record->borrow_flag = BORROW_FLAG_UNUSED;
    }

    // Constructors bind, convert, and only then allocate.
    template <class Bind>
    [[gnu::always_inline]] static PyResult<Owned> construct(PyTypeObject* subtype, Bind&& bind) {
        ArgumentSlots<ARITY> slots{};
        KS_TRY(bind(std::span<PyObject*>(slots)));
        PyResult<T> value = T::from_arguments(slots);
        if (!value) [[unlikely]]
            return std::move(value).take_error();
        Owned instance = KS_TRY(allocate_instance(subtype));
        place(instance.get(), std::move(*value));
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
        auto* subtype = reinterpret_cast<PyTypeObject*>(type);
        allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        instance = alloc(subtype, 0);
        if (instance != nullptr) [[likely]]
            place(instance, std::move(*value));
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

    static void tp_dealloc(PyObject* self) {
        if constexpr (RELEASE_IS_PLAIN) {
            // Such a release can neither fail nor run Python code, so the boundary would
            // only count the entry.
            if (Py_TYPE(self)->tp_free != nullptr) [[likely]] {
                release(self);
                return;
            }
        }
        dealloc_in_boundary(self);
    }

    // Kept out of line so that the trivial release above needs no stack frame.
    [[gnu::noinline]] static void dealloc_in_boundary(PyObject* self) {
        trampoline_unraisable([self] {
            if (Py_TYPE(self)->tp_free == nullptr) panic("PyBaseObject_Type should have tp_free");
            release(self);
        });
    }

    static void release(PyObject* self) {
        contents(self).~T();
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        // Allocation took a reference to the (heap) type for every instance.
        Py_DECREF(type);
    }
};

// A class whose value no method ever borrows exclusively declares `FROZEN`: nothing can
// conflict with a shared borrow of it, so such borrows need not be counted.
template <class T>
constexpr bool COUNTS_BORROWS = !requires { requires T::FROZEN; };

// A shared view of an instance: a shared borrow, released when the view ends. The
// receiver is the caller's argument, which the interpreter keeps alive for the whole
// call, so the view needs no reference of its own.
template <class T>
class PyRef {
public:
    static PyResult<PyRef> extract_bound(PyObject* object) {
        PyTypeObject* type = T::type_object.get();
        if (Py_TYPE(object) != type && !PyType_IsSubtype(Py_TYPE(object), type)) [[unlikely]]
            return downcast_error(object, T::type_object.description().name);
        return borrow(object);
    }

    // For a receiver that the interpreter's method or property descriptor has already
    // type-checked: every call of a method or getter comes through one.
    static PyResult<PyRef> borrow(PyObject* object) {
        auto* record = reinterpret_cast<PyClassObject<T>*>(object);
        if constexpr (COUNTS_BORROWS<T>) {
            if (!try_borrow_shared(record->borrow_flag)) [[unlikely]]
                return borrow_error();
        }
        return PyRef(record);
    }

    PyRef(PyRef&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef& operator=(PyRef&&) = delete;
    ~PyRef() {
        if constexpr (COUNTS_BORROWS<T>) {
            if (record_ != nullptr) release_borrow_shared(record_->borrow_flag);
        }
    }

    const T& operator*() const { return record_->contents; }
    const T* operator->() const { return &record_->contents; }

private:
    explicit PyRef(PyClassObject<T>* record) : record_(record) {}
    PyClassObject<T>* record_;
};

[[gnu::cold, gnu::noinline]] PyObject* fail_after_error(
    std::source_location where = std::source_location::current());

// What computes the result of a method or getter from the receiver's value: either a new
// reference or null with the failure pending (which then counts as a native failure), or a
// PyResult for results that can fail as Python errors.
template <class T, auto F>
constexpr bool RETURNS_REFERENCE = std::is_same_v<decltype(F(std::declval<const T&>())), PyObject*>;

// The body of a method or getter. For a frozen class whose result is a plain reference, the
// plain road computes it outside the boundary: nothing on it borrows, reads the lock count or
// releases a reference, and the descriptor that called it has checked the receiver's type.
// Saves about 20 instructions a call (callgrind); a failure takes the boundary.
template <class T, auto F>
[[gnu::noinline]] PyObject* compute_in_boundary(PyObject* self);

template <class T, auto F>
[[gnu::always_inline]] inline PyObject* compute_from_receiver(PyObject* self) {
    if constexpr (!COUNTS_BORROWS<T> && RETURNS_REFERENCE<T, F>) {
        if (plain_entry()) [[likely]] {
            if (PyObject* result = F(PyClassImpl<T>::contents(self))) [[likely]]
                return result;
            return fail_after_error();
        }
    }
    return compute_in_boundary<T, F>(self);
}

// Kept out of line so that the plain road needs no stack frame.
template <class T, auto F>
PyObject* compute_in_boundary(PyObject* self) {
    return trampoline([self]() KS_INLINE_BODY -> PyResult<Owned> {
        PyRef<T> receiver = KS_TRY(PyRef<T>::borrow(self));
        if constexpr (RETURNS_REFERENCE<T, F>) {
            Owned result = Owned::steal(F(*receiver));
            if (!result) [[unlikely]]
                panic_after_error();
            return result;
        } else {
            return F(*receiver);
        }
    });
}

// A METH_NOARGS method.
template <class T, auto F>
PyObject* method_noargs(PyObject* self, PyObject* /*unused*/) {
    return compute_from_receiver<T, F>(self);
}

// A property getter.
template <class T, auto F>
PyObject* getter_of(PyObject* self, void* /*closure*/) {
    return compute_from_receiver<T, F>(self);
}

// A property setter; deleting the property is refused.
template <PyResult<void> (*Store)(PyObject* self, PyObject* value)>
int setter_of(PyObject* self, PyObject* value, void* /*closure*/) {
    return trampoline_int([=]() KS_INLINE_BODY -> PyResult<void> {
        if (value == nullptr) return PyErr::new_(PyExc_AttributeError, "can't delete attribute");
        return Store(self, value);
    });
}

}  // namespace kestrum

namespace kestrum {

// A class description whose slots come from the class's implementation type `T`.
template <class T>
constexpr ClassDescription describe_class(std::string_view name, std::string_view doc,
                                          std::string_view text_signature,
                                          std::span<const MethodEntry> methods = {},
                                          std::span<const PropertyEntry> properties = {}) {
    return {name,
            doc,
            text_signature,
            PyClassImpl<T>::tp_new,
            PyClassImpl<T>::vectorcall,
            PyClassImpl<T>::vectorcall_checked,
            methods,
            properties,
            static_cast<Py_ssize_t>(sizeof(PyClassObject<T>)),
            PyClassImpl<T>::tp_dealloc};
}

}  // namespace kestrum
