// Capsule: a radius and a half length, kept and never given back.
#include "radius_length.hpp"

namespace kestrum {

struct PyCapsule {
    RadiusHalfLength value;

    static constexpr FunctionDescription new_description = radius_length_description("Capsule");
    [[gnu::always_inline]] static auto from_arguments(const auto& args)
        -> Converted<decltype(args), PyCapsule> {
        KS_TRY(const RadiusHalfLength value, convert_radius_length(args));
        return PyCapsule{value};
    }
};

constinit LazyTypeObject CAPSULE_CLASS =
    describe_class<PyCapsule>("Capsule", "", "(radius, length)");

}  // namespace kestrum
