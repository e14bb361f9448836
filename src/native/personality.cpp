// A thread that the interpreter ends while it runs the module's code.
//
// Before 3.14, a thread that wants the GIL back once finalisation has begun
// (of the runtime, or from 3.12 of its own interpreter) is ended where it
// waits, with pthread_exit, which glibc carries out as a forced unwind
// through every frame of the thread. The interpreter's C frames let it pass
// without a trace; the module's C++ frames would run their cleanups and
// handlers, and none of them can be right then:
//
// - a catch (...) that does not rethrow makes glibc abort the process, and
//   the unwind leaving a noexcept function (a destructor, say) terminates it;
// - a destructor releasing an owned reference touches an interpreter whose
//   GIL the thread no longer holds, perhaps an object already freed;
// - where zig links LLVM's libc++abi and libunwind into the module (the
//   release wheels), the C++ personality routine cannot even read the
//   unwind context that glibc's unwinder (libgcc_s) hands it.
//
// So the module's frames are made transparent to forced unwinds, as C frames
// are: the personality routine of every frame of the module (the link wraps
// it, --wrap=__gxx_personality_v0, with NATIVE_PASS_FORCED_UNWIND defined;
// CMakeLists.txt and .ci/wheels.py) lets such an unwind continue without
// running any of that frame's cleanups or handlers. What those frames held
// is leaked, as the interpreter leaks what a daemon thread's C frames hold,
// and the thread ends as a pure Python thread does. C++ exceptions of the
// module's own are never forced: they go to the personality routine as
// before. This holds for every catch-all and destructor in the module, the
// ones still to be written included, and costs nothing until a thread ends.
//
// Elsewhere nothing needs it: Windows ends such threads without unwinding
// them, and 3.14 and newer park them.
#ifdef NATIVE_PASS_FORCED_UNWIND

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
