// Hand-written C-API peer of kestrum's six shape classes, built twice: plain, and with
// KB_VECTORCALL (each type also gets a tp_vectorcall that binds the argument vector by hand).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

#ifndef KB_MODULE_NAME
#define KB_MODULE_NAME kestrum_bench_capi
#endif
#define KB_STR2(x) #x
#define KB_STR(x) KB_STR2(x)
#define KB_CAT2(a, b) a##b
#define KB_CAT(a, b) KB_CAT2(a, b)

// clang-format off: PyObject_HEAD is a declaration without its semicolon
typedef struct {
    PyObject_HEAD
    float radius;
} SphereObject;

// Capsule, Cylinder and Cone share one layout.
typedef struct {
    PyObject_HEAD
    float radius;
    float half_length;
} RodObject;

typedef struct {
    PyObject_HEAD
    float half_sides[3];
} CuboidObject;

typedef struct {
    PyObject_HEAD
    char* path;  // UTF-8, owned
    Py_ssize_t size;
} MeshObject;
// clang-format on

// Same conversion as the "f" format unit, with the exact-float read first.
static inline int to_f32(PyObject* o, float* out) {
    double d = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return -1;
    *out = (float)d;
    return 0;
}

static PyObject* make_sphere(PyTypeObject* type, float radius) {
    SphereObject* self = (SphereObject*)type->tp_alloc(type, 0);
    if (self == NULL) return NULL;
    self->radius = radius;
    return (PyObject*)self;
}

static PyObject* make_rod(PyTypeObject* type, float radius, float length) {
    RodObject* self = (RodObject*)type->tp_alloc(type, 0);
    if (self == NULL) return NULL;
    self->radius = radius;
    self->half_length = length * 0.5f;
    return (PyObject*)self;
}

// Every element is converted before the count is looked at, as kestrum does.
static int half_sides_from(PyObject* sides, float out[3]) {
    if (PyUnicode_Check(sides)) {
        PyErr_SetString(PyExc_TypeError,
                        "argument 'sides': expected a sequence of numbers, not str");
        return -1;
    }
    if (!PySequence_Check(sides)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'sides': '%.200s' object cannot be converted to 'Sequence'",
                     Py_TYPE(sides)->tp_name);
        return -1;
    }
    PyObject* fast = PySequence_Fast(sides, "argument 'sides': expected a sequence");
    if (fast == NULL) return -1;
    Py_ssize_t n = 0;
    // The size is re-read each round: an element's __float__ may resize a list under us.
    for (; n < PySequence_Fast_GET_SIZE(fast); n++) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, n);
        float v;
        Py_INCREF(item);
        int rc = to_f32(item, &v);
        Py_DECREF(item);
        if (rc < 0) {
            Py_DECREF(fast);
            return -1;
        }
        if (n < 3) out[n] = v * 0.5f;
    }
    Py_DECREF(fast);
    if (n < 3) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'sides': expected a sequence of at least 3 numbers, got %zd", n);
        return -1;
    }
    return 0;
}

static PyObject* make_cuboid(PyTypeObject* type, PyObject* sides) {
    float half[3];
    if (half_sides_from(sides, half) < 0) return NULL;
    CuboidObject* self = (CuboidObject*)type->tp_alloc(type, 0);
    if (self == NULL) return NULL;
    memcpy(self->half_sides, half, sizeof half);
    return (PyObject*)self;
}

static PyObject* make_mesh(PyTypeObject* type, PyObject* path) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
    if (utf8 == NULL) return NULL;
    char* copy = PyMem_Malloc(size + 1);
    if (copy == NULL) return PyErr_NoMemory();
    memcpy(copy, utf8, size + 1);
    MeshObject* self = (MeshObject*)type->tp_alloc(type, 0);
    if (self == NULL) {
        PyMem_Free(copy);
        return NULL;
    }
    self->path = copy;
    self->size = size;
    return (PyObject*)self;
}

// ---- tp_new: the classic tuple-and-dict path

static PyObject* sphere_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static char* kwlist[] = {"radius", NULL};
    float radius;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "f:Sphere", kwlist, &radius)) return NULL;
    return make_sphere(type, radius);
}

static PyObject* rod_new(PyTypeObject* type, PyObject* args, PyObject* kwds, const char* format) {
    static char* kwlist[] = {"radius", "length", NULL};
    float radius, length;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, kwlist, &radius, &length)) return NULL;
    return make_rod(type, radius, length);
}

static PyObject* capsule_new(PyTypeObject* t, PyObject* a, PyObject* k) {
    return rod_new(t, a, k, "ff:Capsule");
}
static PyObject* cylinder_new(PyTypeObject* t, PyObject* a, PyObject* k) {
    return rod_new(t, a, k, "ff:Cylinder");
}
static PyObject* cone_new(PyTypeObject* t, PyObject* a, PyObject* k) {
    return rod_new(t, a, k, "ff:Cone");
}

