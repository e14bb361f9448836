// Client: the public facade. A member of Client.TypeReq names the HTTP
// library; the facade passes the caller's arguments on, positionally, to the
// backend of that library (see the backend table) and returns what the
// backend returns.
#include "client/backends.hpp"
#include "client/module_body.hpp"

namespace client {
namespace {

const Name kTypeReq("TypeReq");
const Name kEnum("Enum");
const Name kAuto("auto");
const Name kClientSessionName("ClientSession");
const Name kCreateBoundaryName("create_boundary");
const native::ClassDecl kTypeReqClass("TypeReq", "Client.TypeReq");
const native::ClassDecl kClientClass("Client", "Client");

// `type_req == cls.TypeReq.<member>`, reading the enumeration afresh each
// time, as a subclass may replace it.
bool selects(py::handle cls, py::handle type_req, const Backend& backend) {
    py::object members = native::getattr(cls, kTypeReq);
    return native::equals(type_req, native::getattr(members, backend.member));
}

py::object operation_of(const Call& call, const Backend& backend, const Name& operation) {
    return native::getattr(call.global(backend.cls), operation);
}

// Client.ClientSession: one `if` per backend, in the table's order, each
// test on one line and its call on the next.
constexpr Def kClientSessionDef{"Client.ClientSession", 218};
enum ClientSessionLine : int { kFirstSessionTest = 1 };
// Its parameters, in the order of its .params() below.
enum class ClientSessionParam { kCls, kTypeReq, kExtraHeaders, kProxy };

py::object client_session(Call& call) {
    using Param = ClientSessionParam;
    py::handle cls = call.arg(Param::kCls), type_req = call.arg(Param::kTypeReq);
    int line = kFirstSessionTest;
    for (const Backend& backend : kBackends) {
        call.at(line++);
        if (selects(cls, type_req, backend)) {
            call.at(line);
            return native::call(operation_of(call, backend, kClientSessionName),
                                {call.arg(Param::kExtraHeaders), call.arg(Param::kProxy)});
        }
        ++line;
    }
    return py::none();
}

// Client.create_boundary: one `if` per body builder, testing (with `or`)
// the members of the backends it builds for, in the table's order.
constexpr Def kCreateBoundaryDef{"Client.create_boundary", 227};
enum CreateBoundaryLine : int { kFirstBuilderTest = 1 };
// Its parameters, in the order of its .params() below.
enum class CreateBoundaryParam { kCls, kTypeReq, kData, kPrefix, kLength, kBoundary, kMD5 };

bool selects_any_of(py::handle cls, py::handle type_req, const Backend& builder) {
    for (const Backend& backend : kBackends) {
        if (&backend.bodies == &builder && selects(cls, type_req, backend)) return true;
    }
    return false;
}

py::object create_boundary(Call& call) {
    using Param = CreateBoundaryParam;
    py::handle cls = call.arg(Param::kCls), type_req = call.arg(Param::kTypeReq);
    int line = kFirstBuilderTest;
    for (const Backend& builder : kBackends) {
        if (&builder.bodies != &builder) continue;
        call.at(line++);
        if (selects_any_of(cls, type_req, builder)) {
            call.at(line);
            return native::call(
                operation_of(call, builder, kCreateBoundaryName),
                {call.arg(Param::kData), call.arg(Param::kPrefix), call.arg(Param::kLength),
                 call.arg(Param::kBoundary), call.arg(Param::kMD5)});
        }
        ++line;
    }
    return py::none();
}

const native::FunctionDecl kClientSession =
    native::FunctionDecl(kClientSessionDef, client_session)
        // In the order of ClientSessionParam.
        .params({{"cls"},
                 {"TypeReq", "TypeReq"},
                 {"extra_headers", "Dict[str, str]", ArgTest::kExactDict, Default::new_dict()},
                 {"proxy", "Union[Proxy, None]", ArgTest::kAny, Default::none()}})
        .wrapped(native::Wrapper::kClass);

const native::FunctionDecl kCreateBoundary =
    native::FunctionDecl(kCreateBoundaryDef, create_boundary)
        // In the order of CreateBoundaryParam.
        .params({{"cls"},
                 {"TypeReq", "TypeReq"},
                 {"data", "dict", ArgTest::kExactDict},
                 {"prefix", "str", ArgTest::kStrOrNone, Default::none()},
                 {"length", "int", ArgTest::kExactInt, Default::integer(51)},
                 {"boundary", "str", ArgTest::kStrOrNone, Default::none()},
                 {"MD5", "bool", ArgTest::kAny, Default::false_value()}})
        .wrapped(native::Wrapper::kClass);

// class TypeReq(Enum): a member per backend, each `auto()`, in the order of
// their values: the enumeration's own namespace numbers them as they are
// stored.
py::object define_type_req(py::handle globals) {
    native::ClassStatement statement(globals, kTypeReqClass,
                                     native::tuple_of({native::lookup_global(globals, kEnum)}));
    for (int value = 1; value <= static_cast<int>(kBackends.size()); ++value) {
        for (const Backend& backend : kBackends) {
            if (backend.value != value) continue;
            statement.set(backend.member, native::call(native::lookup_global(globals, kAuto)));
        }
    }
    return statement.create();
}

}  // namespace

py::object define_client(py::handle globals) {
    native::ClassStatement statement(globals, kClientClass);
    statement.set(kTypeReq, define_type_req(globals));
    statement.def(kClientSession);
    statement.def(kCreateBoundary);
    return statement.create();
}

}  // namespace client
