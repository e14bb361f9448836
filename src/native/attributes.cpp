#include "native/detail/attributes.hpp"

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
// Each Name keeps its own entries, as the interpreter's inline caches belong
// to one instruction: where a read goes depends on which name the code
// reads, never on where the class or the name lies in memory, so the reads
// of one call cannot push each other out (see RememberedReads).
//
// Free-threaded builds go without the cache: another thread may change a
// class between the version check and the use of the borrowed value, and
// making that safe would cost what the cache saves.
RememberedReads& reads_of(ModuleState& state, const Name& name) {
    return state.caches().remembered[name.index()];
}

void remember(ModuleState& state, const Name& name, PyObject* cls, PyObject* value) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* metatype = Py_TYPE(cls);
    PyObject* name_object = name.handle(state).ptr();
    if (Py_TYPE(value)->tp_descr_get != nullptr) return;
    if (type_lookup(metatype, name_object) ||
        !type_lookup(type, name_object).is(py::handle(value))) {
        return;
    }
    unsigned int cls_version = compat::type_version(type);
    unsigned int meta_version = compat::type_version(metatype);
    if (cls_version == 0 || meta_version == 0) return;
    // The class's own way if it has one (its entry went stale), else an
    // unused one, else the ways in turn. Ways are taken in order and never
    // emptied, so the first that is either is the one.
    RememberedReads& reads = reads_of(state, name);
    RememberedAttribute* way = nullptr;
    for (RememberedAttribute& candidate : reads.ways) {
        if (candidate.cls == type || candidate.cls == nullptr) {
            way = &candidate;
            break;
        }
    }
    if (way == nullptr) {
        way = &reads.ways[reads.next];
        reads.next = (reads.next + 1) % RememberedReads::kWays;
    }
    *way = RememberedAttribute{type, cls_version, meta_version, value};
}

Borrowed remembered_value(ModuleState& state, const Name& name, PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    for (const RememberedAttribute& entry : reads_of(state, name).ways) {
        if (entry.cls != type) continue;
        bool current = entry.cls_version == compat::type_version(type) &&
                       entry.meta_version == compat::type_version(Py_TYPE(cls));
        return Borrowed(current ? entry.value : nullptr);
    }
    return Borrowed(nullptr);
}

// A read the cache could not answer: made as Python makes it, and
// remembered where it may be. Out of line, so that a remembered read stays a
// few instructions.
NATIVE_NO_INLINE py::object read_and_remember(ModuleState& state, PyObject* cls, const Name& name) {
    bool by_type = false;
    py::object value = read_class_attribute(cls, name.handle(state).ptr(), by_type);
    if (by_type) remember(state, name, cls, value.ptr());
    return value;
}

}  // namespace

py::object get_attribute(ModuleState& state, py::handle object, const Name& name) {
    if (compat::kFreeThreaded || !PyType_Check(object.ptr())) {
        return steal(PyObject_GetAttr(object.ptr(), name.handle(state).ptr()));
    }
    if (Borrowed value = remembered_value(state, name, object.ptr())) return value.owned();
    return read_and_remember(state, object.ptr(), name);
}

}  // namespace native::detail
