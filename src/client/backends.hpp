// The backend table: the HTTP libraries the module builds for, one row
// each. It drives the module body (where each backend's class stands), the
// enumeration Client.TypeReq (its members and their values) and the
// facade's dispatch (its order, and which class builds each library's
// multipart bodies).
#pragma once

#include "client/vocabulary.hpp"

namespace client {

struct Backend {
    const Name& member;                        // the Client.TypeReq member that selects it
    int value;                                 // that member's value, as auto() numbers them
    const Name& cls;                           // its class's name in the module namespace
    int line;                                  // where the class statement stands
    py::object (*define)(py::handle globals);  // the class statement
    // The backend whose create_boundary builds this one's multipart bodies
    // (httpx sends requests' bodies).
    const Backend& bodies;
};

// The table's rows, in the order the facade tests the members.
class BackendTable {
public:
    const Backend* begin() const;
    const Backend* end() const;
    size_t size() const { return static_cast<size_t>(end() - begin()); }
};
inline constexpr BackendTable kBackends{};

}  // namespace client
