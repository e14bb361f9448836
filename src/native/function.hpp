// The module's function object type.
//
// It looks to Python like a plain function: __name__, __qualname__,
// __module__, __doc__, __defaults__, __kwdefaults__, __annotations__,
// __globals__, __dict__ and a real __code__, so that inspect.signature and
// the staticmethod/classmethod wrappers treat it as one; it binds as a
// method, is called through vectorcall and takes part in the cyclic GC
// (methods of per-call classes hold their class through the class cell).
#pragma once

#include "native/call.hpp"

namespace native {

// The function type for the interpreter running now, a heap type of the
// module's state.
py::object make_function_type();

// A new function object for `decl` of the active module state, whose
// globals are `globals`; `class_cell` (may be empty) is the cell that
// zero-argument super() reads.
py::object make_function(const FunctionDecl& decl, py::handle globals,
                         py::handle class_cell = py::handle());

// The function wrapped as its class stores it (staticmethod, classmethod or
// as it is), as a class statement with decorators would.
py::object make_member(const FunctionDecl& decl, py::handle globals,
                       py::handle class_cell = py::handle());

// The interned name of a declaration (made on first use in the active
// module state, with the rest of what its functions share).
py::object interned_name(const FunctionDecl& decl);

}  // namespace native
