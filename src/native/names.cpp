#include "native/names.hpp"

#include <vector>

namespace native {
namespace {

// Filled during static initialisation, read-only afterwards; never
// destroyed, so that a thread still in the module while the process exits
// cannot find it gone.
std::vector<const char*>& registry() {
    static auto* texts = new std::vector<const char*>();
    return *texts;
}

}  // namespace

Name::Name(const char* text) : text_(text), index_(registry().size()) {
    registry().push_back(text);
}

size_t Name::count() {
    return registry().size();
}

const char* Name::text_of(size_t index) {
    return registry()[index];
}

}  // namespace native
