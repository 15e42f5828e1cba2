// Hand-written C-API peer of kestrum's six shape classes, built three times: plain static types;
// with KB_VECTORCALL (each type also gets a tp_vectorcall that binds the argument vector by hand);
// and with KB_HEAP as well, where the types are heap types made by PyType_FromSpec with the default
// flags only, as kestrum's are, with the tp_vectorcall assigned after creation (checked as
// kestrum's is: a replaced __new__ or __init__ takes the interpreter's class call).
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

// The heap type keeps the bytes inline (one allocation per instance), and whether they are ASCII,
// so that a read of an ASCII path is a copy, not a decode.
typedef struct {
    PyObject_VAR_HEAD
    int ascii;
    char path[];  // UTF-8, Py_SIZE bytes and a nul
} InlineMeshObject;
// clang-format on

// Same result as the "f" format unit: an exact float is read in place, an exact int goes straight
// to PyLong_AsDouble (not through int.__float__ and a temporary float), anything else to
// PyFloat_AsDouble.
static inline int to_f32(PyObject* o, float* out) {
    double d;
    if (PyFloat_CheckExact(o)) {
        d = PyFloat_AS_DOUBLE(o);
    } else {
        d = PyLong_CheckExact(o) ? PyLong_AsDouble(o) : PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) return -1;
    }
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

#ifdef Py_GIL_DISABLED
// Without the GIL another thread may resize a list or replace its items at any moment: the list's
// lock, taken as a critical section, keeps its size and items together while they are read. A
// tuple never changes. (Not the lexical Py_BEGIN_CRITICAL_SECTION: the section is left around a
// conversion that may run code, as blocking in it would suspend it anyway.)
typedef struct {
    PyCriticalSection section;
    int held;
} ListLock;
static inline void lock_list(ListLock* lock, PyObject* seq) {
    lock->held = PyList_CheckExact(seq);
    if (lock->held) PyCriticalSection_Begin(&lock->section, seq);
}
static inline void unlock_list(ListLock* lock) {
    if (lock->held) PyCriticalSection_End(&lock->section);
}
#else
// With the GIL, no other thread runs until this one runs Python code or allocates.
typedef struct {
    char nothing;
} ListLock;
static inline void lock_list(ListLock* lock, PyObject* seq) {
    (void)lock;
    (void)seq;
}
static inline void unlock_list(ListLock* lock) {
    (void)lock;
}
#endif

// Every element is converted before the count is looked at, as kestrum does.
static int half_sides_from(PyObject* sides, float out[3]) {
    PyObject* fast;
    if (PyList_CheckExact(sides) || PyTuple_CheckExact(sides)) {
        fast = Py_NewRef(sides);
        goto convert;
    }
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
    fast = PySequence_Fast(sides, "argument 'sides': expected a sequence");
    if (fast == NULL) return -1;
convert:;
    Py_ssize_t n = 0;
    ListLock lock;
    lock_list(&lock, fast);
    // The size is re-read each round: an element's __float__ may resize a list under us.
    for (; n < PySequence_Fast_GET_SIZE(fast); n++) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, n);
        float v;
        if (PyFloat_CheckExact(item)) {
            v = (float)PyFloat_AS_DOUBLE(item);
        } else if (PyLong_CheckExact(item)) {  // runs no Python code: the list keeps the item
            double d = PyLong_AsDouble(item);
            if (d == -1.0 && PyErr_Occurred()) {
                unlock_list(&lock);
                Py_DECREF(fast);
                return -1;
            }
            v = (float)d;
        } else {  // __float__ or __index__ may run code that drops the item from the list
            Py_INCREF(item);
            unlock_list(&lock);
            int rc = to_f32(item, &v);
            Py_DECREF(item);
            if (rc < 0) {
                Py_DECREF(fast);
                return -1;
            }
            lock_list(&lock, fast);
        }
        if (n < 3) out[n] = v * 0.5f;
    }
    unlock_list(&lock);
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

#ifndef KB_HEAP
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
#endif

// ---- tp_new: the classic tuple-and-dict path

static PyObject* sphere_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static char* kwlist[] = {"radius", NULL};
    PyObject* arg;
    float radius;
    // "O" and a conversion of our own rather than "f": an exact int then skips int.__float__.
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Sphere", kwlist, &arg)) return NULL;
    if (to_f32(arg, &radius) < 0) return NULL;
    return make_sphere(type, radius);
}

