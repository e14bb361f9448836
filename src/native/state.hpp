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

#include <memory>
#include <vector>

#include "native/py.hpp"

namespace native {

namespace detail {
struct Caches;
}

class ModuleState {
public:
    ModuleState();
    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;
    // Releases every object; the thread must be attached to the interpreter.
    virtual ~ModuleState();

    // Makes what every call needs, for the interpreter running now: the
    // interned names and the function type. Raises on failure.
    void initialise(py::handle module);
    // Keeps the builtins namespace of the module and the built-in the
    // runtime calls itself (super, for zero-argument super()), looked up
    // once; a missing one raises NameError.
    void keep_builtins(py::handle builtins_module);

    // Keeps `object` for the life of the state and returns it: what a module
    // decides once, when it loads, and uses on every call. The collector
    // sees it through the state.
    py::handle keep(py::object object);

    // The cyclic GC's view of the state (through the module's m_traverse),
    // and the references that may close a cycle, dropped by m_clear.
    int traverse(visitproc visit, void* arg) const;
    void clear();

    // The module that owns the state (it outlives the state).
    py::handle module() const { return module_; }
    py::handle name(size_t index) const { return names_[index]; }
    // The builtins namespace; empty once m_clear has dropped it.
    py::handle builtins() const { return builtins_; }
    py::handle builtin_super() const { return builtin_super_; }
    py::handle function_type() const { return function_type_; }
    detail::Caches& caches() const { return *caches_; }

private:
    py::handle module_;
    std::vector<py::object> names_;
    py::object builtins_;
    py::object builtin_super_;
    py::object function_type_;
    std::vector<py::object> kept_;
    std::unique_ptr<detail::Caches> caches_;
};

// The state of the module whose code runs on this thread: set by every
// entry point (a call of one of the module's functions, the module's exec
// slot) for as long as it runs, and restored when it returns, so a call
// that reaches another interpreter's module on the same thread (or its own
// module, recursively) resolves names in the right one.
namespace detail {
// One per thread, so threads running the module (with or without a GIL) and
// interpreters sharing a thread never see each other's state. Read on every
// name a call uses: defined here, so that reads are inlined.
inline thread_local ModuleState* t_active_state = nullptr;
}  // namespace detail

inline ModuleState& active_state() {
    assert(detail::t_active_state != nullptr && "the module's state used outside its entry points");
    return *detail::t_active_state;
}

class ActiveState {
public:
    explicit ActiveState(ModuleState& state) : previous_(detail::t_active_state) {
        detail::t_active_state = &state;
    }
    ~ActiveState() { detail::t_active_state = previous_; }
    ActiveState(const ActiveState&) = delete;
    ActiveState& operator=(const ActiveState&) = delete;

private:
    ModuleState* previous_;
};

}  // namespace native
