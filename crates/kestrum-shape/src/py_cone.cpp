// Cone: a radius and a half length, given back by radius() and half_length().
#include "axial_shape.hpp"

namespace kestrum {

constexpr AxialShapeTexts CONE_TEXTS{
    "Cone",
    "radius($self)\n--\n\nReturns the radius of the cone.",
    "half_length($self)\n--\n\nReturns the half length of the cone.",
};

using PyCone = PyAxialShape<CONE_TEXTS>;

constinit LazyTypeObject CONE_CLASS = AXIAL_SHAPE_CLASS<CONE_TEXTS>;

}  // namespace kestrum
