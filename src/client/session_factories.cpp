#include "client/session_factories.hpp"

namespace client {
namespace {

const Name kKeys("keys");
const Name kValues("values");
const Name kLower("lower");
const Name kVersion("VERSION_SDK");
const Name kFormat("format");
const Name kUserAgent("User-Agent");
const Name kAgentTemplate("Pelun-Online/{}");

// zip(extra_headers.keys(), extra_headers.values()): keys and values are
// paired in step, and the views see any change a lower() makes to the dict.
void merge_extra(py::handle extra_headers, const py::dict& headers) {
    native::Iterator keys(native::call_method(extra_headers, kKeys));
    native::Iterator values(native::call_method(extra_headers, kValues));
    py::object key, value;
    while (keys.next(key) && values.next(value)) {
        native::dict_update_keyword(headers, native::call_method(key, kLower), value);
    }
}

}  // namespace

native::FunctionDecl session_factory_decl(const Def& def, native::Body body,
                                          std::vector<const char*> locals) {
    return native::FunctionDecl(def, body)
        .params({{"extra_headers", "Dict[str, str]", ArgTest::kExactDict, Default::new_dict()},
                 {"proxy", "Union[Proxy, None]", ArgTest::kAny, Default::none()}})
        .locals(std::move(locals))
        .wrapped(native::Wrapper::kStatic);
}

py::dict merge_headers(Call& call, py::handle extra_headers, int start) {
    call.at(start + kCreateHeaders);
    py::dict headers;
    call.at(start + kMergeExtraHeaders);
    if (native::truthy(extra_headers)) merge_extra(extra_headers, headers);
    call.at(start + kAddUserAgent);
    py::object name = native::call_method(kUserAgent.handle(), kLower);
    py::object current = native::dict_get(headers, name);
    if (!current || !native::truthy(current)) {
        py::object agent =
            native::call_method(kAgentTemplate.handle(), kFormat, {call.global(kVersion)});
        native::dict_update_keyword(headers, name, agent);
    }
    return headers;
}

}  // namespace client
