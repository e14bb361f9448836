// Module-global look-up with the interpreter's rules: the module namespace
// first, then the built-ins, and NameError when neither has the name.
//
// Names are looked up on every use, so rebinding a module attribute after the
// import changes what the next call sees.
#pragma once

#include "native/names.hpp"

namespace native {

// New reference to the value of `name` in `globals` or the built-ins;
// throws NameError "name '...' is not defined" when it is in neither.
py::object lookup_global(PyObject* globals, PyObject* name);
inline py::object lookup_global(PyObject* globals, const Name& name) {
    return lookup_global(globals, name.ptr());
}

// New reference to the built-in `name`, as a module global that the module
// itself never binds is found; NameError when it is missing.
py::object lookup_builtin(const Name& name);

// The built-in `super`, as the module found it when it loaded.
py::handle saved_builtin_super();

}  // namespace native
