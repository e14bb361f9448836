// The extension module pelun_online_sdk.client: its entry point, the load
// rules of its create and exec slots, and the module body.
//
// The module is loaded once per process: a second interpreter is refused, a
// second module object is never made while one exists, and a module deleted
// from sys.modules comes back as the same object without running its body
// again. A failed load leaves nothing behind, so a later import starts over.
#include <cstdint>
#include <cstdio>

#include "client/classes.hpp"
#include "native/code.hpp"
#include "native/imports.hpp"
#include "native/runtime.hpp"

namespace client {
namespace {

constexpr const char* kModuleName = "pelun_online_sdk.client";
constexpr const char* kInitEntry = "init pelun_online_sdk.client";

// Process-wide: the interpreter the module belongs to, and the module object
// while it is executing or loaded (a strong reference).
int64_t g_main_interpreter = -1;
PyObject* g_module = nullptr;

// A runtime that finalises takes its interpreter and the module with it.
const native::RuntimeBound kForgetModule([] {
    g_main_interpreter = -1;
    g_module = nullptr;
});

int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(_PyInterpreterState_Get());
#endif
}

bool check_interpreter() {
    int64_t current = current_interpreter_id();
    if (g_main_interpreter == -1) {
        g_main_interpreter = current;
        return current != -1;
    }
    if (current == g_main_interpreter) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
}

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

// The loaded module again (deleted from sys.modules and imported anew). The
// import machinery resets the state pointer of whatever module a create slot
// returns and then allocates a new one on exec, so the block it allocated
// the first time would be orphaned on every re-import: it is released here.
PyObject* reuse_module() {
    PyMem_Free(PyModule_GetState(g_module));
    Py_INCREF(g_module);
    return g_module;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!check_interpreter()) return nullptr;
    if (g_module != nullptr) return reuse_module();
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

bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* existing = PyDict_GetItemString(modules, kModuleName);
    if (existing != nullptr) return true;
    return PyDict_SetItemString(modules, kModuleName, module) == 0;
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

bool run_body(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    ModuleBody body(globals);
    bool loaded = native::run_translating_errors([&] {
        if (!register_in_sys_modules(module) || !native::save_builtins())
            native::throw_python_error();
        body.run();
    });
    if (loaded) return true;
    native::add_traceback(kInitEntry, body.line(), globals);
    return false;
}

bool prepare_runtime(PyObject* module) {
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr || PyObject_SetAttrString(module, "__builtins__", builtins) < 0) {
        return false;
    }
    native::set_builtins(PyModule_GetDict(builtins));
    return native::watch_runtime_finalisation() && check_runtime_version() &&
           native::Name::intern_all() && native::ready_function_type();
}

int exec_module(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'client' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    Py_INCREF(module);
    g_module = module;
    if (prepare_runtime(module) && run_body(module)) return 0;
    Py_CLEAR(g_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "client", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
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
