// _httpx: the httpx client factory: HTTP/2, an HTTP/2 transport with
// connection retries, merged headers, an optional proxy, and chardet's
// guess as the encoding of bodies that declare none. Through a proxy, the
// same transport settings hold on the proxy's route. Either transport ends
// HTTP/2 requests on which the server makes no progress (_httpx_h2.py).
#include "client/h2_frames.hpp"
#include "client/module_body.hpp"
#include "client/session_factories.hpp"
#include "client/state.hpp"
#include "native/imports.hpp"

namespace client {
namespace {

const Name kHttpx("httpx");
const Name kClient("Client");
const Name kHTTPTransport("HTTPTransport");
const Name kChardet("chardet");
const Name kDetect("detect");
const Name kHttp2("http2");
const Name kRetries("retries");
const Name kDefaultEncoding("default_encoding");
const Name kTransport("transport");
const Name kEncoding("encoding");
const Name kProxy("proxy");
const Name kMounts("mounts");
const Name kAllUrls("all://");
const Name kSignature("signature");
const Name kEventHooks("event_hooks");
const Name kRequestHooks("request");
const Name kParameters("parameters");
const native::ClassDecl kSessionClass("ClientSession",
                                      "_httpx.ClientSession.<locals>.ClientSession");
const native::ClassDecl kBackendClass("_httpx", "_httpx");

// The keyword of httpx.Client that takes the proxy URL: `proxy` where the
// installed release has it (0.26 on; 0.26 and 0.27 deprecate `proxies`,
// 0.28 dropped it), `proxies` before. Decided once, when the module loads,
// from the installed release's signature.
const Name& proxy_keyword_of(py::handle globals) {
    py::object client = native::getattr(native::lookup_global(globals, kHttpx), kClient);
    py::object inspect = native::import_module(globals, "inspect");
    py::object parameters =
        native::getattr(native::call_method(inspect, kSignature, {client}), kParameters);
    return native::contains(parameters, kProxy.handle()) ? kProxy : kProxies;
}

constexpr Def kClientSessionDef{"_httpx.ClientSession", 197};
constexpr Def kAutodetectDef{"_httpx.ClientSession.<locals>.autodetect", 200};
enum ClientSessionLine : int {
    kDefineClient = 1,      // class ClientSession(httpx.Client): pass
    kDefineAutodetect = 3,  // def autodetect(content): ...
    kHeaderRule = 5,        // the header rule (see session_factories.hpp)
    kMakeClient = 11,       // return ClientSession(http2=True, proxy..., headers=..., ...)
};
enum AutodetectLine : int { kDetectEncoding = 1 };
// autodetect's parameter, as its .params() below declares it.
enum class AutodetectParam { kContent };

// With a proxy, httpx routes every URL through a transport it makes for that
// proxy, ahead of `transport`, and that transport has neither retries nor a
// way to retry. The client gets one with the same settings mounted for all
// URLs in its place, whose retries hold through the proxy.
py::dict proxy_mounts(Call& call, py::handle url) {
    py::object transport_class =
        native::import_name(call.globals(), "_httpx_proxy", "ProxyTransport", 1);
    py::object transport =
        native::call(transport_class, {},
                     {Keyword{kHttp2, py::bool_(true)}, Keyword{kRetries, native::new_float(3.0)},
                      Keyword{kProxy, url}});
    py::dict mounts = native::new_dict();
    native::dict_set(mounts, kAllUrls.handle(), transport);
    return mounts;
}

// h2 sends whatever header it is given, where h11 refuses a name that is not
// a token or a value with CR or LF: every request of the client runs the
// package's header check first, whichever protocol carries it.
py::dict header_check_hooks() {
    py::list checks = native::new_list();
    native::append(checks, state().httpx_header_check);
    py::dict hooks = native::new_dict();
    native::dict_set(hooks, kRequestHooks.handle(), checks);
    return hooks;
}

py::object autodetect(Call& call) {
    call.at(kDetectEncoding);
    py::object result =
        native::call_method(call.global(kChardet), kDetect, {call.arg(AutodetectParam::kContent)});
    return native::call_method(result, kGet, {kEncoding.handle()});
}

const native::FunctionDecl kAutodetect =
    native::FunctionDecl(kAutodetectDef, autodetect).params({{"content"}});

py::object define_client_class(Call& call) {
    call.at(kDefineClient);
    py::object base = native::getattr(call.global(kHttpx), kClient);
    native::ClassStatement statement(call.globals(), kSessionClass, native::tuple_of({base}));
    return statement.create();
}

py::object client_session(Call& call) {
    py::object client_class = define_client_class(call);
    call.at(kDefineAutodetect);
    py::object detect = native::make_function(kAutodetect, call.globals());
    py::dict headers = merge_headers(call, kHeaderRule);
    call.at(kMakeClient);
    py::handle proxy = call.arg(SessionFactoryParam::kProxy);
    py::object proxies = native::truthy(proxy) ? native::getattr(proxy, kToString) : py::none();
    py::object transport =
        native::call(native::getattr(call.global(kHttpx), kHTTPTransport), {},
                     {Keyword{kHttp2, py::bool_(true)}, Keyword{kRetries, native::new_float(3.0)}});
    native::call(state().httpx_h2_guard, {transport});
    py::dict keywords = native::new_dict();
    native::dict_set(keywords, kHttp2.handle(), py::bool_(true));
    native::dict_set(keywords, state().httpx_proxy_keyword->handle(), proxies);
    native::dict_set(keywords, kHeaders.handle(), headers);
    native::dict_set(keywords, kDefaultEncoding.handle(), detect);
    native::dict_set(keywords, kTransport.handle(), transport);
    // No URL, no route to mount: httpx before 0.28 takes an empty one as no
    // proxy, later releases refuse it themselves.
    if (native::truthy(proxies)) {
        native::dict_set(keywords, kMounts.handle(), proxy_mounts(call, proxies));
    }
    native::dict_set(keywords, kEventHooks.handle(), header_check_hooks());
    return native::call_with(client_class, keywords);
}

const native::FunctionDecl kClientSession =
    session_factory_decl(kClientSessionDef, client_session,
                         {"ClientSession", "autodetect", "autodetect", "headers", "k", "v"});

}  // namespace

py::object define_httpx_backend(py::handle globals) {
    state().httpx_proxy_keyword = &proxy_keyword_of(globals);
    state().httpx_header_check =
        state().keep(native::import_name(globals, "_headers", "check_httpx_request", 1));
    state().httpx_h2_guard =
        state().keep(native::import_name(globals, "_httpx_h2", "guard_transport", 1));
    hand_over_h2_frames(globals);
    native::ClassStatement statement(globals, kBackendClass);
    statement.def(kClientSession);
    return statement.create();
}

}  // namespace client
