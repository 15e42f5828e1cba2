// A class's static description: its name and texts, its methods and properties, and the slots
// its implementation type provides. Heap types are built from it.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

namespace kestrum {

struct MethodEntry {
    const char* name;
    PyCFunction function;
    int flags;
    const char* doc;
};

// `get` and `set` are the interpreter's slots, made by `getter_of` and `setter_of`: a getter
// computes outside the boundary where it can (accessors.hpp), a setter always inside.
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
    // The fast call entry, which checks that the class still constructs through its own tp_new
    // (see Constructor::constructs_itself).
    vectorcallfunc vectorcall;
    std::span<const MethodEntry> methods;
    std::span<const PropertyEntry> properties;
    Py_ssize_t basicsize;
    destructor dealloc;
};

}  // namespace kestrum
