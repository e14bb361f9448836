#include "native/names.hpp"

#include <vector>

#include "native/runtime.hpp"

namespace native {
namespace {

std::vector<Name*>& registry() {
    static std::vector<Name*> names;
    return names;
}

const RuntimeBound kForgetInterned([] {
    for (Name* name : registry()) name->forget();
});

}  // namespace

Name::Name(const char* text) : text_(text) {
    registry().push_back(this);
}

bool Name::intern_all() {
    for (Name* name : registry()) {
        if (name->object_ != nullptr) continue;  // kept from an earlier load attempt
        name->object_ = PyUnicode_InternFromString(name->text_);
        if (name->object_ == nullptr) return false;
    }
    return true;
}

}  // namespace native
