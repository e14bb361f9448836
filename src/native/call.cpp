#include "native/call.hpp"

#include "native/detail/capi.hpp"
#include "native/detail/messages.hpp"
#include "native/globals.hpp"

namespace native {

py::object Call::class_cell_contents() const {
    PyObject* cls = class_cell_ ? PyCell_Get(class_cell_.ptr()) : nullptr;
    if (cls == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        raise_error();
    }
    return py::reinterpret_steal<py::object>(cls);
}

py::object Call::global(const Name& name) const {
    return lookup_global(globals_, name);
}

void raise_positional_count(const char* function, const char* bound, Py_ssize_t expected,
                            Py_ssize_t given) {
    set_positional_count_error(function, bound, expected, given);
    raise_error();
}

void raise_multiple_values(const char* function, py::handle keyword) {
    set_multiple_values_error(function, keyword.ptr());
    raise_error();
}

}  // namespace native
