// The binding of a call's arguments to a declaration's parameters, with the
// interpreter's own error messages. It runs in the function type's call
// slots, before the body, and keeps their convention (see py.hpp): false
// with TypeError set when the arguments are refused.
#pragma once

#include "native/declaration.hpp"

namespace native::detail {

// The arguments of one call, bound to the declaration's parameters.
//
// The values are borrowed from the caller's argument vector (the caller owns
// it for the whole call) or from the defaults tuple, which is held here: the
// body may run code that replaces the function's __defaults__ (or, without
// the GIL, another thread may).
struct BoundArguments {
    explicit BoundArguments(PyObject* defaults) : defaults(defaults) {}

    PyObject* values[kMaxParams] = {};  // borrowed, see above
    PyObject* defaults;                 // new reference: the function's __defaults__ or nullptr
    PyObject* varargs = nullptr;        // new reference (tuple) when declared
    PyObject* varkw = nullptr;          // new reference (dict) when declared

    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;
    ~BoundArguments() {
        Py_XDECREF(defaults);
        Py_XDECREF(varargs);
        Py_XDECREF(varkw);
    }
};

// Binds a vectorcall argument vector, with the defaults `bound` holds;
// false with TypeError set on failure. `names` are the declaration's
// parameter names, interned.
bool bind_arguments(const FunctionDecl& decl, PyObject* const* names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, BoundArguments& bound);

// Runs the exact-type tests in parameter order; false with TypeError set.
bool check_argument_types(const FunctionDecl& decl, const BoundArguments& bound);

}  // namespace native::detail
