// Declarations of the module's functions.
//
// A function is described once, as data: where it stands in the module's
// virtual source file, its parameters with annotation text, default and
// type test, its further local variable names (for the code object), its
// docstring, how its class wraps it, and the C++ body that runs. Function
// objects, code objects and class members are built from it.
#pragma once

#include <string>
#include <vector>

#include "native/py.hpp"

namespace native {

class Call;
using Body = py::object (*)(Call&);

// Where a function stands in the module's virtual source file (the
// source_file of module_identity.hpp, which its tracebacks name): its
// qualified name and the line of its `def`. Declared next to the function as its line table,
// followed by the lines of its statements, counted from the `def` (see
// Call::at); this is the only place a line of the function is written.
struct Def {
    const char* qualname;
    int line;
};

// Exact-type test made on entry, before the body runs.
enum class ArgTest {
    kAny,        // no test
    kExactDict,  // type(value) is dict
    kStrOrNone,  // value is None or type(value) is str
    kExactInt,   // type(value) is int (bool refused)
};

// A default value, made afresh each time the function object is created
// (so each `{}` default is its own dict).
struct Default {
    enum class Kind { kRequired, kNone, kFalse, kInt, kNewDict };
    Kind kind = Kind::kRequired;
    long value = 0;

    static Default none() { return {Kind::kNone, 0}; }
    static Default false_value() { return {Kind::kFalse, 0}; }
    static Default integer(long value) { return {Kind::kInt, value}; }
    static Default new_dict() { return {Kind::kNewDict, 0}; }
    bool required() const { return kind == Kind::kRequired; }
};

struct Param {
    Param(const char* name = nullptr, const char* annotation = nullptr,
          ArgTest test = ArgTest::kAny, Default default_value = {})
        : name(name), annotation(annotation), test(test), default_value(default_value) {}

    const char* name;        // nullptr: no such parameter (for *args, **kwargs)
    const char* annotation;  // annotation text, stored as a string; nullptr: none
    ArgTest test;
    Default default_value;
};

enum class Wrapper { kPlain, kStatic, kClass };

// Most positional parameters a function may declare: bound arguments live in
// a fixed array on the C stack. A declaration with more fails to compile.
constexpr size_t kMaxParams = 8;

class FunctionDecl {
public:
    FunctionDecl(const Def& def, Body body);

    // Builder steps, used once when the declaration table is written.
    // The named parameters, in order: {name, annotation, test, default}.
    template <size_t N>
    FunctionDecl& params(const Param (&list)[N]) {
        static_assert(N <= kMaxParams,
                      "a function of the module takes at most kMaxParams "
                      "named parameters: raise kMaxParams to declare more");
        params_.assign(list, list + N);
        return *this;
    }
    FunctionDecl& star_args(const char* name, const char* annotation = nullptr);
    FunctionDecl& star_kwargs(const char* name, const char* annotation = nullptr);
    FunctionDecl& returns(const char* annotation);
    FunctionDecl& locals(std::vector<const char*> names);
    FunctionDecl& doc(const char* text);
    FunctionDecl& wrapped(Wrapper wrapper);
    // The body calls zero-argument super(): the function gets its class's
    // cell, and its code object the free variable __class__.
    FunctionDecl& uses_class_cell();

    const char* qualname() const { return qualname_; }
    const char* name() const { return name_; }
    int line() const { return line_; }
    Body body() const { return body_; }
    const std::vector<Param>& params() const { return params_; }
    const Param& varargs() const { return varargs_; }
    const Param& varkw() const { return varkw_; }
    const char* return_annotation() const { return return_annotation_; }
    const std::vector<const char*>& local_names() const { return locals_; }
    const char* docstring() const { return doc_; }
    Wrapper wrapper() const { return wrapper_; }
    bool needs_class_cell() const { return class_cell_; }
    // Name of the traceback entries: the module's dotted name and the qualname.
    const char* traceback_name() const { return traceback_name_.c_str(); }

private:
    const char* qualname_;
    const char* name_;
    int line_;
    Body body_;
    std::vector<Param> params_;
    Param varargs_;
    Param varkw_;
    const char* return_annotation_ = nullptr;
    std::vector<const char*> locals_;
    const char* doc_ = nullptr;
    Wrapper wrapper_ = Wrapper::kPlain;
    bool class_cell_ = false;
    std::string traceback_name_;
};

}  // namespace native
