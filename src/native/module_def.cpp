#include "native/module_def.hpp"

#include <atomic>
#include <cstdio>

#include "native/detail/capi.hpp"
#include "native/detail/compat.hpp"
#include "native/detail/traceback.hpp"

#ifndef NATIVE_MODULE_NAME
#error "NATIVE_MODULE_NAME names the extension module (the build's target)"
#endif
#define NATIVE_TEXT(name) #name
#define NATIVE_NAME_TEXT(name) NATIVE_TEXT(name)
#define NATIVE_JOIN(a, b) a##b
#define NATIVE_INIT_FUNCTION(name) NATIVE_JOIN(PyInit_, name)

namespace native {
namespace {

constexpr const char* kName = NATIVE_NAME_TEXT(NATIVE_MODULE_NAME);

// --- the module of each interpreter ------------------------------------------------
//
// The interpreter's own dict (PyInterpreterState_GetDict) keeps, under the
// module's name, the module object once its exec slot has begun, so that a
// later import in the same interpreter finds it again.
//
// The import machinery resets the state pointer of whatever module a create
// slot returns and gives it a fresh, empty block before exec. So when the
// loaded module is handed out again, its state is parked here until the exec
// slot puts it back; meanwhile its functions keep using the state through
// the address they hold.
struct LoadedModule {
    PyObject* module = nullptr;     // strong reference
    ModuleState* parked = nullptr;  // owned while parked
};

ModuleState*& state_slot_of(PyObject* module) {
    return *static_cast<ModuleState**>(PyModule_GetState(module));
}

void release_loaded_module(PyObject* capsule) {
    auto* loaded =
        static_cast<LoadedModule*>(PyCapsule_GetPointer(capsule, kModuleIdentity.dotted_name));
    if (loaded == nullptr) {
        PyErr_Clear();
        return;
    }
    // A parked state is freed with the module when nothing else holds the
    // module (its functions would); otherwise it stays, as they may run.
    bool sole_owner = loaded->module != nullptr && Py_REFCNT(loaded->module) == 1;
    Py_CLEAR(loaded->module);
    if (sole_owner) delete loaded->parked;
    delete loaded;
}

// This interpreter's record, made on first use.
LoadedModule& loaded_module() {
    PyObject* interpreter_dict = PyInterpreterState_GetDict(compat::current_interpreter());
    if (interpreter_dict == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "this interpreter keeps no state for extensions");
        }
        raise_error();
    }
    py::object key = steal(PyUnicode_FromString(kModuleIdentity.dotted_name));
    py::object found =
        py::reinterpret_steal<py::object>(compat::dict_get(interpreter_dict, key.ptr()));
    if (found) {
        void* pointer = PyCapsule_GetPointer(found.ptr(), kModuleIdentity.dotted_name);
        if (pointer == nullptr) raise_error();
        return *static_cast<LoadedModule*>(pointer);
    }
    if (PyErr_Occurred()) raise_error();
    auto loaded = std::make_unique<LoadedModule>();
    py::object capsule =
        steal(PyCapsule_New(loaded.get(), kModuleIdentity.dotted_name, release_loaded_module));
    LoadedModule& record = *loaded.release();  // the capsule's now
    check(PyDict_SetItem(interpreter_dict, key.ptr(), capsule.ptr()));
    return record;
}

// --- which interpreters may load it ---------------------------------------------
//
// The module body imports libraries whose compiled parts may bind themselves
// to the first interpreter that loads them and refuse every other; if a
// subinterpreter came first, the main interpreter could never load them, nor
// this module. So the main interpreter loads it first.
//
// Before 3.12 subinterpreters share the main one's GIL and their thread
// states are not the ones PyGILState_Ensure finds, which pybind11 calls when
// one of its exceptions is released: the module loads in the main
// interpreter only. From 3.12 its state is per interpreter and it declares
// support for interpreters with a GIL of their own; once the main
// interpreter has it, others may load it too (where its dependencies let
// them).
//
// The one process-wide value the module keeps: whether the main
// interpreter holds its module now (set by its exec slot, cleared when that
// module is freed, as the runtime finalises).
std::atomic<bool> g_main_has_module{false};

bool is_main_interpreter() {
    return compat::current_interpreter() == PyInterpreterState_Main();
}

void check_interpreter() {
    if (is_main_interpreter()) return;
    if (!compat::kPerInterpreterGil) {
        raise_error(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    }
    if (g_main_has_module.load()) return;
    PyErr_Format(PyExc_ImportError, "%s must be imported by the main interpreter before any other",
                 kModuleIdentity.dotted_name);
    raise_error();
}

// --- the create slot ------------------------------------------------------------------

// Copies one attribute of the ModuleSpec the import system passes into the
// module; one the ModuleSpec lacks is skipped, and None is skipped where
// `skip_none` says so.
void copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                         bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_error();
        PyErr_Clear();
        return;
    }
    py::object owned = py::reinterpret_steal<py::object>(value);
    if (!(skip_none && value == Py_None)) check(PyDict_SetItemString(module_dict, to, value));
}

// The loaded module again. Its state is parked until the exec slot puts it
// back (see LoadedModule); the block that held the pointer is released here,
// as the import machinery would only drop it.
py::object reuse_module(LoadedModule& loaded) {
    void* block = PyModule_GetState(loaded.module);
    if (block != nullptr) {
        loaded.parked = state_slot_of(loaded.module);
        PyMem_Free(block);
    }
    return py::reinterpret_borrow<py::object>(loaded.module);
}

