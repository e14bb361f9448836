#include "native/imports.hpp"

#include "native/calls.hpp"
#include "native/globals.hpp"

namespace native {
namespace {

const Name kImport("__import__");
const Name kSpec("__spec__");
const Name kInitializing("_initializing");
const Name kDunderName("__name__");

py::object call_import(PyObject* globals, const char* module, py::handle fromlist, int level) {
    py::object import = lookup_builtin(kImport);
    return import(module, py::reinterpret_borrow<py::object>(globals), py::dict(), fromlist, level);
}

// True when the sys.modules entry is still being imported (by another
// thread or higher up this one's stack). A module without a spec, or a spec
// without the flag, is done; other errors propagate.
bool still_initializing(const py::object& module) {
    py::object spec = optional_attr(module, kSpec.ptr());
    if (!spec) return false;
    py::object flag = optional_attr(spec, kInitializing.ptr());
    return flag && truthy(flag);
}

py::object cached_module(const char* name) {
    PyObject* found = PyImport_GetModule(py::str(name).ptr());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw_python_error();
        return py::object();
    }
    py::object module = py::reinterpret_steal<py::object>(found);
    if (module.is_none() || still_initializing(module)) return py::object();
    return module;
}

// A name missing as an attribute may still be a submodule that sits in
// sys.modules without having been bound on its package yet.
py::object take_name(const py::object& module, const char* name) {
    py::object bare = steal_or_throw(PyUnicode_InternFromString(name));
    py::object value = optional_attr(module, bare.ptr());
    if (value) return value;
    py::object package = optional_attr(module, kDunderName.ptr());
    if (package && PyUnicode_Check(package.ptr())) {
        py::object full = steal_or_throw(PyUnicode_FromFormat("%U.%U", package.ptr(), bare.ptr()));
        PyObject* submodule = PyImport_GetModule(full.ptr());
        if (submodule != nullptr) return py::reinterpret_steal<py::object>(submodule);
        if (PyErr_Occurred()) throw_python_error();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", bare.ptr());
    throw_python_error();
}

}  // namespace

py::object import_module(PyObject* globals, const char* name) {
    py::object module = cached_module(name);
    if (module) return module;
    return call_import(globals, name, py::none(), 0);
}

void import_for_effect(PyObject* globals, const char* module, int level) {
    call_import(globals, module, py::none(), level);
}

py::object import_name(PyObject* globals, const char* module, const char* name, int level) {
    py::list fromlist;
    fromlist.append(py::str(name));
    return take_name(call_import(globals, module, fromlist, level), name);
}

void import_from(PyObject* globals, const char* module, const std::vector<ImportedName>& names,
                 int level) {
    py::list fromlist;
    for (const ImportedName& name : names) fromlist.append(py::str(name.name));
    py::object imported = call_import(globals, module, fromlist, level);
    for (const ImportedName& name : names) {
        py::object value = take_name(imported, name.name);
        if (PyDict_SetItemString(globals, name.bound_as, value.ptr()) < 0) throw_python_error();
    }
}

}  // namespace native
