// Common include for the whole module: the C API plus pybind11's handle types.
//
// pybind11 is used for its RAII references and call helpers only; the module
// is initialised by hand, so nothing here may need pybind11's internals.
#pragma once

#ifndef PYBIND11_SIMPLE_GIL_MANAGEMENT
#define PYBIND11_SIMPLE_GIL_MANAGEMENT
#endif

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace native {

// Throws the Python error that the failing C API call has just set.
[[noreturn]] inline void throw_python_error() {
    throw py::error_already_set();
}

// Runs `action`; returns false with the Python error set when it throws.
// The one place where C++ exceptions become Python exceptions.
template <class Action>
bool run_translating_errors(Action&& action) noexcept {
    try {
        action();
        return true;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    return false;
}

// Takes ownership of a new reference from the C API, throwing on NULL.
inline py::object steal_or_throw(PyObject* result) {
    if (result == nullptr) throw_python_error();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace native
