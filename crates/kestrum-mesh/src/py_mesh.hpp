// The mesh class's type object, for module registration.
#pragma once

#include "pyclass.hpp"

namespace kestrum {

LazyTypeObject& mesh_type_object();

}  // namespace kestrum
