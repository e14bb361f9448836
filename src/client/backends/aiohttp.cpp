// _aiohttp: form bodies for aiohttp (urlencoded text, a MultipartWriter with
// one part per field) and the aiohttp session factory with an optional
// proxy connector. Unlike the requests builder, the caller's dict is only
// read.
#include "client/boundary.hpp"
#include "client/classes.hpp"
#include "client/headers.hpp"
#include "native/calls.hpp"

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
const native::ClassDecl kBoundaryClass("Boundary", "_aiohttp.create_boundary.<locals>.Boundary");
const native::ClassDecl kBackendClass("_aiohttp", "_aiohttp");

const native::FunctionDecl kBoundaryInit = boundary_init_decl(
    "_aiohttp.create_boundary.<locals>.Boundary.__init__", 31, "aiohttp.MultipartWriter");

// The body of the `with` block: one form-data part per field, then the result.
py::object fill_writer(Call& call, py::handle writer, py::handle boundary_class) {
    call.at(45);
    py::object iterator = items_iterator(call.arg(0));
    py::object key, value;
    while (next_item(iterator, key, value)) {
        py::object sent = field_value(call, value, 46, 47);
        call.at(48);
        py::object part = native::call_method(writer, kAppend, {sent});
        call.at(49);
        native::call_method(part, kSetContentDisposition, {kFormData.handle()},
                            {Keyword{kName, key}});
        call.at(45);
    }
    call.at(50);
    return boundary_result(boundary_class, writer);
}

// An exception from the block goes to __exit__; a true result swallows it
// (the builder then returns None). An exception from __exit__ itself
// replaces it, chained to it as the interpreter would.
py::object leave_on_error(py::error_already_set& error, py::handle exit) {
    py::object traceback =
        error.trace() ? py::reinterpret_borrow<py::object>(error.trace()) : py::none();
    py::object swallowed;
    try {
        swallowed = native::call(exit, {error.type(), error.value(), traceback});
        if (native::truthy(swallowed)) return py::none();
    } catch (py::error_already_set& raised) {
        if (!raised.value().is(error.value())) {
            PyException_SetContext(raised.value().ptr(), error.value().inc_ref().ptr());
        }
        throw;
    }
    throw error;
}

py::object create_boundary(Call& call) {
    py::object boundary_class = define_boundary_class(call, kBoundaryClass, kBoundaryInit, 30);
    py::object boundary = boundary_token(call, {36, 37, 38, 40, 42});
    call.at(44);
    py::object writer_type = native::getattr(call.global(kAiohttp), kMultipartWriter);
    py::object manager =
        native::call(writer_type, {kFormData.handle()}, {Keyword{kBoundaryKeyword, boundary}});
    py::object exit = native::lookup_special(manager, kExit);
    py::object writer = native::call(native::lookup_special(manager, kEnter));
    py::object result;
    try {
        result = fill_writer(call, writer, boundary_class);
    } catch (py::error_already_set& error) {
        return leave_on_error(error, exit);
    }
    call.at(44);
    native::call(exit, {py::none(), py::none(), py::none()});
    return result;
}

py::object client_session(Call& call) {
    py::dict headers = merge_headers(call, call.arg(0), {54, 55, 58});
    py::handle proxy = call.arg(1);
    call.at(61);
    if (native::truthy(proxy) && native::truthy(native::getattr(proxy, kToString))) {
        call.at(62);
        py::object session_type = native::getattr(call.global(kAiohttp), kClientSessionClass);
        py::object factory = native::getattr(native::call(call.global(kProxyConnector)), kFromUrl);
        py::object connector = native::call(factory, {native::getattr(proxy, kToString)});
        return native::call(session_type, {},
                            {Keyword{kHeaders, headers}, Keyword{kConnector, connector}});
    }
    call.at(63);
    return native::call(native::getattr(call.global(kAiohttp), kClientSessionClass), {},
                        {Keyword{kHeaders, headers}});
}

const native::FunctionDecl kCreateUrlencode = urlencode_decl("_aiohttp.create_urlencode", 24);

const native::FunctionDecl kCreateBoundary = builder_decl(
    "_aiohttp.create_boundary", 28, create_boundary,
    {"Boundary", "chars", "MPData", "key", "value", "part", "genexpr", "genexpr", "genexpr"});

const native::FunctionDecl kClientSession =
    session_factory_decl("_aiohttp.ClientSession", 53, client_session, {"headers", "k", "v"});

}  // namespace

py::object define_aiohttp_backend(PyObject* globals) {
    native::ClassStatement statement(globals, kBackendClass, py::tuple());
    statement.def(kCreateUrlencode);
    statement.def(kCreateBoundary);
    statement.def(kClientSession);
    return statement.create();
}

}  // namespace client
