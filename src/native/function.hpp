// The module's function object type.
//
// It looks to Python like a plain function: __name__, __qualname__,
// __module__, __doc__, __defaults__, __kwdefaults__, __annotations__,
// __globals__, __dict__ and a real __code__, so that inspect.signature and
// the staticmethod/classmethod wrappers treat it as one; it binds as a
// method, is called through vectorcall and takes part in the cyclic GC
// (methods of per-call classes hold their class through the class cell).
#pragma once

#include "native/globals.hpp"
#include "native/signature.hpp"

namespace native {

struct FunctionObject;

// What a body sees of its call: the bound arguments, the module namespace
// and the line of the statement running now (for the traceback entry).
class Call {
public:
    Call(FunctionObject* function, const BoundArguments& bound)
        : function_(function), bound_(bound) {}

    py::handle arg(size_t index) const { return bound_.values[index]; }
    py::handle varargs() const { return bound_.varargs; }
    py::handle varkw() const { return bound_.varkw; }

    // Marks the source line of the statement about to run.
    void at(int line) { line_ = line; }
    int line() const { return line_; }
    // The line of the function's `def`: a body shared by several
    // declarations marks its statements relative to it.
    int def_line() const;

    PyObject* globals() const;
    py::object global(const Name& name) const { return lookup_global(globals(), name); }
    // The class held by this function's class cell (zero-argument super()).
    py::object class_cell_contents() const;

private:
    FunctionObject* function_;
    const BoundArguments& bound_;
    int line_ = 0;
};

// The function type for the interpreter running now, a heap type of the
// module's state.
py::object make_function_type();

// A new function object for `decl` of the active module state, whose
// globals are `globals`; `class_cell` (may be null) is the cell that
// zero-argument super() reads.
py::object make_function(const FunctionDecl& decl, PyObject* globals,
                         PyObject* class_cell = nullptr);

// The function wrapped as its class stores it (staticmethod, classmethod or
// as it is), as a class statement with decorators would.
py::object make_member(const FunctionDecl& decl, PyObject* globals, PyObject* class_cell = nullptr);

// The shared code object and the interned name of a declaration, made on
// first use in the active module state.
py::object code_of(const FunctionDecl& decl);
py::object interned_name(const FunctionDecl& decl);

}  // namespace native
