#include "native/imports.hpp"

#include "native/detail/capi.hpp"
#include "native/globals.hpp"
#include "native/new_objects.hpp"
#include "native/object_protocol.hpp"

namespace native {
namespace {

const Name kImport("__import__");
const Name kSpec("__spec__");
const Name kInitializing("_initializing");
const Name kDunderName("__name__");

py::object call_import(py::handle globals, const char* module, py::handle fromlist, int level) {
    return call(lookup_builtin(kImport),
                {text(module), globals, new_dict(), fromlist, new_int(level)});
}

// True when the sys.modules entry is still being imported (by another
// thread or higher up this one's stack). A module without __spec__, or a
// __spec__ without the flag, is done; other errors propagate.
bool still_initializing(const py::object& module) {
    py::object spec = optional_attr(module, kSpec);
    if (!spec) return false;
    py::object flag = optional_attr(spec, kInitializing);
    return flag && truthy(flag);
}

py::object cached_module(const char* name) {
    PyObject* found = PyImport_GetModule(text(name).ptr());
    if (found == nullptr) {
        if (PyErr_Occurred()) raise_error();
        return py::object();
    }
    py::object module = py::reinterpret_steal<py::object>(found);
    if (module.is_none() || still_initializing(module)) return py::object();
    return module;
}

// A name missing as an attribute may still be a submodule that sits in
// sys.modules without having been bound on its package yet.
py::object take_name(const py::object& module, const char* name) {
    py::object bare = interned(name);
    PyObject* value = PyObject_GetAttr(module.ptr(), bare.ptr());
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_error();
    PyErr_Clear();
    py::object package = optional_attr(module, kDunderName);
    if (package && PyUnicode_Check(package.ptr())) {
        py::object full = steal(PyUnicode_FromFormat("%U.%U", package.ptr(), bare.ptr()));
        PyObject* submodule = PyImport_GetModule(full.ptr());
        if (submodule != nullptr) return py::reinterpret_steal<py::object>(submodule);
        if (PyErr_Occurred()) raise_error();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", bare.ptr());
    raise_error();
}

py::list from_list(const std::vector<const char*>& names) {
    py::list list = new_list();
    for (const char* name : names) check(PyList_Append(list.ptr(), text(name).ptr()));
    return list;
}

}  // namespace

py::object import_module(py::handle globals, const char* name) {
    py::object module = cached_module(name);
    if (module) return module;
    return call_import(globals, name, py::none(), 0);
}

void import_for_effect(py::handle globals, const char* module, int level) {
    call_import(globals, module, py::none(), level);
}

py::object import_name(py::handle globals, const char* module, const char* name, int level) {
    return take_name(call_import(globals, module, from_list({name}), level), name);
}

void import_from(py::handle globals, const char* module, const std::vector<ImportedName>& names,
                 int level) {
    std::vector<const char*> listed;
    for (const ImportedName& name : names) listed.push_back(name.name);
    py::object imported = call_import(globals, module, from_list(listed), level);
    for (const ImportedName& name : names) {
        py::object value = take_name(imported, name.name);
        check(PyDict_SetItemString(globals.ptr(), name.bound_as, value.ptr()));
    }
}

}  // namespace native
