#include "native/function.hpp"

#include <map>
#include <structmember.h>

#include "native/code.hpp"
#include "native/messages.hpp"
#include "native/runtime.hpp"

namespace native {

// What every function object of a declaration shares, made once per runtime:
// the code object, the interned names and docstring, and the annotations,
// which each function receives as its own copy (they are mutable). Raw
// pointers, owned for the runtime's life like the constants of compiled
// code: when the runtime finalises they are forgotten, never released.
struct Prototype {
    PyObject* code;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* param_names[kMaxParams];  // interned, for keyword binding
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDecl* decl;
    const Prototype* prototype;
    PyObject* globals;       // the module namespace
    PyObject* name;          // str
    PyObject* qualname;      // str
    PyObject* module;        // any, normally the module's name
    PyObject* doc;           // any
    PyObject* defaults;      // tuple or nullptr
    PyObject* kwdefaults;    // dict or nullptr
    PyObject* annotations;   // dict, or nullptr until first read
    bool annotations_taken;  // false while the declaration's annotations still apply
    PyObject* code;          // code object
    PyObject* class_cell;    // cell or nullptr
    PyObject* dict;          // __dict__, made on demand
    PyObject* weakrefs;
};

namespace {

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

PyObject* invoke(FunctionObject* self, const BoundArguments& bound) {
    Call call(self, bound);
    call.at(self->decl->line());
    PyObject* result = nullptr;
    if (run_translating_errors([&] { result = self->decl->body()(call).release().ptr(); })) {
        return result;
    }
    add_traceback(self->decl->traceback_name(), call.line(), self->globals);
    return nullptr;
}

// Recursion through the module (a comparison or a lower() that calls back
// into it) counts towards the interpreter's limit, so that it ends in
// RecursionError before the C stack runs out. On 3.11 the limit is shared
// with Python frames, which cost no C stack there while a call through the
// module costs several C frames: such a call is charged as that many levels.
// Elsewhere Python frames use the C stack too (up to 3.10) or C recursion
// has a limit of its own (3.12 on), and one level is the right charge.
// AddressSanitizer's instrumented frames are several times larger.
#if defined(__SANITIZE_ADDRESS__)  // GCC
#define NATIVE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)  // Clang
#if __has_feature(address_sanitizer)
#define NATIVE_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef NATIVE_ADDRESS_SANITIZER
constexpr int kSanitizerFactor = 4;
#else
constexpr int kSanitizerFactor = 1;
#endif
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
constexpr int kRecursionCharge = 3 * kSanitizerFactor;
#else
constexpr int kRecursionCharge = 1 * kSanitizerFactor;
#endif

bool enter_recursive_call() {
    for (int i = 0; i < kRecursionCharge; ++i) {
        if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
            for (int j = 0; j < i; ++j) Py_LeaveRecursiveCall();
            return false;
        }
    }
    return true;
}

void leave_recursive_call() {
    for (int i = 0; i < kRecursionCharge; ++i) Py_LeaveRecursiveCall();
}

// Binding failed: the argument error gets the entry of the `def` line.
PyObject* refuse_arguments(FunctionObject* self) {
    add_traceback(self->decl->traceback_name(), self->decl->line(), self->globals);
    return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* self = as_function(callable);
    const FunctionDecl& decl = *self->decl;
    BoundArguments bound;
    if (!bind_arguments(decl, self->prototype->param_names, self->defaults, args,
                        PyVectorcall_NARGS(nargsf), kwnames, bound) ||
        !check_argument_types(decl, bound)) {
        return refuse_arguments(self);
    }
    if (!enter_recursive_call()) return nullptr;
    PyObject* result = invoke(self, bound);
    leave_recursive_call();
    return result;
}

// Calls with an argument tuple and keyword dict (PyObject_Call when the
// vectorcall slot is bypassed, __call__): the keyword names are checked here
// so that a non-string key gets the function's own message. The keyword
// values are held in a tuple of their own: the dict is the caller's and may
// change while the body runs.
PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nkw == 0) return function_vectorcall(callable, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    PyObject* result = nullptr;
    run_translating_errors([&] {
        py::tuple kwnames(nkw);
        py::tuple stack(nargs + nkw);  // positional arguments, then keyword values
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            PyTuple_SET_ITEM(stack.ptr(), i, py::handle(PyTuple_GET_ITEM(args, i)).inc_ref().ptr());
        }
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        // Nothing in this loop runs Python code, so the dict cannot change under it.
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                FunctionObject* self = as_function(callable);
                raise_keywords_must_be_strings(self->decl->name());
                refuse_arguments(self);
                throw_python_error();
            }
            PyTuple_SET_ITEM(kwnames.ptr(), k, py::handle(key).inc_ref().ptr());
            PyTuple_SET_ITEM(stack.ptr(), nargs + k++, py::handle(value).inc_ref().ptr());
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

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
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
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, as plain functions are: the qualified name is found
// again in the module on load.
PyObject* function_reduce(PyObject* self, PyObject*) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- attributes -----------------------------------------------------------

PyObject* new_ref_or_none(PyObject* value) {
    if (value == nullptr) value = Py_None;
    Py_INCREF(value);
    return value;
}

int set_str(PyObject** slot, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

// Replaces an optional slot whose value must be None or of one type.
int set_optional(PyObject** slot, PyObject* value, bool type_ok, const char* message) {
    if (value == nullptr || value == Py_None) {
        Py_CLEAR(*slot);
        return 0;
    }
    if (!type_ok) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str(&as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->doc);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->doc, value);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    return set_optional(&as_function(self)->defaults, value, value && PyTuple_Check(value),
                        "__defaults__ must be set to a tuple object");
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_optional(&as_function(self)->kwdefaults, value, value && PyDict_Check(value),
                        "__kwdefaults__ must be set to a dict object");
}
// Most functions of per-call classes never have their annotations read:
// each gets its own copy of the declaration's only when asked.

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations =
            f->annotations_taken ? PyDict_New() : PyDict_Copy(f->prototype->annotations);
        f->annotations_taken = true;
    }
    Py_XINCREF(f->annotations);
    return f->annotations;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    as_function(self)->annotations_taken = true;
    return set_optional(&as_function(self)->annotations, value, value && PyDict_Check(value),
                        "__annotations__ must be set to a dict object");
}
PyObject* get_code(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->code);
}
PyObject* get_globals(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->globals);
}
PyObject* get_closure(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->class_cell == nullptr) Py_RETURN_NONE;
    return PyTuple_Pack(1, f->class_cell);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
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

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long kVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long kVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif

