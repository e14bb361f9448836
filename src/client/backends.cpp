#include "client/backends.hpp"

#include "client/module_body.hpp"

namespace client {
namespace {

const Name kAIOHTTP("AIOHTTP");
const Name kREQUESTS("REQUESTS");
const Name kHTTPX("HTTPX");
const Name kAiohttpBackend("_aiohttp");
const Name kRequestsBackend("_requests");
const Name kHttpxBackend("_httpx");

}  // namespace

const Backend kBackends[3] = {
    {kAIOHTTP, 3, kAiohttpBackend, 22, define_aiohttp_backend, kBackends[0]},
    {kREQUESTS, 1, kRequestsBackend, 142, define_requests_backend, kBackends[1]},
    {kHTTPX, 2, kHttpxBackend, 195, define_httpx_backend, kBackends[1]},
};

}  // namespace client
