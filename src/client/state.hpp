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
};

// The state of the module whose code runs now.
inline State& state() {
    return static_cast<State&>(native::active_state());
}

}  // namespace client
