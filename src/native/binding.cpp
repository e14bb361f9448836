#include "native/detail/binding.hpp"

#include "native/detail/messages.hpp"

namespace native::detail {
namespace {

void set_count_error(const FunctionDecl& decl, Py_ssize_t min_count, Py_ssize_t max_count,
                     Py_ssize_t given) {
    const char* bound = "exactly";
    Py_ssize_t expected = max_count;
    // With *args there is no upper bound: too few is "at least".
    if (min_count != max_count || decl.varargs().name != nullptr) {
        bound = given < min_count ? "at least" : "at most";
        expected = given < min_count ? min_count : max_count;
    }
    set_positional_count_error(decl.name(), bound, expected, given);
}

// Index of the parameter named `key`, or -1. Identity first: keywords from
// call sites are interned like the parameter names of the code object.
Py_ssize_t find_param(const FunctionDecl& decl, PyObject* key, PyObject* const* interned) {
    const auto count = static_cast<Py_ssize_t>(decl.params().size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (interned[i] == key) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, decl.params()[i].name) == 0) return i;
    }
    return -1;
}

bool bind_keyword(const FunctionDecl& decl, PyObject* const* interned, Py_ssize_t nargs,
                  PyObject* key, PyObject* value, BoundArguments& bound) {
    if (!PyUnicode_Check(key)) return set_keywords_must_be_strings_error(decl.name());
    Py_ssize_t index = find_param(decl, key, interned);
    if (index >= 0 && index >= nargs && bound.values[index] == nullptr) {
        bound.values[index] = value;
        return true;
    }
    if (index >= 0) return set_multiple_values_error(decl.name(), key);
    if (bound.varkw != nullptr) return PyDict_SetItem(bound.varkw, key, value) == 0;
    return set_unexpected_keyword_error(decl.name(), key);
}

// Required parameters not filled by position are looked up by keyword first,
// in order; the first one missing is reported with its index as the count
// given, which is how many positional slots precede it.
// Keyword positions already consumed by required parameters (at most one
// per parameter).
class UsedKeywords {
public:
    void add(Py_ssize_t k) { taken_[count_++] = k; }
    bool contains(Py_ssize_t k) const {
        for (size_t i = 0; i < count_; ++i) {
            if (taken_[i] == k) return true;
        }
        return false;
    }

private:
    Py_ssize_t taken_[kMaxParams] = {};
    size_t count_ = 0;
};

bool find_required_keywords(const FunctionDecl& decl, PyObject* const* interned,
                            Py_ssize_t min_count, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, BoundArguments& bound, UsedKeywords& used) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    const auto max_count = static_cast<Py_ssize_t>(decl.params().size());
    for (Py_ssize_t index = nargs; index < min_count; ++index) {
        for (Py_ssize_t k = 0; k < nkw && bound.values[index] == nullptr; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(key) && find_param(decl, key, interned) == index) {
                bound.values[index] = args[nargs + k];
                used.add(k);
            }
        }
        if (bound.values[index] == nullptr) {
            set_count_error(decl, min_count, max_count, index);
            return false;
        }
    }
    return true;
}

void fill_defaults(const FunctionDecl& decl, BoundArguments& bound) {
    const auto count = static_cast<Py_ssize_t>(decl.params().size());
    PyObject* defaults = bound.defaults;
    const Py_ssize_t ndefaults = defaults == nullptr ? 0 : PyTuple_GET_SIZE(defaults);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_ssize_t from_end = count - i;
        if (bound.values[i] == nullptr && from_end <= ndefaults) {
            bound.values[i] = PyTuple_GET_ITEM(defaults, ndefaults - from_end);
        }
    }
}

}  // namespace

bool bind_arguments(const FunctionDecl& decl, PyObject* const* interned, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, BoundArguments& bound) {
    const auto max_count = static_cast<Py_ssize_t>(decl.params().size());
    const Py_ssize_t ndefaults = bound.defaults == nullptr ? 0 : PyTuple_GET_SIZE(bound.defaults);
    const Py_ssize_t min_count = ndefaults >= max_count ? 0 : max_count - ndefaults;

    if (nargs > max_count && decl.varargs().name == nullptr) {
        set_count_error(decl, min_count, max_count, nargs);
        return false;
    }
    const Py_ssize_t npositional = nargs < max_count ? nargs : max_count;
    for (Py_ssize_t i = 0; i < npositional; ++i) bound.values[i] = args[i];
    if (decl.varargs().name != nullptr) {
        const Py_ssize_t extra = nargs - npositional;
        bound.varargs = PyTuple_New(extra);
        if (bound.varargs == nullptr) return false;
        for (Py_ssize_t i = 0; i < extra; ++i) {
            Py_INCREF(args[npositional + i]);
            PyTuple_SET_ITEM(bound.varargs, i, args[npositional + i]);
        }
    }
    if (decl.varkw().name != nullptr) {
        bound.varkw = PyDict_New();
        if (bound.varkw == nullptr) return false;
    }

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    UsedKeywords used;
    if (!find_required_keywords(decl, interned, min_count, args, nargs, kwnames, bound, used)) {
        return false;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (used.contains(k)) continue;
        if (!bind_keyword(decl, interned, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k],
                          bound)) {
            return false;
        }
    }
    fill_defaults(decl, bound);
    return true;
}

namespace {

const char* expected_type_name(ArgTest test) {
    switch (test) {
        case ArgTest::kExactDict:
            return "dict";
        case ArgTest::kStrOrNone:
            return "str";
        case ArgTest::kExactInt:
            return "int";
        case ArgTest::kAny:
            break;
    }
    return "object";
}

bool passes(ArgTest test, PyObject* value) {
    switch (test) {
        case ArgTest::kExactDict:
            return PyDict_CheckExact(value);
        case ArgTest::kStrOrNone:
            return value == Py_None || PyUnicode_CheckExact(value);
        case ArgTest::kExactInt:
            return PyLong_CheckExact(value);
        case ArgTest::kAny:
            break;
    }
    return true;
}

}  // namespace

bool check_argument_types(const FunctionDecl& decl, const BoundArguments& bound) {
    for (size_t i = 0; i < decl.params().size(); ++i) {
        const Param& param = decl.params()[i];
        PyObject* value = bound.values[i];
        if (passes(param.test, value)) continue;
        return set_incorrect_type_error(param.name, expected_type_name(param.test), Py_TYPE(value));
    }
    return true;
}

}  // namespace native::detail