PyTypeObject make_function_type() {
    PyTypeObject type{};
    type.ob_base.ob_base.ob_refcnt = 1;  // static type: never deallocated
    type.tp_name = "pelun_online_sdk.client.function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = function_call;
    type.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | kVectorcallFlag;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    type.tp_methods = function_methods;
    type.tp_members = function_members;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_descr_get;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    return type;
}

PyTypeObject function_type = make_function_type();

// A static type readied by a finalised runtime still points at that
// runtime's objects (its dict, its MRO): the next runtime readies a fresh one.
const RuntimeBound kForgetFunctionType([] { function_type = make_function_type(); });

// --- construction ---------------------------------------------------------

py::object interned(const char* text) {
    return steal_or_throw(PyUnicode_InternFromString(text));
}

py::object make_default(const Default& value) {
    switch (value.kind) {
        case Default::Kind::kNone:
            return py::none();
        case Default::Kind::kFalse:
            return py::bool_(false);
        case Default::Kind::kInt:
            return py::int_(value.value);
        case Default::Kind::kNewDict:
            return py::dict();
        case Default::Kind::kRequired:
            break;
    }
    return py::object();
}

py::object make_defaults(const FunctionDecl& decl) {
    if (decl.params().empty() || decl.params().back().default_value.required()) return py::object();
    py::list values;
    for (const Param& param : decl.params()) {
        if (!param.default_value.required()) values.append(make_default(param.default_value));
    }
    if (values.empty()) return py::object();
    return py::tuple(values);
}

py::dict make_annotations(const FunctionDecl& decl) {
    py::dict annotations;
    auto add = [&](const Param& param) {
        if (param.name != nullptr && param.annotation != nullptr) {
            annotations[interned(param.name)] = interned(param.annotation);
        }
    };
    for (const Param& param : decl.params()) add(param);
    add(decl.varargs());
    add(decl.varkw());
    if (decl.return_annotation() != nullptr) {
        annotations[interned("return")] = interned(decl.return_annotation());
    }
    return annotations;
}

