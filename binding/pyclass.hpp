// What a class's file includes: the pieces of a class, and the description that joins them.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "accessors.hpp"
#include "class_description.hpp"
#include "constructor.hpp"
#include "float_conversion.hpp"
#include "instance.hpp"
#include "leading_floats.hpp"
#include "str_conversion.hpp"
#include "type_object.hpp"

namespace kestrum {

// A class description whose slots come from the class's implementation type `T`.
template <class T>
constexpr ClassDescription describe_class(std::string_view name, std::string_view doc,
                                          std::string_view text_signature,
                                          std::span<const MethodEntry> methods = {},
                                          std::span<const PropertyEntry> properties = {}) {
    return {.name = name,
            .doc = doc,
            .text_signature = text_signature,
            .tp_new = Constructor<T>::tp_new,
            .vectorcall = Constructor<T>::vectorcall,
            .methods = methods,
            .properties = properties,
            .basicsize = static_cast<Py_ssize_t>(sizeof(PyClassObject<T>)),
            .dealloc = PyClassObject<T>::tp_dealloc};
}

}  // namespace kestrum
