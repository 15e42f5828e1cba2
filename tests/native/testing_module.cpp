// The test-only module `_kestrum_testing`: entry points that drive the binding layer's
// failure paths, error values, lock bookkeeping and once-only cells from Python.
#include <Python.h>

#include <mutex>
#include <span>
#include <stdexcept>
#include <thread>

#include "err_kinds.hpp"
#include "err_text.hpp"
#include "gil.hpp"
#include "once_cell.hpp"
#include "pyclass.hpp"
#include "text.hpp"
#include "trampoline.hpp"

namespace kestrum {

// The text of a `str` argument, copied: copying allocates, so it is never read without Python.
template <>
struct FromPyObject<std::string> {
    static bool read(PyObject* /*object*/, std::string& /*out*/) { return false; }
    static PyResult<void> extract_bound(PyObject* object, std::string& out) {
        StrBytes bytes;
        KS_CHECK(FromPyObject<StrBytes>::extract_bound(object, bytes));
        out = bytes.text;
        return {};
    }
};

// An argument kept as the object itself, taken inside the boundary.
template <>
struct FromPyObject<PyObject*> {
    static bool read(PyObject* /*object*/, PyObject*& /*out*/) { return false; }
    static PyResult<void> extract_bound(PyObject* object, PyObject*& out) {
        out = object;
        return {};
    }
};

namespace {

// ---- helpers -----------------------------------------------------------------------

PyResult<std::string> text_of(PyObject* object) {
    std::string text;
    KS_CHECK(FromPyObject<std::string>::extract_bound(object, text));
    return text;
}

// A module function body: the borrowed arguments tuple in, a new reference (or error) out.
using Body = PyResult<Owned> (*)(PyObject* args);

template <Body F>
PyObject* entry(PyObject* /*module*/, PyObject* args) {
    return trampoline([args] { return F(args); });
}

PyObject* arg(PyObject* args, Py_ssize_t i) {
    return PyTuple_GET_ITEM(args, i);
}

Owned none() {
    return Owned::new_ref(Py_None);
}

// A normalized error value for an exception instance given from Python.
PyErr error_from_instance(PyObject* exception) {
    Owned type = Owned::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    Owned traceback = Owned::steal(PyException_GetTraceback(exception));
    return PyErr(
        PyErrStateNormalized{std::move(type), Owned::new_ref(exception), std::move(traceback)});
}

// A lazy error whose builder calls a Python callable for its (type, argument) pair.
PyErr error_from_builder(PyObject* builder) {
    return PyErr(ErrorBuilder([builder = Owned::new_ref(builder)] {
        Owned pair = Owned::steal(PyObject_CallNoArgs(builder.get()));
        if (!pair) {
            // Taking it resumes a PanicException that came through the builder.
            if (std::optional<PyErr> error = PyErr::take()) std::move(*error).restore();
            panic_after_error();
        }
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) panic_after_error();
        return std::pair{Owned::new_ref(PyTuple_GET_ITEM(pair.get(), 0)),
                         Owned::new_ref(PyTuple_GET_ITEM(pair.get(), 1))};
    }));
}

// ---- native failures ---------------------------------------------------------------

PyResult<Owned> panic_with_text(PyObject* args) {
    KS_TRY(std::string message, text_of(arg(args, 0)));
    panic(std::move(message));
}

PyResult<Owned> panic_with_other_payload(PyObject* /*args*/) {
    panic_with_payload(std::any(42));
}

PyResult<Owned> throw_foreign(PyObject* /*args*/) {
    throw std::runtime_error("not ours");
}

PyResult<Owned> panic_after_error_with(PyObject* args) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(arg(args, 0))), arg(args, 0));
    panic_after_error();
}

// The builder fails while the boundary raises its error.
PyResult<Owned> fail_in_restore(PyObject* /*args*/) {
    return PyErr(ErrorBuilder([]() -> std::pair<Owned, Owned> { panic("builder failed"); }));
}

// Not itself a boundary: it forbids the lock bookkeeping, then enters one.
PyObject* forbid_gil_then_enter(PyObject* /*module*/, PyObject* args) {
    GIL_COUNT = PyLong_AsLong(arg(args, 0));
    return trampoline([] { return PyResult<Owned>(none()); });
}

