// Module-global look-up with the interpreter's rules: the module namespace
// first, then the built-ins, and NameError when neither has the name.
//
// Names are looked up on every use, so rebinding a module attribute after the
// import changes what the next call sees.
#pragma once

#include "native/names.hpp"

namespace native {

// The value of `name` in `globals` or the built-ins; NameError "name '...'
// is not defined" when it is in neither.
py::object lookup_global(py::handle globals, const Name& name);

// The built-in `name`, as a module global that the module itself never
// binds is found; NameError when it is missing.
py::object lookup_builtin(const Name& name);

}  // namespace native
