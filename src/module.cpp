// The module entry: PyInit_kestrum, the interpreter claim and the registration of the classes.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>

#include "err_kinds.hpp"
#include "err_text.hpp"
#include "interned_name.hpp"
#include "once_cell.hpp"
#include "pyclass.hpp"
#include "text.hpp"
#include "trampoline.hpp"

namespace kestrum {

namespace {

PyModuleDef MODULE_DEFINITION = {
    PyModuleDef_HEAD_INIT,
    "kestrum",
    "Collision shapes for Python, implemented natively.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first claimed the module (-1: none yet; a compare-and-exchange claims it)
// and the module it got (a once-cell; initialisation also runs under the import lock).
std::atomic<std::int64_t> interpreter{-1};
constinit GILOnceCell<Owned> module;
constinit InternedName ALL("__all__");

}  // namespace

// The classes, in the order the module adds them, each in the file named for it (Cylinder and
// Cone give their texts to the body they share, axial_shape.hpp).
extern LazyTypeObject CAPSULE_CLASS, CONE_CLASS, CUBOID_CLASS, CYLINDER_CLASS, SPHERE_CLASS,
    MESH_CLASS;

namespace {

constexpr LazyTypeObject* CLASSES[] = {&CAPSULE_CLASS,  &CONE_CLASS,   &CUBOID_CLASS,
                                       &CYLINDER_CLASS, &SPHERE_CLASS, &MESH_CLASS};

// The module's __all__, created empty when missing. Called qualified: the C library declares
// an `index` of its own.
PyResult<Owned> index(PyObject* module_object) {
    if (PyObject* all = PyObject_GetAttr(module_object, ALL.get())) {
        Owned list = Owned::steal(all);
        if (!PyList_Check(list.get())) return downcast_error(list.get(), "PyList");
        return list;
    }
    PyErr error = fetch_error();
    if (!error.matches(PyExc_AttributeError)) return error;
    Owned list = Owned::steal(PyList_New(0));
    if (!list) panic_after_error();
    if (PyObject_SetAttr(module_object, ALL.get(), list.get()) == -1) return fetch_error();
    return list;
}

PyResult<void> add(PyObject* module_object, PyObject* name, PyObject* type) {
    {
        KS_TRY(Owned all, kestrum::index(module_object));
        // The message says __name__ although the class name is what is appended: its
        // wording is fixed.
        if (PyList_Append(all.get(), name) == -1)
            panic("could not append __name__ to __all__: " + debug_text(fetch_error()));
    }
    if (PyObject_SetAttr(module_object, name, type) == -1) return fetch_error();
    return {};
}

PyResult<void> initialize(PyObject* module_object) {
    for (LazyTypeObject* lazy : CLASSES) {
        KS_TRY(PyTypeObject * type, lazy->get_or_try_init());
        Owned name = PyString::new_(lazy->description().name);
        KS_CHECK(add(module_object, name.get(), reinterpret_cast<PyObject*>(type)));
    }
    return {};
}

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// 3.12 runs an isolated subinterpreter's initialisation of a single-phase module before it
// refuses the module; from 3.13 it refuses before. Such an interpreter never gets the module, so
// it must not claim it: refused here in the interpreter's own words, it claims nothing.
std::optional<PyErr> refused_by_interpreter(PyInterpreterState* state) {
    if (state == PyInterpreterState_Main() ||
        !_PyInterpreterState_HasFeature(state, Py_RTFLAGS_MULTI_INTERP_EXTENSIONS))
        return std::nullopt;
    return PyErr::new_(PyExc_ImportError,
                       "module kestrum does not support loading in subinterpreters");
}
#else
std::optional<PyErr> refused_by_interpreter(PyInterpreterState* /*state*/) {
    return std::nullopt;
}
#endif

PyResult<Owned> make_module() {
    // The C++ runtime's per-thread exception state is allocated on a thread's first throw;
    // were that the first failure under exhausted memory, the C library would end the
    // process. The importing thread gets it now: reading the count of uncaught exceptions
    // reaches it, under either C++ runtime.
    const volatile int reached = std::uncaught_exceptions();
    (void)reached;
    PyInterpreterState* state = PyInterpreterState_Get();
    if (std::optional<PyErr> refused = refused_by_interpreter(state)) return std::move(*refused);
    const std::int64_t id = PyInterpreterState_GetID(state);
    if (id == -1) return fetch_error();
    std::int64_t expected = -1;
    if (!interpreter.compare_exchange_strong(expected, id) && expected != id)
        return PyErr::new_(PyExc_ImportError,
                           "kestrum and other natively implemented modules do not yet support "
                           "subinterpreters, see https://docs.python.org/3/c-api/init.html"
                           "#sub-interpreter-support");
    if (Owned* cached = module.get()) return Owned::new_ref(cached->get());

    KS_TRY(Owned created, steal_or_fetch(PyModule_Create2(&MODULE_DEFINITION, PYTHON_API_VERSION)));
    if (!declare_gil_not_used(created.get())) return fetch_error();
    KS_CHECK(initialize(created.get()));
    return Owned::new_ref(module.set_if_empty(std::move(created)).get());
}

}  // namespace

}  // namespace kestrum

PyMODINIT_FUNC PyInit_kestrum() {
    return kestrum::trampoline(kestrum::make_module);
}
