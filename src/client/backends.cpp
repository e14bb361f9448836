#include "client/backends.hpp"

#include <iterator>

#include "client/module_body.hpp"

namespace client {
namespace {

const Name kAIOHTTP("AIOHTTP");
const Name kREQUESTS("REQUESTS");
const Name kHTTPX("HTTPX");
const Name kAiohttpBackend("_aiohttp");
const Name kRequestsBackend("_requests");
const Name kHttpxBackend("_httpx");

const Backend kRows[] = {
    {kAIOHTTP, 3, kAiohttpBackend, 22, define_aiohttp_backend, kRows[0]},
    {kREQUESTS, 1, kRequestsBackend, 142, define_requests_backend, kRows[1]},
    {kHTTPX, 2, kHttpxBackend, 195, define_httpx_backend, kRows[1]},
};

}  // namespace

const Backend* BackendTable::begin() const {
    return std::begin(kRows);
}

const Backend* BackendTable::end() const {
    return std::end(kRows);
}

}  // namespace client
