// Error messages of argument binding, in the interpreter's words, built
// without the printf machinery: argument errors are an ordinary outcome of a
// call (a caller probing a signature, a property test), and PyErr_Format
// costs several times what the rest of a refused call does.
//
// Each function sets the error and returns false, as CPython's PyErr_Set*
// functions set one, so binding code can `return set_..._error(...)`; the
// functions that throw are the raise_* ones (see py.hpp and call.hpp). The
// texts follow the C formats they replace: "%.200s" keeps at most 200
// bytes of a name, and a character cut there ends the name as
// PyUnicode_FromFormat of the running interpreter ends it (as U+FFFD up to
// 3.13, left out from 3.14 on).
#pragma once

#include "native/py.hpp"

namespace native {

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
bool set_positional_count_error(const char* function, const char* bound, Py_ssize_t expected,
                                Py_ssize_t given);
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
bool set_incorrect_type_error(const char* parameter, const char* expected, PyTypeObject* given);
// "%s() got an unexpected keyword argument '%U'"
bool set_unexpected_keyword_error(const char* function, PyObject* keyword);
// "%s() got multiple values for keyword argument '%U'"
bool set_multiple_values_error(const char* function, PyObject* keyword);
// "%.200s() keywords must be strings"
bool set_keywords_must_be_strings_error(const char* function);

}  // namespace native