py::object new_module(PyObject* spec) {
    py::object name = steal(PyObject_GetAttrString(spec, "name"));
    py::object module = steal(PyModule_NewObject(name.ptr()));
    PyObject* dict = PyModule_GetDict(module.ptr());
    copy_spec_attribute(spec, dict, "loader", "__loader__", false);
    copy_spec_attribute(spec, dict, "origin", "__file__", false);
    copy_spec_attribute(spec, dict, "parent", "__package__", false);
    copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true);
    return module;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    PyObject* module = nullptr;
    run_translating_errors([&] {
        check_interpreter();
        LoadedModule& loaded = loaded_module();
        module =
            (loaded.module != nullptr ? reuse_module(loaded) : new_module(spec)).release().ptr();
    });
    return module;
}

// --- the exec slot ----------------------------------------------------------------------

// Before the body runs, so that a sibling module importing this one during
// the body gets the partly filled module.
void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed from the interpreter
    py::object name = steal(PyUnicode_FromString(kModuleIdentity.dotted_name));
    int present = PyDict_Contains(modules, name.ptr());
    check(present);
    if (present == 0) check(PyDict_SetItem(modules, name.ptr(), module));
}

// Warns when the running interpreter is not the major.minor version the
// module was compiled for: its C API may differ.
void check_runtime_version() {
    unsigned major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%u.%u", &major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "compile time Python version %d.%d of module '%.100s' %s runtime "
                           "version %d.%d",
                           PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleIdentity.dotted_name,
                           "does not match", static_cast<int>(major), static_cast<int>(minor)));
}

// `__builtins__`, the version check and the state's names and function type:
// a failure here is the load's, with no traceback entry of its own.
py::object prepare(PyObject* module, ModuleState& state) {
    py::object builtins = Borrowed(PyImport_AddModule("builtins")).owned();
    if (!builtins) raise_error();
    check(PyObject_SetAttrString(module, "__builtins__", builtins.ptr()));
    check_runtime_version();
    state.initialise(py::handle(module));
    return builtins;
}

// The module body, whose failure gets the entry of the statement that was
// running.
void run_body(PyObject* module, ModuleState& state, const py::object& builtins) {
    py::handle globals(PyModule_GetDict(module));
    ModuleBody body(globals);
    bool loaded = run_translating_errors([&] {
        register_in_sys_modules(module);
        state.keep_builtins(builtins);
        kModuleDefinition.run_body(body);
    });
    if (loaded) return;
    detail::add_traceback(kModuleDefinition.traceback_entry, body.line(), globals);
    raise_error();
}

// The first exec of this interpreter's module: a new state, then the body.
void load(PyObject* module) {
    ModuleState* state = kModuleDefinition.make_state().release();
    state_slot_of(module) = state;  // the module's from here on, freed with it
    ActiveState active(*state);
    py::object builtins = prepare(module, *state);
    run_body(module, *state, builtins);
}

void execute(PyObject* module) {
    LoadedModule& loaded = loaded_module();
    if (loaded.module == module) {  // handed out again by the create slot
        if (loaded.parked != nullptr) state_slot_of(module) = loaded.parked;
        loaded.parked = nullptr;
        return;
    }
    if (loaded.module != nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     kName);
        raise_error();
    }
    Py_INCREF(module);
    loaded.module = module;
    if (!run_translating_errors([&] { load(module); })) {
        Py_CLEAR(loaded.module);
        raise_error();
    }
    if (is_main_interpreter()) g_main_has_module.store(true);
}

int exec_module(PyObject* module) {
    return run_translating_errors([&] { execute(module); }) ? 0 : -1;
}

// --- the module's state for the cyclic GC -----------------------------------------------

ModuleState* state_of(PyObject* module) {
    void* block = PyModule_GetState(module);
    return block == nullptr ? nullptr : state_slot_of(module);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    return state == nullptr ? 0 : state->traverse(visit, arg);
}

int clear_module(PyObject* module) {
    if (ModuleState* state = state_of(module)) state->clear();
    return 0;
}

void free_module(void* module) {
    auto* object = static_cast<PyObject*>(module);
    ModuleState* state = state_of(object);
    if (state == nullptr) return;
    // The main interpreter's module goes only when that interpreter
    // finalises: another runtime started later loads it afresh.
    if (is_main_interpreter()) g_main_has_module.store(false);
    state_slot_of(object) = nullptr;
    delete state;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The state is per interpreter (see check_interpreter).
    compat::multiple_interpreters_slot(),
    // Every piece of state that calls change is locked or left out where
    // the GIL is not there to serialise it (see detail/compat.hpp).
    compat::gil_slot(),
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kName,           nullptr,      sizeof(ModuleState*), nullptr,
    module_slots,          traverse_module, clear_module, free_module,
};

}  // namespace

void ModuleBody::import(int line, const char* module) {
    line_ = line;
    bind_value(module, import_module(globals_, module));
}

void ModuleBody::from(int line, const char* module, const std::vector<ImportedName>& names,
                      int level) {
    line_ = line;
    import_from(globals_, module, names, level);
}

void ModuleBody::import_for_effect(const char* module, int level) {
    native::import_for_effect(globals_, module, level);
}

void ModuleBody::bind_value(const char* name, const py::object& value) {
    check(PyDict_SetItemString(globals_.ptr(), name, value.ptr()));
}

}  // namespace native

// The module's only exported symbol (see NATIVE_EXPORTED_ON_38). On Windows
// PyMODINIT_FUNC exports it with dllexport, which a declaration without it
// before the definition would contradict.
#ifndef _WIN32
extern "C" NATIVE_EXPORTED_ON_38 PyObject* NATIVE_INIT_FUNCTION(NATIVE_MODULE_NAME)();
#endif

PyMODINIT_FUNC NATIVE_INIT_FUNCTION(NATIVE_MODULE_NAME)() {
    return PyModuleDef_Init(&native::module_def);
}
