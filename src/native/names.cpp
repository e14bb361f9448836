#include "native/names.hpp"

#include <vector>

namespace native {
namespace {

// Filled during static initialisation, read-only afterwards.
std::vector<const char*>& registry() {
    static std::vector<const char*> texts;
    return texts;
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
