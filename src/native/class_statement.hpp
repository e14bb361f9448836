// Class-statement semantics for the classes the module creates.
//
// A class statement resolves __mro_entries__ on its bases, picks the most
// derived metaclass, lets it __prepare__ the namespace, fills the namespace
// through the mapping's own __setitem__ (an enumeration numbers its members
// there), records __orig_bases__ when the bases changed, calls the metaclass
// and finally fills the class cell that zero-argument super() reads.
#pragma once

#include "native/call.hpp"

namespace native {

// The fixed parts of a class statement: its name, qualified name and
// docstring, interned once.
struct ClassDecl {
    ClassDecl(const char* name, const char* qualname, const char* doc = nullptr)
        : name(name), qualname(qualname), doc(doc) {}

    Name name;
    Name qualname;
    const char* doc;
};

class ClassStatement {
public:
    // Runs the head of the statement: bases, metaclass, namespace, and the
    // entries __module__, __qualname__ and (when given) __doc__.
    ClassStatement(py::handle globals, const ClassDecl& decl, py::tuple bases);
    // The same for a class with no bases (`class Name:`).
    ClassStatement(py::handle globals, const ClassDecl& decl);

    void set(const Name& name, py::handle value);
    // The same for a name known only at run time (a str).
    void set(py::handle name, py::handle value);
    // Defines a method from its declaration, with the class cell when the
    // declaration asks for it.
    void def(const FunctionDecl& decl);
    // Calls the metaclass and fills the class cell; returns the class.
    py::object create();

private:
    py::handle globals_;
    py::handle name_;
    py::tuple original_bases_;
    py::tuple bases_;
    py::object metaclass_;
    py::object namespace_;
    py::object cell_;
};

// Zero-argument super() inside a method: super(<class cell>, self).
py::object zero_arg_super(const Call& call, py::handle self);

}  // namespace native
