#include "native/globals.hpp"

#include "native/detail/capi.hpp"
#include "native/detail/compat.hpp"

namespace native {
namespace {

[[noreturn]] void raise_name_error(const Name& name) {
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.handle().ptr());
    }
    raise_error();
}

// The built-in `name`, or nullptr with an error set when the look-up failed.
PyObject* builtin(const Name& name) {
    py::handle builtins = active_state().builtins();
    return builtins ? compat::dict_get(builtins.ptr(), name.handle().ptr()) : nullptr;
}

}  // namespace

py::object lookup_global(py::handle globals, const Name& name) {
    PyObject* value = compat::dict_get(globals.ptr(), name.handle().ptr());
    if (value == nullptr && !PyErr_Occurred()) value = builtin(name);
    if (value == nullptr) raise_name_error(name);
    return py::reinterpret_steal<py::object>(value);
}

py::object lookup_builtin(const Name& name) {
    PyObject* value = builtin(name);
    if (value == nullptr) raise_name_error(name);
    return py::reinterpret_steal<py::object>(value);
}

}  // namespace native
