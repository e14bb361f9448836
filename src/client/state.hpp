// The module's state: the runtime's (names, function type, caches) and the
// decisions the module body takes once, when it loads, from what is
// installed.
#pragma once

#include "native/state.hpp"

namespace native {
class Name;
}

namespace client {

struct State : native::ModuleState {
    // The keyword of httpx.Client that takes the proxy URL (see httpx.cpp).
    const native::Name* httpx_proxy_keyword = nullptr;
    // The package's checks of the headers each request sends (kept by the
    // state; see pelun_online_sdk/_headers.py): the request hook of every
    // httpx client, and the request class of every aiohttp session.
    py::handle httpx_header_check;
    py::handle aiohttp_request_class;
    // The connector class the module body imported from aiohttp_proxy, and
    // the package's subclass of it that the aiohttp sessions use in its place
    // (kept by the state; see pelun_online_sdk/_aiohttp_proxy.py).
    py::handle aiohttp_library_connector;
    py::handle aiohttp_session_connector;
    // Bounds the HTTP/2 connections of an httpx transport on servers that
    // make no progress (kept by the state; see pelun_online_sdk/_httpx_h2.py).
    py::handle httpx_h2_guard;
};

// The state of the module whose code runs now.
inline State& state() {
    return static_cast<State&>(native::active_state());
}

}  // namespace client
