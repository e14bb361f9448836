#include "native/calls.hpp"

#include <cstdint>
#include <stdexcept>

namespace native {
namespace {

using compat::vectorcall;

constexpr size_t kInlineArgs = 8;

const Name kGetattribute("__getattribute__");
const Name kGetattr("__getattr__");

// `attr` found on type(self), bound to self and called with `name`, as the
// interpreter calls __getattr__ and __getattribute__ hooks.
PyObject* call_attribute(PyObject* self, PyObject* attr, PyObject* name) {
    descrgetfunc bind = Py_TYPE(attr)->tp_descr_get;
    py::object bound = py::reinterpret_borrow<py::object>(attr);
    if (bind != nullptr) {
        bound = py::reinterpret_steal<py::object>(
            bind(attr, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
        if (!bound) return nullptr;
    }
    return PyObject_CallFunctionObjArgs(bound.ptr(), name, nullptr);
}

// The attribute `name` along type's MRO (no descriptor applied), owned.
py::object type_lookup(PyTypeObject* type, const Name& name) {
    return py::reinterpret_steal<py::object>(compat::type_lookup(type, name.ptr()));
}

// True when the type's __getattribute__ is type's own, unchanged. The
// wrapper descriptor's d_wrapped (the C function it wraps) is not public
// API; CPython's own typeobject.c compares it the same way.
bool keeps_type_getattribute(PyTypeObject* metatype) {
    py::object getattribute = type_lookup(metatype, kGetattribute);
    return getattribute && Py_TYPE(getattribute.ptr()) == &PyWrapperDescr_Type &&
           reinterpret_cast<PyWrapperDescrObject*>(getattribute.ptr())->d_wrapped ==
               reinterpret_cast<void*>(PyType_Type.tp_getattro);
}

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
    py::object descriptor = type_lookup(type, name);
    if (!descriptor) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name.ptr());
        throw_python_error();
    }
    descrgetfunc bind = Py_TYPE(descriptor.ptr())->tp_descr_get;
    if (bind == nullptr) return descriptor;
    return steal_or_throw(bind(descriptor.ptr(), object.ptr(), reinterpret_cast<PyObject*>(type)));
}

namespace {

// A class whose metaclass defines __getattr__ in Python (the enumeration's,
// up to 3.11) is read through the interpreter's hook, which calls
// type.__getattribute__ by way of a new bound method-wrapper on every read
// and falls back to __getattr__ on AttributeError. When the metaclass keeps
// type's own __getattribute__, calling it directly is that same call without
// the wrapper; the fallback is kept as it is.
PyObject* read_class_attribute(PyObject* cls, PyObject* name) {
    PyTypeObject* metatype = Py_TYPE(cls);
    if (metatype->tp_getattro == PyType_Type.tp_getattro) return PyType_Type.tp_getattro(cls, name);
    if (metatype->tp_getattro == PyObject_GenericGetAttr || !keeps_type_getattribute(metatype)) {
        return PyObject_GetAttr(cls, name);
    }
    py::object fallback = type_lookup(metatype, kGetattr);  // owned: the read below may drop it
    if (!fallback) return PyObject_GetAttr(cls, name);
    PyObject* value = PyType_Type.tp_getattro(cls, name);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    return call_attribute(cls, fallback.ptr(), name);
}

// Class attributes read on every call (cls.TypeReq, TypeReq.AIOHTTP) are
// remembered while neither the class nor its metaclass changes: the
// interpreter gives a class a new version tag whenever its namespace or a
// base's changes, as its own attribute caches rely on. Only plain values
// found along the class's MRO are remembered (no descriptor to call,
// nothing of the metaclass's in the way), so a hit returns what
// type.__getattribute__ would, the same object, without looking it up
// again. The entries borrow their values: a value stays in its class's
// namespace (and alive) for as long as the class keeps the version tag the
// entry recorded, and the cache is checked against that tag before use.
//
// Free-threaded builds go without the cache: another thread may change a
// class between the version check and the use of the borrowed value, and
// making that safe would cost what the cache saves.
//
// tp_version_tag and Py_TPFLAGS_VALID_VERSION_TAG are not public API (the
// headers call the flag a legacy one); they are what the interpreter's own
// caches key on, and every supported release (3.8-3.15) still maintains
// them. A release that stops would leave the cache empty, not wrong: it is
// only filled while the flag is set.
unsigned int version_of(PyTypeObject* type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

RememberedAttribute& slot_for(PyObject* cls, PyObject* name) {
    auto key = (reinterpret_cast<uintptr_t>(cls) >> 4) ^ (reinterpret_cast<uintptr_t>(name) >> 4);
    return active_state().remembered(key);
}

void remember(PyObject* cls, PyObject* name, PyObject* value) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* metatype = Py_TYPE(cls);
    if (Py_TYPE(value)->tp_descr_get != nullptr) return;
    py::object in_metatype = py::reinterpret_steal<py::object>(compat::type_lookup(metatype, name));
    py::object in_class = py::reinterpret_steal<py::object>(compat::type_lookup(type, name));
    if (in_metatype || !in_class.is(py::handle(value))) return;
    unsigned int cls_version = version_of(type), meta_version = version_of(metatype);
    if (cls_version == 0 || meta_version == 0) return;
    slot_for(cls, name) = RememberedAttribute{type, name, cls_version, meta_version, value};
}

PyObject* remembered_value(PyObject* cls, PyObject* name) {
    const RememberedAttribute& entry = slot_for(cls, name);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (entry.cls == type && entry.name == name && entry.cls_version != 0 &&
        entry.cls_version == version_of(type) && entry.meta_version == version_of(Py_TYPE(cls))) {
        Py_INCREF(entry.value);
        return entry.value;
    }
    return nullptr;
}

}  // namespace

PyObject* get_attribute(PyObject* object, PyObject* name) {
    if (compat::kFreeThreaded || !PyType_Check(object)) return PyObject_GetAttr(object, name);
    if (PyObject* value = remembered_value(object, name)) return value;
    PyObject* value = read_class_attribute(object, name);
    if (value != nullptr && PyUnicode_CheckExact(name)) remember(object, name, value);
    return value;
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
