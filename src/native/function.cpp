#include "native/function.hpp"

#include "native/detail/binding.hpp"
#include "native/detail/caches.hpp"
#include "native/detail/capi.hpp"
#include "native/detail/code_objects.hpp"
#include "native/detail/messages.hpp"
#include "native/detail/traceback.hpp"
#include "native/module_identity.hpp"
#include "native/new_objects.hpp"

namespace native {

using detail::BoundArguments;
using detail::Prototype;

// Without the GIL, the mutable attributes (__defaults__, __name__, ...) are
// read and replaced under the object's critical section, so that a value is
// never used after another thread has released it.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDecl* decl;
    const Prototype* prototype;  // owned by the state
    ModuleState* state;          // owned by `owner`
    PyObject* owner;             // the module, which keeps the state alive
    PyObject* globals;           // the module namespace
    PyObject* name;              // str
    PyObject* qualname;          // str
    PyObject* module;            // any, normally the module's name
    PyObject* doc;               // any
    PyObject* defaults;          // tuple or nullptr
    PyObject* kwdefaults;        // dict or nullptr
    PyObject* annotations;       // dict, or nullptr until first read
    bool annotations_taken;      // false while the declaration's annotations still apply
    PyObject* code;              // code object
    PyObject* class_cell;        // cell or nullptr
    PyObject* dict;              // __dict__, made on demand
    PyObject* weakrefs;
};

// Fills in what a body sees of its call.
struct CallAccess {
    static Call make(const FunctionObject& function, const BoundArguments& bound) {
        Call call;
        for (size_t i = 0; i < function.decl->params().size(); ++i) call.args_[i] = bound.values[i];
        call.varargs_ = bound.varargs;
        call.varkw_ = bound.varkw;
        call.globals_ = function.globals;
        call.class_cell_ = function.class_cell;
        call.def_line_ = function.decl->line();
        call.line_ = call.def_line_;
        return call;
    }
};

namespace {

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

// __defaults__ as it is now, owned for the call.
PyObject* current_defaults(FunctionObject* self) {
    PyObject* defaults;
    Py_BEGIN_CRITICAL_SECTION(self);
    defaults = self->defaults;
    Py_XINCREF(defaults);
    Py_END_CRITICAL_SECTION();
    return defaults;
}

PyObject* invoke(FunctionObject* self, const BoundArguments& bound) {
    Call call = CallAccess::make(*self, bound);
    PyObject* result = nullptr;
    if (run_translating_errors([&] { result = self->decl->body()(call).release().ptr(); })) {
        return result;
    }
    detail::add_traceback(self->decl->traceback_name(), call.line(), self->globals);
    return nullptr;
}

// Recursion through the module (a comparison or a lower() that calls back
// into it) ends in RecursionError before the C stack runs out; see
// compat::kRecursionCharge for what one call costs.
bool enter_recursive_call() {
    for (int i = 0; i < compat::kRecursionCharge; ++i) {
        if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
            for (int j = 0; j < i; ++j) Py_LeaveRecursiveCall();
            return false;
        }
    }
    return true;
}

void leave_recursive_call() {
    for (int i = 0; i < compat::kRecursionCharge; ++i) Py_LeaveRecursiveCall();
}

// Binding failed: the argument error gets the entry of the `def` line.
PyObject* refuse_arguments(FunctionObject* self) {
    detail::add_traceback(self->decl->traceback_name(), self->decl->line(), self->globals);
    return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* self = as_function(callable);
    if (self->owner == nullptr) {  // cleared by the collector, yet called from a finaliser
        PyErr_SetString(PyExc_RuntimeError, "function of a released module");
        return nullptr;
    }
    ActiveState active(*self->state);
    const FunctionDecl& decl = *self->decl;
    BoundArguments bound(current_defaults(self));
    if (!bind_arguments(decl, self->prototype->param_names, args, PyVectorcall_NARGS(nargsf),
                        kwnames, bound) ||
        !check_argument_types(decl, bound)) {
        return refuse_arguments(self);
    }
    if (!enter_recursive_call()) return nullptr;
    PyObject* result = invoke(self, bound);
    leave_recursive_call();
    return result;
}

