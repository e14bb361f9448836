// The release wheels' builds alone (.ci/wheels.py defines
// NATIVE_WRAP_PERSONALITY and links with --wrap=__gxx_personality_v0): zig
// links LLVM's libc++abi and libunwind into the module, while glibc's
// pthread_exit unwinds with libgcc_s, the system's unwinder. Before 3.14
// CPython ends a daemon thread at exit with pthread_exit (see
// detail/thread_end.hpp), and the C++ personality routine, called for each
// of the module's frames on that thread, would read libgcc_s's unwind
// context through libunwind's accessors, whose layout differs: a crash at
// the first frame with anything to clean up. Builds by the system's
// compiler use libgcc_s for both and need none of this.
//
// Such an unwind is the only forced one the module meets (it starts none
// of its own), so it passes the module's frames here as it passes C frames:
// no cleanup or handler of theirs runs, and what they held is leaked, which
// is what the rules of thread_end.hpp come to for a thread being ended.
#ifdef NATIVE_WRAP_PERSONALITY

#include <unwind.h>

extern "C" {

_Unwind_Reason_Code __real___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception,
                                                _Unwind_Context* context);

_Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception,
                                                _Unwind_Context* context) {
    if (actions & _UA_FORCE_UNWIND) return _URC_CONTINUE_UNWIND;
    return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}

}  // extern "C"

#endif
