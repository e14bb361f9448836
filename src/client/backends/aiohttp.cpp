// _aiohttp: form bodies for aiohttp (urlencoded text, a MultipartWriter with
// one part per field) and the aiohttp session factory with an optional
// proxy connector. Unlike the requests builder, the caller's dict is only
// read.
#include "client/form_bodies.hpp"
#include "client/module_body.hpp"
#include "client/session_factories.hpp"
#include "client/state.hpp"
#include "native/globals.hpp"

namespace client {
namespace {

const Name kAiohttp("aiohttp");
const Name kMultipartWriter("MultipartWriter");
const Name kEnter("__enter__");
const Name kExit("__exit__");
const Name kAppend("append");
const Name kSetContentDisposition("set_content_disposition");
const Name kName("name");
const Name kClientSessionClass("ClientSession");
const Name kProxyConnector("ProxyConnector");
const Name kFromUrl("from_url");
const Name kConnector("connector");
const Name kFormData("form-data");
const Name kRequestClass("request_class");
const native::ClassDecl kBoundaryClass("Boundary", "_aiohttp.create_boundary.<locals>.Boundary");
const native::ClassDecl kBackendClass("_aiohttp", "_aiohttp");

// --- create_urlencode, create_boundary ------------------------------------------------

constexpr Def kCreateUrlencodeDef{"_aiohttp.create_urlencode", 24};
constexpr Def kCreateBoundaryDef{"_aiohttp.create_boundary", 28};
constexpr Def kBoundaryInitDef{"_aiohttp.create_boundary.<locals>.Boundary.__init__", 31};
// Besides the builders' shared statements (see form_bodies.hpp):
enum CreateBoundaryLine : int {
    kWithWriter = 16,    // with aiohttp.MultipartWriter("form-data", boundary=boundary) as MPData:
    kWalkFields = 17,    //     for key, value in data.items():
    kFieldToJson = 18,   //         value = json.dumps(...) for a dict or list, then str() a number
    kAppendPart = 20,    //         part = MPData.append(value)
    kDisposition = 21,   //         part.set_content_disposition("form-data", name=key)
    kReturnResult = 22,  //     return Boundary(headers=..., data=MPData)
};

const native::FunctionDecl kBoundaryInit =
    boundary_init_decl(kBoundaryInitDef, "aiohttp.MultipartWriter");

// The body of the `with` block: one form-data part per field, then the result.
py::object fill_writer(Call& call, py::handle writer, py::handle boundary_class) {
    call.at(kWalkFields);
    FieldWalk fields(call.arg(BuilderParam::kData));
    py::object key, value;
    while (fields.next(key, value)) {
        py::object sent = field_value(call, value, kFieldToJson);
        call.at(kAppendPart);
        py::object part = native::call_method(writer, kAppend, {sent});
        call.at(kDisposition);
        native::call_method(part, kSetContentDisposition, {kFormData.handle()},
                            {Keyword{kName, key}});
        call.at(kWalkFields);
    }
    call.at(kReturnResult);
    return boundary_result(boundary_class, writer);
}

// An exception from the block goes to __exit__; a true result swallows it
// (the builder then returns None). An exception from __exit__ itself
// replaces it, chained to it as the interpreter would.
py::object leave_on_error(native::PythonError& error, py::handle exit) {
    try {
        py::object swallowed = native::call(exit, {error.type(), error.value(), error.traceback()});
        if (native::truthy(swallowed)) return py::none();
    } catch (native::PythonError& raised) {
        raised.set_context(error);
        throw;
    }
    throw std::move(error);
}

py::object create_boundary(Call& call) {
    py::object boundary_class = define_boundary_class(call, kBoundaryClass, kBoundaryInit);
    py::object boundary = boundary_token(call);
    call.at(kWithWriter);
    py::object writer_type = native::getattr(call.global(kAiohttp), kMultipartWriter);
    py::object manager =
        native::call(writer_type, {kFormData.handle()}, {Keyword{kBoundaryKeyword, boundary}});
    py::object exit = native::lookup_special(manager, kExit);
    py::object writer = native::call(native::lookup_special(manager, kEnter));
    py::object result;
    try {
        result = fill_writer(call, writer, boundary_class);
    } catch (native::PythonError& error) {
        return leave_on_error(error, exit);
    }
    call.at(kWithWriter);
    native::call(exit, {py::none(), py::none(), py::none()});
    return result;
}

const native::FunctionDecl kCreateUrlencode = urlencode_decl(kCreateUrlencodeDef);

const native::FunctionDecl kCreateBoundary = builder_decl(
    kCreateBoundaryDef, create_boundary,
    {"Boundary", "chars", "MPData", "key", "value", "part", "genexpr", "genexpr", "genexpr"});

// --- ClientSession ------------------------------------------------------------------------

constexpr Def kClientSessionDef{"_aiohttp.ClientSession", 53};
enum ClientSessionLine : int {
    kHeaderRule = 1,      // the header rule (see session_factories.hpp)
    kTestProxy = 8,       // if proxy and proxy.toString:
    kProxiedSession = 9,  //     return aiohttp.ClientSession(headers=..., connector=...)
    kDirectSession = 10,  // return aiohttp.ClientSession(headers=headers)
};

// The module global ProxyConnector, or, where it is still the class the
// module body imported from aiohttp_proxy, the package's subclass of it
// (_aiohttp_proxy.py), which the sessions made here use and no one else.
py::object connector_class(Call& call) {
    py::object chosen = call.global(kProxyConnector);
    if (chosen.is(state().aiohttp_library_connector)) {
        return py::reinterpret_borrow<py::object>(state().aiohttp_session_connector);
    }
    return chosen;
}

py::object client_session(Call& call) {
    py::dict headers = merge_headers(call, kHeaderRule);
    py::handle proxy = call.arg(SessionFactoryParam::kProxy);
    call.at(kTestProxy);
    if (native::truthy(proxy) && native::truthy(native::getattr(proxy, kToString))) {
        call.at(kProxiedSession);
        py::object session_type = native::getattr(call.global(kAiohttp), kClientSessionClass);
        py::object factory = native::getattr(native::call(connector_class(call)), kFromUrl);
        py::object connector = native::call(factory, {native::getattr(proxy, kToString)});
        return native::call(session_type, {},
                            {Keyword{kHeaders, headers}, Keyword{kConnector, connector},
                             Keyword{kRequestClass, state().aiohttp_request_class}});
    }
    call.at(kDirectSession);
    return native::call(
        native::getattr(call.global(kAiohttp), kClientSessionClass), {},
        {Keyword{kHeaders, headers}, Keyword{kRequestClass, state().aiohttp_request_class}});
}

const native::FunctionDecl kClientSession =
    session_factory_decl(kClientSessionDef, client_session, {"headers", "k", "v"});

}  // namespace

// aiohttp refuses control characters in headers (before 3.9 only CR and LF)
// but takes any name: its sessions build their requests with the package's
// request class, which checks every header the caller or the session gives
// and shows no proxy credentials. Their proxy connector is the package's too.
py::object define_aiohttp_backend(py::handle globals) {
    state().aiohttp_library_connector =
        state().keep(native::lookup_global(globals, kProxyConnector));
    native::ClassStatement statement(globals, kBackendClass);
    statement.def(kCreateUrlencode);
    statement.def(kCreateBoundary);
    statement.def(kClientSession);
    return statement.create();
}

}  // namespace client