CodeShape shape_of(const FunctionDecl& decl) {
    CodeShape shape{decl.name(),
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
py::object module_name_of(PyObject* globals) {
    PyObject* name = PyDict_GetItemWithError(globals, kDunderName.ptr());
    if (name == nullptr && PyErr_Occurred()) throw_python_error();
    return name == nullptr ? py::none() : py::reinterpret_borrow<py::object>(name);
}

PyObject* new_str_or_none(const char* text) {
    if (text == nullptr) Py_RETURN_NONE;
    return PyUnicode_FromString(text);
}

}  // namespace

PyObject* Call::globals() const {
    return function_->globals;
}

int Call::def_line() const {
    return function_->decl->line();
}

py::object Call::class_cell_contents() const {
    PyObject* cell = function_->class_cell;
    PyObject* cls = cell == nullptr ? nullptr : PyCell_GET(cell);
    if (cls == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        throw_python_error();
    }
    return py::reinterpret_borrow<py::object>(cls);
}

bool ready_function_type() {
    return PyType_Ready(&function_type) == 0;
}

namespace {

using Prototypes = std::map<const FunctionDecl*, Prototype>;
Prototypes* g_prototypes = nullptr;

const RuntimeBound kForgetPrototypes([] {
    delete g_prototypes;  // raw pointers only: nothing is released
    g_prototypes = nullptr;
});

const Prototype* find_prototype(const FunctionDecl& decl) {
    if (g_prototypes == nullptr) return nullptr;
    auto found = g_prototypes->find(&decl);
    return found == g_prototypes->end() ? nullptr : &found->second;
}

// The owned parts of a prototype while it is being made.
struct PrototypeParts {
    py::object code, name, qualname, doc;
    py::dict annotations;
    py::object param_names[kMaxParams];

    explicit PrototypeParts(const FunctionDecl& decl)
        : code(make_code(shape_of(decl))),
          name(interned(decl.name())),
          qualname(interned(decl.qualname())),
          doc(steal_or_throw(new_str_or_none(decl.docstring()))),
          annotations(make_annotations(decl)) {
        for (size_t i = 0; i < decl.params().size(); ++i) {
            param_names[i] = interned(decl.params()[i].name);
        }
    }

    Prototype release() {
        Prototype prototype{code.release().ptr(),        name.release().ptr(),
                            qualname.release().ptr(),    doc.release().ptr(),
                            annotations.release().ptr(), {}};
        for (size_t i = 0; i < kMaxParams; ++i) {
            prototype.param_names[i] = param_names[i].release().ptr();
        }
        return prototype;
    }
};

const Prototype& prototype_of(const FunctionDecl& decl) {
    if (const Prototype* found = find_prototype(decl)) return *found;
    PrototypeParts parts(decl);
    // Making the parts runs Python code (code.replace), during which another
    // thread may have made the same prototype: keep the first, drop ours.
    if (const Prototype* found = find_prototype(decl)) return *found;
    if (g_prototypes == nullptr) g_prototypes = new Prototypes();
    auto& slot = (*g_prototypes)[&decl];  // may throw: the parts still own everything
    slot = parts.release();
    return slot;
}

py::object borrowed(PyObject* object) {
    return py::reinterpret_borrow<py::object>(object);
}

}  // namespace

py::object code_of(const FunctionDecl& decl) {
    return borrowed(prototype_of(decl).code);
}

py::object interned_name(const FunctionDecl& decl) {
    return borrowed(prototype_of(decl).name);
}

py::object make_function(const FunctionDecl& decl, PyObject* globals, PyObject* class_cell) {
    // Everything that can fail is made first, so the object is never half built.
    const Prototype& prototype = prototype_of(decl);
    py::object defaults = make_defaults(decl);
    py::object module = module_name_of(globals);

    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (f == nullptr) throw_python_error();
    f->vectorcall = function_vectorcall;
    f->decl = &decl;
    f->prototype = &prototype;
    Py_INCREF(globals);
    f->globals = globals;
    f->name = borrowed(prototype.name).release().ptr();
    f->qualname = borrowed(prototype.qualname).release().ptr();
    f->module = module.release().ptr();
    f->doc = borrowed(prototype.doc).release().ptr();
    f->defaults = defaults.release().ptr();
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->annotations_taken = false;
    f->code = borrowed(prototype.code).release().ptr();
    Py_XINCREF(class_cell);
    f->class_cell = class_cell;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

py::object make_member(const FunctionDecl& decl, PyObject* globals, PyObject* class_cell) {
    py::object function = make_function(decl, globals, class_cell);
    switch (decl.wrapper()) {
        case Wrapper::kStatic:
            return steal_or_throw(PyStaticMethod_New(function.ptr()));
        case Wrapper::kClass:
            return steal_or_throw(PyClassMethod_New(function.ptr()));
        case Wrapper::kPlain:
            break;
    }
    return function;
}

}  // namespace native
