// Capsule: a radius and a half length, kept and never given back.
#include "radius_length.hpp"

namespace kestrum {

struct PyCapsule {
    RadiusHalfLength value;

    static constexpr FunctionDescription new_description = radius_length_description("Capsule");
    static PyCapsule make(float radius, float length) {
        return {radius_half_length(radius, length)};
    }
};

constinit LazyTypeObject CAPSULE_CLASS =
    describe_class<PyCapsule>("Capsule", "", "(radius, length)");

}  // namespace kestrum
