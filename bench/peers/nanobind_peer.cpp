// Benchmark peer: kestrum's shape classes bound with nanobind, written the way its docs suggest.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <vector>

#include "peer_shapes.hpp"

namespace nb = nanobind;
using namespace kestrum_bench;

NB_MODULE(kestrum_bench_nanobind, m) {
    m.doc() = "Benchmark peer: kestrum's shape classes bound with nanobind.";

    nb::class_<Capsule>(m, "Capsule", nb::is_final())
        .def(nb::init<float, float>(), nb::arg("radius"), nb::arg("length"));
    nb::class_<Cone>(m, "Cone", nb::is_final())
        .def(nb::init<float, float>(), nb::arg("radius"), nb::arg("length"))
        .def("radius", &Cone::get_radius, "Returns the radius of the cone.")
        .def("half_length", &Cone::get_half_length, "Returns the half length of the cone.");
    nb::class_<Cuboid>(m, "Cuboid", nb::is_final())
        .def(
            "__init__",
            [](Cuboid* self, const std::vector<float>& sides) {
                new (self) Cuboid(Cuboid::from(sides));
            },
            nb::arg("sides"));
    nb::class_<Cylinder>(m, "Cylinder", nb::is_final())
        .def(nb::init<float, float>(), nb::arg("radius"), nb::arg("length"))
        .def("radius", &Cylinder::get_radius, "Returns the radius of the cylinder.")
        .def("half_length", &Cylinder::get_half_length, "Returns the half length of the cylinder.");
    nb::class_<Sphere>(m, "Sphere", nb::is_final()).def(nb::init<float>(), nb::arg("radius"));
    // nb::str rather than std::string, so that only str is accepted.
    nb::class_<Mesh>(m, "PyMesh", nb::is_final(), "A Python wrapper for the Mesh type.")
        .def(
            "__init__",
            [](Mesh* self, const nb::str& path) {
                Py_ssize_t size;
                const char* utf8 = PyUnicode_AsUTF8AndSize(path.ptr(), &size);
                if (utf8 == nullptr) throw nb::python_error();
                new (self) Mesh{std::string(utf8, size)};
            },
            nb::arg("path"))
        .def_prop_ro("mesh_path", [](const Mesh& mesh) { return mesh.path; });
}
