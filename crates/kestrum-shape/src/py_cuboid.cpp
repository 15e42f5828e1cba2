// Cuboid: three half sides from a sequence of side lengths, kept and never given back.
#include <array>
#include <string>

#include "pyclass.hpp"

namespace kestrum {

struct PyCuboid {
    std::array<float, 3> half_sides;

    static constexpr std::string_view PARAMETERS[] = {"sides"};
    static constexpr FunctionDescription new_description{"Cuboid", "__new__", PARAMETERS, 0, 1, {}};

    // Every element is converted before the count is looked at; elements after the third
    // must convert but are only counted.
    [[gnu::always_inline]] static auto from_arguments(const auto& args)
        -> Converted<decltype(args), PyCuboid> {
        // Read where it was converted: moving it would only copy its values.
        auto converted = convert_argument<LeadingFloats<3>>(args[0], "sides");
        if (!converted) return std::move(converted).take_error();
        const LeadingFloats<3>& sides = *converted;
        if (sides.count < 3) return too_few_sides(sides.count);
        return PyCuboid{{sides.values[0] * 0.5F, sides.values[1] * 0.5F, sides.values[2] * 0.5F}};
    }

    static PyErr too_few_sides(std::size_t count) {
        return argument_error(PyExc_ValueError, "sides", [count] {
            return "expected a sequence of at least 3 numbers, got " + std::to_string(count);
        });
    }
};

constinit LazyTypeObject CUBOID_CLASS = describe_class<PyCuboid>("Cuboid", "", "(sides)");

}  // namespace kestrum
