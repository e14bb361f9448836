// Interned identifiers of the module's vocabulary.
//
// A Name is declared as a constant next to the code that uses it. Every Name
// registers its text at static-initialisation time (no Python calls then);
// each module state interns the whole set once, when the module executes,
// so that global look-ups and attribute reads compare interned strings by
// identity. The strings belong to the state, one set per interpreter.
#pragma once

#include "native/state.hpp"

namespace native {

class Name {
public:
    explicit Name(const char* text);
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    const char* text() const { return text_; }
    // Its place among the registered names, from 0 to count() - 1.
    size_t index() const { return index_; }
    // The interned str, held by the active module state (see state.hpp).
    py::handle handle() const { return active_state().name(index_); }
    // The same, for a caller that holds the state already.
    py::handle handle(const ModuleState& state) const { return state.name(index_); }

    // The registered names, for the state to intern.
    static size_t count();
    static const char* text_of(size_t index);

private:
    const char* text_;
    size_t index_;
};

}  // namespace native
