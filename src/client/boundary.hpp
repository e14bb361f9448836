// What the two multipart builders share: the boundary token rule and the
// conversion of a field value to what goes on the wire.
#pragma once

#include "native/function.hpp"

namespace client {

// Source lines of the token rule's statements in one builder.
struct TokenRuleLines {
    int test;    // if not boundary:
    int chars;   // chars = string.ascii_letters + string.digits + "._-"
    int prefix;  // boundary = "{}-{}".format(prefix, <random part>)
    int digest;  // boundary = HashMD5.new(<random part>.encode()).hexdigest()
    int md5;     // if MD5: boundary = HashMD5.new(boundary.encode()).hexdigest()
};

// The boundary for a builder called with (data, prefix, length, boundary,
// MD5): a non-empty `boundary` is used verbatim; otherwise `length` random
// characters of letters, digits and "._-", prefixed ("prefix-random") or
// hashed to 32 hex digits, and hashed (again) when MD5 is true.
py::object boundary_token(native::Call& call, const TokenRuleLines& lines);

// A field value as sent: dicts and lists as JSON text, numbers (bool too)
// as their str(); anything else unchanged.
py::object field_value(native::Call& call, py::handle value, int json_line, int str_line);

// `key, value` of the next entry of a dict items iterator; false when done.
bool next_item(py::handle iterator, py::object& key, py::object& value);

}  // namespace client
