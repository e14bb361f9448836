// The references and the error convention of the whole module.
//
// References. Three kinds, each its own type, so that which one a value is
// shows at every use (the third is native's own, in detail/capi.hpp: only
// the runtime reads containers):
//
//   py::object (and py::dict, py::tuple, py::str, ...)  owned: a new
//       reference, released when it goes out of scope.
//   py::handle  kept alive by someone else for as long as the code holding
//       it runs: an argument of the running call (the caller owns it for the
//       whole call), a name of the module state, an object a py::object
//       further up the stack owns.
//   Borrowed  taken from a container (a dict, a tuple slot, a cell, a type's
//       namespace) that Python code can change: valid only until the next
//       call that can run Python code (any call, attribute access,
//       comparison, truth test, allocation that may trigger a collection).
//       It converts to nothing: to be used across such a call it becomes an
//       owned reference with .owned(), as the interpreter's frames hold their
//       arguments, and its .ptr() is for C API calls that run no Python code.
//
// No container that Python code can reach (gc.get_objects() reaches every
// tracked one) ever holds a NULL slot: lists grow by appending, tuples are
// filled before they are shared.
//
// Errors. Inside the module a failure is a C++ exception, PythonError,
// thrown by raise_error() with the Python exception taken out of the thread
// state; every entry point the interpreter calls (a vectorcall, a slot, a
// getter) runs its C++ inside run_translating_errors(), the one place that
// turns an exception back into the interpreter's convention (an exception
// set and NULL or -1). Argument binding is the entry point's own work and
// keeps that convention too: a refused call is an ordinary outcome there,
// and unwinding a C++ exception would cost several times the rest of it.
//
// pybind11 is used for its reference types only: objects are made by the
// runtime's own helpers (new_objects.hpp), which throw PythonError with the
// interpreter's exception when an allocation fails, never by pybind11's
// constructors, whose failure is a C++ exception that would reach Python as
// SystemError. The module is initialised by hand, so nothing here needs
// pybind11's internals.
#pragma once

#ifndef PYBIND11_SIMPLE_GIL_MANAGEMENT
#define PYBIND11_SIMPLE_GIL_MANAGEMENT
#endif

#include <cassert>
#include <new>
#include <utility>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace native {

// The CPython release the module is built for, as 0xMMmm (one build per
// minor version: no stable ABI).
constexpr int kPythonVersion = PY_MAJOR_VERSION << 8 | PY_MINOR_VERSION;

// A Python exception on its way through C++ frames to the entry point that
// hands it back to the interpreter. It owns the exception while in flight.
class PythonError {
public:
    // Takes the exception set in the thread state (there must be one).
    PythonError() noexcept;
    PythonError(PythonError&& other) noexcept;
    PythonError(const PythonError&) = delete;
    PythonError& operator=(const PythonError&) = delete;
    ~PythonError();

    // Sets it again as the thread's current exception; this object is then
    // empty.
    void restore() noexcept;

    // Makes `context` the exception this one was raised while handling
    // (its __context__), as the interpreter does; nothing when they are the
    // same exception.
    void set_context(const PythonError& context);

    // Whether `except type:` catches it (`type` a class or a tuple of them).
    bool matches(py::handle type) const;

    // Its type, value and traceback (None when it has none).
    py::object type() const;
    py::object value() const;
    py::object traceback() const;

private:
    py::object exception_;  // normalised: the exception instance
};

// Throws the Python exception that a failing C API call has just set.
// Reaching it with no exception set is a bug: asserted in debug builds, and
// reported as SystemError otherwise rather than passing as success.
[[noreturn]] void raise_error();

// Raises `type` (PyExc_TypeError, ...) with `message`.
[[noreturn]] void raise_error(py::handle type, const char* message);

// `raise type(message) from None` in the handler of `handling`: the new
// exception keeps `handling` as its context, not shown with it.
[[noreturn]] void raise_from_none(py::handle type, const char* message,
                                  const PythonError& handling);

// `raise type(cause) from cause` in the handler of `cause`.
[[noreturn]] void raise_from(py::handle type, const PythonError& cause);

// Runs `action`; returns false with the Python exception set when it throws.
// The one place where C++ exceptions become Python exceptions: every entry
// point the interpreter calls runs its C++ inside it.
template <class Action>
bool run_translating_errors(Action&& action) noexcept;

// Sets the exception an unexpected C++ exception stands for.
void set_error_from_current_exception() noexcept;

template <class Action>
bool run_translating_errors(Action&& action) noexcept {
    try {
        action();
        return true;
    } catch (PythonError& error) {
        error.restore();
    } catch (...) {
        set_error_from_current_exception();
    }
    return false;
}

}  // namespace native
