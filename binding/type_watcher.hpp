// Whether the interpreter reports the first change of a class to kestrum.
#pragma once

#include <Python.h>

#include "class_description.hpp"

namespace kestrum {

// Whether the interpreter will report the first change of `type`, so that its calls need not
// check for one until then. A class that cannot be watched checks on every call.
bool watch_for_changes(PyTypeObject* type, const ClassDescription& description);

}  // namespace kestrum
