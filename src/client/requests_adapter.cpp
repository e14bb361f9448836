// The requests adapter's C++ half, and the TLS settings it is made of: the
// cipher list, an SSLContext that never offers ALPN, and a pool manager that
// uses a fresh such context with TLS session tickets allowed. Some servers
// answer 403 Bad Authentication to clients that offer ALPN or refuse
// tickets. Its Python half, _requests_adapter.py, holds the members written
// against requests' own adapter (the same settings through proxies, a
// context per verification setting, header checks, retries that never
// re-send what cannot be sent again); the class is made here from both.
#include <iterator>

#include "client/module_body.hpp"
#include "client/state.hpp"

namespace client {
namespace {

const Name kSsl("ssl");
const Name kSSLContextClass("SSLContext");
const Name kHTTPAdapter("HTTPAdapter");
const Name kPoolManager("PoolManager");
const Name kCipherList("CHIPER");
const Name kSetCiphersMethod("set_ciphers");
const Name kOptions("options");
const Name kNoTicket("OP_NO_TICKET");
const Name kInit("__init__");
const Name kPoolManagerAttribute("poolmanager");
const Name kSslContextKeyword("ssl_context");
const Name kNumPools("num_pools");
const Name kMaxsize("maxsize");
const Name kBlock("block");
const Name kSeparator(":");
const Name kJoin("join");
const Name kProtocolTlsClient("PROTOCOL_TLS_CLIENT");
const Name kCheckHostname("check_hostname");
const Name kVerifyMode("verify_mode");
const Name kCertNone("CERT_NONE");
const Name kHostnameChecksCommonName("hostname_checks_common_name");
const native::ClassDecl kSSLContextDecl("SSLContext", "SSLContext", "SSLContext wrapper.");
const native::ClassDecl kRequestsAdapterDecl("RequestsAdapter", "RequestsAdapter");

constexpr const char* kCiphers[] = {
    "TLS_AES_256_GCM_SHA384",
    "TLS_CHACHA20_POLY1305_SHA256",
    "TLS_AES_128_GCM_SHA256",
    "ECDHE-ECDSA-AES256-GCM-SHA384",
    "ECDHE-RSA-AES256-GCM-SHA384",
    "ECDHE-ECDSA-AES128-GCM-SHA256",
    "ECDHE-RSA-AES128-GCM-SHA256",
    "ECDHE-ECDSA-CHACHA20-POLY1305",
    "ECDHE-RSA-CHACHA20-POLY1305",
    "DHE-RSA-AES256-GCM-SHA384",
    "DHE-RSA-AES128-GCM-SHA256",
    "DHE-RSA-CHACHA20-POLY1305",
    "ECDHE-ECDSA-AES256-CCM8",
    "ECDHE-ECDSA-AES256-CCM",
    "ECDHE-ECDSA-AES128-CCM8",
    "ECDHE-ECDSA-AES128-CCM",
    "ECDHE-ECDSA-AES256-SHA384",
    "ECDHE-RSA-AES256-SHA384",
    "ECDHE-ECDSA-AES128-SHA256",
    "ECDHE-RSA-AES128-SHA256",
    "ECDHE-ECDSA-AES256-SHA",
    "ECDHE-RSA-AES256-SHA",
    "ECDHE-ECDSA-AES128-SHA",
    "ECDHE-RSA-AES128-SHA",
    "DHE-RSA-AES256-CCM8",
    "DHE-RSA-AES256-CCM",
    "DHE-RSA-AES128-CCM8",
    "DHE-RSA-AES128-CCM",
    "DHE-RSA-AES256-SHA256",
    "DHE-RSA-AES128-SHA256",
    "DHE-RSA-AES256-SHA",
    "DHE-RSA-AES128-SHA",
    "AES256-GCM-SHA384",
    "AES128-GCM-SHA256",
    "AES256-CCM8",
    "AES256-CCM",
    "AES128-CCM8",
    "AES128-CCM",
    "AES256-SHA256",
    "AES128-SHA256",
    "AES256-SHA",
    "AES128-SHA",
    "RC4-SHA",
};

const char* const kSetAlpnDoc =
    "\n        ALPN headers cause Google to return 403 Bad Authentication.\n        ";
const char* const kInitPoolManagerDoc =
    "\n        Secure settings from ssl.create_default_context(), but without"
    "\n        ssl.OP_NO_TICKET which causes Google to return 403 Bad"
    "\n        Authentication.\n        ";

// SSLContext.set_alpn_protocols does nothing: the context keeps whatever
// ALPN state it has (none, when new).
constexpr Def kSetAlpnProtocolsDef{"SSLContext.set_alpn_protocols", 117};

py::object set_alpn_protocols(Call&) {
    return py::none();
}

// RequestsAdapter.__init__: super().__init__(*args, **kwargs).
constexpr Def kAdapterInitDef{"RequestsAdapter.__init__", 124};
enum AdapterInitLine : int { kInitBase = 1 };
// Its named parameter, as its .params() below declares it (and *args,
// **kwargs); init_poolmanager has the same.
enum class AdapterMethodParam { kSelf };

py::object adapter_init(Call& call) {
    call.at(kInitBase);
    py::object parent_init =
        native::getattr(native::zero_arg_super(call, call.arg(AdapterMethodParam::kSelf)), kInit);
    native::call_with(parent_init, call.varargs(), call.varkw());
    return py::none();
}

// requests calls init_poolmanager(connections, maxsize, block=...): the
// positionals are PoolManager's num_pools, maxsize and block, as in requests'
// own adapter. Passed on positionally, maxsize would land in PoolManager's
// `headers` parameter and every host pool would shrink to one connection.
py::dict pool_manager_keywords(Call& call, py::handle context) {
    static const Name* const kPositionalNames[] = {&kNumPools, &kMaxsize, &kBlock};
    py::tuple args = call.varargs();
    if (args.size() > std::size(kPositionalNames)) {
        native::raise_positional_count("init_poolmanager", "at most", 4,
                                       static_cast<Py_ssize_t>(args.size() + 1));
    }
    py::dict keywords = native::new_dict();
    const Name* const* name = kPositionalNames;
    for (py::handle value : args) native::dict_set(keywords, (*name++)->handle(), value);
    native::dict_set(keywords, kSslContextKeyword.handle(), context);
    for (const auto& [key, value] : native::dict_items(call.varkw())) {
        if (native::dict_contains(keywords, key)) native::raise_multiple_values("function", key);
        native::dict_set(keywords, key, value);
    }
    return keywords;
}

// RequestsAdapter.init_poolmanager: a new context, its ciphers, tickets
// allowed, then the pool manager.
constexpr Def kInitPoolManagerDef{"RequestsAdapter.init_poolmanager", 129};
enum InitPoolManagerLine : int {
    kMakeContext = 6,       // context = SSLContext()
    kSetCiphers = 7,        // context.set_ciphers(CHIPER)
    kAllowTickets = 10,     // context.options &= ~ssl.OP_NO_TICKET
    kMakePoolManager = 11,  // self.poolmanager = PoolManager(*args, ssl_context=context, **kwargs)
};

// The context is what ssl.SSLContext() with no protocol gives. From Python
// 3.10 on that call warns (DeprecationWarning), so there it is made for
// PROTOCOL_TLS_CLIENT, which differs from the default only in checking the
// peer: check_hostname and verify_mode go back to the no-argument values,
// check_hostname first (CERT_NONE is refused while it is on). urllib3 sets
// verify_mode per connection and matches host names itself, as before. The
// choice is made at compile time: the module is built for one CPython minor
// version (no stable ABI), and every 3.10+ release has the deprecation.
py::object new_context(Call& call) {
    if constexpr (native::kPythonVersion < 0x030A)
        return native::call(call.global(kSSLContextClass));
    py::object context_class = call.global(kSSLContextClass);
    py::object protocol = native::getattr(call.global(kSsl), kProtocolTlsClient);
    py::object context = native::call(context_class, {protocol});
    native::setattr(context, kCheckHostname, py::bool_(false));
    native::setattr(context, kVerifyMode, native::getattr(call.global(kSsl), kCertNone));
    return context;
}

// urllib3 matches host names itself, taking this setting from the context
// (its own contexts have it off): a certificate without a subjectAltName is
// never accepted on its common name, as RFC 6125 and browsers have it.
py::object make_context(Call& call) {
    py::object context = new_context(call);
    native::setattr(context, kHostnameChecksCommonName, py::bool_(false));
    return context;
}

py::object init_poolmanager(Call& call) {
    call.at(kMakeContext);
    py::object context = make_context(call);
    call.at(kSetCiphers);
    native::call_method(context, kSetCiphersMethod, {call.global(kCipherList)});
    call.at(kAllowTickets);
    py::object options = native::getattr(context, kOptions);
    py::object no_ticket = native::getattr(call.global(kSsl), kNoTicket);
    options = native::and_in_place(options, native::invert(no_ticket));
    native::setattr(context, kOptions, options);
    call.at(kMakePoolManager);
    py::dict keywords = pool_manager_keywords(call, context);
    py::object manager = native::call_with(call.global(kPoolManager), keywords);
    native::setattr(call.arg(AdapterMethodParam::kSelf), kPoolManagerAttribute, manager);
    return py::none();
}

const native::FunctionDecl kSetAlpnProtocols =
    native::FunctionDecl(kSetAlpnProtocolsDef, set_alpn_protocols)
        .params({{"self"}, {"alpn_protocols", "Iterable[str]"}})
        .returns("None")
        .doc(kSetAlpnDoc);

const native::FunctionDecl kAdapterInit = native::FunctionDecl(kAdapterInitDef, adapter_init)
                                              .uses_class_cell()
                                              // In the order of AdapterMethodParam.
                                              .params({{"self"}})
                                              .star_args("args")
                                              .star_kwargs("kwargs");

const native::FunctionDecl kInitPoolManager =
    native::FunctionDecl(kInitPoolManagerDef, init_poolmanager)
        // In the order of AdapterMethodParam.
        .params({{"self"}})
        .star_args("args", "Any")
        .star_kwargs("kwargs", "Any")
        .returns("None")
        .locals({"context"})
        .doc(kInitPoolManagerDoc);

}  // namespace

// [...43 names...] joined with ":", as the body builds it.
py::object make_cipher_list(py::handle) {
    py::list names = native::new_list();
    for (const char* name : kCiphers) native::append(names, native::text(name));
    return native::call_method(kSeparator.handle(), kJoin, {names});
}

py::object define_ssl_context(py::handle globals) {
    py::object base = native::getattr(native::lookup_global(globals, kSsl), kSSLContextClass);
    native::ClassStatement statement(globals, kSSLContextDecl, native::tuple_of({base}));
    statement.def(kSetAlpnProtocols);
    return statement.create();
}

py::object define_requests_adapter(py::handle globals) {
    native::ClassStatement statement(
        globals, kRequestsAdapterDecl,
        native::tuple_of({native::lookup_global(globals, kHTTPAdapter)}));
    statement.def(kAdapterInit);
    statement.def(kInitPoolManager);
    // The members written against requests' own adapter, in Python beside
    // the module: they keep its sessions as safe as plain requests.
    py::handle members = state().requests_adapter_members;
    if (native::exact_builtin_type(members) != BuiltinType::kDict)
        native::raise_expected("dict", members);
    for (const auto& [name, member] :
         native::dict_items(py::reinterpret_borrow<py::dict>(members))) {
        statement.set(name, member);
    }
    return statement.create();
}

}  // namespace client
