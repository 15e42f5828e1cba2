// Sphere: a radius, kept and never given back.
#include "pyclass.hpp"

namespace kestrum {

struct PySphere {
    float radius;

    static constexpr std::string_view PARAMETERS[] = {"radius"};
    static constexpr FunctionDescription new_description{"Sphere", "__new__", PARAMETERS, 0, 1, {}};
    [[gnu::always_inline]] static auto from_arguments(const auto& args)
        -> Converted<decltype(args), PySphere> {
        KS_TRY(const float radius, convert_argument<float>(args[0], "radius"));
        return PySphere{radius};
    }
};

constinit LazyTypeObject SPHERE_CLASS = describe_class<PySphere>("Sphere", "", "(radius)");

}  // namespace kestrum
