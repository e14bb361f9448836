// The extension module pelun_online_sdk.client: what the runtime needs to
// load it (see native/module_def.hpp), and its body.
#include <algorithm>
#include <iterator>

#include "client/backends.hpp"
#include "client/module_body.hpp"
#include "client/state.hpp"
#include "native/module_def.hpp"

namespace client {
namespace {

// The module body's imports, at their lines.
void import_libraries(native::ModuleBody& body) {
    body.from(1, "enum", {{"Enum", "Enum"}, {"auto", "auto"}});
    body.import(2, "json");
    body.import(3, "secrets");
    body.import(4, "ssl");
    body.import(5, "string");
    body.from(6, "typing",
              {{"Any", "Any"}, {"Dict", "Dict"}, {"Iterable", "Iterable"}, {"Union", "Union"}});
    body.from(7, "urllib.parse", {{"urlencode", "urlencode"}});
    body.from(8, "Cryptodome.Hash", {{"MD5", "HashMD5"}});
    body.import(10, "aiohttp");
    body.from(11, "aiohttp_proxy", {{"ProxyConnector", "ProxyConnector"}});
    body.import(12, "chardet");
    body.import(13, "httpx");
    body.from(14, "requests.adapters", {{"HTTPAdapter", "HTTPAdapter"}});
    body.import(15, "requests");
    body.from(16, "requests_toolbelt", {{"MultipartEncoder", "MultipartEncoder"}});
    body.from(17, "urllib3", {{"PoolManager", "PoolManager"}, {"Retry", "__retry__"}});
    body.from(19, "utils", {{"Report", "Report"}, {"VERSION_SDK", "VERSION_SDK"}}, 1);
    body.from(20, "proxy", {{"Proxy", "Proxy"}}, 1);
}

// A class statement (or constant) of the module body.
struct Statement {
    int line;
    const char* name;
    py::object (*make)(py::handle globals);
};

// The module's own statements, in the order of their lines: the backends'
// classes from the backend table among the others.
std::vector<Statement> statements() {
    std::vector<Statement> all = {
        {66, "CHIPER", make_cipher_list},
        {114, "SSLContext", define_ssl_context},
        {122, "RequestsAdapter", define_requests_adapter},
        {210, "Client", define_client},
    };
    for (const Backend& backend : kBackends) {
        all.push_back({backend.line, backend.cls.text(), backend.define});
    }
    std::sort(all.begin(), all.end(),
              [](const Statement& a, const Statement& b) { return a.line < b.line; });
    return all;
}

void run_body(native::ModuleBody& body) {
    import_libraries(body);
    take_glue(body.globals());
    int last = 0;
    for (const Statement& statement : statements()) {
        body.bind(statement.line, statement.name, [&] { return statement.make(body.globals()); });
        last = statement.line;
    }
    body.bind(last, "__test__", [] { return native::new_dict(); });
}

std::unique_ptr<native::ModuleState> make_state() {
    return std::make_unique<State>();
}

}  // namespace
}  // namespace client

const native::ModuleIdentity native::kModuleIdentity = {
    "pelun_online_sdk.client",
    "pelun_online_sdk\\client.py",
};

const native::ModuleDefinition native::kModuleDefinition = {
    "init pelun_online_sdk.client",
    client::make_state,
    client::run_body,
};
