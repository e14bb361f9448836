// The frame scan of the httpx client's HTTP/2 streams (see h2_frames.cpp).
#pragma once

#include "client/vocabulary.hpp"

namespace client {

// Makes the scan's functions and hands them to the package's HTTP/2 guard
// (pelun_online_sdk/_httpx_h2.py), once, when the module loads.
void hand_over_h2_frames(py::handle globals);

}  // namespace client
