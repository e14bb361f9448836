// Traceback entries that point into the module's virtual source file.
#pragma once

#include "native/py.hpp"

namespace native::detail {

// Adds an entry "funcname" at `line` to the exception being raised, with
// the module namespace `globals` as its frame's globals. `funcname` must
// live as long as the module: its address keys the state's cache of code
// objects. Never fails: if the entry cannot be built, the exception is left
// as it was.
void add_traceback(const char* funcname, int line, py::handle globals) noexcept;

}  // namespace native::detail
