// Cylinder: a radius and a half length, given back by radius() and half_length().
#include "axial_shape.hpp"
#include "shapes.hpp"

namespace kestrum {

constexpr AxialShapeTexts CYLINDER_TEXTS{
    "Cylinder",
    "radius($self)\n--\n\nReturns the radius of the cylinder.",
    "half_length($self)\n--\n\nReturns the half length of the cylinder.",
};

using PyCylinder = PyAxialShape<CYLINDER_TEXTS>;

LazyTypeObject& cylinder_type_object() {
    return PyCylinder::type_object;
}

}  // namespace kestrum
