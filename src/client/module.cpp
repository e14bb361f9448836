// The extension module pelun_online_sdk.client: its entry point, the load
// rules of its create and exec slots, and the module body.
//
// Each interpreter gets one module object: a second one is never made while
// one exists, and a module deleted from sys.modules comes back as the same
// object without running its body again. A failed load leaves nothing
// behind, so a later import starts over. The module owns its state (see
// native/state.hpp); nothing is shared between interpreters.
#include <atomic>
#include <cstdio>
#include <new>

#include "client/classes.hpp"
#include "client/state.hpp"
#include "native/code.hpp"
#include "native/imports.hpp"

namespace client {
namespace {

constexpr const char* kModuleName = "pelun_online_sdk.client";
constexpr const char* kInitEntry = "init pelun_online_sdk.client";

// --- the module of each interpreter ------------------------------------------
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
    PyObject* module = nullptr;             // strong reference
    native::ModuleState* parked = nullptr;  // owned while parked
};

native::ModuleState*& state_slot_of(PyObject* module) {
    return *static_cast<native::ModuleState**>(PyModule_GetState(module));
}

void release_loaded_module(PyObject* capsule) {
    auto* loaded = static_cast<LoadedModule*>(PyCapsule_GetPointer(capsule, kModuleName));
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

// This interpreter's record, made on first use; nullptr with an error set.
LoadedModule* loaded_module() {
    PyObject* interpreter_dict = PyInterpreterState_GetDict(native::compat::current_interpreter());
    if (interpreter_dict == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "this interpreter keeps no state for extensions");
        }
        return nullptr;
    }
    py::object key = py::reinterpret_steal<py::object>(PyUnicode_FromString(kModuleName));
    if (!key) return nullptr;
    py::object found =
        py::reinterpret_steal<py::object>(native::compat::dict_get(interpreter_dict, key.ptr()));
    if (found) return static_cast<LoadedModule*>(PyCapsule_GetPointer(found.ptr(), kModuleName));
    if (PyErr_Occurred()) return nullptr;
    auto* loaded = new (std::nothrow) LoadedModule();
    if (loaded == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    py::object capsule = py::reinterpret_steal<py::object>(
        PyCapsule_New(loaded, kModuleName, release_loaded_module));
    if (!capsule) {
        delete loaded;
        return nullptr;
    }
    if (PyDict_SetItem(interpreter_dict, key.ptr(), capsule.ptr()) < 0) return nullptr;
    return loaded;
}

// --- which interpreters may load it ------------------------------------------
//
// The module body imports libraries whose compiled parts may bind themselves
// to the first interpreter that loads them and refuse every other; if a
// subinterpreter came first, the main interpreter could never load them, nor
// this module. So the main interpreter loads it first.
//
// Before 3.12 subinterpreters share the main one's GIL and their thread
// states are not the ones PyGILState_Ensure finds, which pybind11's error
// handling calls: the module loads in the main interpreter only. From 3.12
// its state is per interpreter and it declares support for interpreters with
// a GIL of their own; once the main interpreter has it, others may load it
// too (where its dependencies let them).
std::atomic<bool> g_main_has_module{false};

bool is_main_interpreter() {
    return native::compat::current_interpreter() == PyInterpreterState_Main();
}

bool interpreter_may_load() {
    if (is_main_interpreter()) return true;
#if PY_VERSION_HEX >= 0x030C0000
    if (g_main_has_module.load()) return true;
    PyErr_SetString(PyExc_ImportError,
                    "pelun_online_sdk.client must be imported by the main interpreter before "
                    "any other");
#else
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
#endif
    return false;
}

// --- the create slot -----------------------------------------------------------

// Copies one import-spec attribute into the module; a spec without it is
// skipped, and None is skipped where `skip_none` says so.
bool copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                         bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    int result = (skip_none && value == Py_None) ? 0 : PyDict_SetItemString(module_dict, to, value);
    Py_DECREF(value);
    return result == 0;
}

// The loaded module again. Its state is parked until the exec slot puts it
// back (see LoadedModule); the block that held the pointer is released here,
// as the import machinery would only drop it.
PyObject* reuse_module(LoadedModule& loaded) {
    void* block = PyModule_GetState(loaded.module);
    if (block != nullptr) {
        loaded.parked = state_slot_of(loaded.module);
        PyMem_Free(block);
    }
    Py_INCREF(loaded.module);
    return loaded.module;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!interpreter_may_load()) return nullptr;
    LoadedModule* loaded = loaded_module();
    if (loaded == nullptr) return nullptr;
    if (loaded->module != nullptr) return reuse_module(*loaded);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// Before the body runs, so that a sibling module importing this one during
// the body gets the partly filled module.
void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    py::str name(kModuleName);
    int present = PyDict_Contains(modules, name.ptr());
    if (present < 0 || (present == 0 && PyDict_SetItem(modules, name.ptr(), module) < 0)) {
        native::throw_python_error();
    }
}

// The module body, statement by statement; `line` follows the statement
// running, for the traceback entry of a failed load.
class ModuleBody {
public:
    explicit ModuleBody(PyObject* globals) : globals_(globals) {}

    int line() const { return line_; }

