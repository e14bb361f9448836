#include "native/code.hpp"

#include <frameobject.h>

#include "native/state.hpp"

namespace native {

const char* const kSourceFile = "pelun_online_sdk\\client.py";

namespace {

py::tuple to_tuple(const std::vector<const char*>& names) {
    py::tuple tuple(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        tuple[i] = steal_or_throw(PyUnicode_InternFromString(names[i]));
    }
    return tuple;
}

int code_flags(const CodeShape& shape) {
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (shape.varargs) flags |= CO_VARARGS;
    if (shape.varkw) flags |= CO_VARKEYWORDS;
    return flags;
}

// One empty code object per (name, line): a frame built on it reports that
// line on every interpreter version, without touching frame internals.
// Kept in the module state for its life, like the constants of compiled
// code. Names are keyed by address: callers pass names that live as long as
// the module (a declaration's dotted name, a constant).
//
// Borrowed from the state, or nullptr with the error of the failure set.
// Runs inside the caller's translator: the cache may throw std::bad_alloc.
PyCodeObject* traceback_code(const char* funcname, int line) {
    ModuleState& state = active_state();
    PyObject* code = state.find_traceback_code(funcname, line);
    if (code == nullptr) {
        // Making one may let another thread run and cache the same entry
        // first: the state keeps the first and this one is dropped.
        PyCodeObject* made = PyCode_NewEmpty(kSourceFile, funcname, line);
        if (made == nullptr) return nullptr;
        code = state.keep_traceback_code(
            funcname, line, py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(made)));
    }
    return reinterpret_cast<PyCodeObject*>(code);
}

}  // namespace

py::object make_code(const CodeShape& shape) {
    py::object empty = steal_or_throw(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, shape.name, shape.first_line)));
    py::dict changes;
    changes["co_argcount"] = shape.argcount;
    changes["co_varnames"] = to_tuple(shape.varnames);
    changes["co_nlocals"] = static_cast<int>(shape.varnames.size());
    changes["co_flags"] = code_flags(shape);
    if (!shape.freevars.empty()) changes["co_freevars"] = to_tuple(shape.freevars);
#if PY_VERSION_HEX >= 0x030B0000
    changes["co_qualname"] = shape.qualname;
#endif
    return empty.attr("replace")(**changes);
}

namespace {

// Holds the exception being raised while the entry is built, so that the
// C API calls below run with no error set (as they require).
class ParkedError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    ParkedError() : exception_(PyErr_GetRaisedException()) {}
    ~ParkedError() {
        PyErr_Clear();
        PyErr_SetRaisedException(exception_);
    }

private:
    PyObject* exception_;
#else
    ParkedError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~ParkedError() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject *type_, *value_, *traceback_;
#endif
};

PyFrameObject* traceback_frame(const char* funcname, int line, PyObject* globals) {
    PyCodeObject* code = traceback_code(funcname, line);
    if (code == nullptr) return nullptr;
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
#if PY_VERSION_HEX < 0x030B0000
    if (frame != nullptr) frame->f_lineno = line;
#endif
    return frame;
}

}  // namespace

void add_traceback(const char* funcname, int line, PyObject* globals) noexcept {
    PyFrameObject* frame = nullptr;
    {
        ParkedError parked;  // a failure to decorate must not replace the real error
        if (!run_translating_errors([&] { frame = traceback_frame(funcname, line, globals); })) {
            return;
        }
    }
    if (frame == nullptr) return;
    PyTraceBack_Here(frame);  // onto the exception restored above
    Py_DECREF(frame);
}

}  // namespace native
