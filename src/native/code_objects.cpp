#include "native/detail/code_objects.hpp"

#include "native/detail/capi.hpp"
#include "native/detail/compat.hpp"
#include "native/module_identity.hpp"
#include "native/new_objects.hpp"

namespace native::detail {

namespace {

py::tuple to_tuple(const std::vector<const char*>& names) {
    std::vector<py::object> items;
    for (const char* name : names) items.push_back(interned(name));
    return tuple_of(items);
}

int code_flags(const CodeShape& shape) {
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (shape.varargs) flags |= CO_VARARGS;
    if (shape.varkw) flags |= CO_VARKEYWORDS;
    return flags;
}

void set_field(const py::dict& changes, const char* field, const py::object& value) {
    check(PyDict_SetItemString(changes.ptr(), field, value.ptr()));
}

}  // namespace

// An empty code object at the first line, given the shape through
// code.replace(), which every supported release offers for the fields it has.
py::object make_code(const CodeShape& shape) {
    py::object empty = steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(kModuleIdentity.source_file, shape.name, shape.first_line)));
    py::dict changes = new_dict();
    set_field(changes, "co_argcount", new_int(shape.argcount));
    set_field(changes, "co_varnames", to_tuple(shape.varnames));
    set_field(changes, "co_nlocals", new_int(static_cast<long>(shape.varnames.size())));
    set_field(changes, "co_flags", new_int(code_flags(shape)));
    if (!shape.freevars.empty()) set_field(changes, "co_freevars", to_tuple(shape.freevars));
    if (compat::kCodeHasQualname) set_field(changes, "co_qualname", text(shape.qualname));
    py::object replace = steal(PyObject_GetAttrString(empty.ptr(), "replace"));
    return steal(PyObject_Call(replace.ptr(), tuple_of({}).ptr(), changes.ptr()));
}

}  // namespace native::detail
