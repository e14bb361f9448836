// Code objects of the module's functions, which show their names, argument
// counts and first lines to inspect and to tracebacks.
#pragma once

#include <vector>

#include "native/py.hpp"

namespace native::detail {

struct CodeShape {
    const char* name;
    const char* qualname;
    int first_line;
    int argcount;
    bool varargs;
    bool varkw;
    std::vector<const char*> varnames;  // parameters first, then locals
    std::vector<const char*> freevars;
};

// New code object carrying the shape's names, counts, flags and first line.
py::object make_code(const CodeShape& shape);

}  // namespace native::detail
