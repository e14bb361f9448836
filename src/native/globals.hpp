// Module-global look-up with the interpreter's rules: the module namespace
// first, then the built-ins, and NameError when neither has the name.
//
// Names are looked up on every use, so rebinding a module attribute after the
// import changes what the next call sees.
#pragma once

#include "native/names.hpp"

namespace native {

// The built-ins namespace used as fallback; set once the module executes.
void set_builtins(PyObject* builtins_dict);
PyObject* builtins_dict();

// Looks up, once, the built-ins the module keeps for its lifetime
// (staticmethod, super, range, zip); false with NameError set when one is
// missing.
bool save_builtins();
py::handle saved_builtin_super();

// New reference to the value of `name` in `globals` or the built-ins;
// throws NameError "name '...' is not defined" when it is in neither.
py::object lookup_global(PyObject* globals, const Name& name);
py::object lookup_global(PyObject* globals, PyObject* name);

}  // namespace native
