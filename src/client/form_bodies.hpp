// What the two form-body builders (_requests and _aiohttp) share: their
// signatures, the urlencoded body, the boundary token rule, the conversion
// of a field value to what goes on the wire, and the result class Boundary.
#pragma once

#include <vector>

#include "client/vocabulary.hpp"

namespace client {

// create_urlencode(data), static: urlencode(data) on the line below the `def`.
native::FunctionDecl urlencode_decl(const Def& def);
// create_boundary(data, prefix=None, length=51, boundary=None, MD5=False),
// static; BuilderParam names its parameters.
native::FunctionDecl builder_decl(const Def& def, native::Body body,
                                  std::vector<const char*> locals);
enum class BuilderParam { kData, kPrefix, kLength, kBoundary, kMD5 };
// Boundary.__init__(self, headers, data) -> None, with the annotation of
// `data` naming the builder's body type.
native::FunctionDecl boundary_init_decl(const Def& def, const char* data_annotation);

// Lines of the builders' shared statements, counted from a builder's `def`
// (they stand at the same places in both).
enum BuilderLine : int {
    kDefineBoundary = 2,  // class Boundary(Report): ...
    kTestBoundary = 8,    // if not boundary:
    kAlphabet = 9,        // chars = string.ascii_letters + string.digits + "._-"
    kPrefixed = 10,       // boundary = "{}-{}".format(prefix, <random part>)
    kDigest = 12,         // boundary = HashMD5.new(<random part>.encode()).hexdigest()
    kDigestAgain = 14,    // if MD5: boundary = HashMD5.new(boundary.encode()).hexdigest()
};

// class Boundary(Report) with its __init__: each call of a builder makes its
// own result class.
py::object define_boundary_class(Call& call, const native::ClassDecl& decl,
                                 const native::FunctionDecl& init);

// The boundary for a builder's call (see BuilderParam): a non-empty `boundary` is used verbatim;
// otherwise `length` random characters of letters, digits and "._-", prefixed ("prefix-random") or
// hashed to 32 hex digits, and hashed (again) when MD5 is true.
py::object boundary_token(Call& call);

// A field value as sent: dicts and lists as JSON text, numbers (bool too)
// as their str(); anything else unchanged. `json_line` is the statement of
// the JSON conversion; the str() one stands on the next line.
py::object field_value(Call& call, py::handle value, int json_line);

// `for key, value in data.items()`: the next entry, false when done.
class FieldWalk {
public:
    explicit FieldWalk(py::handle data);
    bool next(py::object& key, py::object& value);

private:
    native::Iterator items_;
};

// Boundary(headers={"Content-Type": body.content_type}, data=body).
py::object boundary_result(py::handle boundary_class, py::handle body);

}  // namespace client
