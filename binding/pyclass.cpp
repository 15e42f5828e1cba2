// Class type objects: documentation text, building heap types, the once-only type cells.
#include "pyclass.hpp"

#include <array>
#include <map>
#include <vector>

namespace kestrum {

PyResult<std::string> build_pyclass_doc(std::string_view name, std::string_view doc,
                                        std::string_view text_signature) {
    if (text_signature.empty()) return std::string(doc);
    std::string text;
    text.reserve(name.size() + text_signature.size() + 5 + doc.size());
    text += name;
    text += text_signature;
    text += "\n--\n\n";
    text += doc;
    if (text.find('\0') != std::string::npos)
        return PyErr::new_(PyExc_ValueError, "class doc cannot contain nul bytes");
    return text;
}

namespace {

#if PY_VERSION_HEX >= 0x030C0000
// The fast entries that a type watcher guards, each with its checking twin; kept per class
// implementation, not per type object, so that nothing here outlives what it names.
struct GuardedEntry {
    vectorcallfunc fast;
    vectorcallfunc checked;
};
constinit std::array<GuardedEntry, 16> GUARDED{};
constinit std::size_t GUARDED_COUNT = 0;

// The interpreter reports the first change of a watched class (an attribute set or deleted,
// its constructor replaced among them) before it applies it: from then on its calls check.
int on_class_changed(PyTypeObject* type) {
    for (std::size_t i = 0; i < GUARDED_COUNT; ++i) {
        if (type->tp_vectorcall == GUARDED[i].fast) type->tp_vectorcall = GUARDED[i].checked;
    }
    return 0;
}

constinit GILOnceCell<int> WATCHER;  // its id, or -1 when the interpreter had none left

bool guard(const ClassDescription& description) {
    for (std::size_t i = 0; i < GUARDED_COUNT; ++i) {
        if (GUARDED[i].fast == description.vectorcall) return true;
    }
    if (GUARDED_COUNT == GUARDED.size()) return false;
    GUARDED[GUARDED_COUNT++] = {description.vectorcall, description.vectorcall_checked};
    return true;
}
#endif

// Whether the interpreter will report the first change of `type`, so that its calls need not
// check for one until then. A class that cannot be watched checks on every call.
bool watch_for_changes(PyTypeObject* type, const ClassDescription& description) {
#if PY_VERSION_HEX >= 0x030C0000
    const int watcher = WATCHER.get_or_init([] {
        const int id = PyType_AddWatcher(on_class_changed);
        if (id < 0) (void)PyErr::take();
        return id;
    });
    if (watcher < 0 || !guard(description)) return false;
    if (PyType_Watch(watcher, reinterpret_cast<PyObject*>(type)) < 0) {
        (void)PyErr::take();
        return false;
    }
    // The interpreter reports a change only while the type has a version tag (non-zero), which
    // watching gives it; a change takes it away, and the first change is all that matters.
    return type->tp_version_tag != 0;
#else
    (void)type;
    (void)description;
    return false;
#endif
}

}  // namespace

PyResult<TypeObject> create_type_object(const ClassDescription& description,
                                        const std::string& doc) {
    auto tables = std::make_unique<TypeTables>();
    std::vector<PyType_Slot> slots;

    if (!doc.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(description.tp_new)});
    for (const MethodEntry& method : description.methods)
        tables->methods.push_back({method.name, method.function, method.flags, method.doc});

    // Entries of the same name merge: the first doc stays, getter and setter combine.
    std::map<std::string_view, PyGetSetDef> properties;
    std::vector<const char*> property_order;
    for (const PropertyEntry& property : description.properties) {
        auto [entry, inserted] = properties.try_emplace(
            property.name, PyGetSetDef{property.name, nullptr, nullptr, property.doc, nullptr});
        if (inserted) property_order.push_back(property.name);
        if (property.get != nullptr) entry->second.get = property.get;
        if (property.set != nullptr) entry->second.set = property.set;
    }

    if (!tables->methods.empty()) {
        tables->methods.push_back({nullptr, nullptr, 0, nullptr});
        slots.push_back({Py_tp_methods, tables->methods.data()});
    }
    for (const char* name : property_order) tables->getsets.push_back(properties.at(name));
    if (!tables->getsets.empty()) {
        tables->getsets.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        slots.push_back({Py_tp_getset, tables->getsets.data()});
    }
#if PY_VERSION_HEX >= 0x030E0000
    // From 3.14 a heap type takes its fast call entry as a slot.
    if (description.vectorcall_checked != nullptr)
        slots.push_back(
            {Py_tp_vectorcall, reinterpret_cast<void*>(description.vectorcall_checked)});
#endif
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(description.dealloc)});
    slots.push_back({0, nullptr});

    tables->spec_name = "builtins.";
    tables->spec_name += description.name;
    if (auto position = tables->spec_name.find('\0'); position != std::string::npos)
        return nul_byte_error(position);

    PyType_Spec spec{tables->spec_name.c_str(), static_cast<int>(description.basicsize), 0,
                     Py_TPFLAGS_DEFAULT, slots.data()};
    Owned type = KS_TRY(steal_or_fetch(PyType_FromSpec(&spec)));
    auto* built = reinterpret_cast<PyTypeObject*>(type.get());
#if PY_VERSION_HEX < 0x030E0000
    // Before 3.14 a heap type's fast call entry can only be set after it is built.
    built->tp_vectorcall = description.vectorcall_checked;
#endif
    if (description.vectorcall != nullptr && watch_for_changes(built, description))
        built->tp_vectorcall = description.vectorcall;
    return TypeObject{std::move(tables), std::move(type)};
}

PyResult<TypeObject> LazyTypeObject::build() {
    std::string* doc = KS_TRY(doc_.get_or_try_init([this] {
        return build_pyclass_doc(description_.name, description_.doc, description_.text_signature);
    }));
    return create_type_object(description_, *doc);
}

PyResult<PyTypeObject*> LazyTypeObject::get_or_try_init() {
    if (TypeObject* type = type_.get()) return type->type_object();
    PyResult<TypeObject> built = build();
    if (!built) {
        PyErr wrapped =
            PyErr::new_(PyExc_RuntimeError, "An error occurred while initializing class " +
                                                std::string(description_.name));
        wrapped.set_cause(std::move(built).take_error());
        return wrapped;
    }
    return type_.set_if_empty(std::move(built).value()).type_object();
}

// The interpreter's API alone, and what it raises goes to the caller as it is: the call is the
// interpreter's own, which a replaced constructor runs in, so nothing of kestrum's boundary
// belongs around it.
PyObject* call_as_type(PyObject* type, PyObject* const* args, std::size_t nargsf,
                       PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkwargs = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* positional = PyTuple_New(nargs);
    if (positional == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional, i, Py_NewRef(args[i]));
    PyObject* keywords = nkwargs > 0 ? PyDict_New() : nullptr;
    bool ready = nkwargs == 0 || keywords != nullptr;
    for (Py_ssize_t k = 0; ready && k < nkwargs; ++k)
        ready = PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) == 0;
    PyObject* result = ready ? PyType_Type.tp_call(type, positional, keywords) : nullptr;
    Py_DECREF(positional);
    Py_XDECREF(keywords);
    return result;
}

PyObject* fail_after_error(std::source_location where) {
    return trampoline([&]() -> PyResult<Owned> { panic_after_error(where); });
}

PyTypeObject* LazyTypeObject::get_slow() {
    PyResult<PyTypeObject*> type = get_or_try_init();
    if (type) return *type;
    type.error().print();
    panic("failed to create type object for " + std::string(description_.name));
}

}  // namespace kestrum
