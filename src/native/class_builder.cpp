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
const Name kClassCell("__classcell__");

// Replaces each base that is not a class but has __mro_entries__ by the
// entries it returns, as PEP 560 asks.
py::tuple resolve_mro_entries(const py::tuple& bases) {
    bool all_classes = true;
    for (py::handle base : bases) all_classes = all_classes && PyType_Check(base.ptr());
    if (all_classes) return bases;
    py::list resolved;
    bool changed = false;
    for (py::handle base : bases) {
        py::object method =
            PyType_Check(base.ptr()) ? py::object() : optional_attr(base, kMroEntries.ptr());
        if (!method) {
            resolved.append(base);
            continue;
        }
        py::object entries = call(method, {bases});
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

namespace {

// The metaclass fills the class cell itself, from __classcell__ in the
// namespace, before anything (an __init_subclass__, a metaclass __init__)
// can call a method that uses zero-argument super(); the interpreter then
// checks that the cell holds the class it got back.
void check_class_cell(py::handle cell, py::handle name, py::handle cls) {
    PyObject* held = PyCell_GET(cell.ptr());
    if (held == cls.ptr() || !PyType_Check(cls.ptr())) return;
    if (held == nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "__class__ not set defining %.200R as %.200R. Was __classcell__ propagated "
                     "to type.__new__?",
                     name.ptr(), cls.ptr());
    } else {
        PyErr_Format(PyExc_TypeError, "__class__ set to %.200R defining %.200R as %.200R", held,
                     name.ptr(), cls.ptr());
    }
    throw_python_error();
}

}  // namespace

py::object ClassStatement::create() {
    if (!bases_.is(original_bases_)) set_item(namespace_, kOrigBases.ptr(), original_bases_.ptr());
    if (cell_) set_item(namespace_, kClassCell.ptr(), cell_.ptr());
    py::object cls = call(metaclass_, {name_, bases_, namespace_});
    if (cell_) check_class_cell(cell_, name_, cls);
    return cls;
}

py::object zero_arg_super(const Call& call, py::handle self) {
    return native::call(saved_builtin_super(), {call.class_cell_contents(), self});
}

}  // namespace native
