// What differs between the CPython releases and builds the module supports
// (3.8 to 3.15, with and without the GIL), and every private API it uses,
// each behind one name with the reason it is needed and the releases it was
// checked on, so that the rest of the runtime reads the same everywhere.
// Checked on: 3.8.18, 3.9.18, 3.10.13, 3.11.7, 3.12.1, 3.13.0, 3.14.10 and
// 3.15.2 (Debian), 3.14.7 built with --disable-gil.
#pragma once

#include <Python.h>

#include <frameobject.h>
#include <mutex>
#include <structmember.h>

namespace native::compat {

// --- vectorcall: public from 3.9; 3.8 exports the underscored names ----------

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

// obj.name(*args) without a bound-method object: PyObject_VectorcallMethod
// is public from 3.9; 3.8 gets the attribute and calls it.
inline PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
    PyObject* method = PyObject_GetAttr(args[0], name);
    if (method == nullptr) return nullptr;
    // Slot args[0] is the caller's to overwrite (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* result = _PyObject_Vectorcall(method, args + 1, (nargsf - 1), kwnames);
    Py_DECREF(method);
    return result;
#endif
}

// --- interpreters ----------------------------------------------------------------

inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return _PyInterpreterState_Get();  // 3.8: the public name came in 3.9
#endif
}

// --- the exception being raised, as one object ---------------------------------

// Takes the thread's current exception (normalised, traceback attached) out
// of the thread state; nullptr when none is set.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `exception` (a reference it takes) the thread's current exception.
inline void set_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (exception == nullptr) return PyErr_Restore(nullptr, nullptr, nullptr);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// Sets the current exception aside for as long as it lives, and restores it
// then (whatever was raised meanwhile is dropped). Before 3.12 the three
// parts are kept as they are, unnormalised: normalising is the interpreter's
// own business when the exception is caught, and an argument error would
// pay for it here.
class ParkedException {
public:
#if PY_VERSION_HEX >= 0x030C0000
    ParkedException() : exception_(PyErr_GetRaisedException()) {}
    ~ParkedException() {
        PyErr_Clear();
        PyErr_SetRaisedException(exception_);
    }

private:
    PyObject* exception_;
#else
    ParkedException() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~ParkedException() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject *type_, *value_, *traceback_;
#endif
public:
    ParkedException(const ParkedException&) = delete;
    ParkedException& operator=(const ParkedException&) = delete;
};

// A NameError carries the missing name as `name` from 3.10: the
// interpreter's "Did you mean" suggestions read it.
inline int set_name_error_name(PyObject* error, PyObject* name) {
#if PY_VERSION_HEX >= 0x030A0000
    return PyObject_SetAttrString(error, "name", name);
#else
    (void)error, (void)name;
    return 0;
#endif
}

// --- borrowed references that another thread may drop ---------------------------
//
// Without the GIL a value borrowed from a dict or a type can be freed by
// another thread before it is used. These return new references (nullptr,
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
// nullptr (and no error) when absent. Private: no public call does this
// lookup. _PyType_Lookup is exported on every supported release; 3.13 added
// the variant returning a new reference, which free-threaded builds need.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyType_LookupRef(type, name);
#else
    PyObject* value = _PyType_Lookup(type, name);
    Py_XINCREF(value);
    return value;
#endif
}

// --- types -------------------------------------------------------------------------

// True when `descriptor` is the wrapper of type's own tp_getattro, that is
// when a metaclass keeps type.__getattribute__. Private: the wrapped C
// function (d_wrapped) is not public; CPython's own typeobject.c compares it
// the same way. Unchanged in every supported release.
inline bool wraps_type_getattro(PyObject* descriptor) {
    return Py_TYPE(descriptor) == &PyWrapperDescr_Type &&
           reinterpret_cast<PyWrapperDescrObject*>(descriptor)->d_wrapped ==
               reinterpret_cast<void*>(PyType_Type.tp_getattro);
}

// The version tag the interpreter gives a type and renews whenever its
// namespace or a base's changes, 0 when it has none. Private: tp_version_tag
// is what the interpreter's own attribute caches key on, maintained on every
// supported release. Up to 3.12 a tag counts only while
// Py_TPFLAGS_VALID_VERSION_TAG is set; 3.13 stopped setting that flag (its
// headers call it a legacy one) and marks an invalid tag as 0 instead.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Member type and flag names for PyMemberDef: renamed in 3.12, the old ones
// deprecated there.
#if PY_VERSION_HEX >= 0x030C0000
constexpr int kMemberSsize = Py_T_PYSSIZET;
constexpr int kMemberReadOnly = Py_READONLY;
#else
constexpr int kMemberSsize = T_PYSSIZET;
constexpr int kMemberReadOnly = READONLY;
#endif

// Heap types that Python cannot instantiate or change: flags from 3.10;
// before, tp_new is cleared by hand after the type is made.
#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned long kSealedTypeFlags =
    Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long kSealedTypeFlags = 0;
#endif

