// The module's state: every Python object the runtime makes for itself
// (interned names, the function type, prototypes of functions, traceback
// code objects, the built-ins it keeps, a cache of class attributes).
//
// One state per module object, and one module object per interpreter: the
// objects of one interpreter are never handed to another, which may have a
// GIL of its own, and a finalised interpreter takes its state with it (the
// module frees it), so a new one starts clean. Nothing mutable is kept in
// C++ statics; what is process-wide (the names' texts, the declarations) is
// fixed at compile time.
//
// The module object owns its state and frees it with itself. Function
// objects hold the module, so the state outlives every function that uses
// it; they keep the state's address, which never changes.
#pragma once

#include <map>
#include <utility>
#include <vector>

#include "native/compat.hpp"
#include "native/signature.hpp"

namespace native {

// What every function object of one declaration shares, made once per
// state: the code object, the interned names and docstring, and the
// annotations, which each function receives as its own copy (they are
// mutable).
struct Prototype {
    py::object code;
    py::object name;
    py::object qualname;
    py::object doc;
    py::object annotations;
    // The parameters' names, interned, for keyword binding: owned by
    // `param_name_objects`, listed raw as bind_arguments reads them.
    py::object param_name_objects[kMaxParams];
    PyObject* param_names[kMaxParams] = {};
};

// A class attribute remembered while the class and its metaclass keep their
// version tags (see get_attribute in calls.cpp).
struct RememberedAttribute {
    PyTypeObject* cls = nullptr;
    PyObject* name = nullptr;
    unsigned int cls_version = 0;
    unsigned int meta_version = 0;
    // Borrowed from the class's namespace: alive while the version holds.
    PyObject* value = nullptr;
};

class ModuleState {
public:
    ModuleState() = default;
    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;
    // Releases every object; the thread must be attached to the interpreter.
    virtual ~ModuleState() = default;

    // Makes what every call needs, for the interpreter running now: the
    // interned names and the function type. Throws on failure.
    void initialise();
    // Keeps the builtins namespace of the module and the built-ins the
    // runtime calls (staticmethod, super, range, zip), looked up once; a
    // missing one raises NameError.
    void keep_builtins(PyObject* builtins_module);

    // The cyclic GC's view of the state (through the module's m_traverse),
    // and the references that may close a cycle, dropped by m_clear.
    int traverse(visitproc visit, void* arg) const;
    void clear();

    // The module that owns the state (borrowed: the module outlives it).
    // Every function object holds it, and so keeps the state alive.
    void set_module(PyObject* module) { module_ = module; }
    PyObject* module() const { return module_; }

    PyObject* name(size_t index) const { return names_[index].ptr(); }
    PyObject* builtins_dict() const { return builtins_.ptr(); }
    py::handle saved_builtin(size_t index) const { return saved_builtins_[index]; }
    PyTypeObject* function_type() const {
        return reinterpret_cast<PyTypeObject*>(function_type_.ptr());
    }

    // The prototype of `decl`, made on first use (see function.cpp).
    const Prototype* find_prototype(const FunctionDecl& decl);
    const Prototype& keep_prototype(const FunctionDecl& decl, Prototype&& prototype);

    // The code object of a traceback entry, borrowed (see code.cpp).
    PyObject* find_traceback_code(const char* funcname, int line);
    PyObject* keep_traceback_code(const char* funcname, int line, py::object code);

    static constexpr size_t kRemembered = 64;
    RememberedAttribute& remembered(size_t slot) { return remembered_[slot % kRemembered]; }

private:
    PyObject* module_ = nullptr;
    std::vector<py::object> names_;
    py::object builtins_;  // the builtins module's namespace
    py::object saved_builtins_[4];
    py::object function_type_;

    // Caches filled while calls run: shared by every thread of the
    // interpreter, hence the locks (nothing on builds with the GIL).
    compat::Mutex prototypes_lock_;
    std::map<const FunctionDecl*, Prototype> prototypes_;
    compat::Mutex traceback_lock_;
    std::map<std::pair<const char*, int>, py::object> traceback_codes_;
    RememberedAttribute remembered_[kRemembered];
};

// The state of the module whose code runs on this thread: set by every
// entry point (a call of one of the module's functions, the module's exec
// slot) for as long as it runs, and restored when it returns, so a call
// that reaches another interpreter's module on the same thread (or its own
// module, recursively) resolves names in the right one.
ModuleState& active_state();

class ActiveState {
public:
    explicit ActiveState(ModuleState& state);
    ~ActiveState();
    ActiveState(const ActiveState&) = delete;
    ActiveState& operator=(const ActiveState&) = delete;

private:
    ModuleState* previous_;
};

}  // namespace native
