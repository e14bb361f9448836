#include "native/detail/code_objects.hpp"

#include "native/detail/capi.hpp"
#include "native/detail/compat.hpp"
#include "native/module_def.hpp"

namespace native::detail {

namespace {

py::tuple to_tuple(const std::vector<const char*>& names) {
    py::tuple tuple(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        tuple[i] = steal(PyUnicode_InternFromString(names[i]));
    }
    return tuple;
}

int code_flags(const CodeShape& shape) {
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (shape.varargs) flags |= CO_VARARGS;
    if (shape.varkw) flags |= CO_VARKEYWORDS;
    return flags;
}

}  // namespace

// An empty code object at the first line, given the shape through
// code.replace(), which every supported release offers for the fields it has.
py::object make_code(const CodeShape& shape) {
    py::object empty = steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(kModuleDefinition.source_file, shape.name, shape.first_line)));
    py::dict changes;
    changes["co_argcount"] = shape.argcount;
    changes["co_varnames"] = to_tuple(shape.varnames);
    changes["co_nlocals"] = static_cast<int>(shape.varnames.size());
    changes["co_flags"] = code_flags(shape);
    if (!shape.freevars.empty()) changes["co_freevars"] = to_tuple(shape.freevars);
    if (compat::kCodeHasQualname) changes["co_qualname"] = shape.qualname;
    return steal(
        PyObject_Call(py::getattr(empty, "replace").ptr(), py::tuple().ptr(), changes.ptr()));
}

}  // namespace native::detail
