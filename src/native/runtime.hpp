// The interpreter runtime the module's process-wide state belongs to.
//
// An embedding application may finalise the interpreter and initialise a new
// one in the same process. Every Python object the module keeps in C++
// statics (interned names, code objects, the function type, the module
// itself) was made by the runtime that loaded it and dies with it. Each
// component that keeps such pointers registers a hook that forgets them;
// the hooks run when the runtime has finalised, so the next import, in the
// new runtime, builds everything afresh and never touches a dead object.
#pragma once

#include "native/py.hpp"

namespace native {

// Drops a component's pointers to objects of the finalised runtime, without
// touching them (their memory belongs to a runtime that no longer exists).
// Runs with no interpreter: it must not call the C API.
using ForgetHook = void (*)();

// Registers `hook` at static-initialisation time; one object per component.
class RuntimeBound {
public:
    explicit RuntimeBound(ForgetHook hook) noexcept;
};

// Arranges, once per runtime, for the hooks to run when the current runtime
// finalises; false with ImportError set when the runtime cannot take the
// hook (then the module must not load: its state would outlive the runtime).
bool watch_runtime_finalisation();

}  // namespace native