// ---- error values ------------------------------------------------------------------

PyResult<Owned> return_error(PyObject* args) {
    KS_TRY(std::string message, text_of(arg(args, 1)));
    return PyErr::new_(arg(args, 0), std::move(message));
}

// The raw result of an int slot whose body fails or not, and what it left pending.
PyObject* int_slot(PyObject* /*module*/, PyObject* args) {
    const bool fail = PyObject_IsTrue(arg(args, 0)) == 1;
    const int result = trampoline_int([fail]() -> PyResult<void> {
        if (fail) return PyErr::new_(PyExc_ValueError, "int slot failed");
        return {};
    });
    std::optional<PyErr> pending = PyErr::take();
    Owned value = pending ? std::move(*pending).into_value() : none();
    return Py_BuildValue("(iO)", result, value.get());
}

PyResult<Owned> take_after_call(PyObject* args) {
    Owned result = Owned::steal(PyObject_CallNoArgs(arg(args, 0)));
    if (result) return result;
    std::optional<PyErr> taken = PyErr::take();
    if (!taken) return none();
    return std::move(*taken).into_value();
}

// Calls with the tuple and the dict themselves, not copies, as a C caller may: a dict that other
// threads share reaches the callee.
PyResult<Owned> call_with(PyObject* args) {
    Owned result = Owned::steal(PyObject_Call(arg(args, 0), arg(args, 1), arg(args, 2)));
    if (!result) return fetch_error();
    return result;
}

PyResult<Owned> panic_exception_type(PyObject* /*args*/) {
    return Owned::new_ref(PanicException::type_object());
}

PyResult<Owned> fetch_with_nothing_pending(PyObject* /*args*/) {
    return fetch_error();
}

PyResult<Owned> raise_lazy_arguments(PyObject* args) {
    return PyErr::lazy_arguments(Owned::new_ref(arg(args, 0)), none());
}

// The cause as a value, raising it when it is not an exception instance.
PyResult<Owned> cause_of(PyObject* args) {
    std::optional<PyErr> cause = error_from_instance(arg(args, 0)).cause();
    if (!cause) return none();
    if (!PyExceptionInstance_Check(cause->value())) return std::move(*cause);
    return std::move(*cause).into_value();
}

PyResult<Owned> with_cause(PyObject* args) {
    PyErr error = error_from_instance(arg(args, 0));
    PyObject* cause = arg(args, 1);
    error.set_cause(cause == Py_None ? std::nullopt
                                     : std::optional<PyErr>(error_from_instance(cause)));
    return std::move(error).into_value();
}

PyResult<Owned> argument_error(PyObject* args) {
    KS_TRY(std::string name, text_of(arg(args, 0)));
    return argument_extraction_error(name, error_from_instance(arg(args, 1)));
}

// Prints an exception through PyErr::print, as the interpreter prints an uncaught one.
PyResult<Owned> print_error(PyObject* args) {
    error_from_instance(arg(args, 0)).print();
    return none();
}

PyResult<Owned> debug_form(PyObject* args) {
    return PyString::new_(debug_text(error_from_instance(arg(args, 0))));
}

PyResult<Owned> display(PyObject* args) {
    std::string out;
    KS_CHECK(append_display(arg(args, 0), out));
    return PyString::new_(out);
}

PyResult<Owned> lossy(PyObject* args) {
    return PyString::new_(to_string_lossy(arg(args, 0)));
}

PyResult<Owned> decode_lossy(PyObject* args) {
    PyObject* bytes = arg(args, 0);
    return PyString::new_(decode_utf8_lossy(std::string_view(
        PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)))));
}

PyResult<Owned> downcast(PyObject* args) {
    return downcast_error(arg(args, 0), "Target");
}

PyResult<Owned> nul_byte(PyObject* args) {
    return nul_byte_error(static_cast<std::size_t>(PyLong_AsSize_t(arg(args, 0))));
}

// ---- lock bookkeeping and once-only cells ------------------------------------------

PyResult<Owned> gil_count(PyObject* /*args*/) {
    return Owned::steal(PyLong_FromSsize_t(GIL_COUNT));
}

