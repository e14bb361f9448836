// A thread that the interpreter ends while it runs the module's code.
//
// Before 3.14, a thread that wants the GIL back once finalisation has begun
// (of the runtime, or from 3.12 of its own interpreter) is ended where it
// waits, with pthread_exit, which glibc carries out as a forced unwind
// through every frame of the thread: the interpreter's C frames, which it
// passes without a trace, and the module's, which must let it pass too.
// Plain Python exits cleanly with daemon threads in any call; so must a
// program that uses this module. The rules, for every catch-all and every
// destructor of the module:
//
// - A catch (...) rethrows what is not a C++ exception (caught_thread_end()):
//   a handler that ends without rethrowing the unwind makes glibc abort the
//   process ("exception not rethrown").
// - Nothing the unwind can pass through is noexcept: the C++ runtime
//   terminates an unwind that leaves a noexcept function.
// - What runs during the unwind (destructors of owned references, guards)
//   touches nothing of the interpreter: the thread no longer holds the GIL,
//   and its thread state, or any object it refers to, may already have been
//   freed. What it owned is leaked, as the interpreter leaks what a daemon
//   thread's C frames hold. release_in_destructor() does both checks.
// - An unwind that starts inside a destructor (a release that ran a
//   __del__ until the interpreter ended the thread) cannot leave it, since
//   destructors are noexcept: the thread is parked there for good, as 3.14
//   parks such threads itself.
//
// Windows ends such threads without unwinding them, and 3.14 and newer park
// them: there all this costs one test of a flag per release.
#pragma once

#include <Python.h>

#include <atomic>
#include <exception>

namespace native::detail {

// Set for good once an interpreter of the process begins to finalise: from
// the atexit callback each interpreter's module registers, which runs before
// any thread can be ended. Until then every thread running the module's
// code holds the GIL, and a release need not ask.
extern std::atomic<bool> g_threads_may_be_ended;

// Whether this thread holds the GIL (is attached to its interpreter).
bool this_thread_is_attached() noexcept;

// Whether this thread may touch the interpreter: false only for a thread
// that the interpreter is ending.
inline bool may_touch_interpreter() noexcept {
    return !g_threads_may_be_ended.load(std::memory_order_relaxed) || this_thread_is_attached();
}

// Blocks this thread for good; see above.
[[noreturn]] void park_ended_thread() noexcept;

// Runs `release`, the C API calls of a destructor, where the thread may
// still touch the interpreter; leaks instead where it may not.
template <class Release>
void release_in_destructor(Release&& release) noexcept {
    if (!may_touch_interpreter()) return;
    try {
        release();
    } catch (...) {  // only the interpreter ending this thread: C API calls throw nothing
        park_ended_thread();
    }
}

inline void release_reference(PyObject* object) noexcept {
    if (object != nullptr) release_in_destructor([object] { Py_DECREF(object); });
}

// In a catch (...) handler: whether what was caught is the thread being
// ended (an unwind that is not a C++ exception), which must be rethrown.
inline bool caught_thread_end() noexcept {
    return !std::current_exception();
}

// Registers, in the interpreter running it, the callback that sets
// g_threads_may_be_ended when that interpreter begins to finalise.
void watch_for_interpreter_end();

}  // namespace native::detail