static PyObject* rod_new(PyTypeObject* type, PyObject* args, PyObject* kwds, const char* format) {
    static char* kwlist[] = {"radius", "length", NULL};
    PyObject *arg_radius, *arg_length;
    float radius, length;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, kwlist, &arg_radius, &arg_length))
        return NULL;
    if (to_f32(arg_radius, &radius) < 0 || to_f32(arg_length, &length) < 0) return NULL;
    return make_rod(type, radius, length);
}

static PyObject* capsule_new(PyTypeObject* t, PyObject* a, PyObject* k) {
    return rod_new(t, a, k, "OO:Capsule");
}
static PyObject* cylinder_new(PyTypeObject* t, PyObject* a, PyObject* k) {
    return rod_new(t, a, k, "OO:Cylinder");
}
static PyObject* cone_new(PyTypeObject* t, PyObject* a, PyObject* k) {
    return rod_new(t, a, k, "OO:Cone");
}

static PyObject* cuboid_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static char* kwlist[] = {"sides", NULL};
    PyObject* sides;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Cuboid", kwlist, &sides)) return NULL;
    return make_cuboid(type, sides);
}

#ifndef KB_HEAP
static PyObject* mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static char* kwlist[] = {"path", NULL};
    PyObject* path;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "U:PyMesh", kwlist, &path)) return NULL;
    return make_mesh(type, path);
}
#endif

// ---- tp_vectorcall: the argument vector bound by hand

#if defined(KB_VECTORCALL) || defined(KB_HEAP)
static PyObject* name_radius;
static PyObject* name_length;
static PyObject* name_sides;
static PyObject* name_path;
#endif

#ifdef KB_VECTORCALL

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

#ifndef KB_HEAP
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
#endif

// ---- the heap types: binding by hand with kestrum's messages, and a deallocation that gives
// back the reference to the type that every instance holds

#ifdef KB_HEAP
// Error paths only; the display name comes from the type, so Capsule, Cylinder and Cone share
// one vectorcall.
__attribute__((cold, noinline)) static int too_many_positional(PyObject* type, int n,
                                                               Py_ssize_t given) {
    PyObject* name = PyType_GetName((PyTypeObject*)type);
    if (name == NULL) return -1;
    PyErr_Format(PyExc_TypeError, "%U.__new__() takes %d positional arguments but %zd %s given",
                 name, n, given, given == 1 ? "was" : "were");
    Py_DECREF(name);
    return -1;
}

__attribute__((cold, noinline)) static int keyword_error(PyObject* type, const char* what,
                                                         PyObject* key) {
    PyObject* name = PyType_GetName((PyTypeObject*)type);
    if (name == NULL) return -1;
    PyErr_Format(PyExc_TypeError, "%U.__new__() got %s '%S'", name, what, key);
    Py_DECREF(name);
    return -1;
}

__attribute__((cold, noinline)) static int missing_arguments(PyObject* type, PyObject* const* names,
                                                             int n, PyObject* const* out) {
    PyObject* missing[2];
    int k = 0;
    for (int i = 0; i < n; i++)
        if (out[i] == NULL) missing[k++] = names[i];
    PyObject* name = PyType_GetName((PyTypeObject*)type);
    if (name == NULL) return -1;
    if (k == 1)
        PyErr_Format(PyExc_TypeError, "%U.__new__() missing 1 required positional argument: '%U'",
                     name, missing[0]);
    else
        PyErr_Format(PyExc_TypeError,
                     "%U.__new__() missing 2 required positional arguments: '%U' and '%U'", name,
                     missing[0], missing[1]);
    Py_DECREF(name);
    return -1;
}

// Fills out[0..n) (n <= 2) from positionals, then keywords matched by interned identity, then by
// text; checks in kestrum's order.
static inline int bind_heap(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                            PyObject* const* names, int n, PyObject** out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == NULL && nargs == n) {
        for (int i = 0; i < n; i++) out[i] = args[i];
        return 0;
    }
    if (nargs > n) return too_many_positional(type, n, nargs);
    for (int i = 0; i < n; i++) out[i] = i < nargs ? args[i] : NULL;
    if (kwnames != NULL) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int j = 0;
            while (j < n && names[j] != key) j++;
            if (j == n) {
                for (j = 0; j < n && PyUnicode_Compare(key, names[j]) != 0; j++) {
                }
                if (j == n) return keyword_error(type, "an unexpected keyword argument", key);
            }
            if (out[j] != NULL)
                return keyword_error(type, "multiple values for argument", names[j]);
            out[j] = args[nargs + k];
        }
    }
    for (int i = 0; i < n; i++)
        if (out[i] == NULL) return missing_arguments(type, names, n, out);
    return 0;
}

