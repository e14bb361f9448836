// What a function body sees of its call: the bound arguments, the module
// namespace, and the line of the statement running now, for the traceback
// entry of a failure.
#pragma once

#include <type_traits>

#include "native/declaration.hpp"
#include "native/names.hpp"

namespace native {

class Call {
public:
    // The argument of a parameter, named by the enumeration of the
    // declaration's parameters, declared beside its .params() in their
    // order: a bare number does not compile. Arguments are kept alive by the
    // caller and the bound defaults for the whole call.
    template <class Param, std::enable_if_t<std::is_enum_v<Param>, int> = 0>
    py::handle arg(Param param) const {
        return args_[static_cast<size_t>(param)];
    }
    // *args and **kwargs where the declaration has them (a tuple and a dict
    // that argument binding made for this call), empty objects otherwise.
    py::tuple varargs() const { return py::reinterpret_borrow<py::tuple>(varargs_); }
    py::dict varkw() const { return py::reinterpret_borrow<py::dict>(varkw_); }

    // Marks the statement about to run, `offset` lines below the `def` (an
    // entry of the function's line table).
    void at(int offset) { line_ = def_line_ + offset; }
    int line() const { return line_; }

    // The module namespace, and a module global in it or the built-ins
    // (NameError when neither has it).
    py::handle globals() const { return globals_; }
    py::object global(const Name& name) const;
    // The class held by the function's class cell (zero-argument super()).
    py::object class_cell_contents() const;

private:
    friend struct CallAccess;
    Call() = default;

    py::handle args_[kMaxParams];
    py::handle varargs_;
    py::handle varkw_;
    py::handle globals_;
    py::handle class_cell_;
    int def_line_ = 0;
    int line_ = 0;
};

// Argument errors a body raises itself, in the interpreter's words:
// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)" and
// "%s() got multiple values for keyword argument '%U'".
[[noreturn]] void raise_positional_count(const char* function, const char* bound,
                                         Py_ssize_t expected, Py_ssize_t given);
[[noreturn]] void raise_multiple_values(const char* function, py::handle keyword);

}  // namespace native