// The arguments of a tp_call as a vectorcall: positional arguments, then the
// keyword values in `stack`, the keyword names in `kwnames`. False when a
// keyword name is not a str. The values are held here: the dict is the
// caller's and may change while the body runs. The dict's entries are taken
// first, in a walk that runs no Python code (without the GIL its critical
// section keeps other threads out); the tuples are made after it, each
// filled as it is made.
bool vectorcall_arguments(PyObject* args, PyObject* kwargs, py::object& stack,
                          py::object& kwnames) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<py::handle> values;
    values.reserve(static_cast<size_t>(nargs + PyDict_GET_SIZE(kwargs)));
    for (Py_ssize_t i = 0; i < nargs; ++i) values.emplace_back(PyTuple_GET_ITEM(args, i));
    std::vector<py::object> names, held;
    names.reserve(static_cast<size_t>(PyDict_GET_SIZE(kwargs)));
    held.reserve(names.capacity());
    bool all_strings = true;
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (all_strings && PyDict_Next(kwargs, &pos, &key, &value)) {
        all_strings = PyUnicode_Check(key);
        names.push_back(Borrowed(key).owned());
        held.push_back(Borrowed(value).owned());
    }
    Py_END_CRITICAL_SECTION();
    if (!all_strings) return false;
    values.insert(values.end(), held.begin(), held.end());
    stack = tuple_of(values);
    kwnames = tuple_of(names);
    return true;
}

// Calls with an argument tuple and keyword dict (PyObject_Call when the
// vectorcall slot is bypassed, __call__): the keyword names are checked here
// so that a non-string key gets the function's own message.
PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return function_vectorcall(callable, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    }
    PyObject* result = nullptr;
    run_translating_errors([&] {
        py::object stack, kwnames;
        FunctionObject* self = as_function(callable);
        if (!vectorcall_arguments(args, kwargs, stack, kwnames)) {
            if (self->owner == nullptr) {  // a released module's: the call says so
                result = function_vectorcall(callable, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
                return;
            }
            ActiveState active(*self->state);
            set_keywords_must_be_strings_error(self->decl->name());
            refuse_arguments(self);
            raise_error();
        }
        result =
            function_vectorcall(callable, &PyTuple_GET_ITEM(stack.ptr(), 0), nargs, kwnames.ptr());
    });
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));  // a heap type: each instance holds it
    Py_VISIT(f->owner);
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->class_cell);
    Py_VISIT(f->dict);
    return 0;
}

// The collector breaks cycles here; `state` and `prototype` stay, as the
// type's own parts, until the object goes.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->class_cell);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    // The names and code hold nothing that could reach the owner: they go
    // after it, since the owner's state is what made them.
    PyObject* owner = f->owner;
    f->owner = nullptr;
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
    Py_XDECREF(owner);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    PyObject* result;
    Py_BEGIN_CRITICAL_SECTION(self);
    result = PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
    Py_END_CRITICAL_SECTION();
    return result;
}