    void run() {
        from(1, "enum", {{"Enum", "Enum"}, {"auto", "auto"}});
        import(2, "json");
        import(3, "secrets");
        import(4, "ssl");
        import(5, "string");
        from(6, "typing",
             {{"Any", "Any"}, {"Dict", "Dict"}, {"Iterable", "Iterable"}, {"Union", "Union"}});
        from(7, "urllib.parse", {{"urlencode", "urlencode"}});
        from(8, "Cryptodome.Hash", {{"MD5", "HashMD5"}});
        import(10, "aiohttp");
        from(11, "aiohttp_proxy", {{"ProxyConnector", "ProxyConnector"}});
        // Not a name of the module: it mends aiohttp_proxy's connector for the
        // installed aiohttp before any session is made.
        native::import_for_effect(globals_, "_aiohttp_proxy_fix", 1);
        import(12, "chardet");
        import(13, "httpx");
        from(14, "requests.adapters", {{"HTTPAdapter", "HTTPAdapter"}});
        import(15, "requests");
        from(16, "requests_toolbelt", {{"MultipartEncoder", "MultipartEncoder"}});
        from(17, "urllib3", {{"PoolManager", "PoolManager"}, {"Retry", "__retry__"}});
        from(19, "utils", {{"Report", "Report"}, {"VERSION_SDK", "VERSION_SDK"}}, 1);
        from(20, "proxy", {{"Proxy", "Proxy"}}, 1);
        define(22, "_aiohttp", define_aiohttp_backend);
        bind(66, "CHIPER", [] { return make_cipher_list(); });
        define(114, "SSLContext", define_ssl_context);
        define(122, "RequestsAdapter", define_requests_adapter);
        define(142, "_requests", define_requests_backend);
        define(195, "_httpx", define_httpx_backend);
        define(210, "Client", define_client);
        bind(line_, "__test__", [] { return py::dict(); });
    }

private:
    void from(int line, const char* module, const std::vector<native::ImportedName>& names,
              int level = 0) {
        line_ = line;
        native::import_from(globals_, module, names, level);
    }
    // `name = make()`, the statement's line marked before the value is made.
    template <class Make>
    void bind(int line, const char* name, Make make) {
        line_ = line;
        py::object value = make();
        if (PyDict_SetItemString(globals_, name, value.ptr()) < 0) native::throw_python_error();
    }
    void define(int line, const char* name, py::object (*statement)(PyObject*)) {
        bind(line, name, [&] { return statement(globals_); });
    }
    void import(int line, const char* name) {
        bind(line, name, [&] { return native::import_module(globals_, name); });
    }

    PyObject* globals_;
    int line_ = 1;
};

bool run_body(PyObject* module, native::ModuleState& state, PyObject* builtins) {
    PyObject* globals = PyModule_GetDict(module);
    ModuleBody body(globals);
    bool loaded = native::run_translating_errors([&] {
        register_in_sys_modules(module);
        state.keep_builtins(builtins);
        body.run();
    });
    if (loaded) return true;
    native::add_traceback(kInitEntry, body.line(), globals);
    return false;
}

// --- the exec slot ---------------------------------------------------------------

// Warns when the running interpreter is not the major.minor version the
// module was compiled for: its C API may differ.
bool check_runtime_version() {
    unsigned major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%u.%u", &major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                            static_cast<int>(major), static_cast<int>(minor)) == 0;
}

// Everything before the body: __builtins__, the version check, the state's
// names and function type.
bool prepare(PyObject* module, native::ModuleState& state, PyObject*& builtins) {
    builtins = PyImport_AddModule("builtins");  // borrowed from sys.modules
    if (builtins == nullptr || PyObject_SetAttrString(module, "__builtins__", builtins) < 0) {
        return false;
    }
    // Read back from the module, which now holds it whatever sys.modules does.
    builtins = PyDict_GetItemString(PyModule_GetDict(module), "__builtins__");
    return builtins != nullptr && check_runtime_version() &&
           native::run_translating_errors([&] { state.initialise(); });
}

// The first exec of this interpreter's module: a new state, then the body.
bool load(PyObject* module) {
    auto* state = new (std::nothrow) State();
    if (state == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    state_slot_of(module) = state;  // owned by the module from here on
    state->set_module(module);
    native::ActiveState active(*state);
    PyObject* builtins = nullptr;
    return prepare(module, *state, builtins) && run_body(module, *state, builtins);
}

int exec_module(PyObject* module) {
    LoadedModule* loaded = loaded_module();
    if (loaded == nullptr) return -1;
    if (loaded->module != nullptr) {
        if (loaded->module == module) {  // handed out again by the create slot
            if (loaded->parked != nullptr) state_slot_of(module) = loaded->parked;
            loaded->parked = nullptr;
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'client' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    Py_INCREF(module);
    loaded->module = module;
    if (load(module)) {
        if (is_main_interpreter()) g_main_has_module.store(true);
        return 0;
    }
    Py_CLEAR(loaded->module);
    return -1;
}

// --- module state for the cyclic GC ---------------------------------------------------

native::ModuleState* state_of(PyObject* module) {
    void* block = PyModule_GetState(module);
    return block == nullptr ? nullptr : state_slot_of(module);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    native::ModuleState* state = state_of(module);
    return state == nullptr ? 0 : state->traverse(visit, arg);
}

int clear_module(PyObject* module) {
    if (native::ModuleState* state = state_of(module)) state->clear();
    return 0;
}

void free_module(void* module) {
    auto* object = static_cast<PyObject*>(module);
    native::ModuleState* state = state_of(object);
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
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Every piece of state that calls change is locked or left out where
    // the GIL is not there to serialise it (see native/compat.hpp).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "client",
    nullptr,
    sizeof(native::ModuleState*),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace client

// Python 3.8 declares the entry point without a visibility attribute, and the
// build hides every symbol; later versions mark PyMODINIT_FUNC exported. On
// Windows PyMODINIT_FUNC carries dllexport on every version.
#if PY_VERSION_HEX < 0x03090000 && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_client(void);
#endif

PyMODINIT_FUNC PyInit_client() {
    return PyModuleDef_Init(&client::module_def);
}
