// Everything the module takes from the package's Python glue, and the little
// it hands to it, in one table each.
//
// The C++ holds the module's surface: every name, signature, message and
// default its declarations describe. The glue (pelun_online_sdk/_*.py) holds
// adapters of the libraries' own Python classes, written against them in
// Python where a subclass or hook is what the library expects. Each glue
// module exports the names listed here and nothing is imported for its side
// effects; each name is taken once, when the module body runs, into the
// state slot that the sessions and classes built later read.
#include "client/h2_frames.hpp"
#include "client/module_body.hpp"
#include "client/state.hpp"
#include "native/imports.hpp"
#include "native/new_objects.hpp"
#include "native/object_protocol.hpp"

namespace client {
namespace {

struct Handover {
    const char* module;  // relative to the package
    const char* name;
    py::handle State::* slot;
};

constexpr Handover kHandovers[] = {
    // RequestsAdapter's members written against requests' HTTPAdapter.
    {"_requests_adapter", "MEMBERS", &State::requests_adapter_members},
    // The request hook of every httpx client: headers checked before h2 sends them.
    {"_headers", "check_httpx_request", &State::httpx_header_check},
    // Bounds the HTTP/2 connections of an httpx transport on servers that make no progress.
    {"_httpx_h2", "guard_transport", &State::httpx_h2_guard},
    // The transport a proxied httpx client mounts for every URL: retries hold through it.
    {"_httpx_proxy", "ProxyTransport", &State::httpx_proxy_transport},
    // The request class of every aiohttp session: headers checked, no credentials shown.
    {"_aiohttp_proxy", "ClientRequest", &State::aiohttp_request_class},
    // The session-owned subclass of aiohttp_proxy's connector.
    {"_aiohttp_proxy", "ProxyConnector", &State::aiohttp_session_connector},
};

// What the module hands to the glue: functions made here that its Python
// calls, given to the function the glue module exports to take them.
struct HandedOver {
    const char* module;
    const char* taker;
    py::tuple (*make)(py::handle globals);
};

constexpr HandedOver kHandedOver[] = {
    // The HTTP/2 guard's frame scan: one call for each read or write.
    {"_httpx_h2", "take_frame_scan", h2_frame_scan},
};

}  // namespace

void take_glue(py::handle globals) {
    State& taken = state();
    for (const Handover& handover : kHandovers) {
        taken.*handover.slot =
            taken.keep(native::import_name(globals, handover.module, handover.name, 1));
    }
    for (const HandedOver& handed : kHandedOver) {
        py::object take = native::import_name(globals, handed.module, handed.taker, 1);
        native::call_with(take, handed.make(globals), native::new_dict());
    }
}

}  // namespace client