// Takes a reference and releases it on a thread that does not hold the lock, so it waits
// in the pool for the next entry.
PyResult<Owned> release_from_thread(PyObject* args) {
    PyObject* object = Owned::new_ref(arg(args, 0)).release();
    std::thread([object] { Owned::steal(object); }).join();
    return Owned::steal(PyBool_FromLong(POOL.has_pending() ? 1 : 0));
}

// Whether calls of a class reach a vector call entry: a type slot from 3.14, assigned before.
PyResult<Owned> has_vector_call(PyObject* args) {
    const auto* type = reinterpret_cast<PyTypeObject*>(arg(args, 0));
    return Owned::new_ref(type->tp_vectorcall != nullptr ? Py_True : Py_False);
}

PyResult<Owned> noop(PyObject* /*args*/) {
    return none();
}

PyResult<Owned> release_in_allow_threads(PyObject* args) {
    Owned held = Owned::new_ref(arg(args, 0));
    allow_threads([&held] { held = Owned(); });
    return none();
}

// Calls `callable` on a native thread that takes the GIL itself. Gives back the
// hold count inside the guard, the count after it, and the call's result.
PyResult<Owned> call_from_native_thread(PyObject* args) {
    PyObject* callable = arg(args, 0);
    std::intptr_t inside = 0;
    std::intptr_t after = 0;
    Owned result;
    std::optional<PyErr> error;
    allow_threads([&] {
        std::thread([&] {
            {
                GILGuard guard = GILGuard::acquire();
                inside = GIL_COUNT;
                result = Owned::steal(PyObject_CallNoArgs(callable));
                if (!result) error = fetch_error();
            }
            after = GIL_COUNT;
        }).join();
    });
    if (error) return std::move(*error);
    return steal_or_fetch(Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(inside),
                                        static_cast<Py_ssize_t>(after), result.get()));
}

// Calls `callable` on a native thread that takes the GIL itself, holding a
// reference of its own meanwhile, and returns at once without waiting for it.
PyResult<Owned> call_on_detached_native_thread(PyObject* args) {
    PyObject* callable = Owned::new_ref(arg(args, 0)).release();
    std::thread([callable] {
        GILGuard guard = GILGuard::acquire();
        Owned held = Owned::steal(callable);
        Owned result = Owned::steal(PyObject_CallNoArgs(held.get()));
        if (!result) PyErr_Clear();
    }).detach();
    return none();
}

constinit GILOnceCell<Owned> ONCE_CELL;

// Fills the cell from a callable; a raising callable leaves it empty.
PyResult<Owned> once_cell_get_or_init(PyObject* args) {
    PyObject* init = arg(args, 0);
    KS_TRY(Owned * stored,
           ONCE_CELL.get_or_try_init([init] { return steal_or_fetch(PyObject_CallNoArgs(init)); }));
    return Owned::new_ref(stored->get());
}

PyResult<Owned> once_cell_peek(PyObject* /*args*/) {
    Owned* stored = ONCE_CELL.get();
    return stored != nullptr ? Owned::new_ref(stored->get()) : none();
}

// ---- class building ----------------------------------------------------------------

constexpr ClassDescription broken_class(std::string_view name, std::string_view signature);

// A class built on request; kept reachable for the life of the process like the module's
// own, since its type points into its description.
struct BuiltClass {
    BuiltClass(std::string class_name, std::string class_signature)
        : name(std::move(class_name)),
          signature(std::move(class_signature)),
          description(broken_class(name, signature)),
          lazy(description) {}
    std::string name;
    std::string signature;
    ClassDescription description;
    LazyTypeObject lazy;
};

// Every class built, kept for the life of the process (the interpreter may hold any). Guarded
// by BUILT_CLASSES_LOCK, held only while one is added.
std::mutex BUILT_CLASSES_LOCK;
auto& BUILT_CLASSES = *new std::vector<std::unique_ptr<BuiltClass>>();

PyResult<Owned> build_class(PyObject* args) {
    KS_TRY(std::string name, text_of(arg(args, 0)));
    KS_TRY(std::string signature, text_of(arg(args, 1)));
    BuiltClass* built = nullptr;
    {
        const std::lock_guard added(BUILT_CLASSES_LOCK);
        built =
            BUILT_CLASSES
                .emplace_back(std::make_unique<BuiltClass>(std::move(name), std::move(signature)))
                .get();
    }
    KS_TRY(PyTypeObject * type, built->lazy.get_or_try_init());
    return Owned::new_ref(reinterpret_cast<PyObject*>(type));
}

