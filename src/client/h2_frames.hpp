// The frame scan of the httpx client's HTTP/2 streams (see h2_frames.cpp).
#pragma once

#include "client/vocabulary.hpp"

namespace client {

// The scan's functions, as the package's HTTP/2 guard takes them
// (pelun_online_sdk/_httpx_h2.py; handed over by glue.cpp): new_connection,
// from_server, from_client and idle_frames.
py::tuple h2_frame_scan(py::handle globals);

}  // namespace client
