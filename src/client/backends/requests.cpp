// _requests: form bodies for requests (urlencoded text, a requests_toolbelt
// MultipartEncoder) and the requests session factory with retry policy, the
// TLS adapter on both prefixes, merged headers and proxies.
#include "client/boundary.hpp"
#include "client/classes.hpp"
#include "client/headers.hpp"
#include "native/calls.hpp"

namespace client {
namespace {

const Name kMultipartEncoder("MultipartEncoder");
const Name kFields("fields");
const Name kRequests("requests");
const Name kSession("Session");
const Name kRetryPolicy("__retry__");
const Name kRequestsAdapter("RequestsAdapter");
const Name kMaxRetries("max_retries");
const Name kMount("mount");
const Name kUpdate("update");
const Name kTotal("total");
const Name kStatusForcelist("status_forcelist");
const Name kBackoffFactor("backoff_factor");
const Name kHttpScheme("http");
const Name kHttpsScheme("https");
const Name kHttpPrefix("http://");
const Name kHttpsPrefix("https://");
const native::ClassDecl kBoundaryClass("Boundary", "_requests.create_boundary.<locals>.Boundary");
const native::ClassDecl kSessionClass("ClientSession",
                                      "_requests.ClientSession.<locals>.ClientSession");
const native::ClassDecl kRetryClass("Retry", "_requests.ClientSession.<locals>.Retry");
const native::ClassDecl kBackendClass("_requests", "_requests");

const native::FunctionDecl kBoundaryInit = boundary_init_decl(
    "_requests.create_boundary.<locals>.Boundary.__init__", 151, "MultipartEncoder");

// Writes each field back into the caller's dict as it will be sent.
void normalise_fields(Call& call, py::handle data) {
    call.at(164);
    py::object iterator = items_iterator(data);
    py::object key, value;
    while (next_item(iterator, key, value)) {
        py::object sent = field_value(call, value, 165, 166);
        call.at(167);
        update_with_keyword(data, key, sent);
        call.at(164);
    }
}

py::object create_boundary(Call& call) {
    py::object boundary_class = define_boundary_class(call, kBoundaryClass, kBoundaryInit, 150);
    py::object boundary = boundary_token(call, {156, 157, 158, 160, 162});
    normalise_fields(call, call.arg(0));
    call.at(168);
    py::object encoder =
        native::call(call.global(kMultipartEncoder), {},
                     {Keyword{kFields, call.arg(0)}, Keyword{kBoundaryKeyword, boundary}});
    call.at(169);
    return boundary_result(boundary_class, encoder);
}

// class ClientSession(requests.Session): pass
py::object define_session_class(Call& call) {
    call.at(173);
    py::object base = native::getattr(call.global(kRequests), kSession);
    native::ClassStatement statement(call.globals(), kSessionClass, native::tuple_of({base}));
    return statement.create();
}

// Retry() gives urllib3's retry policy itself: __new__ returns an object
// that is not a Retry, so no __init__ runs.
py::object retry_new(Call& call) {
    call.at(177);
    py::list status_forcelist;
    for (int status : {104, 429, 500, 502, 503, 504}) status_forcelist.append(status);
    return native::call(call.global(kRetryPolicy), {},
                        {Keyword{kTotal, py::int_(3)}, Keyword{kStatusForcelist, status_forcelist},
                         Keyword{kBackoffFactor, py::int_(2)}});
}

const native::FunctionDecl kRetryNew =
    native::FunctionDecl("_requests.ClientSession.<locals>.Retry.__new__", 176, retry_new)
        .params({{"cls"}})
        .returns("'__retry__'")
        .wrapped(native::Wrapper::kStatic);

py::object define_retry_class(Call& call) {
    call.at(175);
    native::ClassStatement statement(call.globals(), kRetryClass, py::tuple());
    statement.def(kRetryNew);
    return statement.create();
}

py::object proxies_of(py::handle proxy) {
    py::dict proxies;
    if (native::truthy(proxy)) {
        proxies[kHttpScheme.handle()] = native::getattr(proxy, kToString);
        proxies[kHttpsScheme.handle()] = native::getattr(proxy, kToString);
    }
    return proxies;
}

py::object client_session(Call& call) {
    py::object session_class = define_session_class(call);
    py::object retry_class = define_retry_class(call);
    call.at(179);
    py::object session = native::call(session_class);
    call.at(180);
    py::object adapter = native::call(call.global(kRequestsAdapter), {},
                                      {Keyword{kMaxRetries, native::call(retry_class)}});
    for (const Name* scheme : {&kHttpPrefix, &kHttpsPrefix}) {
        call.at(182);
        native::call_method(session, kMount, {scheme->handle(), adapter});
    }
    py::dict headers = merge_headers(call, call.arg(0), {183, 184, 187});
    call.at(189);
    // update(**headers): the callee gets keywords, never this dict itself.
    native::call_with_dict(native::getattr(native::getattr(session, kHeaders), kUpdate),
                           py::tuple(), headers);
    call.at(190);
    native::setattr(session, kProxies, proxies_of(call.arg(1)));
    return session;
}

const native::FunctionDecl kCreateUrlencode = urlencode_decl("_requests.create_urlencode", 144);

const native::FunctionDecl kCreateBoundary =
    builder_decl("_requests.create_boundary", 148, create_boundary,
                 {"Boundary", "chars", "key", "value", "MPData", "genexpr", "genexpr", "genexpr"});

const native::FunctionDecl kClientSession = session_factory_decl(
    "_requests.ClientSession", 172, client_session,
    {"ClientSession", "Retry", "Session", "adapter", "scheme", "headers", "k", "v"});

}  // namespace

py::object define_requests_backend(PyObject* globals) {
    native::ClassStatement statement(globals, kBackendClass, py::tuple());
    statement.def(kCreateUrlencode);
    statement.def(kCreateBoundary);
    statement.def(kClientSession);
    return statement.create();
}

}  // namespace client