// An instance of a class whose deallocation fails.
struct PyFailingDealloc {
    static constexpr std::string_view PARAMETERS[] = {"message"};
    static constexpr FunctionDescription new_description{.class_name = "FailingDealloc",
                                                         .function_name = "__new__",
                                                         .positional_names = PARAMETERS,
                                                         .required_positional_count = 1};
    std::string message;
    static PyFailingDealloc make(const std::string& message) { return {message}; }
    static void tp_dealloc(PyObject* self) {
        trampoline_unraisable([self] {
            auto& record = *reinterpret_cast<PyClassObject<PyFailingDealloc>*>(self);
            std::string message = std::move(record.contents.message);
            record.contents.~PyFailingDealloc();
            PyTypeObject* type = Py_TYPE(self);
            type->tp_free(self);
            Py_DECREF(type);
            panic(std::move(message));
        });
    }
};

constinit LazyTypeObject FAILING_DEALLOC_CLASS = [] {
    ClassDescription description =
        describe_class<PyFailingDealloc>("FailingDealloc", "", "(message)");
    description.dealloc = PyFailingDealloc::tp_dealloc;
    return description;
}();

// A class whose only property has a getter and a setter that fail on demand. Its constructor
// takes the uncounted road, where this module's own pending releases can be seen.
struct PyProbe {
    static constexpr std::string_view PARAMETERS[] = {"value"};
    static constexpr FunctionDescription new_description{.class_name = "Probe",
                                                         .function_name = "__new__",
                                                         .positional_names = PARAMETERS,
                                                         .required_positional_count = 1};
    float value;
    // Counts its borrows, so that the tests can hold its counter at an exclusive borrow.
    static constexpr bool FROZEN = false;
    static PyProbe make(float value) { return {value}; }
    static PyObject* get(const PyProbe& self) { return PyFloat_FromDouble(self.value); }
    static PyResult<void> set(PyObject* /*self*/, PyObject* value) {
        return PyErr::new_(PyExc_ValueError, "refused " + std::string(Py_TYPE(value)->tp_name));
    }
};

constexpr PropertyEntry PROBE_PROPERTIES[] = {
    {"value", getter_of<PyProbe, &PyProbe::get>, nullptr, "the stored value"},
    {"value", nullptr, setter_of<PyProbe::set>, "ignored: the first doc stays"},
};
constinit LazyTypeObject PROBE_CLASS =
    describe_class<PyProbe>("Probe", "A probe.", "(value)", {}, PROBE_PROPERTIES);

struct PyBroken {
    static constexpr FunctionDescription new_description{.class_name = "Broken",
                                                         .function_name = "__new__"};
    static PyBroken make() { return {}; }
};

constexpr ClassDescription broken_class(std::string_view name, std::string_view signature) {
    return describe_class<PyBroken>(name, "", signature);
}

// An error value that Python code can share between threads and normalize.
struct PyErrorValue {
    static constexpr std::string_view PARAMETERS[] = {"builder"};
    static constexpr FunctionDescription new_description{.class_name = "ErrorValue",
                                                         .function_name = "__new__",
                                                         .positional_names = PARAMETERS,
                                                         .required_positional_count = 1};
    mutable std::optional<PyErr> error;
    static constexpr bool FROZEN = false;
    static PyErrorValue make(PyObject* builder) { return {error_from_builder(builder)}; }
    static PyResult<Owned> normalize(const PyErrorValue& self) {
        if (!self.error) return PyErr::new_(PyExc_ValueError, "already raised");
        return Owned::new_ref(self.error->value());
    }
    // Puts the error onto the indicator inside the body, then raises what it finds there.
    static PyResult<Owned> raise_now(const PyErrorValue& self) {
        if (!self.error) return PyErr::new_(PyExc_ValueError, "already raised");
        PyErr taken = std::move(*self.error);
        self.error.reset();
        std::move(taken).restore();
        return fetch_error();
    }
};

