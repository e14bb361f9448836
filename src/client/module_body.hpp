// The class statements and constants of the module body, one per subsystem
// file. Each runs its statement against the module namespace and returns
// what the body binds.
#pragma once

#include "client/vocabulary.hpp"

namespace client {

// Takes what the module uses from the package's Python glue (glue.cpp),
// before the statements that use it.
void take_glue(py::handle globals);

py::object define_aiohttp_backend(py::handle globals);   // class _aiohttp
py::object make_cipher_list(py::handle globals);         // CHIPER
py::object define_ssl_context(py::handle globals);       // class SSLContext
py::object define_requests_adapter(py::handle globals);  // class RequestsAdapter
py::object define_requests_backend(py::handle globals);  // class _requests
py::object define_httpx_backend(py::handle globals);     // class _httpx
py::object define_client(py::handle globals);            // class Client

}  // namespace client
