#include "native/new_objects.hpp"

#include "native/detail/capi.hpp"

namespace native {
namespace {

template <class Object>
Object steal_as(PyObject* made) {
    if (made == nullptr) raise_error();
    return py::reinterpret_steal<Object>(made);
}

// Fills every slot before anything else can run.
template <class Items>
py::tuple filled_tuple(const Items& items) {
    auto tuple = steal_as<py::tuple>(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const py::handle& item : items) {
        PyTuple_SET_ITEM(tuple.ptr(), i++, py::handle(item).inc_ref().ptr());
    }
    return tuple;
}

}  // namespace

py::dict new_dict() {
    return steal_as<py::dict>(PyDict_New());
}

py::list new_list() {
    return steal_as<py::list>(PyList_New(0));
}

py::object new_int(long value) {
    return steal(PyLong_FromLong(value));
}

py::object new_float(double value) {
    return steal(PyFloat_FromDouble(value));
}

py::object text(const char* value) {
    return steal(PyUnicode_FromString(value));
}

py::object interned(const char* value) {
    return steal(PyUnicode_InternFromString(value));
}

py::tuple tuple_of(std::initializer_list<py::handle> items) {
    return filled_tuple(items);
}

py::tuple tuple_of(const std::vector<py::handle>& items) {
    return filled_tuple(items);
}

py::tuple tuple_of(const std::vector<py::object>& items) {
    return filled_tuple(items);
}

py::tuple tuple_of_list(const py::list& list) {
    return steal_as<py::tuple>(PyList_AsTuple(list.ptr()));
}

}  // namespace native