constexpr MethodEntry ERROR_VALUE_METHODS[] = {
    {"normalize", method_noargs<PyErrorValue, &PyErrorValue::normalize>, METH_NOARGS,
     "normalize($self)\n--\n\nThe exception instance, built once."},
    {"raise_now", method_noargs<PyErrorValue, &PyErrorValue::raise_now>, METH_NOARGS,
     "raise_now($self)\n--\n\nRestores the error inside the call and raises it."},
};
constinit LazyTypeObject ERROR_VALUE_CLASS =
    describe_class<PyErrorValue>("ErrorValue", "", "(builder)", ERROR_VALUE_METHODS);

// Sets a Probe's borrow counter, standing in for an exclusive borrow that no class takes.
PyResult<Owned> set_borrow_flag(PyObject* args) {
    PyObject* probe = arg(args, 0);
    if (!PyObject_TypeCheck(probe, PROBE_CLASS.get())) return downcast_error(probe, "Probe");
    reinterpret_cast<PyClassObject<PyProbe>*>(probe)->borrow_flag = PyLong_AsSsize_t(arg(args, 1));
    return none();
}

// ---- argument binding --------------------------------------------------------------

// The parameter kinds no class of the module has: positional-only, optional, keyword-only.
// As a Python function: mixed(a, /, b, c=None, *, k, m=None).
constexpr std::string_view MIXED_POSITIONAL[] = {"a", "b", "c"};
constexpr KeywordOnlyParameter MIXED_KEYWORD_ONLY[] = {{"k", true}, {"m", false}};
constexpr FunctionDescription MIXED{.function_name = "mixed",
                                    .positional_names = MIXED_POSITIONAL,
                                    .positional_only_count = 1,
                                    .required_positional_count = 2,
                                    .keyword_only = MIXED_KEYWORD_ONLY};
// keywords_only(*, x, y, z)
constexpr KeywordOnlyParameter XYZ[] = {{"x", true}, {"y", true}, {"z", true}};
constexpr FunctionDescription KEYWORDS_ONLY{.function_name = "keywords_only", .keyword_only = XYZ};

// The argument bound to each parameter, by parameter name; empty slots are left out.
template <const FunctionDescription& Description>
PyResult<Owned> bound(std::span<PyObject* const> slots) {
    KS_TRY(Owned result, steal_or_fetch(PyDict_New()));
    const std::size_t positional_count = Description.positional_names.size();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] == nullptr) continue;
        const std::string_view name =
            i < positional_count ? Description.positional_names[i]
                                 : Description.keyword_only[i - positional_count].parameter_name;
        if (PyDict_SetItem(result.get(), PyString::new_(name).get(), slots[i]) == -1)
            return fetch_error();
    }
    return result;
}

// The vector form of a call, which matches keywords against the interned parameter names.
template <const FunctionDescription& Description>
PyObject* bind_vector(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return trampoline([&]() -> PyResult<Owned> {
        ArgumentSlots<Description.parameter_count()> slots{};
        KS_CHECK(extract_arguments_fastcall(Description, args, nargs, kwnames, slots,
                                            parameter_objects<Description>));
        return bound<Description>(slots);
    });
}

