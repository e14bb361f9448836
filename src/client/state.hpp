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
    // The connector class the module body imported from aiohttp_proxy, which
    // the sessions replace with the glue's subclass of it.
    py::handle aiohttp_library_connector;

    // What the module takes from the package's Python glue, each kept by the
    // state: filled once, from the table in glue.cpp, when the body runs.
    py::handle requests_adapter_members;
    py::handle httpx_header_check;
    py::handle httpx_h2_guard;
    py::handle httpx_proxy_transport;
    py::handle aiohttp_request_class;
    py::handle aiohttp_session_connector;
};

// The state of the module whose code runs now.
inline State& state() {
    return static_cast<State&>(native::active_state());
}

}  // namespace client
