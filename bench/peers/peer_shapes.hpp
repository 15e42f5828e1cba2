// Plain C++ shape values shared by the pybind11 and nanobind peers.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrum_bench {

struct Sphere {
    float radius;
    explicit Sphere(float r) : radius(r) {}
};

// Halving happens in single precision, after the argument was rounded to float.
struct Rod {
    float radius;
    float half_length;
    Rod(float r, float length) : radius(r), half_length(length * 0.5f) {}
    float get_radius() const { return radius; }
    float get_half_length() const { return half_length; }
};

struct Capsule : Rod {
    using Rod::Rod;
};
struct Cylinder : Rod {
    using Rod::Rod;
};
struct Cone : Rod {
    using Rod::Rod;
};

// Both binding libraries translate std::invalid_argument into ValueError.
struct TooFewSides : std::invalid_argument {
    explicit TooFewSides(std::size_t n)
        : std::invalid_argument(
              "argument 'sides': expected a sequence of at least 3 numbers, got " +
              std::to_string(n)) {}
};

struct Cuboid {
    float half_sides[3];
    static Cuboid from(const std::vector<float>& sides) {
        if (sides.size() < 3) throw TooFewSides(sides.size());
        return Cuboid{{sides[0] * 0.5f, sides[1] * 0.5f, sides[2] * 0.5f}};
    }
};

struct Mesh {
    std::string path;
};

}  // namespace kestrum_bench