// The tuple-and-dictionary form, which matches keywords by their text.
template <const FunctionDescription& Description>
PyObject* bind_tuple(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return trampoline([&]() -> PyResult<Owned> {
        ArgumentSlots<Description.parameter_count()> slots{};
        const CriticalSection locked(kwargs);
        KS_CHECK(extract_arguments_tuple_dict(Description, args, kwargs, slots));
        return bound<Description>(slots);
    });
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---- the module --------------------------------------------------------------------

#define ENTRY(name, doc) {#name, entry<name>, METH_VARARGS, doc}

PyMethodDef METHODS[] = {
    ENTRY(panic_with_text, "A native failure carrying the given text."),
    ENTRY(panic_with_other_payload, "A native failure carrying something that is not text."),
    ENTRY(throw_foreign, "A C++ exception that is not a native failure."),
    ENTRY(panic_after_error_with, "Sets the exception, then fails as after an API error."),
    ENTRY(fail_in_restore, "Returns an error whose builder fails."),
    {"forbid_gil_then_enter", forbid_gil_then_enter, METH_VARARGS,
     "Sets the hold count, then enters a boundary (aborts if negative)."},
    ENTRY(return_error, "Returns an error of the given type and message."),
    {"int_slot", int_slot, METH_VARARGS, "The result and pending error of an int slot."},
    ENTRY(take_after_call, "Calls, then takes the pending exception as a value."),
    ENTRY(call_with, "Calls with the given tuple and dict, not copies."),
    ENTRY(panic_exception_type, "This module's own PanicException type."),
    ENTRY(fetch_with_nothing_pending, "Fetches although nothing is pending."),
    ENTRY(raise_lazy_arguments, "Raises a lazy error whose type is the given object."),
    ENTRY(cause_of, "The cause of an exception, as an error value."),
    ENTRY(with_cause, "Sets (or clears, with None) an exception's cause."),
    ENTRY(argument_error, "argument_extraction_error of a name and an exception."),
    ENTRY(print_error, "Prints an exception through PyErr::print."),
    ENTRY(debug_form, "The debug form of an exception as an error value."),
    ENTRY(display, "The display text of an object."),
    ENTRY(lossy, "The lossy UTF-8 text of a str."),
    ENTRY(decode_lossy, "Decodes bytes as UTF-8 with replacements."),
    ENTRY(downcast, "Raises the downcast error for an object and 'Target'."),
    ENTRY(nul_byte, "Raises the nul-byte error for a position."),
    ENTRY(gil_count, "This thread's hold count."),
    ENTRY(release_from_thread, "Releases a reference without the lock; is one pending?"),
    ENTRY(noop, "An entry that does nothing."),
    ENTRY(has_vector_call, "Whether a class has a vector call entry."),
    ENTRY(release_in_allow_threads, "Releases a reference with the lock released."),
    ENTRY(call_from_native_thread, "Calls from a native thread that takes the lock itself."),
    ENTRY(call_on_detached_native_thread, "Calls from a native thread, without waiting."),
    ENTRY(once_cell_get_or_init, "Fills the test cell from a callable."),
    ENTRY(once_cell_peek, "The test cell's value, or None."),
    ENTRY(build_class, "Builds a class with the given name and text signature."),
    ENTRY(set_borrow_flag, "Sets a Probe's borrow counter."),
    {"mixed", as_method(bind_vector<MIXED>), METH_FASTCALL | METH_KEYWORDS,
     "Binds mixed(a, /, b, c=None, *, k, m=None) from a vector call."},
    {"mixed_from_tuple", as_method(bind_tuple<MIXED>), METH_VARARGS | METH_KEYWORDS,
     "Binds mixed(a, /, b, c=None, *, k, m=None) from a tuple and a dictionary."},
    {"keywords_only", as_method(bind_vector<KEYWORDS_ONLY>), METH_FASTCALL | METH_KEYWORDS,
     "Binds keywords_only(*, x, y, z) from a vector call."},
    {"keywords_only_from_tuple", as_method(bind_tuple<KEYWORDS_ONLY>), METH_VARARGS | METH_KEYWORDS,
     "Binds keywords_only(*, x, y, z) from a tuple and a dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

#undef ENTRY

PyModuleDef MODULE_DEFINITION = {
    PyModuleDef_HEAD_INIT,
    "_kestrum_testing",
    "Drives kestrum's binding layer from tests.",
    -1,
    METHODS,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyResult<Owned> make_module() {
    KS_TRY(Owned module, steal_or_fetch(PyModule_Create(&MODULE_DEFINITION)));
    if (!declare_gil_not_used(module.get())) return fetch_error();
    const std::pair<const char*, LazyTypeObject*> classes[] = {
        {"FailingDealloc", &FAILING_DEALLOC_CLASS},
        {"Probe", &PROBE_CLASS},
        {"ErrorValue", &ERROR_VALUE_CLASS},
    };
    for (auto [name, lazy] : classes) {
        KS_TRY(PyTypeObject * type, lazy->get_or_try_init());
        if (PyModule_AddObjectRef(module.get(), name, reinterpret_cast<PyObject*>(type)) == -1)
            return fetch_error();
    }
    return module;
}

}  // namespace
}  // namespace kestrum

PyMODINIT_FUNC PyInit__kestrum_testing() {
    return kestrum::trampoline(kestrum::make_module);
}