// An exact TypeError from a conversion is reported as "argument '<name>': <message>".
__attribute__((cold, noinline)) static PyObject* argument_error(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (Py_TYPE(exc) != (PyTypeObject*)PyExc_TypeError) {
        PyErr_SetRaisedException(exc);
        return NULL;
    }
#else
    PyObject *exc_type, *exc, *tb;
    PyErr_Fetch(&exc_type, &exc, &tb);
    PyErr_NormalizeException(&exc_type, &exc, &tb);
    if (exc_type != PyExc_TypeError) {
        PyErr_Restore(exc_type, exc, tb);
        return NULL;
    }
    Py_DECREF(exc_type);
    Py_XDECREF(tb);
#endif
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, exc);
    Py_DECREF(exc);
    return NULL;
}

static PyObject* make_inline_mesh(PyTypeObject* type, PyObject* path) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
    if (utf8 == NULL) return NULL;
    // The allocation has room for one item more than asked and comes zeroed: the nul is there.
    InlineMeshObject* self = (InlineMeshObject*)type->tp_alloc(type, size);
    if (self == NULL) return NULL;
    memcpy(self->path, utf8, (size_t)size);
    self->ascii = PyUnicode_IS_ASCII(path);
    return (PyObject*)self;
}

static PyObject* heap_sphere_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                                        PyObject* kwnames) {
    PyObject* const names[1] = {name_radius};
    PyObject* bound[1];
    float radius;
    if (bind_heap(type, args, nargsf, kwnames, names, 1, bound) < 0) return NULL;
    if (to_f32(bound[0], &radius) < 0) return argument_error("radius");
    return make_sphere((PyTypeObject*)type, radius);
}

static PyObject* heap_rod_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    PyObject* const names[2] = {name_radius, name_length};
    PyObject* bound[2];
    float radius, length;
    if (bind_heap(type, args, nargsf, kwnames, names, 2, bound) < 0) return NULL;
    if (to_f32(bound[0], &radius) < 0) return argument_error("radius");
    if (to_f32(bound[1], &length) < 0) return argument_error("length");
    return make_rod((PyTypeObject*)type, radius, length);
}

static PyObject* heap_cuboid_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                                        PyObject* kwnames) {
    PyObject* const names[1] = {name_sides};
    PyObject* bound[1];
    if (bind_heap(type, args, nargsf, kwnames, names, 1, bound) < 0) return NULL;
    return make_cuboid((PyTypeObject*)type, bound[0]);
}

static PyObject* heap_mesh_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                                      PyObject* kwnames) {
    PyObject* const names[1] = {name_path};
    PyObject* bound[1];
    if (bind_heap(type, args, nargsf, kwnames, names, 1, bound) < 0) return NULL;
    if (!PyUnicode_Check(bound[0])) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'path': '%.200s' object cannot be converted to 'PyString'",
                     Py_TYPE(bound[0])->tp_name);
        return NULL;
    }
    return make_inline_mesh((PyTypeObject*)type, bound[0]);
}

static PyObject* heap_mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static char* kwlist[] = {"path", NULL};
    PyObject* path;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "U:PyMesh", kwlist, &path)) return NULL;
    return make_inline_mesh(type, path);
}

static PyObject* heap_mesh_get_path(PyObject* self, void* Py_UNUSED(closure)) {
    InlineMeshObject* mesh = (InlineMeshObject*)self;
    if (!mesh->ascii) return PyUnicode_DecodeUTF8(mesh->path, Py_SIZE(mesh), NULL);
    PyObject* text = PyUnicode_New(Py_SIZE(mesh), 127);
    if (text != NULL) memcpy(PyUnicode_1BYTE_DATA(text), mesh->path, (size_t)Py_SIZE(mesh));
    return text;
}

