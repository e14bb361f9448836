#include "native/detail/traceback.hpp"

#include "native/detail/caches.hpp"
#include "native/detail/capi.hpp"
#include "native/detail/code_objects.hpp"
#include "native/module_identity.hpp"
#include "native/state.hpp"

namespace native::detail {
namespace {

// One empty code object per (name, line): a frame built on it reports that
// line on every interpreter version, without touching frame internals.
// Kept in the module state for its life, like the constants of compiled
// code. Names are keyed by address: callers pass names that live as long as
// the module (a declaration's dotted name, a constant).
py::handle traceback_code(const char* funcname, int line) {
    Caches& caches = active_state().caches();
    const std::pair<const char*, int> key(funcname, line);
    if (const py::object* code = caches.find(caches.traceback_codes, key)) return *code;
    // Making one may let another thread run and cache the same entry first:
    // the first is kept and this one dropped.
    py::object made = steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(kModuleIdentity.source_file, funcname, line)));
    return caches.keep(caches.traceback_codes, key, std::move(made));
}

py::object traceback_frame(const char* funcname, int line, py::handle globals) {
    auto* code = reinterpret_cast<PyCodeObject*>(traceback_code(funcname, line).ptr());
    auto* frame = PyFrame_New(PyThreadState_Get(), code, globals.ptr(), nullptr);
    if (frame != nullptr) compat::set_frame_line(frame, line);
    return steal(reinterpret_cast<PyObject*>(frame));
}

}  // namespace

void add_traceback(const char* funcname, int line, py::handle globals) noexcept {
    py::object frame;
    {
        // Set aside while the entry is built, so that the calls below run
        // with no exception set (as they require); a failure to build it
        // must not replace the real error.
        compat::ParkedException parked;
        if (!run_translating_errors([&] { frame = traceback_frame(funcname, line, globals); })) {
            return;
        }
    }
    PyTraceBack_Here(
        reinterpret_cast<PyFrameObject*>(frame.ptr()));  // onto the exception restored above
}

}  // namespace native::detail
