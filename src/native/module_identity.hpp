// Who the module is: its dotted name and the virtual source file of its
// code objects and traceback entries. Defined once, by the module; any file
// of the runtime may read it, down to the lowest (declarations, code
// objects, traceback entries), without reaching the load rules of
// module_def.hpp.
#pragma once

namespace native {

struct ModuleIdentity {
    const char* dotted_name;  // its full name, under which sys.modules holds it
    const char* source_file;  // the virtual source file of code objects and tracebacks
};
// Constant-initialised: static initialisers of other files may read it.
extern const ModuleIdentity kModuleIdentity;

}  // namespace native
