// The module object and its load rules: the create and exec slots, one
// module per interpreter, the module's state, and the module body run
// statement by statement with its lines marked for a failed load's
// traceback entry.
//
// Each interpreter gets one module object: a second one is never made while
// one exists, and a module deleted from sys.modules comes back as the same
// object without running its body again. A failed load leaves nothing
// behind, so a later import starts over. The module owns its state (see
// state.hpp); nothing is shared between interpreters.
#pragma once

#include <memory>
#include <vector>

#include "native/imports.hpp"
#include "native/module_identity.hpp"
#include "native/state.hpp"

namespace native {

// The statements of a module body, each marked with its line of the
// module's virtual source before it runs.
class ModuleBody {
public:
    explicit ModuleBody(py::handle globals) : globals_(globals) {}

    py::handle globals() const { return globals_; }
    int line() const { return line_; }

    // `import module`
    void import(int line, const char* module);
    // `from module import a, b as c` (at `level`, 1 for a sibling module)
    void from(int line, const char* module, const std::vector<ImportedName>& names, int level = 0);
    // `from . import module` for what importing it does, binding nothing
    void import_for_effect(const char* module, int level);
    // `name = make()`
    template <class Make>
    void bind(int line, const char* name, Make&& make) {
        line_ = line;
        bind_value(name, make());
    }

private:
    void bind_value(const char* name, const py::object& value);

    py::handle globals_;
    int line_ = 1;
};

// What the module supplies to the runtime for its load, defined once, by
// the module, beside its identity (module_identity.hpp). The entry point
// (PyInit_<name>) is the runtime's, named by the build (NATIVE_MODULE_NAME,
// the target's name).
struct ModuleDefinition {
    const char* traceback_entry;  // the traceback entry of a failed load
    std::unique_ptr<ModuleState> (*make_state)();
    void (*run_body)(ModuleBody& body);
};
extern const ModuleDefinition kModuleDefinition;

}  // namespace native