// Pickled by reference, as plain functions are: the qualified name is found
// again in the module on load.
PyObject* function_reduce(PyObject* self, PyObject*) {
    PyObject* qualname;
    Py_BEGIN_CRITICAL_SECTION(self);
    qualname = as_function(self)->qualname;
    Py_INCREF(qualname);
    Py_END_CRITICAL_SECTION();
    return qualname;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- attributes -----------------------------------------------------------
//
// Each getter takes its reference and each setter swaps its slot inside the
// object's critical section; the value a setter replaces is released after
// it, as releasing it may run arbitrary code.

PyObject* new_ref_or_none(PyObject* self, PyObject* FunctionObject::* slot) {
    PyObject* value;
    Py_BEGIN_CRITICAL_SECTION(self);
    value = as_function(self)->*slot;
    if (value == nullptr) value = Py_None;
    Py_INCREF(value);
    Py_END_CRITICAL_SECTION();
    return value;
}

// Stores `value` (a new reference, or nullptr) in the slot.
void replace(PyObject* self, PyObject* FunctionObject::* slot, PyObject* value) {
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = as_function(self)->*slot;
    as_function(self)->*slot = value;
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
}

int set_str(PyObject* self, PyObject* FunctionObject::* slot, PyObject* value,
            const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_INCREF(value);
    replace(self, slot, value);
    return 0;
}

// Replaces an optional slot whose value must be None or of one type.
int set_optional(PyObject* self, PyObject* FunctionObject::* slot, PyObject* value, bool type_ok,
                 const char* message) {
    if (value == nullptr || value == Py_None) {
        replace(self, slot, nullptr);
        return 0;
    }
    if (!type_ok) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    replace(self, slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    return new_ref_or_none(self, &FunctionObject::name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str(self, &FunctionObject::name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return new_ref_or_none(self, &FunctionObject::qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str(self, &FunctionObject::qualname, value, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) {
    return new_ref_or_none(self, &FunctionObject::doc);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XINCREF(value);
    replace(self, &FunctionObject::doc, value);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
    return new_ref_or_none(self, &FunctionObject::defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    return set_optional(self, &FunctionObject::defaults, value, value && PyTuple_Check(value),
                        "__defaults__ must be set to a tuple object");
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    return new_ref_or_none(self, &FunctionObject::kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_optional(self, &FunctionObject::kwdefaults, value, value && PyDict_Check(value),
                        "__kwdefaults__ must be set to a dict object");
}

// Most functions of per-call classes never have their annotations read:
// each gets its own copy of the declaration's only when asked. A copy that
// fails leaves the declaration's annotations in force for the next read.
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    PyObject* result;
    Py_BEGIN_CRITICAL_SECTION(self);
    if (f->annotations == nullptr) {
        f->annotations =
            f->annotations_taken ? PyDict_New() : PyDict_Copy(f->prototype->annotations.ptr());
        f->annotations_taken = f->annotations != nullptr;
    }
    result = f->annotations;
    Py_XINCREF(result);
    Py_END_CRITICAL_SECTION();
    return result;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    int result =
        set_optional(self, &FunctionObject::annotations, value, value && PyDict_Check(value),
                     "__annotations__ must be set to a dict object");
    if (result == 0) {
        Py_BEGIN_CRITICAL_SECTION(self);
        as_function(self)->annotations_taken = true;
        Py_END_CRITICAL_SECTION();
    }
    return result;
}
PyObject* get_code(PyObject* self, void*) {
    return new_ref_or_none(self, &FunctionObject::code);
}
PyObject* get_globals(PyObject* self, void*) {
    return new_ref_or_none(self, &FunctionObject::globals);
}
PyObject* get_closure(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->class_cell == nullptr) Py_RETURN_NONE;
    return PyTuple_Pack(1, f->class_cell);
}
// __module__ is writable like a plain function's, and read like one: None
// when unset.
PyObject* get_module(PyObject* self, void*) {
    return new_ref_or_none(self, &FunctionObject::module);
}
int set_module(PyObject* self, PyObject* value, void*) {
    Py_XINCREF(value);
    replace(self, &FunctionObject::module, value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The offsets a heap type takes from its members (from 3.9; 3.8 gets them
// by hand, see make_function_type).
constexpr int kOffsetMember = compat::kMemberSsize;
constexpr int kReadOnly = compat::kMemberReadOnly;

PyMemberDef function_members[] = {
    {"__weaklistoffset__", kOffsetMember, offsetof(FunctionObject, weakrefs), kReadOnly, nullptr},
    {"__dictoffset__", kOffsetMember, offsetof(FunctionObject, dict), kReadOnly, nullptr},
    compat::vectorcall_offset_member(offsetof(FunctionObject, vectorcall)),
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

constexpr unsigned int kFunctionTypeFlags =
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                              Py_TPFLAGS_METHOD_DESCRIPTOR | compat::kVectorcallFlag |
                              // Like the interpreter's own function type: no instances made from
                              // Python, no attributes of the type replaced.
                              compat::kSealedTypeFlags);

// "<module>.function": the type's name as the interpreter shows it, kept
// for the process (a type made by PyType_FromSpec keeps pointing at it).
const std::string kFunctionTypeName = std::string(kModuleIdentity.dotted_name) + ".function";

PyType_Spec function_spec = {
    kFunctionTypeName.c_str(),
    static_cast<int>(sizeof(FunctionObject)),
    0,
    kFunctionTypeFlags,
    function_slots,
};

// --- construction ---------------------------------------------------------

py::object make_default(const Default& value) {
    switch (value.kind) {
        case Default::Kind::kNone:
            return py::none();
        case Default::Kind::kFalse:
            return py::bool_(false);
        case Default::Kind::kInt:
            return new_int(value.value);
        case Default::Kind::kNewDict:
            return new_dict();
        case Default::Kind::kRequired:
            break;
    }
    return py::object();
}

py::object make_defaults(const FunctionDecl& decl) {
    if (decl.params().empty() || decl.params().back().default_value.required()) return py::object();
    std::vector<py::object> values;
    for (const Param& param : decl.params()) {
        if (!param.default_value.required()) values.push_back(make_default(param.default_value));
    }
    return tuple_of(values);
}

py::dict make_annotations(const FunctionDecl& decl) {
    py::dict annotations = new_dict();
    auto add = [&](const char* name, const char* annotation) {
        check(PyDict_SetItem(annotations.ptr(), interned(name).ptr(), interned(annotation).ptr()));
    };
    for (const Param& param : decl.params()) {
        if (param.annotation != nullptr) add(param.name, param.annotation);
    }
    for (const Param* star : {&decl.varargs(), &decl.varkw()}) {
        if (star->name != nullptr && star->annotation != nullptr) add(star->name, star->annotation);
    }
    if (decl.return_annotation() != nullptr) add("return", decl.return_annotation());
    return annotations;
}

detail::CodeShape shape_of(const FunctionDecl& decl) {
    detail::CodeShape shape{decl.name(),
                            decl.qualname(),
                            decl.line(),
                            static_cast<int>(decl.params().size()),
                            decl.varargs().name != nullptr,
                            decl.varkw().name != nullptr,
                            {},
                            {}};
    for (const Param& param : decl.params()) shape.varnames.push_back(param.name);
    if (shape.varargs) shape.varnames.push_back(decl.varargs().name);
    if (shape.varkw) shape.varnames.push_back(decl.varkw().name);
    for (const char* local : decl.local_names()) shape.varnames.push_back(local);
    if (decl.needs_class_cell()) shape.freevars.push_back("__class__");
    return shape;
}

const Name kDunderName("__name__");

// As for plain functions: __module__ is the globals' __name__, or None.
py::object module_name_of(py::handle globals) {
    PyObject* name = compat::dict_get(globals.ptr(), kDunderName.handle().ptr());
    if (name == nullptr && PyErr_Occurred()) raise_error();
    return name == nullptr ? py::none() : py::reinterpret_steal<py::object>(name);
}

py::object str_or_none(const char* value) {
    return value == nullptr ? py::none() : text(value);
}

Prototype make_prototype(const FunctionDecl& decl) {
    Prototype prototype;
    prototype.code = detail::make_code(shape_of(decl));
    prototype.name = interned(decl.name());
    prototype.qualname = interned(decl.qualname());
    prototype.doc = str_or_none(decl.docstring());
    prototype.annotations = make_annotations(decl);
    for (size_t i = 0; i < decl.params().size(); ++i) {
        prototype.param_name_objects[i] = interned(decl.params()[i].name);
        prototype.param_names[i] = prototype.param_name_objects[i].ptr();
    }
    return prototype;
}

// Made on first use: making it runs Python code (code.replace), during which
// another thread may make the same one; the state keeps the first.
const Prototype& prototype_of(const FunctionDecl& decl) {
    detail::Caches& caches = active_state().caches();
    if (const Prototype* found = caches.find(caches.prototypes, &decl)) return *found;
    return caches.keep(caches.prototypes, &decl, make_prototype(decl));
}

}  // namespace

py::object make_function_type() {
    PyObject* made = PyType_FromSpec(&function_spec);
    // Older releases (3.11 among them; 3.14 sets the error) return NULL with
    // no exception set when the copy of the type's dotted name cannot be
    // allocated: that is a MemoryError like any other failed allocation.
    if (made == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
    py::object type = steal(made);
    compat::finish_heap_type(reinterpret_cast<PyTypeObject*>(type.ptr()),
                             offsetof(FunctionObject, vectorcall),
                             offsetof(FunctionObject, weakrefs), offsetof(FunctionObject, dict));
    return type;
}

py::object interned_name(const FunctionDecl& decl) {
    return prototype_of(decl).name;
}

py::object make_function(const FunctionDecl& decl, py::handle globals, py::handle class_cell) {
    // Everything that can fail is made first, so the object is never half built.
    ModuleState& state = active_state();
    const Prototype& prototype = prototype_of(decl);
    py::object defaults = make_defaults(decl);
    py::object module = module_name_of(globals);

    auto* type = reinterpret_cast<PyTypeObject*>(state.function_type().ptr());
    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (f == nullptr) raise_error();
    f->vectorcall = function_vectorcall;
    f->decl = &decl;
    f->prototype = &prototype;
    f->state = &state;
    f->owner = state.module().inc_ref().ptr();
    f->globals = globals.inc_ref().ptr();
    f->name = prototype.name.inc_ref().ptr();
    f->qualname = prototype.qualname.inc_ref().ptr();
    f->module = module.release().ptr();
    f->doc = prototype.doc.inc_ref().ptr();
    f->defaults = defaults.release().ptr();
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->annotations_taken = false;
    f->code = prototype.code.inc_ref().ptr();
    f->class_cell = class_cell.inc_ref().ptr();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

py::object make_member(const FunctionDecl& decl, py::handle globals, py::handle class_cell) {
    py::object function = make_function(decl, globals, class_cell);
    switch (decl.wrapper()) {
        case Wrapper::kStatic:
            return steal(PyStaticMethod_New(function.ptr()));
        case Wrapper::kClass:
            return steal(PyClassMethod_New(function.ptr()));
        case Wrapper::kPlain:
            break;
    }
    return function;
}

}  // namespace native
