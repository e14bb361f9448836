// Client: the public facade. A member of Client.TypeReq names the HTTP
// library; the facade passes the caller's arguments on, positionally, to the
// backend of that library and returns what the backend returns.
#include "client/classes.hpp"
#include "native/calls.hpp"

namespace client {
namespace {

const Name kTypeReq("TypeReq");
const Name kAIOHTTP("AIOHTTP");
const Name kREQUESTS("REQUESTS");
const Name kHTTPX("HTTPX");
const Name kEnum("Enum");
const Name kAuto("auto");
const Name kAiohttpBackend("_aiohttp");
const Name kRequestsBackend("_requests");
const Name kHttpxBackend("_httpx");
const Name kClientSession("ClientSession");
const Name kCreateBoundary("create_boundary");
const native::ClassDecl kTypeReqClass("TypeReq", "Client.TypeReq");
const native::ClassDecl kClientClass("Client", "Client");

// `type_req == cls.TypeReq.<member>`, reading the enumeration afresh each
// time, as a subclass may replace it.
bool selects(const Call& call, const Name& member) {
    py::object members = native::getattr(call.arg(0), kTypeReq);
    return native::equals(call.arg(1), native::getattr(members, member));
}

py::object backend_operation(Call& call, const Name& backend, const Name& operation) {
    return native::getattr(call.global(backend), operation);
}

py::object client_session(Call& call) {
    py::handle extra_headers = call.arg(2), proxy = call.arg(3);
    call.at(219);
    if (selects(call, kAIOHTTP)) {
        call.at(220);
        return native::call(backend_operation(call, kAiohttpBackend, kClientSession),
                            {extra_headers, proxy});
    }
    call.at(221);
    if (selects(call, kREQUESTS)) {
        call.at(222);
        return native::call(backend_operation(call, kRequestsBackend, kClientSession),
                            {extra_headers, proxy});
    }
    call.at(223);
    if (selects(call, kHTTPX)) {
        call.at(224);
        return native::call(backend_operation(call, kHttpxBackend, kClientSession),
                            {extra_headers, proxy});
    }
    return py::none();
}

py::object create_boundary(Call& call) {
    auto build = [&](const Name& backend) {
        return native::call(backend_operation(call, backend, kCreateBoundary),
                            {call.arg(2), call.arg(3), call.arg(4), call.arg(5), call.arg(6)});
    };
    call.at(228);
    if (selects(call, kAIOHTTP)) {
        call.at(229);
        return build(kAiohttpBackend);
    }
    call.at(230);
    if (selects(call, kREQUESTS) || selects(call, kHTTPX)) {
        call.at(231);
        return build(kRequestsBackend);
    }
    return py::none();
}

const native::FunctionDecl kClientSessionDecl =
    native::FunctionDecl("Client.ClientSession", 218, client_session)
        .params({{"cls"},
                 {"TypeReq", "TypeReq"},
                 {"extra_headers", "Dict[str, str]", ArgTest::kExactDict, Default::new_dict()},
                 {"proxy", "Union[Proxy, None]", ArgTest::kAny, Default::none()}})
        .wrapped(native::Wrapper::kClass);

const native::FunctionDecl kCreateBoundaryDecl =
    native::FunctionDecl("Client.create_boundary", 227, create_boundary)
        .params({{"cls"},
                 {"TypeReq", "TypeReq"},
                 {"data", "dict", ArgTest::kExactDict},
                 {"prefix", "str", ArgTest::kStrOrNone, Default::none()},
                 {"length", "int", ArgTest::kExactInt, Default::integer(51)},
                 {"boundary", "str", ArgTest::kStrOrNone, Default::none()},
                 {"MD5", "bool", ArgTest::kAny, Default::false_value()}})
        .wrapped(native::Wrapper::kClass);

// class TypeReq(Enum): the enumeration's own namespace numbers the members
// as auto() values are stored, in definition order.
py::object define_type_req(PyObject* globals) {
    native::ClassStatement statement(globals, kTypeReqClass,
                                     native::tuple_of({native::lookup_global(globals, kEnum)}));
    for (const Name* member : {&kREQUESTS, &kHTTPX, &kAIOHTTP}) {
        statement.set(*member, native::call(native::lookup_global(globals, kAuto)));
    }
    return statement.create();
}

}  // namespace

py::object define_client(PyObject* globals) {
    native::ClassStatement statement(globals, kClientClass, py::tuple());
    statement.set(kTypeReq, define_type_req(globals));
    statement.def(kClientSessionDecl);
    statement.def(kCreateBoundaryDecl);
    return statement.create();
}

}  // namespace client
