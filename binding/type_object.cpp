// Class type objects: documentation text, building heap types, the once-only type cells.
#include "type_object.hpp"

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "err_kinds.hpp"

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

// A table the interpreter reads up to its zeroed sentinel; empty when it has no entries.
template <class Entry>
void close_table(std::vector<Entry>& table) {
    if (!table.empty()) table.push_back({});
}

std::vector<PyMethodDef> method_table(std::span<const MethodEntry> methods) {
    std::vector<PyMethodDef> table;
    for (const MethodEntry& method : methods)
        table.push_back({method.name, method.function, method.flags, method.doc});
    close_table(table);
    return table;
}

// Entries of the same name merge: the first doc stays, getter and setter combine.
std::vector<PyGetSetDef> getset_table(std::span<const PropertyEntry> properties) {
    std::map<std::string_view, PyGetSetDef> merged;
    std::vector<const char*> order;
    for (const PropertyEntry& property : properties) {
        auto [entry, inserted] = merged.try_emplace(
            property.name, PyGetSetDef{property.name, nullptr, nullptr, property.doc, nullptr});
        if (inserted) order.push_back(property.name);
        if (property.get != nullptr) entry->second.get = property.get;
        if (property.set != nullptr) entry->second.set = property.set;
    }
    std::vector<PyGetSetDef> table;
    table.reserve(order.size() + 1);
    for (const char* name : order) table.push_back(merged.at(name));
    close_table(table);
    return table;
}

std::vector<PyType_Slot> type_slots(const ClassDescription& description, const std::string& doc,
                                    TypeTables& tables) {
    std::vector<PyType_Slot> slots;
    if (!doc.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(description.tp_new)});
    if (!tables.methods.empty()) slots.push_back({Py_tp_methods, tables.methods.data()});
    if (!tables.getsets.empty()) slots.push_back({Py_tp_getset, tables.getsets.data()});
#if PY_VERSION_HEX >= 0x030E0000
    // From 3.14 a heap type takes its fast call entry as a slot.
    if (description.vectorcall != nullptr)
        slots.push_back({Py_tp_vectorcall, reinterpret_cast<void*>(description.vectorcall)});
#endif
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(description.dealloc)});
    slots.push_back({0, nullptr});
    return slots;
}

}  // namespace

PyResult<TypeObject> create_type_object(const ClassDescription& description,
                                        const std::string& doc) {
    auto tables = std::make_unique<TypeTables>(TypeTables{
        method_table(description.methods), getset_table(description.properties), "builtins."});
    tables->spec_name += description.name;
    if (auto position = tables->spec_name.find('\0'); position != std::string::npos)
        return nul_byte_error(position);
    std::vector<PyType_Slot> slots = type_slots(description, doc, *tables);

    PyType_Spec spec{tables->spec_name.c_str(), static_cast<int>(description.basicsize), 0,
                     Py_TPFLAGS_DEFAULT, slots.data()};
    KS_TRY(Owned type, steal_or_fetch(PyType_FromSpec(&spec)));
#if PY_VERSION_HEX < 0x030E0000
    // Before 3.14 a heap type's fast call entry can only be set after it is built.
    reinterpret_cast<PyTypeObject*>(type.get())->tp_vectorcall = description.vectorcall;
#endif
    return TypeObject{std::move(tables), std::move(type)};
}

namespace {
// Without the GIL, every allocation and release of an instance writes its type's reference
// count, which all threads share, so threads making objects of one class wait on each other.
// A type object lives until the process ends, so there it is made immortal and nothing counts
// it. The interpreter makes an object immortal when its owning thread sets a count beyond 32
// bits; the type is still this thread's own, as no other thread can see it yet.
void make_immortal(TypeObject& type) noexcept {
#ifdef Py_GIL_DISABLED
    Py_SET_REFCNT(type.type.get(), static_cast<Py_ssize_t>(UINT32_MAX) + 1);
#else
    (void)type;
#endif
}
}  // namespace

PyResult<TypeObject> LazyTypeObject::build() {
    KS_TRY(std::string * doc, doc_.get_or_try_init([this] {
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
    return type_.set_if_empty(std::move(built).value(), make_immortal).type_object();
}

PyTypeObject* LazyTypeObject::get_slow() {
    PyResult<PyTypeObject*> type = get_or_try_init();
    if (type) return *type;
    type.error().print();
    panic("failed to create type object for " + std::string(description_.name));
}

}  // namespace kestrum
