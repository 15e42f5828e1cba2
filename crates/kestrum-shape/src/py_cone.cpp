// Cone: a radius and a half length, given back by radius() and half_length().
#include "axial_shape.hpp"
#include "shapes.hpp"

namespace kestrum {

constexpr AxialShapeTexts CONE_TEXTS{
    "Cone",
    "radius($self)\n--\n\nReturns the radius of the cone.",
    "half_length($self)\n--\n\nReturns the half length of the cone.",
};

using PyCone = PyAxialShape<CONE_TEXTS>;

LazyTypeObject& cone_type_object() {
    return PyCone::type_object;
}

}  // namespace kestrum
