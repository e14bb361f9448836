// The import statements of a module body, with the interpreter's semantics:
// `import name` reuses a fully initialised sys.modules entry and otherwise
// calls __import__; `from module import a, b` calls __import__ with the
// from-list and takes each name from the module or its submodules.
#pragma once

#include <vector>

#include "native/py.hpp"

namespace native {

// `import name` (a top-level module name).
py::object import_module(py::handle globals, const char* name);

// `from . import module` (at `level`) without binding anything: for a
// module imported for what its import does.
void import_for_effect(py::handle globals, const char* module, int level);

// `from module import name` inside a function body: the value, bound nowhere.
py::object import_name(py::handle globals, const char* module, const char* name, int level);

struct ImportedName {
    const char* name;
    const char* bound_as;  // the alias, or the name itself
};

// `from module import a, b as c` at `level` (0 absolute, 1 relative to the
// importing package): each name is bound in `globals` as soon as it has been
// taken. A missing name raises ImportError "cannot import name ...".
void import_from(py::handle globals, const char* module, const std::vector<ImportedName>& names,
                 int level);

}  // namespace native
