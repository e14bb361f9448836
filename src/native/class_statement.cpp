#include "native/class_statement.hpp"

#include "native/detail/capi.hpp"
#include "native/function.hpp"
#include "native/globals.hpp"
#include "native/object_protocol.hpp"
#include "native/values.hpp"

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
    py::list resolved = new_list();
    bool changed = false;
    for (py::handle base : bases) {
        py::object method =
            PyType_Check(base.ptr()) ? py::object() : optional_attr(base, kMroEntries);
        if (!method) {
            append(resolved, base);
            continue;
        }
        py::object entries = call(method, {bases});
        if (!PyTuple_Check(entries.ptr())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            raise_error();
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries.ptr()); ++i) {
            append(resolved, PyTuple_GET_ITEM(entries.ptr(), i));  // held by `entries`
        }
        changed = true;
    }
    return changed ? tuple_of_list(resolved) : bases;
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
        raise_error();
    }
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(winner));
}

py::object prepare_namespace(const py::object& metaclass, py::handle name, const py::tuple& bases) {
    py::object prepare = optional_attr(metaclass, kPrepare);
    if (!prepare) return new_dict();
    py::object prepared = call(prepare, {name, bases});
    if (!PyMapping_Check(prepared.ptr())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                     reinterpret_cast<PyTypeObject*>(metaclass.ptr())->tp_name,
                     Py_TYPE(prepared.ptr())->tp_name);
        raise_error();
    }
    return prepared;
}

// The namespace is filled through its own __setitem__: an enumeration's
// numbers its members there.
void set_item(const py::object& mapping, py::handle key, py::handle value) {
    check(PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()));
}

}  // namespace

ClassStatement::ClassStatement(py::handle globals, const ClassDecl& decl)
    : ClassStatement(globals, decl, tuple_of({})) {}

ClassStatement::ClassStatement(py::handle globals, const ClassDecl& decl, py::tuple bases)
    : globals_(globals),
      name_(decl.name.handle()),
      original_bases_(std::move(bases)),
      bases_(resolve_mro_entries(original_bases_)) {
    metaclass_ = find_metaclass(bases_);
    namespace_ = prepare_namespace(metaclass_, name_, bases_);
    set_item(namespace_, kModule.handle(), lookup_global(globals_, kDunderName));
    set_item(namespace_, kQualname.handle(), decl.qualname.handle());
    if (decl.doc != nullptr) set_item(namespace_, kDoc.handle(), text(decl.doc));
}

void ClassStatement::set(const Name& name, py::handle value) {
    set_item(namespace_, name.handle(), value);
}

void ClassStatement::set(py::handle name, py::handle value) {
    set_item(namespace_, name, value);
}

void ClassStatement::def(const FunctionDecl& decl) {
    if (decl.needs_class_cell() && !cell_) cell_ = steal(PyCell_New(nullptr));
    py::handle cell = decl.needs_class_cell() ? py::handle(cell_) : py::handle();
    set_item(namespace_, interned_name(decl), make_member(decl, globals_, cell));
}

namespace {

// What the cell holds (empty when it is empty).
py::object steal_cell_contents(py::handle cell) {
    PyObject* held = PyCell_Get(cell.ptr());
    if (held == nullptr && PyErr_Occurred()) raise_error();
    return py::reinterpret_steal<py::object>(held);
}

// The metaclass fills the class cell itself, from __classcell__ in the
// namespace, before anything (an __init_subclass__, a metaclass __init__)
// can call a method that uses zero-argument super(); the interpreter then
// checks that the cell holds the class it got back.
void check_class_cell(py::handle cell, py::handle name, py::handle cls) {
    py::object held = steal_cell_contents(cell);
    if (held.is(cls) || !PyType_Check(cls.ptr())) return;
    if (!held) {
        PyErr_Format(PyExc_RuntimeError,
                     "__class__ not set defining %.200R as %.200R. Was __classcell__ propagated "
                     "to type.__new__?",
                     name.ptr(), cls.ptr());
    } else {
        PyErr_Format(PyExc_TypeError, "__class__ set to %.200R defining %.200R as %.200R",
                     held.ptr(), name.ptr(), cls.ptr());
    }
    raise_error();
}

}  // namespace

py::object ClassStatement::create() {
    if (!bases_.is(original_bases_)) set_item(namespace_, kOrigBases.handle(), original_bases_);
    if (cell_) set_item(namespace_, kClassCell.handle(), cell_);
    py::object cls = call(metaclass_, {name_, bases_, namespace_});
    if (cell_) check_class_cell(cell_, name_, cls);
    return cls;
}

py::object zero_arg_super(const Call& call, py::handle self) {
    return native::call(active_state().builtin_super(), {call.class_cell_contents(), self});
}

}  // namespace native
