// Cylinder and Cone (PyCylinder and PyCone): one body of code; the classes differ only in names
// and texts.
#pragma once

#include "radius_length.hpp"

namespace kestrum {

struct AxialShapeTexts {
    const char* class_name;
    const char* radius_doc;
    const char* half_length_doc;
};

template <const AxialShapeTexts& Texts>
struct PyAxialShape {
    RadiusHalfLength value;

    static constexpr FunctionDescription new_description =
        radius_length_description(Texts.class_name);
    static PyAxialShape make(float radius, float length) {
        return {radius_half_length(radius, length)};
    }

    static PyObject* radius(const PyAxialShape& self) {
        return PyFloat_FromDouble(self.value.radius);
    }
    static PyObject* half_length(const PyAxialShape& self) {
        return PyFloat_FromDouble(self.value.half_length);
    }
};

template <const AxialShapeTexts& Texts>
inline constexpr MethodEntry AXIAL_SHAPE_METHODS[] = {
    {"radius", method_noargs<PyAxialShape<Texts>, &PyAxialShape<Texts>::radius>, METH_NOARGS,
     Texts.radius_doc},
    {"half_length", method_noargs<PyAxialShape<Texts>, &PyAxialShape<Texts>::half_length>,
     METH_NOARGS, Texts.half_length_doc},
};

template <const AxialShapeTexts& Texts>
inline constexpr ClassDescription AXIAL_SHAPE_CLASS = describe_class<PyAxialShape<Texts>>(
    Texts.class_name, "", "(radius, length)", AXIAL_SHAPE_METHODS<Texts>);

}  // namespace kestrum
