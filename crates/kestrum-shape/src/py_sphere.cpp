// Sphere: a radius, kept and never given back.
#include "pyclass.hpp"

namespace kestrum {

struct PySphere {
    float radius;

    static constexpr std::string_view PARAMETERS[] = {"radius"};
    static constexpr FunctionDescription new_description{.class_name = "Sphere",
                                                         .function_name = "__new__",
                                                         .positional_names = PARAMETERS,
                                                         .required_positional_count = 1};
    static PySphere make(float radius) { return {radius}; }
};

constinit LazyTypeObject SPHERE_CLASS = describe_class<PySphere>("Sphere", "", "(radius)");

}  // namespace kestrum
