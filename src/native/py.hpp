// Common include for the whole module: the C API plus pybind11's handle types.
//
// pybind11 is used for its RAII references and call helpers only; the module
// is initialised by hand, so nothing here may need pybind11's internals.
//
// Ownership rule. A py::handle, or a raw borrowed PyObject*, is valid only
// until the next call that can run Python code (any call, attribute access,
// comparison, truth test, allocation that may trigger a collection, ...).
// Anything taken from a mutable container (a tuple of defaults that the
// function object may drop, a dict's items, a list slot, a cell) and used
// across such a call is held as an owned reference (py::object) for as long
// as it is used, as the interpreter's frames hold their arguments. Handles
// are fine for the arguments of the running call (the caller owns them for
// the whole call) and for objects the code itself owns. No container that
// Python code can reach (gc.get_objects() reaches every tracked one) ever
// holds a NULL slot: lists grow by appending, tuples are filled before they
// are shared.
#pragma once

#ifndef PYBIND11_SIMPLE_GIL_MANAGEMENT
#define PYBIND11_SIMPLE_GIL_MANAGEMENT
#endif

#include <cassert>
#include <new>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace native {

// Throws the Python error that the failing C API call has just set. Reaching
// it with no error set is a bug: asserted in debug builds, and reported as
// SystemError otherwise rather than passing as success.
[[noreturn]] inline void throw_python_error() {
    assert(PyErr_Occurred() != nullptr);
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    throw py::error_already_set();
}

// Runs `action`; returns false with the Python error set when it throws.
// The one place where C++ exceptions become Python exceptions: every entry
// point the interpreter calls runs its C++ inside it.
template <class Action>
bool run_translating_errors(Action&& action) noexcept {
    try {
        action();
        return true;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return false;
}

// Takes ownership of a new reference from the C API, throwing on NULL.
inline py::object steal_or_throw(PyObject* result) {
    if (result == nullptr) throw_python_error();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace native
