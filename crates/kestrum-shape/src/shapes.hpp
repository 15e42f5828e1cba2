// The shape classes' type objects, in the order the module registers them.
#pragma once

#include "pyclass.hpp"

namespace kestrum {

LazyTypeObject& capsule_type_object();
LazyTypeObject& cone_type_object();
LazyTypeObject& cuboid_type_object();
LazyTypeObject& cylinder_type_object();
LazyTypeObject& sphere_type_object();

}  // namespace kestrum
