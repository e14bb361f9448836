// New objects of the built-in types, for the runtime and the module alike.
//
// Each helper throws PythonError with the interpreter's exception when the
// object cannot be made (MemoryError, nearly always), like every other
// failure inside the module. pybind11's allocating constructors and
// accessors (py::dict(), py::tuple(n), py::int_(v), obj[key] = value, ...)
// are not used: when an allocation fails they throw std::runtime_error,
// which would reach Python as SystemError("Could not allocate ..."), and a
// build with assertions stops in pybind11 first (it asserts that no Python
// error is set when it fails).
//
// Tuples are made filled: a tuple is tracked by the collector as soon as it
// exists, and the collector may run Python code that walks every tracked
// object, so none is ever left with an empty slot.
#pragma once

#include <initializer_list>
#include <vector>

#include "native/py.hpp"

namespace native {

py::dict new_dict();
py::list new_list();
py::object new_int(long value);
py::object new_float(double value);
// A str of UTF-8 text.
py::object text(const char* value);
// The interned str of ASCII text, as the interpreter interns identifiers.
py::object interned(const char* value);

// A tuple of the items, in order; tuple_of({}) is the empty tuple.
py::tuple tuple_of(std::initializer_list<py::handle> items);
py::tuple tuple_of(const std::vector<py::handle>& items);
py::tuple tuple_of(const std::vector<py::object>& items);
// tuple(list): the list's items as they are now.
py::tuple tuple_of_list(const py::list& list);

}  // namespace native
