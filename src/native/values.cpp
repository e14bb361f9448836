#include "native/values.hpp"

#include "native/detail/capi.hpp"
#include "native/detail/compat.hpp"

namespace native {

py::object add(py::handle left, py::handle right) {
    return steal(PyNumber_Add(left.ptr(), right.ptr()));
}

py::object invert(py::handle value) {
    return steal(PyNumber_Invert(value.ptr()));
}

py::object and_in_place(py::handle left, py::handle right) {
    return steal(PyNumber_InPlaceAnd(left.ptr(), right.ptr()));
}

py::object str_of(py::handle value) {
    return steal(PyObject_Str(value.ptr()));
}

py::object concat(std::initializer_list<py::handle> parts) {
    py::tuple tuple = tuple_of(parts);
    py::object empty = steal(PyUnicode_FromStringAndSize(nullptr, 0));
    return steal(PyUnicode_Join(empty.ptr(), tuple.ptr()));
}

py::object join(const py::list& items) {
    py::object empty = steal(PyUnicode_FromStringAndSize(nullptr, 0));
    return steal(PyUnicode_Join(empty.ptr(), items.ptr()));
}

py::object utf8_bytes(py::handle text) {
    return steal(PyUnicode_AsUTF8String(text.ptr()));
}

bool contains(py::handle container, py::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    check(found);
    return found != 0;
}

py::object first_refused_character(py::handle text, bool (*accept)(uint32_t code_point)) {
    PyObject* object = text.ptr();
    if (PyUnicode_Check(object)) {
        if (!compat::ready(object)) raise_error();
        const int kind = PyUnicode_KIND(object);
        const void* data = PyUnicode_DATA(object);
        for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(object); i < n; ++i) {
            Py_UCS4 code_point = PyUnicode_READ(kind, data, i);
            if (!accept(code_point))
                return steal(PyUnicode_FromOrdinal(static_cast<int>(code_point)));
        }
    } else if (PyBytes_Check(object)) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object));
        for (Py_ssize_t i = 0, n = PyBytes_GET_SIZE(object); i < n; ++i) {
            if (!accept(bytes[i])) return steal(PyUnicode_FromOrdinal(bytes[i]));
        }
    }
    return py::object();
}

Py_ssize_t range_length(py::handle n) {
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) raise_error();
    if (overflow > 0 || count > PY_SSIZE_T_MAX) {
        raise_error(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
    }
    return overflow < 0 || count < 0 ? 0 : static_cast<Py_ssize_t>(count);
}

double as_double(py::handle number) {
    double value = PyFloat_AsDouble(number.ptr());
    if (value == -1.0 && PyErr_Occurred()) raise_error();
    return value;
}

std::string format_general(double value) {
    char* text = PyOS_double_to_string(value, 'g', 6, 0, nullptr);
    if (text == nullptr) raise_error();
    std::string formatted(text);
    PyMem_Free(text);
    return formatted;
}

namespace {

PyObject* type_object(BuiltinType type) {
    switch (type) {
        case BuiltinType::kDict:
            return reinterpret_cast<PyObject*>(&PyDict_Type);
        case BuiltinType::kList:
            return reinterpret_cast<PyObject*>(&PyList_Type);
        case BuiltinType::kInt:
            return reinterpret_cast<PyObject*>(&PyLong_Type);
        case BuiltinType::kFloat:
            return reinterpret_cast<PyObject*>(&PyFloat_Type);
        case BuiltinType::kBool:
            return reinterpret_cast<PyObject*>(&PyBool_Type);
        case BuiltinType::kStr:
            return reinterpret_cast<PyObject*>(&PyUnicode_Type);
        case BuiltinType::kBytes:
            return reinterpret_cast<PyObject*>(&PyBytes_Type);
        case BuiltinType::kNone:
            break;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(Py_None));
}

}  // namespace

std::optional<BuiltinType> exact_builtin_type(py::handle value) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (type == &PyUnicode_Type) return BuiltinType::kStr;
    if (type == &PyDict_Type) return BuiltinType::kDict;
    if (type == &PyList_Type) return BuiltinType::kList;
    if (type == &PyLong_Type) return BuiltinType::kInt;
    if (type == &PyFloat_Type) return BuiltinType::kFloat;
    if (type == &PyBool_Type) return BuiltinType::kBool;
    if (type == &PyBytes_Type) return BuiltinType::kBytes;
    if (value.ptr() == Py_None) return BuiltinType::kNone;
    return std::nullopt;
}

bool is_instance(py::handle value, BuiltinType type) {
    int result = PyObject_IsInstance(value.ptr(), type_object(type));
    check(result);
    return result != 0;
}

void raise_expected(const char* expected, py::handle value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected,
                 Py_TYPE(value.ptr())->tp_name);
    raise_error();
}

void raise_value_error(py::handle message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    raise_error();
}

void append(const py::list& list, py::handle item) {
    check(PyList_Append(list.ptr(), item.ptr()));
}

py::object dict_get(const py::dict& dict, py::handle key) {
    PyObject* value = compat::dict_get(dict.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) raise_error();
    return py::reinterpret_steal<py::object>(value);
}

bool dict_contains(const py::dict& dict, py::handle key) {
    int found = PyDict_Contains(dict.ptr(), key.ptr());
    check(found);
    return found != 0;
}

void dict_set(const py::dict& dict, py::handle key, py::handle value) {
    check(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
}

void dict_update(const py::dict& dict, py::handle other) {
    check(PyDict_Update(dict.ptr(), other.ptr()));
}

std::vector<std::pair<py::object, py::object>> dict_items(const py::dict& dict) {
    std::vector<std::pair<py::object, py::object>> items;
    // Nothing in the walk runs Python code (without the GIL the dict's
    // critical section keeps other threads out).
    Py_BEGIN_CRITICAL_SECTION(dict.ptr());
    items.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict.ptr())));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.ptr(), &pos, &key, &value)) {
        items.emplace_back(Borrowed(key).owned(), Borrowed(value).owned());
    }
    Py_END_CRITICAL_SECTION();
    return items;
}

void dict_update_keyword(py::handle dict, py::handle key, py::handle value) {
    if (!PyUnicode_Check(key.ptr())) raise_error(PyExc_TypeError, "keywords must be strings");
    check(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
}

Iterator::Iterator(py::handle iterable) : iterator_(steal(PyObject_GetIter(iterable.ptr()))) {}

bool Iterator::next(py::object& item) {
    PyObject* next = PyIter_Next(iterator_.ptr());
    if (next == nullptr) {
        if (PyErr_Occurred()) raise_error();
        return false;
    }
    item = py::reinterpret_steal<py::object>(next);
    return true;
}

void unpack_pair(const py::object& pair, py::object& first, py::object& second) {
    first = Borrowed(PyTuple_GET_ITEM(pair.ptr(), 0)).owned();
    second = Borrowed(PyTuple_GET_ITEM(pair.ptr(), 1)).owned();
}

}  // namespace native
