#include "native/globals.hpp"

#include "native/detail/capi.hpp"
#include "native/detail/compat.hpp"

namespace native {
namespace {

// NameError "name '...' is not defined", carrying the name where the
// interpreter's own does (see compat::set_name_error_name).
[[noreturn]] void raise_name_error(const Name& name) {
    if (PyErr_Occurred()) raise_error();
    py::handle text = name.handle();
    py::object message = steal(PyUnicode_FromFormat("name '%U' is not defined", text.ptr()));
    py::object error = steal(PyObject_CallFunctionObjArgs(PyExc_NameError, message.ptr(), nullptr));
    check(compat::set_name_error_name(error.ptr(), text.ptr()));
    PyErr_SetObject(PyExc_NameError, error.ptr());
    raise_error();
}

// The built-in `name`, or nullptr with an error set when the look-up failed.
PyObject* builtin(const ModuleState& state, py::handle name) {
    py::handle builtins = state.builtins();
    return builtins ? compat::dict_get(builtins.ptr(), name.ptr()) : nullptr;
}

}  // namespace

py::object lookup_global(py::handle globals, const Name& name) {
    const ModuleState& state = active_state();
    py::handle key = name.handle(state);
    PyObject* value = compat::dict_get(globals.ptr(), key.ptr());
    if (value == nullptr && !PyErr_Occurred()) value = builtin(state, key);
    if (value == nullptr) raise_name_error(name);
    return py::reinterpret_steal<py::object>(value);
}

py::object lookup_builtin(const Name& name) {
    const ModuleState& state = active_state();
    PyObject* value = builtin(state, name.handle(state));
    if (value == nullptr) raise_name_error(name);
    return py::reinterpret_steal<py::object>(value);
}

}  // namespace native
