#include "native/calls.hpp"

#include <stdexcept>

namespace native {
namespace {

#if PY_VERSION_HEX >= 0x03090000
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#else
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#endif

constexpr size_t kInlineArgs = 8;

// Lays out a vectorcall stack: slot 0 stays free for the callee
// (PY_VECTORCALL_ARGUMENTS_OFFSET), `first` (may be null) goes in slot 1,
// then the positional arguments and the keyword values. Returns the
// keyword-names tuple (empty handle when there are no keywords).
py::object fill_stack(PyObject** stack, PyObject* first, std::initializer_list<py::handle> args,
                      std::initializer_list<Keyword> keywords) {
    if (args.size() + keywords.size() > kInlineArgs) {
        throw std::length_error("too many arguments for an inline call");
    }
    size_t next = 1;
    if (first != nullptr) stack[next++] = first;
    for (py::handle arg : args) stack[next++] = arg.ptr();
    if (keywords.size() == 0) return py::object();
    py::object kwnames = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
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
    py::object kwnames = fill_stack(stack, nullptr, args, keywords);
    return steal_or_throw(vectorcall(callable.ptr(), stack + 1,
                                     args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

py::object call_method(py::handle object, const Name& name, std::initializer_list<py::handle> args,
                       std::initializer_list<Keyword> keywords) {
#if PY_VERSION_HEX >= 0x03090000
    // The method is called without materialising a bound-method object.
    PyObject* stack[kInlineArgs + 2];
    py::object kwnames = fill_stack(stack, object.ptr(), args, keywords);
    return steal_or_throw(PyObject_VectorcallMethod(
        name.ptr(), stack + 1, (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
#else
    return call(getattr(object, name), args, keywords);
#endif
}

py::object call_with_dict(py::handle callable, py::handle args_tuple, py::handle kwargs_dict) {
    return steal_or_throw(PyObject_Call(callable.ptr(), args_tuple.ptr(), kwargs_dict.ptr()));
}

py::object lookup_special(py::handle object, const Name& name) {
    PyTypeObject* type = Py_TYPE(object.ptr());
    PyObject* descriptor = _PyType_Lookup(type, name.ptr());  // borrowed
    if (descriptor == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name.ptr());
        throw_python_error();
    }
    descrgetfunc bind = Py_TYPE(descriptor)->tp_descr_get;
    if (bind == nullptr) return py::reinterpret_borrow<py::object>(descriptor);
    py::object keep = py::reinterpret_borrow<py::object>(descriptor);
    return steal_or_throw(bind(descriptor, object.ptr(), reinterpret_cast<PyObject*>(type)));
}

py::object optional_attr(py::handle object, PyObject* name) {
    PyObject* value = PyObject_GetAttr(object.ptr(), name);
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return py::object();
}

py::tuple tuple_of(std::initializer_list<py::handle> items) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr) throw_python_error();
    Py_ssize_t i = 0;
    for (py::handle item : items) PyTuple_SET_ITEM(tuple, i++, item.inc_ref().ptr());
    return py::reinterpret_steal<py::tuple>(tuple);
}

bool equals(py::handle left, py::handle right) {
    py::object result = steal_or_throw(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
    return truthy(result);
}

bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw_python_error();
    return result != 0;
}

}  // namespace native
