// What differs between the CPython releases and builds the module supports
// (3.8 to 3.15, with and without the GIL), each behind one name, so the rest
// of the code reads the same everywhere. Every private API used is listed
// here with the reason no public one serves.
#pragma once

#include <Python.h>

namespace native::compat {

// --- vectorcall (public from 3.9; 3.8 exports the underscored names) ------

#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long kVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#else
constexpr unsigned long kVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#endif

// --- interpreters ----------------------------------------------------------

inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return _PyInterpreterState_Get();
#endif
}

// --- borrowed references that another thread may drop ---------------------
//
// Without the GIL a value borrowed from a dict or a type can be freed by
// another thread before it is used. These return new references (nullptr
// with or without an error set, as the underlying call does).

// dict[key], or nullptr: with an error set on failure, without when absent.
inline PyObject* dict_get(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    PyDict_GetItemRef(dict, key, &value);
    return value;
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(value);
    return value;
#endif
}

// The attribute `name` found along type's MRO, without descriptors applied
// or the metaclass consulted, as the interpreter looks up special methods;
// nullptr (and no error) when absent. No public call does this lookup:
// _PyType_Lookup is exported on every supported release, and 3.13 added the
// variant that returns a new reference, which free-threaded builds need.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyType_LookupRef(type, name);
#else
    PyObject* value = _PyType_Lookup(type, name);
    Py_XINCREF(value);
    return value;
#endif
}

// --- free threading ---------------------------------------------------------
//
// With the GIL, code that calls no Python API between two statements cannot
// be interrupted by another thread; without it, shared mutable state needs a
// lock. On builds with the GIL these cost nothing.

#ifdef Py_GIL_DISABLED
constexpr bool kFreeThreaded = true;

// A lock for C++ data shared by threads. Never held across a call that can
// run Python code, so it cannot deadlock with the interpreter.
class Mutex {
public:
    void lock() { PyMutex_Lock(&mutex_); }
    void unlock() { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
};
#else
constexpr bool kFreeThreaded = false;

class Mutex {
public:
    void lock() {}
    void unlock() {}
};
#endif

// Py_BEGIN_CRITICAL_SECTION(object) ... Py_END_CRITICAL_SECTION(): a lock on
// one object where the build has none of its own (3.13 on); elsewhere
// nothing, as the GIL already serialises.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

}  // namespace native::compat
