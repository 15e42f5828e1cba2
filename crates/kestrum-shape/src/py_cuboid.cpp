// Cuboid: three half sides from a sequence of side lengths, kept and never given back.
#include <array>
#include <string>

#include "pyclass.hpp"

namespace kestrum {

struct PyCuboid {
    std::array<float, 3> half_sides;

    static constexpr std::string_view PARAMETERS[] = {"sides"};
    static constexpr FunctionDescription new_description{.class_name = "Cuboid",
                                                         .function_name = "__new__",
                                                         .positional_names = PARAMETERS,
                                                         .required_positional_count = 1};

    // Every element was converted before the count is looked at; elements after the third
    // converted but are only counted.
    static bool accepts(const LeadingFloats<3>& sides) { return sides.count >= 3; }
    static PyCuboid make(const LeadingFloats<3>& sides) {
        return {{sides.values[0] * 0.5F, sides.values[1] * 0.5F, sides.values[2] * 0.5F}};
    }
    static PyErr refuse(const LeadingFloats<3>& sides) {
        return argument_error(PyExc_ValueError, "sides", [count = sides.count] {
            return "expected a sequence of at least 3 numbers, got " + std::to_string(count);
        });
    }
};

constinit LazyTypeObject CUBOID_CLASS = describe_class<PyCuboid>("Cuboid", "", "(sides)");

}  // namespace kestrum
