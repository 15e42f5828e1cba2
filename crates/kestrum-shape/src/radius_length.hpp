// The constructor shared by Capsule, Cylinder and Cone: a radius and a length kept halved.
#pragma once

#include "pyclass.hpp"

namespace kestrum {

struct RadiusHalfLength {
    float radius;
    float half_length;
};

inline constexpr std::string_view RADIUS_LENGTH_PARAMETERS[] = {"radius", "length"};

constexpr FunctionDescription radius_length_description(const char* class_name) {
    return {class_name, "__new__", RADIUS_LENGTH_PARAMETERS, 0, 2, {}};
}

// Rounding to single precision comes before halving, so a length beyond the single range
// halves to an infinity. Inlined by force, as every class's from_arguments (see Constructor).
[[gnu::always_inline]] inline auto convert_radius_length(const auto& args)
    -> Converted<decltype(args), RadiusHalfLength> {
    KS_TRY(const float radius, convert_argument<float>(args[0], "radius"));
    KS_TRY(const float length, convert_argument<float>(args[1], "length"));
    return RadiusHalfLength{radius, length * 0.5F};
}

}  // namespace kestrum
