// What the three session factories share: their signature,
// ClientSession(extra_headers={}, proxy=None), static, and the header rule:
// the caller's extra headers with names lower-cased, in their order, and the
// package's User-Agent unless the caller gave a true one.
#pragma once

#include <vector>

#include "client/vocabulary.hpp"

namespace client {

native::FunctionDecl session_factory_decl(const Def& def, native::Body body,
                                          std::vector<const char*> locals);
// Their parameters, in the order of session_factory_decl's .params().
enum class SessionFactoryParam { kExtraHeaders, kProxy };

// The rule's statements, counted from its first: `headers = {}`; the loop
// that merges the extra headers; the User-Agent test and its update.
enum HeaderRuleLine : int { kCreateHeaders = 0, kMergeExtraHeaders = 1, kAddUserAgent = 4 };

// The rule over the factory's extra_headers, its first statement `start`
// lines below the factory's `def`.
py::dict merge_headers(Call& call, int start);

}  // namespace client
