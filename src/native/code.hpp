// Code objects for the module's functions and traceback entries.
//
// Everything that depends on how the running interpreter builds code objects
// and frames is confined to code.cpp.
#pragma once

#include <vector>

#include "native/py.hpp"

namespace native {

// The package-relative path of the module's source, as code objects show it.
extern const char* const kSourceFile;

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

// Adds a traceback entry "funcname" at `line` of the module's source to the
// exception being raised. `funcname` must live as long as the module: its
// address keys the cache of code objects. Never fails: if the entry cannot be built, the
// original exception is left as it was.
void add_traceback(const char* funcname, int line, PyObject* globals) noexcept;

}  // namespace native
