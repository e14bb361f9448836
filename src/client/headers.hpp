// The header rule shared by the three session factories: the caller's
// extra headers with names lower-cased, in their order, and the package's
// User-Agent unless the caller gave a true one.
#pragma once

#include "client/vocabulary.hpp"

namespace client {

// Source lines of the rule's statements in one factory.
struct HeaderRuleLines {
    int create;      // headers = {}
    int merge;       // for k, v in zip(keys, values): headers.update(**{k.lower(): v})
    int user_agent;  // if not headers.get(...): headers.update(...)
};

// The session factories' shared signature:
// ClientSession(extra_headers={}, proxy=None), static.
native::FunctionDecl session_factory_decl(const char* qualname, int line, native::Body body,
                                          std::vector<const char*> locals);

py::dict merge_headers(native::Call& call, py::handle extra_headers, const HeaderRuleLines& lines);

// `dict.update(**{key: value})` on a plain dict: only str keys are allowed
// as keyword names.
void update_with_keyword(py::handle dict, py::handle key, py::handle value);

}  // namespace client
