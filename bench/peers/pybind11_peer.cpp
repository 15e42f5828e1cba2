// Benchmark peer: kestrum's shape classes bound with pybind11, written the way its docs suggest.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "peer_shapes.hpp"

namespace py = pybind11;
using namespace kestrum_bench;

PYBIND11_MODULE(kestrum_bench_pybind11, m) {
    m.doc() = "Benchmark peer: kestrum's shape classes bound with pybind11.";

    py::class_<Capsule>(m, "Capsule", py::is_final())
        .def(py::init<float, float>(), py::arg("radius"), py::arg("length"));
    py::class_<Cone>(m, "Cone", py::is_final())
        .def(py::init<float, float>(), py::arg("radius"), py::arg("length"))
        .def("radius", &Cone::get_radius, "Returns the radius of the cone.")
        .def("half_length", &Cone::get_half_length, "Returns the half length of the cone.");
    py::class_<Cuboid>(m, "Cuboid", py::is_final())
        .def(py::init([](const std::vector<float>& sides) { return Cuboid::from(sides); }),
             py::arg("sides"));
    py::class_<Cylinder>(m, "Cylinder", py::is_final())
        .def(py::init<float, float>(), py::arg("radius"), py::arg("length"))
        .def("radius", &Cylinder::get_radius, "Returns the radius of the cylinder.")
        .def("half_length", &Cylinder::get_half_length, "Returns the half length of the cylinder.");
    py::class_<Sphere>(m, "Sphere", py::is_final()).def(py::init<float>(), py::arg("radius"));
    // py::str rather than std::string: the string caster would also take bytes.
    py::class_<Mesh>(m, "PyMesh", py::is_final(), "A Python wrapper for the Mesh type.")
        .def(py::init([](const py::str& path) { return Mesh{std::string(path)}; }), py::arg("path"))
        .def_property_readonly("mesh_path", [](const Mesh& mesh) { return mesh.path; });
}
