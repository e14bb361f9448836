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

// Takes ownership of a new reference from the C API, throwing on NULL.
inline py::object steal_or_throw(PyObject* result) {
    if (result == nullptr) throw_python_error();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace native
