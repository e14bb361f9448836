// Interned identifiers of the module's vocabulary.
//
// A Name is declared as a constant next to the code that uses it; every Name
// registers itself at static-initialisation time (no Python calls then) and
// the whole set is interned once when the module executes, so that global
// look-ups and attribute reads compare interned strings by identity.
#pragma once

#include "native/py.hpp"

namespace native {

class Name {
public:
    explicit Name(const char* text);
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    const char* text() const { return text_; }
    // Borrowed; valid once intern_all() has succeeded.
    PyObject* ptr() const { return object_; }
    py::handle handle() const { return object_; }

    // Interns every registered name; false with an exception set on failure.
    static bool intern_all();
    // Drops the interned object of a finalised runtime (see runtime.hpp).
    void forget() { object_ = nullptr; }

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

}  // namespace native
