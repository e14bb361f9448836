#include "native/globals.hpp"

namespace native {

py::object lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = compat::dict_get(globals, name);
    PyObject* builtins = active_state().builtins_dict();
    if (value == nullptr && !PyErr_Occurred() && builtins != nullptr) {
        value = compat::dict_get(builtins, name);
    }
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_python_error();
    }
    return py::reinterpret_steal<py::object>(value);
}

py::object lookup_builtin(const Name& name) {
    PyObject* builtins = active_state().builtins_dict();
    PyObject* value = builtins == nullptr ? nullptr : compat::dict_get(builtins, name.ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        }
        throw_python_error();
    }
    return py::reinterpret_steal<py::object>(value);
}

py::handle saved_builtin_super() {
    return active_state().saved_builtin(1);
}

}  // namespace native
