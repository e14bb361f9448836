#include "native/declaration.hpp"

#include <cstring>

#include "native/module_identity.hpp"

namespace native {

FunctionDecl::FunctionDecl(const Def& def, Body body)
    : qualname_(def.qualname),
      line_(def.line),
      body_(body),
      traceback_name_(std::string(kModuleIdentity.dotted_name) + "." + def.qualname) {
    const char* dot = std::strrchr(def.qualname, '.');
    name_ = dot == nullptr ? def.qualname : dot + 1;
}

FunctionDecl& FunctionDecl::star_args(const char* name, const char* annotation) {
    varargs_ = Param{name, annotation, ArgTest::kAny, {}};
    return *this;
}

FunctionDecl& FunctionDecl::star_kwargs(const char* name, const char* annotation) {
    varkw_ = Param{name, annotation, ArgTest::kAny, {}};
    return *this;
}

FunctionDecl& FunctionDecl::returns(const char* annotation) {
    return_annotation_ = annotation;
    return *this;
}

FunctionDecl& FunctionDecl::locals(std::vector<const char*> names) {
    locals_ = std::move(names);
    return *this;
}

FunctionDecl& FunctionDecl::doc(const char* text) {
    doc_ = text;
    return *this;
}

FunctionDecl& FunctionDecl::uses_class_cell() {
    class_cell_ = true;
    return *this;
}

FunctionDecl& FunctionDecl::wrapped(Wrapper wrapper) {
    wrapper_ = wrapper;
    return *this;
}

}  // namespace native
