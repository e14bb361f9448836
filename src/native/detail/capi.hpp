// What the runtime uses to speak to the C API: taking ownership of the new
// references it returns, and the borrowed kind of reference (see py.hpp).
// Only src/native includes it; the module's own code goes through the
// runtime's typed helpers.
#pragma once

#include "native/py.hpp"

namespace native {

// A value taken from a container that Python code can change (a dict, a
// tuple slot, a cell, a type's namespace): valid only until the next call
// that can run Python code. It converts to nothing: to be used across such a
// call it becomes an owned reference with owned(); ptr() is for C API calls
// that run no Python code.
class Borrowed {
public:
    explicit Borrowed(PyObject* object) : object_(object) {}

    explicit operator bool() const { return object_ != nullptr; }
    bool is(const py::handle& other) const { return object_ == other.ptr(); }
    PyObject* ptr() const { return object_; }
    py::object owned() const { return py::reinterpret_borrow<py::object>(object_); }

private:
    PyObject* object_;
};

// Takes ownership of a new reference from the C API, raising on NULL.
inline py::object steal(PyObject* result) {
    if (result == nullptr) raise_error();
    return py::reinterpret_steal<py::object>(result);
}

// Raises when a C API call reports failure with a negative status.
inline void check(int status) {
    if (status < 0) raise_error();
}

}  // namespace native
