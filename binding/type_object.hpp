// Class type objects: the heap type built from a class description, its tables, and the
// once-only cell that builds it on first use.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "class_description.hpp"
#include "once_cell.hpp"
#include "result.hpp"

namespace kestrum {

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
    constexpr LazyTypeObject(const ClassDescription& description) : description_(description) {}

    // Builds the type on first use; a failure is a RuntimeError naming the class.
    PyResult<PyTypeObject*> get_or_try_init();
    // For callers that cannot report an error (type checks); module initialisation has
    // built every type before such a caller can run.
    PyTypeObject* get() {
        if (TypeObject* type = type_.get()) return type->type_object();
        return get_slow();
    }
    const ClassDescription& description() const { return description_; }

private:
    PyTypeObject* get_slow();
    PyResult<TypeObject> build();

    const ClassDescription description_;
    GILOnceCell<TypeObject> type_;
    GILOnceCell<std::string> doc_;
};

}  // namespace kestrum
