#include "native/detail/attributes.hpp"

#include <cstdint>

#include "native/detail/caches.hpp"
#include "native/detail/capi.hpp"
#include "native/names.hpp"

namespace native::detail {
namespace {

const Name kGetattribute("__getattribute__");
const Name kGetattr("__getattr__");

// `hook` found on type(self), bound to self and called with `name`, as the
// interpreter calls __getattr__ hooks.
py::object call_hook(PyObject* self, const py::object& hook, PyObject* name) {
    descrgetfunc bind = Py_TYPE(hook.ptr())->tp_descr_get;
    py::object bound =
        bind == nullptr ? hook
                        : steal(bind(hook.ptr(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    return steal(PyObject_CallFunctionObjArgs(bound.ptr(), name, nullptr));
}

py::object type_lookup(PyTypeObject* type, PyObject* name) {
    return py::reinterpret_steal<py::object>(compat::type_lookup(type, name));
}

// A class whose metaclass defines __getattr__ in Python (the enumeration's,
// up to 3.11) is read through the interpreter's hook, which calls
// type.__getattribute__ by way of a new bound method-wrapper on every read
// and falls back to __getattr__ on AttributeError. When the metaclass keeps
// type's own __getattribute__, calling it directly is that same call without
// the wrapper; the fallback is kept as it is.
//
// `by_type` tells whether the value came from type.__getattribute__ itself,
// the only reads the cache below may stand for: a metaclass's own
// __getattribute__ runs on every read.
py::object read_class_attribute(PyObject* cls, PyObject* name, bool& by_type) {
    PyTypeObject* metatype = Py_TYPE(cls);
    by_type = false;
    if (metatype->tp_getattro == PyType_Type.tp_getattro) {
        by_type = true;
        return steal(PyType_Type.tp_getattro(cls, name));
    }
    if (metatype->tp_getattro == PyObject_GenericGetAttr) return steal(PyObject_GetAttr(cls, name));
    py::object getattribute = type_lookup(metatype, kGetattribute.handle().ptr());
    py::object fallback =
        type_lookup(metatype, kGetattr.handle().ptr());  // owned: the read may drop it
    if (!getattribute || !compat::wraps_type_getattro(getattribute.ptr()) || !fallback) {
        return steal(PyObject_GetAttr(cls, name));
    }
    PyObject* value = PyType_Type.tp_getattro(cls, name);
    if (value != nullptr) {
        by_type = true;
        return py::reinterpret_steal<py::object>(value);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_error();
    PyErr_Clear();
    return call_hook(cls, fallback, name);
}

// Class attributes read on every call (cls.TypeReq, TypeReq.AIOHTTP) are
// remembered while neither the class nor its metaclass changes: the
// interpreter gives a class a new version tag whenever its namespace or a
// base's changes, as its own attribute caches rely on. Only plain values
// found along the class's MRO are remembered (no descriptor to call, nothing
// of the metaclass's in the way), so a hit returns what
// type.__getattribute__ would, the same object, without looking it up
// again, and only where type.__getattribute__ made the read. The entries
// borrow their values (see RememberedAttribute).
//
// Free-threaded builds go without the cache: another thread may change a
// class between the version check and the use of the borrowed value, and
// making that safe would cost what the cache saves.
//
// The slot mixes every bit of both addresses: allocators stride objects of
// one size so that their low bits are often all alike (ASan's does), and a
// slot taken from those bits alone would depend on the name only, making two
// names of one call push each other out on every call.
RememberedAttribute& slot_for(ModuleState& state, PyObject* cls, PyObject* name) {
    constexpr uint64_t kGoldenRatio = 0x9E3779B97F4A7C15u;  // Fibonacci hashing
    uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(cls)) * kGoldenRatio;
    key = (key ^ static_cast<uint64_t>(reinterpret_cast<uintptr_t>(name))) * kGoldenRatio;
    return state.caches().remembered[(key >> 32) % Caches::kRemembered];
}

void remember(ModuleState& state, PyObject* cls, PyObject* name, PyObject* value) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* metatype = Py_TYPE(cls);
    if (Py_TYPE(value)->tp_descr_get != nullptr) return;
    if (type_lookup(metatype, name) || !type_lookup(type, name).is(py::handle(value))) return;
    unsigned int cls_version = compat::type_version(type);
    unsigned int meta_version = compat::type_version(metatype);
    if (cls_version == 0 || meta_version == 0) return;
    slot_for(state, cls, name) = RememberedAttribute{type, name, cls_version, meta_version, value};
}

Borrowed remembered_value(ModuleState& state, PyObject* cls, PyObject* name) {
    const RememberedAttribute& entry = slot_for(state, cls, name);
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    bool current = entry.cls == type && entry.name == name && entry.cls_version != 0 &&
                   entry.cls_version == compat::type_version(type) &&
                   entry.meta_version == compat::type_version(Py_TYPE(cls));
    return Borrowed(current ? entry.value : nullptr);
}

}  // namespace

py::object get_attribute(ModuleState& state, py::handle object, py::handle name) {
    if (compat::kFreeThreaded || !PyType_Check(object.ptr())) {
        return steal(PyObject_GetAttr(object.ptr(), name.ptr()));
    }
    if (Borrowed value = remembered_value(state, object.ptr(), name.ptr())) return value.owned();
    bool by_type = false;
    py::object value = read_class_attribute(object.ptr(), name.ptr(), by_type);
    if (by_type && PyUnicode_CheckExact(name.ptr()))
        remember(state, object.ptr(), name.ptr(), value.ptr());
    return value;
}

}  // namespace native::detail
