// Calls and operators with the interpreter's exact semantics, for bodies
// that must behave like the Python statements they stand for.
#pragma once

#include <initializer_list>

#include "native/names.hpp"

namespace native {

struct Keyword {
    const Name& name;
    py::handle value;
};

// callable(*args) through vectorcall.
py::object call(py::handle callable, std::initializer_list<py::handle> args = {});
// callable(*args, **{name: value, ...}), keywords in the order given.
py::object call(py::handle callable, std::initializer_list<py::handle> args,
                std::initializer_list<Keyword> keywords);
// object.name(*args), without a bound-method object where the interpreter
// allows it.
py::object call_method(py::handle object, const Name& name,
                       std::initializer_list<py::handle> args = {},
                       std::initializer_list<Keyword> keywords = {});
// callable(*args, **mapping) for a dict of keywords built at run time.
py::object call_with_dict(py::handle callable, py::handle args_tuple, py::handle kwargs_dict);

// A new tuple of the items.
py::tuple tuple_of(std::initializer_list<py::handle> items);

// `left == right`: the rich comparison (no identity shortcut) and its truth.
bool equals(py::handle left, py::handle right);
// The truth value by the interpreter's rules (may run __bool__ / __len__).
bool truthy(py::handle value);

// The special method `name` of type(object), bound to object, as `with`
// finds __enter__ and __exit__; AttributeError when the type lacks it.
py::object lookup_special(py::handle object, const Name& name);

// object.name, or an empty object when the lookup raises AttributeError;
// any other error (MemoryError, KeyboardInterrupt, a raising property...)
// propagates.
py::object optional_attr(py::handle object, PyObject* name);

// object.name, the attribute name interned: PyObject_GetAttr, with one
// shortcut that gives the same result (see get_attribute in calls.cpp).
PyObject* get_attribute(PyObject* object, PyObject* name);
inline py::object getattr(py::handle object, const Name& name) {
    return steal_or_throw(get_attribute(object.ptr(), name.ptr()));
}
inline void setattr(py::handle object, const Name& name, py::handle value) {
    if (PyObject_SetAttr(object.ptr(), name.ptr(), value.ptr()) < 0) throw_python_error();
}

}  // namespace native
