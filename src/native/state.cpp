#include "native/state.hpp"

#include <mutex>

#include "native/function.hpp"
#include "native/names.hpp"

namespace native {
namespace {

// Set by ActiveState; one per thread, so threads running the module (with
// or without a GIL) and interpreters sharing a thread never see each
// other's state.
thread_local ModuleState* t_active = nullptr;

// The built-ins kept for the module's life, in the order of saved_builtin().
const Name kStaticmethod("staticmethod");
const Name kSuper("super");
const Name kRange("range");
const Name kZip("zip");

}  // namespace

ModuleState& active_state() {
    assert(t_active != nullptr && "a Name used outside the module's entry points");
    return *t_active;
}

ActiveState::ActiveState(ModuleState& state) : previous_(t_active) {
    t_active = &state;
}

ActiveState::~ActiveState() {
    t_active = previous_;
}

void ModuleState::initialise() {
    names_.reserve(Name::count());
    for (size_t i = 0; i < Name::count(); ++i) {
        names_.push_back(steal_or_throw(PyUnicode_InternFromString(Name::text_of(i))));
    }
    function_type_ = make_function_type();
}

void ModuleState::keep_builtins(PyObject* builtins_module) {
    builtins_ = py::reinterpret_borrow<py::object>(PyModule_GetDict(builtins_module));
    const Name* kept[] = {&kStaticmethod, &kSuper, &kRange, &kZip};
    for (size_t i = 0; i < 4; ++i) {
        PyObject* value = compat::dict_get(builtins_.ptr(), kept[i]->ptr());
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", kept[i]->ptr());
            }
            throw_python_error();
        }
        saved_builtins_[i] = py::reinterpret_steal<py::object>(value);
    }
}

int ModuleState::traverse(visitproc visit, void* arg) const {
    Py_VISIT(builtins_.ptr());
    Py_VISIT(function_type_.ptr());
    return 0;
}

void ModuleState::clear() {
    // The built-ins namespace is the one reference that can close a cycle
    // (anything may be stored in builtins); names, code objects and the
    // function type never refer back to the module.
    builtins_ = py::object();
}

const Prototype* ModuleState::find_prototype(const FunctionDecl& decl) {
    std::lock_guard<compat::Mutex> guard(prototypes_lock_);
    auto found = prototypes_.find(&decl);
    return found == prototypes_.end() ? nullptr : &found->second;
}

const Prototype& ModuleState::keep_prototype(const FunctionDecl& decl, Prototype&& prototype) {
    std::lock_guard<compat::Mutex> guard(prototypes_lock_);
    // Another thread may have made the same one meanwhile: the first is kept
    // (a map never moves its entries, so references to it stay valid).
    return prototypes_.emplace(&decl, std::move(prototype)).first->second;
}

PyObject* ModuleState::find_traceback_code(const char* funcname, int line) {
    std::lock_guard<compat::Mutex> guard(traceback_lock_);
    auto found = traceback_codes_.find({funcname, line});
    return found == traceback_codes_.end() ? nullptr : found->second.ptr();
}

PyObject* ModuleState::keep_traceback_code(const char* funcname, int line, py::object code) {
    std::lock_guard<compat::Mutex> guard(traceback_lock_);
    return traceback_codes_.emplace(std::make_pair(funcname, line), std::move(code))
        .first->second.ptr();
}

}  // namespace native