static PyGetSetDef heap_mesh_getset[] = {
    {"mesh_path", heap_mesh_get_path, NULL, "", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static void heap_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A program may replace __new__ or __init__ of a heap type; a call of the class must then be
// the interpreter's own class call, type.__call__(cls, *args, **kwargs).
__attribute__((cold, noinline)) static PyObject* call_as_type(PyObject* type,
                                                              PyObject* const* args,
                                                              size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkwargs = kwnames != NULL ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* result = NULL;
    PyObject* kwargs = NULL;
    PyObject* tuple = PyTuple_New(nargs);
    if (tuple == NULL) return NULL;
    for (Py_ssize_t i = 0; i < nargs; i++) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    if (nkwargs > 0) {
        kwargs = PyDict_New();
        if (kwargs == NULL) goto done;
        for (Py_ssize_t k = 0; k < nkwargs; k++)
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                goto done;
    }
    result = PyType_Type.tp_call(type, tuple, kwargs);
done:
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return result;
}

// The vectorcall of each class behind the check that the class still constructs through its
// own tp_new and object's tp_init.
#define KB_CHECKED(name, fast, own_new)                                                       \
    __attribute__((flatten)) static PyObject* name(PyObject* type, PyObject* const* args,     \
                                                   size_t nargsf, PyObject* kwnames) {        \
        PyTypeObject* tp = (PyTypeObject*)type;                                               \
        if (__builtin_expect(tp->tp_new != (own_new) ||                                       \
                                 tp->tp_init != PyBaseObject_Type.tp_init,                    \
                             0))                                                              \
            return call_as_type(type, args, nargsf, kwnames);                                 \
        return fast(type, args, nargsf, kwnames);                                             \
    }
KB_CHECKED(checked_sphere_vectorcall, heap_sphere_vectorcall, sphere_new)
KB_CHECKED(checked_capsule_vectorcall, heap_rod_vectorcall, capsule_new)
KB_CHECKED(checked_cylinder_vectorcall, heap_rod_vectorcall, cylinder_new)
KB_CHECKED(checked_cone_vectorcall, heap_rod_vectorcall, cone_new)
KB_CHECKED(checked_cuboid_vectorcall, heap_cuboid_vectorcall, cuboid_new)
KB_CHECKED(checked_mesh_vectorcall, heap_mesh_vectorcall, heap_mesh_new)

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 a type watcher reports the first change of a class, which then takes the checked
// vectorcall; until then the class runs the unchecked one.
static struct {
    PyTypeObject* type;
    vectorcallfunc checked;
} watched[6];
static int watched_count;
static int watcher_id = -1;

static int on_class_changed(PyTypeObject* type) {
    for (int i = 0; i < watched_count; i++)
        if (watched[i].type == type) type->tp_vectorcall = watched[i].checked;
    return 0;
}

// Whether the interpreter will report the first change of `type`.
static int watch_for_changes(PyTypeObject* type, vectorcallfunc checked) {
    if (watcher_id < 0) {
        watcher_id = PyType_AddWatcher(on_class_changed);
        if (watcher_id < 0) {
            PyErr_Clear();
            return 0;
        }
    }
    if (watched_count == (int)(sizeof watched / sizeof watched[0])) return 0;
    watched[watched_count].type = type;
    watched[watched_count].checked = checked;
    watched_count++;
    if (PyType_Watch(watcher_id, (PyObject*)type) < 0) {
        PyErr_Clear();
        return 0;
    }
    // Reported only while the type has a version tag (non-zero), which watching gives it.
    return type->tp_version_tag != 0;
}
#endif

#endif

// ---- types and module

#ifndef KB_HEAP
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
#endif

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = KB_STR(KB_MODULE_NAME),
    .m_doc = "Benchmark peer: kestrum's shape classes written against the C API by hand.",
    .m_size = -1,
};

#ifdef KB_HEAP
// Default flags only, as kestrum's classes have: no immutable-type flag, no base-type flag. The
// dotted name gives __module__ "builtins" and __name__ the class name, as kestrum's do.
static int add_heap_type(PyObject* module, const char* qualified, int basicsize, int itemsize,
                         PyType_Slot* slots, vectorcallfunc vectorcall, vectorcallfunc checked) {
    PyType_Spec spec = {qualified, basicsize, itemsize, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == NULL) return -1;
#ifdef Py_GIL_DISABLED
    // Every instance made or dropped on any thread counts a reference to its type, and threads
    // fighting over one count do not scale: an immortal type has none. Safe, as the types live
    // until the process ends. The count can be set only while the creating thread owns the type.
    Py_SET_REFCNT(type, (Py_ssize_t)UINT32_MAX + 1);
#endif
    ((PyTypeObject*)type)->tp_vectorcall = checked;
#if PY_VERSION_HEX >= 0x030C0000
    if (watch_for_changes((PyTypeObject*)type, checked))
        ((PyTypeObject*)type)->tp_vectorcall = vectorcall;
#else
    (void)vectorcall;
#endif
    int rc = PyModule_AddObjectRef(module, strchr(qualified, '.') + 1, type);
    Py_DECREF(type);
    return rc;
}

static int add_heap_types(PyObject* module) {
    // clang-format off
    PyType_Slot sphere[] = {
        {Py_tp_doc, "Sphere(radius)\n--\n\n"}, {Py_tp_new, sphere_new},
        {Py_tp_dealloc, heap_dealloc}, {0, NULL}};
    PyType_Slot capsule[] = {
        {Py_tp_doc, "Capsule(radius, length)\n--\n\n"}, {Py_tp_new, capsule_new},
        {Py_tp_dealloc, heap_dealloc}, {0, NULL}};
    PyType_Slot cylinder[] = {
        {Py_tp_doc, "Cylinder(radius, length)\n--\n\n"}, {Py_tp_new, cylinder_new},
        {Py_tp_methods, cylinder_methods}, {Py_tp_dealloc, heap_dealloc}, {0, NULL}};
    PyType_Slot cone[] = {
        {Py_tp_doc, "Cone(radius, length)\n--\n\n"}, {Py_tp_new, cone_new},
        {Py_tp_methods, cone_methods}, {Py_tp_dealloc, heap_dealloc}, {0, NULL}};
    PyType_Slot cuboid[] = {
        {Py_tp_doc, "Cuboid(sides)\n--\n\n"}, {Py_tp_new, cuboid_new},
        {Py_tp_dealloc, heap_dealloc}, {0, NULL}};
    PyType_Slot mesh[] = {
        {Py_tp_doc, "PyMesh(path)\n--\n\nA Python wrapper for the Mesh type."},
        {Py_tp_new, heap_mesh_new}, {Py_tp_getset, heap_mesh_getset},
        {Py_tp_dealloc, heap_dealloc}, {0, NULL}};
    // clang-format on
    if (add_heap_type(module, "builtins.Capsule", sizeof(RodObject), 0, capsule,
                      heap_rod_vectorcall, checked_capsule_vectorcall) < 0 ||
        add_heap_type(module, "builtins.Cone", sizeof(RodObject), 0, cone, heap_rod_vectorcall,
                      checked_cone_vectorcall) < 0 ||
        add_heap_type(module, "builtins.Cuboid", sizeof(CuboidObject), 0, cuboid,
                      heap_cuboid_vectorcall, checked_cuboid_vectorcall) < 0 ||
        add_heap_type(module, "builtins.Cylinder", sizeof(RodObject), 0, cylinder,
                      heap_rod_vectorcall, checked_cylinder_vectorcall) < 0 ||
        add_heap_type(module, "builtins.Sphere", sizeof(SphereObject), 0, sphere,
                      heap_sphere_vectorcall, checked_sphere_vectorcall) < 0 ||
        add_heap_type(module, "builtins.PyMesh", sizeof(InlineMeshObject), 1, mesh,
                      heap_mesh_vectorcall, checked_mesh_vectorcall) < 0)
        return -1;
    return 0;
}
#endif

PyMODINIT_FUNC KB_CAT(PyInit_, KB_MODULE_NAME)(void) {
#if defined(KB_VECTORCALL) || defined(KB_HEAP)
    name_radius = PyUnicode_InternFromString("radius");
    name_length = PyUnicode_InternFromString("length");
    name_sides = PyUnicode_InternFromString("sides");
    name_path = PyUnicode_InternFromString("path");
    if (!name_radius || !name_length || !name_sides || !name_path) return NULL;
#endif
    PyObject* module = PyModule_Create(&module_def);
    if (module == NULL) return NULL;
#ifdef Py_GIL_DISABLED
    // Lists are read under their locks; all else shared is made at import, but for the type
    // watcher's one later store of a tp_vectorcall pointer.
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#endif
#ifdef KB_HEAP
    if (add_heap_types(module) < 0) {
        Py_DECREF(module);
        return NULL;
    }
#else
    PyTypeObject* types[] = {&CapsuleType,  &ConeType,   &CuboidType,
                             &CylinderType, &SphereType, &MeshType};
    for (size_t i = 0; i < sizeof types / sizeof types[0]; i++) {
        if (PyType_Ready(types[i]) < 0 ||
            PyModule_AddObjectRef(module, types[i]->tp_name, (PyObject*)types[i]) < 0) {
            Py_DECREF(module);
            return NULL;
        }
    }
#endif
    return module;
}
