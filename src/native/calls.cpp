#include "native/calls.hpp"

#include <vector>

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

}  // namespace

py::object call(py::handle callable, std::initializer_list<py::handle> args) {
    if (args.size() > kInlineArgs) return call(callable, args, {});
    PyObject* stack[kInlineArgs + 1];
    size_t count = 0;
    for (py::handle arg : args) stack[1 + count++] = arg.ptr();
    return steal_or_throw(
        vectorcall(callable.ptr(), stack + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

py::object call(py::handle callable, std::initializer_list<py::handle> args,
                std::initializer_list<Keyword> keywords) {
    std::vector<PyObject*> stack(1 + args.size() + keywords.size());
    size_t count = 1;
    for (py::handle arg : args) stack[count++] = arg.ptr();
    py::tuple kwnames(keywords.size());
    size_t k = 0;
    for (const Keyword& keyword : keywords) {
        kwnames[k++] = keyword.name.handle();
        stack[count++] = keyword.value.ptr();
    }
    return steal_or_throw(vectorcall(callable.ptr(), stack.data() + 1,
                                     args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
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
