#include "native/globals.hpp"

#include "native/runtime.hpp"

namespace native {
namespace {

PyObject* g_builtins = nullptr;  // strong reference, kept for the process

const Name kStaticmethod("staticmethod");
const Name kSuper("super");
const Name kRange("range");
const Name kZip("zip");
PyObject* g_saved[4] = {};  // strong references, in the order above

const RuntimeBound kForgetBuiltins([] {
    g_builtins = nullptr;
    for (PyObject*& saved : g_saved) saved = nullptr;
});

}  // namespace

void set_builtins(PyObject* builtins_dict) {
    Py_XINCREF(builtins_dict);
    Py_XSETREF(g_builtins, builtins_dict);
}

PyObject* builtins_dict() {
    return g_builtins;
}

py::object lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);  // borrowed
    if (value == nullptr && !PyErr_Occurred() && g_builtins != nullptr) {
        value = PyDict_GetItemWithError(g_builtins, name);
    }
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_python_error();
    }
    return py::reinterpret_borrow<py::object>(value);
}

bool save_builtins() {
    const Name* names[4] = {&kStaticmethod, &kSuper, &kRange, &kZip};
    for (int i = 0; i < 4; ++i) {
        PyObject* value = PyDict_GetItemWithError(g_builtins, names[i]->ptr());
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", names[i]->ptr());
            }
            return false;
        }
        Py_INCREF(value);
        Py_XSETREF(g_saved[i], value);
    }
    return true;
}

py::handle saved_builtin_super() {
    return g_saved[1];
}

py::object lookup_global(PyObject* globals, const Name& name) {
    return lookup_global(globals, name.ptr());
}

}  // namespace native
