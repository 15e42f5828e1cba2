// Sphere: a radius, kept and never given back.
#include "pyclass.hpp"
#include "shapes.hpp"

namespace kestrum {

struct PySphere {
    float radius;

    static constexpr std::string_view PARAMETERS[] = {"radius"};
    static constexpr FunctionDescription new_description{"Sphere", "__new__", PARAMETERS, 0, 1, {}};
    static PyResult<PySphere> from_arguments(const auto& args) {
        return PySphere{KS_TRY(extract_argument<float>(args[0], "radius"))};
    }

    static LazyTypeObject type_object;
};

constexpr ClassDescription SPHERE_CLASS = describe_class<PySphere>("Sphere", "", "(radius)");
constinit LazyTypeObject PySphere::type_object{SPHERE_CLASS};

LazyTypeObject& sphere_type_object() {
    return PySphere::type_object;
}

}  // namespace kestrum
