// The object protocol, as the C API names it: calls, attribute access,
// comparison and truth with the interpreter's exact semantics, for bodies
// that must behave like the Python statements they stand for. (What a body
// sees of its own call is call.hpp's.)
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
// callable(*args, **kwargs) for arguments gathered at run time.
py::object call_with(py::handle callable, const py::tuple& args, const py::dict& kwargs);
// callable(**kwargs).
py::object call_with(py::handle callable, const py::dict& kwargs);

// object.name. A class attribute read on every call is remembered while the
// class is unchanged (see attributes.cpp): the same object as a fresh read.
py::object getattr(py::handle object, const Name& name);
void setattr(py::handle object, const Name& name, py::handle value);
// object.name, or an empty object when the lookup raises AttributeError;
// any other error (MemoryError, KeyboardInterrupt, a raising property...)
// propagates.
py::object optional_attr(py::handle object, const Name& name);
// The special method `name` of type(object), bound to object, as `with`
// finds __enter__ and __exit__; AttributeError when the type lacks it.
py::object lookup_special(py::handle object, const Name& name);

// `left == right`: the rich comparison (no identity shortcut) and its truth.
bool equals(py::handle left, py::handle right);
// The truth value by the interpreter's rules (may run __bool__ / __len__).
bool truthy(py::handle value);

}  // namespace native
