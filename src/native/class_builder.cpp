#include "native/class_builder.hpp"

#include "native/calls.hpp"

namespace native {
namespace {

const Name kMroEntries("__mro_entries__");
const Name kPrepare("__prepare__");
const Name kModule("__module__");
const Name kQualname("__qualname__");
const Name kDoc("__doc__");
const Name kOrigBases("__orig_bases__");
const Name kDunderName("__name__");

// Replaces each base that is not a class but has __mro_entries__ by the
// entries it returns, as PEP 560 asks.
py::tuple resolve_mro_entries(const py::tuple& bases) {
    bool all_classes = true;
    for (py::handle base : bases) all_classes = all_classes && PyType_Check(base.ptr());
    if (all_classes) return bases;
    py::list resolved;
    bool changed = false;
    for (py::handle base : bases) {
        if (PyType_Check(base.ptr()) || !py::hasattr(base, kMroEntries.handle())) {
            resolved.append(base);
            continue;
        }
        py::object entries = base.attr(kMroEntries.handle())(bases);
        if (!PyTuple_Check(entries.ptr())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            throw_python_error();
        }
        for (py::handle entry : entries) resolved.append(entry);
        changed = true;
    }
    return changed ? py::tuple(resolved) : bases;
}

// The most derived metaclass of the bases (type when there are none).
py::object find_metaclass(const py::tuple& bases) {
    PyTypeObject* winner = &PyType_Type;
    for (py::handle base : bases) {
        PyTypeObject* candidate = Py_TYPE(base.ptr());
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        throw_python_error();
    }
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(winner));
}

py::object prepare_namespace(const py::object& metaclass, py::handle name, const py::tuple& bases) {
    PyObject* prepare = PyObject_GetAttr(metaclass.ptr(), kPrepare.ptr());
    if (prepare == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        return py::dict();
    }
    py::object prepared = call(py::reinterpret_steal<py::object>(prepare), {name, bases});
    if (!PyMapping_Check(prepared.ptr())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                     reinterpret_cast<PyTypeObject*>(metaclass.ptr())->tp_name,
                     Py_TYPE(prepared.ptr())->tp_name);
        throw_python_error();
    }
    return prepared;
}

void set_item(const py::object& mapping, PyObject* key, PyObject* value) {
    if (PyObject_SetItem(mapping.ptr(), key, value) < 0) throw_python_error();
}

}  // namespace

ClassStatement::ClassStatement(PyObject* globals, const ClassDecl& decl, py::tuple bases)
    : globals_(globals), name_(decl.name.handle()), original_bases_(std::move(bases)) {
    bases_ = resolve_mro_entries(original_bases_);
    metaclass_ = find_metaclass(bases_);
    namespace_ = prepare_namespace(metaclass_, name_, bases_);
    set_item(namespace_, kModule.ptr(), lookup_global(globals_, kDunderName).ptr());
    set_item(namespace_, kQualname.ptr(), decl.qualname.ptr());
    if (decl.doc != nullptr) set_item(namespace_, kDoc.ptr(), py::str(decl.doc).ptr());
}

void ClassStatement::set(const Name& name, py::handle value) {
    set_item(namespace_, name.ptr(), value.ptr());
}

void ClassStatement::def(const FunctionDecl& decl) {
    if (decl.needs_class_cell() && !cell_) cell_ = steal_or_throw(PyCell_New(nullptr));
    PyObject* cell = decl.needs_class_cell() ? cell_.ptr() : nullptr;
    set_item(namespace_, interned_name(decl).ptr(), make_member(decl, globals_, cell).ptr());
}

py::object ClassStatement::create() {
    if (!bases_.is(original_bases_)) set_item(namespace_, kOrigBases.ptr(), original_bases_.ptr());
    py::object cls = call(metaclass_, {name_, bases_, namespace_});
    if (cell_ && PyCell_Set(cell_.ptr(), cls.ptr()) < 0) throw_python_error();
    return cls;
}

py::object zero_arg_super(const Call& call, py::handle self) {
    return native::call(saved_builtin_super(), {call.class_cell_contents(), self});
}

}  // namespace native
