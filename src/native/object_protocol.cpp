#include "native/object_protocol.hpp"

#include <stdexcept>

#include "native/detail/attributes.hpp"
#include "native/detail/capi.hpp"
#include "native/detail/compat.hpp"
#include "native/new_objects.hpp"

namespace native {
namespace {

constexpr size_t kInlineArgs = 8;

// Lays out a vectorcall stack: slot 0 stays free for the callee
// (PY_VECTORCALL_ARGUMENTS_OFFSET), `first` (may be empty) goes in slot 1,
// then the positional arguments and the keyword values. Returns the
// keyword-names tuple (empty when there are no keywords).
py::object fill_stack(PyObject** stack, py::handle first, std::initializer_list<py::handle> args,
                      std::initializer_list<Keyword> keywords) {
    if (args.size() + keywords.size() > kInlineArgs) {
        throw std::length_error("too many arguments for an inline call");
    }
    size_t next = 1;
    if (first) stack[next++] = first.ptr();
    for (py::handle arg : args) stack[next++] = arg.ptr();
    if (keywords.size() == 0) return py::object();
    py::object kwnames = steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t k = 0;
    for (const Keyword& keyword : keywords) {
        PyTuple_SET_ITEM(kwnames.ptr(), k++, keyword.name.handle().inc_ref().ptr());
        stack[next++] = keyword.value.ptr();
    }
    return kwnames;
}

}  // namespace

py::object call(py::handle callable, std::initializer_list<py::handle> args) {
    return call(callable, args, {});
}

py::object call(py::handle callable, std::initializer_list<py::handle> args,
                std::initializer_list<Keyword> keywords) {
    PyObject* stack[kInlineArgs + 1];
    py::object kwnames = fill_stack(stack, py::handle(), args, keywords);
    return steal(compat::vectorcall(callable.ptr(), stack + 1,
                                    args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

py::object call_method(py::handle object, const Name& name, std::initializer_list<py::handle> args,
                       std::initializer_list<Keyword> keywords) {
    PyObject* stack[kInlineArgs + 2];
    py::object kwnames = fill_stack(stack, object, args, keywords);
    return steal(compat::vectorcall_method(name.handle().ptr(), stack + 1,
                                           (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           kwnames.ptr()));
}

py::object call_with(py::handle callable, const py::tuple& args, const py::dict& kwargs) {
    return steal(PyObject_Call(callable.ptr(), args.ptr(), kwargs.ptr()));
}

py::object call_with(py::handle callable, const py::dict& kwargs) {
    return call_with(callable, tuple_of({}), kwargs);
}

py::object getattr(py::handle object, const Name& name) {
    return detail::get_attribute(active_state(), object, name);
}

void setattr(py::handle object, const Name& name, py::handle value) {
    check(PyObject_SetAttr(object.ptr(), name.handle().ptr(), value.ptr()));
}

py::object optional_attr(py::handle object, const Name& name) {
    PyObject* value = PyObject_GetAttr(object.ptr(), name.handle().ptr());
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_error();
    PyErr_Clear();
    return py::object();
}

py::object lookup_special(py::handle object, const Name& name) {
    PyTypeObject* type = Py_TYPE(object.ptr());
    PyObject* found = compat::type_lookup(type, name.handle().ptr());
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name.handle().ptr());
        raise_error();
    }
    py::object descriptor = py::reinterpret_steal<py::object>(found);
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (bind == nullptr) return descriptor;
    return steal(bind(found, object.ptr(), reinterpret_cast<PyObject*>(type)));
}

bool equals(py::handle left, py::handle right) {
    py::object result = steal(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
    return truthy(result);
}

bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    check(result);
    return result != 0;
}

}  // namespace native
