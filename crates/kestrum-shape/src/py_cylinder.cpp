// Cylinder: a radius and a half length, given back by radius() and half_length().
#include "axial_shape.hpp"

namespace kestrum {

constexpr AxialShapeTexts CYLINDER_TEXTS{
    "Cylinder",
    "radius($self)\n--\n\nReturns the radius of the cylinder.",
    "half_length($self)\n--\n\nReturns the half length of the cylinder.",
};

using PyCylinder = PyAxialShape<CYLINDER_TEXTS>;

constinit LazyTypeObject CYLINDER_CLASS = AXIAL_SHAPE_CLASS<CYLINDER_TEXTS>;

}  // namespace kestrum
