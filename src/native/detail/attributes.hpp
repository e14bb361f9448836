// Attribute reads of the runtime, with the interpreter's semantics and a
// cache for class attributes read on every call.
#pragma once

#include "native/names.hpp"

namespace native::detail {

// object.name, as PyObject_GetAttr gives it (see attributes.cpp for the
// shortcuts that give the same result).
py::object get_attribute(ModuleState& state, py::handle object, const Name& name);

}  // namespace native::detail
