// What the two multipart builders share: the boundary token rule and the
// conversion of a field value to what goes on the wire.
#pragma once

#include "client/vocabulary.hpp"

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

// An iterator over dict.items(), and the `key, value` of its next entry
// (false when done).
py::object items_iterator(py::handle dict);
bool next_item(py::handle iterator, py::object& key, py::object& value);

// Declarations of the builders' shared signatures: create_urlencode(data),
// create_boundary(data, prefix=None, length=51, boundary=None, MD5=False),
// both static, and the result class's __init__(self, headers, data).
native::FunctionDecl urlencode_decl(const char* qualname, int line);
native::FunctionDecl builder_decl(const char* qualname, int line, native::Body body,
                                  std::vector<const char*> locals);
native::FunctionDecl boundary_init_decl(const char* qualname, int line,
                                        const char* data_annotation);

// The body of both builders' create_urlencode: urlencode(data).
py::object urlencoded(native::Call& call);

// class Boundary(Report) with its __init__, at `line`: each call of a
// builder makes its own result class.
py::object define_boundary_class(native::Call& call, const native::ClassDecl& decl,
                                 const native::FunctionDecl& init, int line);
// The body of Boundary.__init__(self, headers, data).
py::object boundary_init(native::Call& call);
// Boundary(headers={"Content-Type": body.content_type}, data=body).
py::object boundary_result(py::handle boundary_class, py::handle body);

}  // namespace client
