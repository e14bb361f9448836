// _requests: form bodies for requests (urlencoded text, a requests_toolbelt
// MultipartEncoder) and the requests session factory with retry policy, the
// TLS adapter on both prefixes, merged headers and proxies.
#include "client/form_bodies.hpp"
#include "client/module_body.hpp"
#include "client/session_factories.hpp"

namespace client {
namespace {

const Name kMultipartEncoder("MultipartEncoder");
const Name kFields("fields");
const Name kRequests("requests");
const Name kSession("Session");
const Name kRetryPolicy("__retry__");
const Name kRequestsAdapter("RequestsAdapter");
const Name kMaxRetries("max_retries");
const Name kMountMethod("mount");
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

// --- create_urlencode, create_boundary ------------------------------------------------

constexpr Def kCreateUrlencodeDef{"_requests.create_urlencode", 144};
constexpr Def kCreateBoundaryDef{"_requests.create_boundary", 148};
constexpr Def kBoundaryInitDef{"_requests.create_boundary.<locals>.Boundary.__init__", 151};
// Besides the builders' shared statements (see form_bodies.hpp):
enum CreateBoundaryLine : int {
    kWalkFields = 16,    // for key, value in data.items():
    kFieldToJson = 17,   //     value = json.dumps(value) for a dict or list, then str() a number
    kWriteBack = 19,     //     data.update(**{key: value})
    kMakeEncoder = 20,   // MPData = MultipartEncoder(fields=data, boundary=boundary)
    kReturnResult = 21,  // return Boundary(headers=..., data=MPData)
};

const native::FunctionDecl kBoundaryInit = boundary_init_decl(kBoundaryInitDef, "MultipartEncoder");

// Writes each field back into the caller's dict as it will be sent.
void normalise_fields(Call& call, py::handle data) {
    call.at(kWalkFields);
    FieldWalk fields(data);
    py::object key, value;
    while (fields.next(key, value)) {
        py::object sent = field_value(call, value, kFieldToJson);
        call.at(kWriteBack);
        native::dict_update_keyword(data, key, sent);
        call.at(kWalkFields);
    }
}

py::object create_boundary(Call& call) {
    py::object boundary_class = define_boundary_class(call, kBoundaryClass, kBoundaryInit);
    py::object boundary = boundary_token(call);
    py::handle data = call.arg(BuilderParam::kData);
    normalise_fields(call, data);
    call.at(kMakeEncoder);
    py::object encoder =
        native::call(call.global(kMultipartEncoder), {},
                     {Keyword{kFields, data}, Keyword{kBoundaryKeyword, boundary}});
    call.at(kReturnResult);
    return boundary_result(boundary_class, encoder);
}

const native::FunctionDecl kCreateUrlencode = urlencode_decl(kCreateUrlencodeDef);

const native::FunctionDecl kCreateBoundary =
    builder_decl(kCreateBoundaryDef, create_boundary,
                 {"Boundary", "chars", "key", "value", "MPData", "genexpr", "genexpr", "genexpr"});

// --- ClientSession ------------------------------------------------------------------------

constexpr Def kClientSessionDef{"_requests.ClientSession", 172};
constexpr Def kRetryNewDef{"_requests.ClientSession.<locals>.Retry.__new__", 176};
enum ClientSessionLine : int {
    kDefineSession = 1,   // class ClientSession(requests.Session): pass
    kDefineRetry = 3,     // class Retry: def __new__(cls): ...
    kMakeSession = 7,     // Session = ClientSession()
    kMakeAdapter = 8,     // adapter = RequestsAdapter(max_retries=Retry())
    kMount = 10,          // for scheme in (...): Session.mount(scheme, adapter)
    kHeaderRule = 11,     // the header rule (see session_factories.hpp)
    kUpdateHeaders = 17,  // Session.headers.update(**headers)
    kSetProxies = 18,     // Session.proxies = {...} if proxy else {}
};
enum RetryNewLine : int { kMakePolicy = 1 };

// class ClientSession(requests.Session): pass
py::object define_session_class(Call& call) {
    call.at(kDefineSession);
    py::object base = native::getattr(call.global(kRequests), kSession);
    native::ClassStatement statement(call.globals(), kSessionClass, native::tuple_of({base}));
    return statement.create();
}

// Retry() gives urllib3's retry policy itself: __new__ returns an object
// that is not a Retry, so no __init__ runs.
py::object retry_new(Call& call) {
    call.at(kMakePolicy);
    py::list status_forcelist = native::new_list();
    for (int status : {104, 429, 500, 502, 503, 504})
        native::append(status_forcelist, native::new_int(status));
    return native::call(
        call.global(kRetryPolicy), {},
        {Keyword{kTotal, native::new_int(3)}, Keyword{kStatusForcelist, status_forcelist},
         Keyword{kBackoffFactor, native::new_int(2)}});
}

const native::FunctionDecl kRetryNew = native::FunctionDecl(kRetryNewDef, retry_new)
                                           .params({{"cls"}})
                                           .returns("'__retry__'")
                                           .wrapped(native::Wrapper::kStatic);

py::object define_retry_class(Call& call) {
    call.at(kDefineRetry);
    native::ClassStatement statement(call.globals(), kRetryClass);
    statement.def(kRetryNew);
    return statement.create();
}

py::dict proxies_of(py::handle proxy) {
    py::dict proxies = native::new_dict();
    if (native::truthy(proxy)) {
        native::dict_set(proxies, kHttpScheme.handle(), native::getattr(proxy, kToString));
        native::dict_set(proxies, kHttpsScheme.handle(), native::getattr(proxy, kToString));
    }
    return proxies;
}

py::object client_session(Call& call) {
    py::object session_class = define_session_class(call);
    py::object retry_class = define_retry_class(call);
    call.at(kMakeSession);
    py::object session = native::call(session_class);
    call.at(kMakeAdapter);
    py::object adapter = native::call(call.global(kRequestsAdapter), {},
                                      {Keyword{kMaxRetries, native::call(retry_class)}});
    for (const Name* scheme : {&kHttpPrefix, &kHttpsPrefix}) {
        call.at(kMount);
        native::call_method(session, kMountMethod, {scheme->handle(), adapter});
    }
    py::dict headers = merge_headers(call, kHeaderRule);
    call.at(kUpdateHeaders);
    // update(**headers): the callee gets keywords, never this dict itself.
    native::call_with(native::getattr(native::getattr(session, kHeaders), kUpdate), headers);
    call.at(kSetProxies);
    native::setattr(session, kProxies, proxies_of(call.arg(SessionFactoryParam::kProxy)));
    return session;
}

const native::FunctionDecl kClientSession = session_factory_decl(
    kClientSessionDef, client_session,
    {"ClientSession", "Retry", "Session", "adapter", "scheme", "headers", "k", "v"});

}  // namespace

py::object define_requests_backend(py::handle globals) {
    native::ClassStatement statement(globals, kBackendClass);
    statement.def(kCreateUrlencode);
    statement.def(kCreateBoundary);
    statement.def(kClientSession);
    return statement.create();
}

}  // namespace client