static PyObject* cuboid_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static char* kwlist[] = {"sides", NULL};
    PyObject* sides;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Cuboid", kwlist, &sides)) return NULL;
    return make_cuboid(type, sides);
}

static PyObject* mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static char* kwlist[] = {"path", NULL};
    PyObject* path;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "U:PyMesh", kwlist, &path)) return NULL;
    return make_mesh(type, path);
}

// ---- tp_vectorcall: the argument vector bound by hand

#ifdef KB_VECTORCALL
static PyObject* name_radius;
static PyObject* name_length;
static PyObject* name_sides;
static PyObject* name_path;

// Fills out[0..n) from positionals then keywords. Returns 0, or -1 for any irregular call, which
// the caller hands to tp_new so that every error message is the classic one.
static inline int bind_vector(PyObject* const* args, size_t nargsf, PyObject* kwnames,
                              PyObject* const* names, int n, PyObject** out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > n) return -1;
    for (int i = 0; i < n; i++) out[i] = i < nargs ? args[i] : NULL;
    if (kwnames != NULL) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int j = 0;
            while (j < n && names[j] != key) j++;
            if (j == n) {  // not interned: compare the text
                for (j = 0; j < n && PyUnicode_Compare(key, names[j]) != 0; j++) {
                }
                if (j == n) return -1;
            }
            if (out[j] != NULL) return -1;
            out[j] = args[nargs + k];
        }
    }
    for (int i = 0; i < n; i++)
        if (out[i] == NULL) return -1;
    return 0;
}

__attribute__((cold, noinline)) static PyObject* classic_call(PyObject* callable,
                                                              PyObject* const* args, size_t nargsf,
                                                              PyObject* kwnames) {
    PyTypeObject* type = (PyTypeObject*)callable;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* tuple = PyTuple_New(nargs);
    PyObject* dict = NULL;
    PyObject* result = NULL;
    if (tuple == NULL) return NULL;
    for (Py_ssize_t i = 0; i < nargs; i++) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    if (kwnames != NULL && PyTuple_GET_SIZE(kwnames) > 0) {
        dict = PyDict_New();
        if (dict == NULL) goto done;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); k++)
            if (PyDict_SetItem(dict, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) goto done;
    }
    result = type->tp_new(type, tuple, dict);
done:
    Py_DECREF(tuple);
    Py_XDECREF(dict);
    return result;
}

static PyObject* sphere_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
    PyObject* const names[1] = {name_radius};
    PyObject* bound[1];
    float radius;
    if (bind_vector(args, nargsf, kwnames, names, 1, bound) < 0)
        return classic_call(callable, args, nargsf, kwnames);
    if (to_f32(bound[0], &radius) < 0) return NULL;
    return make_sphere((PyTypeObject*)callable, radius);
}

static PyObject* rod_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) {
    PyObject* const names[2] = {name_radius, name_length};
    PyObject* bound[2];
    float radius, length;
    if (bind_vector(args, nargsf, kwnames, names, 2, bound) < 0)
        return classic_call(callable, args, nargsf, kwnames);
    if (to_f32(bound[0], &radius) < 0 || to_f32(bound[1], &length) < 0) return NULL;
    return make_rod((PyTypeObject*)callable, radius, length);
}

static PyObject* cuboid_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
    PyObject* const names[1] = {name_sides};
    PyObject* bound[1];
    if (bind_vector(args, nargsf, kwnames, names, 1, bound) < 0)
        return classic_call(callable, args, nargsf, kwnames);
    return make_cuboid((PyTypeObject*)callable, bound[0]);
}

static PyObject* mesh_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                 PyObject* kwnames) {
    PyObject* const names[1] = {name_path};
    PyObject* bound[1];
    // A non-str path goes the classic way too, for the "U" unit's message.
    if (bind_vector(args, nargsf, kwnames, names, 1, bound) < 0 || !PyUnicode_Check(bound[0]))
        return classic_call(callable, args, nargsf, kwnames);
    return make_mesh((PyTypeObject*)callable, bound[0]);
}

#define KB_VECTORCALL_SLOT(fn) .tp_vectorcall = (fn),
#else
#define KB_VECTORCALL_SLOT(fn)
#endif

// ---- methods, getters, deallocation

static PyObject* rod_radius(PyObject* self, PyObject* Py_UNUSED(ignored)) {
    return PyFloat_FromDouble(((RodObject*)self)->radius);
}

