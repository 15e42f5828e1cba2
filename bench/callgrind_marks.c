// Callgrind client requests for bench/instructions.py: zero the counters before a measured loop
// and dump them, labelled, after it. Outside valgrind every request is a no-op.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <valgrind/callgrind.h>

static PyObject* on_valgrind(PyObject* Py_UNUSED(m), PyObject* Py_UNUSED(a)) {
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}

static PyObject* start(PyObject* Py_UNUSED(m), PyObject* Py_UNUSED(a)) {
    CALLGRIND_START_INSTRUMENTATION;
    Py_RETURN_NONE;
}

static PyObject* zero(PyObject* Py_UNUSED(m), PyObject* Py_UNUSED(a)) {
    CALLGRIND_ZERO_STATS;
    Py_RETURN_NONE;
}

static PyObject* dump(PyObject* Py_UNUSED(m), PyObject* label) {
    const char* text = PyUnicode_AsUTF8(label);
    if (text == NULL) return NULL;
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"on_valgrind", on_valgrind, METH_NOARGS, "True when running under valgrind."},
    {"start", start, METH_NOARGS, "Start instrumenting (for --instr-atstart=no)."},
    {"zero", zero, METH_NOARGS, "Zero the event counters."},
    {"dump", dump, METH_O, "Dump the counters since the last zero or dump, labelled."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = "kestrum_bench_callgrind_marks",
    .m_doc = "Callgrind client requests for the instruction counts of bench/instructions.py.",
    .m_size = -1,
    .m_methods = methods,
};

PyMODINIT_FUNC PyInit_kestrum_bench_callgrind_marks(void) {
    PyObject* module = PyModule_Create(&module_def);
#ifdef Py_GIL_DISABLED
    // Importing a module that asks for the GIL would turn it back on in the counted process.
    if (module != NULL) PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#endif
    return module;
}