// Finishes a heap type made by PyType_FromSpec: what 3.8 and 3.9 cannot take
// from its PyType_Spec (3.8 reads no offsets from the members, 3.9 only the
// vectorcall one is new; no flag seals the type before 3.10).
inline void finish_heap_type(PyTypeObject* type, Py_ssize_t vectorcall_offset,
                             Py_ssize_t weaklist_offset, Py_ssize_t dict_offset) {
#if PY_VERSION_HEX < 0x030A0000
    type->tp_new = nullptr;
#endif
#if PY_VERSION_HEX < 0x03090000
    type->tp_vectorcall_offset = vectorcall_offset;
    type->tp_weaklistoffset = weaklist_offset;
    type->tp_dictoffset = dict_offset;
#else
    (void)type, (void)vectorcall_offset, (void)weaklist_offset, (void)dict_offset;
#endif
}

// --- code objects and frames ----------------------------------------------------------

// Code objects carry a qualified name from 3.11.
constexpr bool kCodeHasQualname = PY_VERSION_HEX >= 0x030B0000;

// A frame built on an empty code object reports `line`: from 3.11 the line
// comes from the code object's first line; before, from f_lineno, set here.
inline void set_frame_line(PyFrameObject* frame, int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame, (void)line;
#endif
}

// --- recursion -------------------------------------------------------------------------
//
// A call through the module counts towards the interpreter's recursion
// limit. On 3.11 that limit is shared with Python frames, which cost no C
// stack there while a call through the module costs several C frames: such
// a call is charged as that many levels. Elsewhere Python frames use the C
// stack too (up to 3.10) or C recursion has a limit of its own (3.12 on),
// and one level is the right charge. AddressSanitizer's frames are several
// times larger.
#if defined(__SANITIZE_ADDRESS__)  // GCC
#define NATIVE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)  // Clang
#if __has_feature(address_sanitizer)
#define NATIVE_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef NATIVE_ADDRESS_SANITIZER
constexpr int kSanitizerFactor = 4;
#else
constexpr int kSanitizerFactor = 1;
#endif
constexpr int kRecursionCharge =
    (PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 ? 3 : 1) * kSanitizerFactor;

// --- modules ------------------------------------------------------------------------

// Interpreters with a GIL of their own (and the module slot that declares
// support for them) came with 3.12; before, subinterpreters share the main
// one's GIL.
constexpr bool kPerInterpreterGil = PY_VERSION_HEX >= 0x030C0000;

// The optional slots of the module's definition record, or an end marker
// where the release lacks them: they come last, so an end marker there only
// leaves out what that release cannot take.
inline PyModuleDef_Slot multiple_interpreters_slot() {
#if PY_VERSION_HEX >= 0x030C0000
    return {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#else
    return {0, nullptr};
#endif
}
// Free-threaded builds (3.13 on) keep the GIL off for a module that declares
// it does not need it.
inline PyModuleDef_Slot gil_slot() {
#if PY_VERSION_HEX >= 0x030D0000
    return {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#else
    return {0, nullptr};
#endif
}

// The vectorcall offset of a heap type as a PyType_Spec member (from 3.9),
// or the members' end marker on 3.8, which takes no offsets from members
// (see finish_heap_type); it goes last.
inline PyMemberDef vectorcall_offset_member(Py_ssize_t offset) {
#if PY_VERSION_HEX >= 0x03090000
    return {"__vectorcalloffset__", kMemberSsize, offset, kMemberReadOnly, nullptr};
#else
    (void)offset;
    return {nullptr, 0, 0, 0, nullptr};
#endif
}

// Python 3.8 declares PyMODINIT_FUNC without a visibility attribute, and the
// build hides every symbol: the entry point is exported by hand there. Later
// versions mark it exported themselves, as Windows always does.
#if PY_VERSION_HEX < 0x03090000 && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define NATIVE_EXPORTED_ON_38 __attribute__((visibility("default")))
#else
#define NATIVE_EXPORTED_ON_38
#endif

// --- strings ------------------------------------------------------------------------------

// Before 3.12 a str made by the legacy API may need PyUnicode_READY before
// its data is read; from 3.12 every str is ready.
inline bool ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text) == 0;
#else
    (void)text;
    return true;
#endif
}

// PyUnicode_FromFormat's "%.200s" leaves out a character cut at the 200th
// byte from 3.14; before, it decodes the cut bytes as U+FFFD.
constexpr bool kFormatDropsCutCharacter = PY_VERSION_HEX >= 0x030E0000;

// --- free threading --------------------------------------------------------------------
//
// With the GIL, code that calls no Python API between two statements cannot
// be interrupted by another thread; without it, shared mutable state needs a
// lock. On builds with the GIL these cost nothing.

#ifdef Py_GIL_DISABLED
constexpr bool kFreeThreaded = true;

// A lock for C++ data shared by threads. Never held across a call that can
// run Python code, so it cannot deadlock with the interpreter. Not a
// PyMutex: its waiter detaches and can be handed the lock while parked, and
// os.fork() stops the world with it held, leaving it locked for good in the
// child. This one is only ever waited for attached, so every thread stopped
// for a fork has let it go.
using Mutex = std::mutex;
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

// --- code layout ---------------------------------------------------------------------------

// Keeps a function out of line, so that a fast path calling it stays small:
// Py_NO_INLINE from 3.11, _Py_NO_INLINE before (one spelling per compiler).
#ifdef Py_NO_INLINE
#define NATIVE_NO_INLINE Py_NO_INLINE
#else
#define NATIVE_NO_INLINE _Py_NO_INLINE
#endif

}  // namespace native::compat
