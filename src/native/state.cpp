#include "native/state.hpp"

#include "native/detail/caches.hpp"
#include "native/detail/capi.hpp"
#include "native/function.hpp"
#include "native/names.hpp"

namespace native {
namespace {

const Name kSuper("super");

}  // namespace

ModuleState::ModuleState() : caches_(std::make_unique<detail::Caches>()) {}

ModuleState::~ModuleState() = default;

void ModuleState::initialise(py::handle module) {
    module_ = module;
    names_.reserve(Name::count());
    for (size_t i = 0; i < Name::count(); ++i) {
        names_.push_back(steal(PyUnicode_InternFromString(Name::text_of(i))));
    }
    function_type_ = make_function_type();
}

void ModuleState::keep_builtins(py::handle builtins_module) {
    builtins_ = py::reinterpret_borrow<py::object>(PyModule_GetDict(builtins_module.ptr()));
    PyObject* value = compat::dict_get(builtins_.ptr(), kSuper.handle().ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", kSuper.handle().ptr());
        }
        raise_error();
    }
    builtin_super_ = py::reinterpret_steal<py::object>(value);
}

py::handle ModuleState::keep(py::object object) {
    kept_.push_back(std::move(object));
    return kept_.back();
}

int ModuleState::traverse(visitproc visit, void* arg) const {
    Py_VISIT(builtins_.ptr());
    Py_VISIT(function_type_.ptr());
    for (const py::object& object : kept_) Py_VISIT(object.ptr());
    return 0;
}

void ModuleState::clear() {
    // The built-ins namespace is the one reference that can close a cycle
    // (anything may be stored in builtins); names, code objects, the
    // function type and the kept objects (a module's own choices at load,
    // from its package's modules) never refer back to the module.
    builtins_ = py::object();
}

}  // namespace native
