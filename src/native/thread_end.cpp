#include "native/detail/thread_end.hpp"

#include <chrono>
#include <thread>

#include "native/detail/capi.hpp"
#include "native/detail/compat.hpp"

namespace native::detail {

std::atomic<bool> g_threads_may_be_ended{false};

bool this_thread_is_attached() noexcept {
    return compat::thread_is_attached();
}

void park_ended_thread() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

namespace {

PyObject* note_interpreter_end(PyObject*, PyObject*) {
    g_threads_may_be_ended.store(true);
    Py_RETURN_NONE;
}

// Static, as its function object may outlive the module: the atexit module
// holds it until its interpreter ends.
PyMethodDef note_interpreter_end_def = {"_note_interpreter_end", note_interpreter_end, METH_NOARGS,
                                        nullptr};

}  // namespace

// atexit's callbacks run before the interpreter (the runtime, for the main
// one) is marked as finalising, and so before any thread can be ended: a
// hook of the C API would run too late before 3.13.
void watch_for_interpreter_end() {
    py::object atexit = steal(PyImport_ImportModule("atexit"));
    py::object callback = steal(PyCFunction_New(&note_interpreter_end_def, nullptr));
    py::object registered =
        steal(PyObject_CallMethod(atexit.ptr(), "register", "O", callback.ptr()));
}

}  // namespace native::detail
