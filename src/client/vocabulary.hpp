// What the module's subsystem files share: the native names they use
// unqualified, and the identifiers more than one of them passes to Python.
#pragma once

#include "native/class_statement.hpp"
#include "native/function.hpp"
#include "native/globals.hpp"
#include "native/object_protocol.hpp"
#include "native/values.hpp"

namespace client {

using native::ArgTest;
using native::BuiltinType;
using native::Call;
using native::Def;
using native::Default;
using native::Keyword;
using native::Name;

extern const Name kHeaders;          // headers=, Boundary.headers, session.headers
extern const Name kData;             // Boundary.data
extern const Name kBoundaryKeyword;  // boundary= of the body objects
extern const Name kProxies;          // proxies= / session.proxies
extern const Name kToString;         // the proxy URL of a proxy object
extern const Name kGet;              // dict.get

}  // namespace client