static PyObject* rod_half_length(PyObject* self, PyObject* Py_UNUSED(ignored)) {
    return PyFloat_FromDouble(((RodObject*)self)->half_length);
}

static PyMethodDef cylinder_methods[] = {
    {"radius", rod_radius, METH_NOARGS,
     PyDoc_STR("radius($self)\n--\n\nReturns the radius of the cylinder.")},
    {"half_length", rod_half_length, METH_NOARGS,
     PyDoc_STR("half_length($self)\n--\n\nReturns the half length of the cylinder.")},
    {NULL, NULL, 0, NULL},
};

static PyMethodDef cone_methods[] = {
    {"radius", rod_radius, METH_NOARGS,
     PyDoc_STR("radius($self)\n--\n\nReturns the radius of the cone.")},
    {"half_length", rod_half_length, METH_NOARGS,
     PyDoc_STR("half_length($self)\n--\n\nReturns the half length of the cone.")},
    {NULL, NULL, 0, NULL},
};

static PyObject* mesh_get_path(PyObject* self, void* Py_UNUSED(closure)) {
    MeshObject* mesh = (MeshObject*)self;
    return PyUnicode_FromStringAndSize(mesh->path, mesh->size);
}

static PyGetSetDef mesh_getset[] = {
    {"mesh_path", mesh_get_path, NULL, "", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static void mesh_dealloc(PyObject* self) {
    PyMem_Free(((MeshObject*)self)->path);
    Py_TYPE(self)->tp_free(self);
}

// ---- types and module

// No Py_TPFLAGS_BASETYPE: like kestrum's classes these cannot be subclassed. A dotless tp_name
// gives __module__ "builtins", as kestrum's do.
// clang-format off: PyVarObject_HEAD_INIT ends in a comma of its own
static PyTypeObject SphereType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "Sphere",
    .tp_basicsize = sizeof(SphereObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("Sphere(radius)\n--\n\n"),
    .tp_new = sphere_new,
    KB_VECTORCALL_SLOT(sphere_vectorcall)
};

static PyTypeObject CapsuleType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "Capsule",
    .tp_basicsize = sizeof(RodObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("Capsule(radius, length)\n--\n\n"),
    .tp_new = capsule_new,
    KB_VECTORCALL_SLOT(rod_vectorcall)
};

static PyTypeObject CylinderType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "Cylinder",
    .tp_basicsize = sizeof(RodObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("Cylinder(radius, length)\n--\n\n"),
    .tp_methods = cylinder_methods,
    .tp_new = cylinder_new,
    KB_VECTORCALL_SLOT(rod_vectorcall)
};

static PyTypeObject ConeType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "Cone",
    .tp_basicsize = sizeof(RodObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("Cone(radius, length)\n--\n\n"),
    .tp_methods = cone_methods,
    .tp_new = cone_new,
    KB_VECTORCALL_SLOT(rod_vectorcall)
};

static PyTypeObject CuboidType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "Cuboid",
    .tp_basicsize = sizeof(CuboidObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("Cuboid(sides)\n--\n\n"),
    .tp_new = cuboid_new,
    KB_VECTORCALL_SLOT(cuboid_vectorcall)
};

static PyTypeObject MeshType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "PyMesh",
    .tp_basicsize = sizeof(MeshObject),
    .tp_dealloc = mesh_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("PyMesh(path)\n--\n\nA Python wrapper for the Mesh type."),
    .tp_getset = mesh_getset,
    .tp_new = mesh_new,
    KB_VECTORCALL_SLOT(mesh_vectorcall)
};
// clang-format on

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = KB_STR(KB_MODULE_NAME),
    .m_doc = "Benchmark peer: kestrum's shape classes written against the C API by hand.",
    .m_size = -1,
};

PyMODINIT_FUNC KB_CAT(PyInit_, KB_MODULE_NAME)(void) {
#ifdef KB_VECTORCALL
    name_radius = PyUnicode_InternFromString("radius");
    name_length = PyUnicode_InternFromString("length");
    name_sides = PyUnicode_InternFromString("sides");
    name_path = PyUnicode_InternFromString("path");
    if (!name_radius || !name_length || !name_sides || !name_path) return NULL;
#endif
    PyTypeObject* types[] = {&CapsuleType,  &ConeType,   &CuboidType,
                             &CylinderType, &SphereType, &MeshType};
    PyObject* module = PyModule_Create(&module_def);
    if (module == NULL) return NULL;
    for (size_t i = 0; i < sizeof types / sizeof types[0]; i++) {
        if (PyType_Ready(types[i]) < 0 ||
            PyModule_AddObjectRef(module, types[i]->tp_name, (PyObject*)types[i]) < 0) {
            Py_DECREF(module);
            return NULL;
        }
    }
    return module;
}
