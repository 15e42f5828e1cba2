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
    return {.class_name = class_name,
            .function_name = "__new__",
            .positional_names = RADIUS_LENGTH_PARAMETERS,
            .required_positional_count = 2};
}

// Rounding to single precision comes before halving, so a length beyond the single range
// halves to an infinity.
inline RadiusHalfLength radius_half_length(float radius, float length) {
    return {radius, length * 0.5F};
}

}  // namespace kestrum
