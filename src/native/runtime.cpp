#include "native/runtime.hpp"

namespace native {
namespace {

// A fixed table: registration runs at static initialisation, where nothing
// may throw.
constexpr int kMaxHooks = 16;
ForgetHook g_hooks[kMaxHooks] = {};
int g_hook_count = 0;
bool g_watching = false;

void forget_runtime() {
    for (int i = 0; i < g_hook_count; ++i) g_hooks[i]();
    g_watching = false;
}

}  // namespace

RuntimeBound::RuntimeBound(ForgetHook hook) noexcept {
    // Sized for the module's components: a new one that does not fit is a
    // build mistake caught by the lifecycle tests, not a run-time condition.
    if (g_hook_count < kMaxHooks) g_hooks[g_hook_count++] = hook;
}

bool watch_runtime_finalisation() {
    if (g_watching) return true;
    // Py_AtExit functions run at the very end of Py_FinalizeEx, once the
    // runtime's objects are gone; Python-level atexit callbacks would run
    // too early (and can be triggered by hand).
    if (Py_AtExit(forget_runtime) < 0) {
        PyErr_SetString(PyExc_ImportError,
                        "pelun_online_sdk.client cannot register its finalisation hook");
        return false;
    }
    g_watching = true;
    return true;
}

}  // namespace native
