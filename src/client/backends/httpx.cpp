// _httpx: the httpx client factory: HTTP/2, an HTTP/2 transport with
// connection retries, merged headers, an optional proxy, and chardet's
// guess as the encoding of bodies that declare none.
#include "client/classes.hpp"
#include "client/headers.hpp"
#include "native/calls.hpp"

namespace client {
namespace {

const Name kHttpx("httpx");
const Name kClient("Client");
const Name kHTTPTransport("HTTPTransport");
const Name kChardet("chardet");
const Name kDetect("detect");
const Name kGet("get");
const Name kHttp2("http2");
const Name kRetries("retries");
const Name kDefaultEncoding("default_encoding");
const Name kTransport("transport");
const Name kEncoding("encoding");
const native::ClassDecl kSessionClass("ClientSession",
                                      "_httpx.ClientSession.<locals>.ClientSession");
const native::ClassDecl kBackendClass("_httpx", "_httpx");

py::object autodetect(Call& call) {
    call.at(201);
    py::object result = native::call_method(call.global(kChardet), kDetect, {call.arg(0)});
    return native::call_method(result, kGet, {kEncoding.handle()});
}

const native::FunctionDecl kAutodetect =
    native::FunctionDecl("_httpx.ClientSession.<locals>.autodetect", 200, autodetect)
        .params({{"content"}});

py::object define_client_class(Call& call) {
    call.at(198);
    py::object base = native::getattr(call.global(kHttpx), kClient);
    native::ClassStatement statement(call.globals(), kSessionClass, native::tuple_of({base}));
    return statement.create();
}

py::object client_session(Call& call) {
    py::object client_class = define_client_class(call);
    call.at(200);
    py::object detect = native::make_function(kAutodetect, call.globals());
    py::dict headers = merge_headers(call, call.arg(0), {202, 203, 206});
    call.at(208);
    py::object proxies =
        native::truthy(call.arg(1)) ? native::getattr(call.arg(1), kToString) : py::none();
    py::object transport =
        native::call(native::getattr(call.global(kHttpx), kHTTPTransport), {},
                     {Keyword{kHttp2, py::bool_(true)}, Keyword{kRetries, py::float_(3.0)}});
    return native::call(
        client_class, {},
        {Keyword{kHttp2, py::bool_(true)}, Keyword{kProxies, proxies}, Keyword{kHeaders, headers},
         Keyword{kDefaultEncoding, detect}, Keyword{kTransport, transport}});
}

const native::FunctionDecl kClientSession =
    session_factory_decl("_httpx.ClientSession", 197, client_session,
                         {"ClientSession", "autodetect", "autodetect", "headers", "k", "v"});

}  // namespace

py::object define_httpx_backend(PyObject* globals) {
    native::ClassStatement statement(globals, kBackendClass, py::tuple());
    statement.def(kClientSession);
    return statement.create();
}

}  // namespace client
