// The class statements of the module body, one per subsystem file. Each
// runs its statement against the module namespace and returns the class.
#pragma once

#include "client/vocabulary.hpp"

namespace client {

py::object define_aiohttp_backend(PyObject* globals);   // class _aiohttp
py::str make_cipher_list();                             // CHIPER
py::object define_ssl_context(PyObject* globals);       // class SSLContext
py::object define_requests_adapter(PyObject* globals);  // class RequestsAdapter
py::object define_requests_backend(PyObject* globals);  // class _requests
py::object define_httpx_backend(PyObject* globals);     // class _httpx
py::object define_client(PyObject* globals);            // class Client

}  // namespace client
