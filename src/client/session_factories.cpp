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
const Name kEmptyNameMessage("Invalid header name '': a header name cannot be empty");
const Name kNameMessage("Invalid header name {!r}: {!r} is not allowed in a header name");
const Name kValueMessage("Invalid value for header {!r}: {!r} is not allowed in a header value");

// RFC 9110's tchar: the characters a header name (a token) is made of.
bool is_token_character(uint32_t c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    switch (c) {
        case '!':
        case '#':
        case '$':
        case '%':
        case '&':
        case '\'':
        case '*':
        case '+':
        case '-':
        case '.':
        case '^':
        case '_':
        case '`':
        case '|':
        case '~':
            return true;
        default:
            return false;
    }
}

// CR and LF would end the header line, and NUL ends it for many parsers.
bool may_stand_in_value(uint32_t c) {
    return c != '\r' && c != '\n' && c != '\0';
}

// A header that would let its text write headers or a request of its own
// never reaches a library: names must be tokens, values (str or bytes; the
// libraries have rules of their own for other types) free of CR, LF and NUL.
// The message names the header and the character, never the value.
void refuse_unsafe_headers(const py::dict& headers) {
    for (const auto& [name, value] : native::dict_items(headers)) {
        if (!native::truthy(name)) native::raise_value_error(kEmptyNameMessage.handle());
        if (py::object bad = native::first_refused_character(name, is_token_character)) {
            native::raise_value_error(
                native::call_method(kNameMessage.handle(), kFormat, {name, bad}));
        }
        if (py::object bad = native::first_refused_character(value, may_stand_in_value)) {
            native::raise_value_error(
                native::call_method(kValueMessage.handle(), kFormat, {name, bad}));
        }
    }
}

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
        // In the order of SessionFactoryParam.
        .params({{"extra_headers", "Dict[str, str]", ArgTest::kExactDict, Default::new_dict()},
                 {"proxy", "Union[Proxy, None]", ArgTest::kAny, Default::none()}})
        .locals(std::move(locals))
        .wrapped(native::Wrapper::kStatic);
}

py::dict merge_headers(Call& call, int start) {
    py::handle extra_headers = call.arg(SessionFactoryParam::kExtraHeaders);
    call.at(start + kCreateHeaders);
    py::dict headers = native::new_dict();
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
    refuse_unsafe_headers(headers);
    return headers;
}

}  // namespace client
