"""Bounds on HTTP/2 servers that keep a connection busy without answering.

An httpx client of pelun_online_sdk.client speaks HTTP/2, where a server can
keep bytes flowing that carry nothing of a response: PING and SETTINGS
frames (each answered by the client), DATA frames with no data,
WINDOW_UPDATE frames when the client has nothing to send, and so on. As
long as bytes arrive, a read timeout never fires, and httpcore and h2 answer
every such frame: a request could run, or hold a core, forever. A body cut
into one-byte DATA frames arrives, but h2 spends some 20 microseconds on
every frame: a megabyte takes many seconds of CPU, against a hundredth of a
second over HTTP/1.1.

The client's transports get a network backend that wraps the one httpcore
would use. Its streams hand every byte on unchanged; only when TLS has
negotiated ``h2`` do they also read the 9-byte header of each frame going
each way, and keep a clock and a few counters per connection:

- Progress is a frame that moves some request on: from the server, HEADERS,
  CONTINUATION (a few per stream: no response has more than a handful of
  header blocks), DATA with data or ending its stream, RST_STREAM and
  GOAWAY; from the client, HEADERS (a request starts) and DATA with data
  (an upload moves). Anything else carries no progress.
- No progress for as long as the request's read timeout ends the request
  with ``httpx.ReadTimeout``, whatever arrived meanwhile. That is the wait
  the caller already accepted from a silent server, so the bound is theirs
  and no new setting is needed; the message names what the server sent.
  A request without a read timeout gets no such bound, as a silent server
  holds it forever too.
- More than ``MAX_IDLE_FRAMES`` frames in a row with no progress end the
  request at once with ``httpx.RemoteProtocolError``, whatever the timeout:
  a flood costs a fraction of a second, not the whole timeout at full CPU.
- A response whose DATA frames average fewer than ``MIN_DATA_FRAME_BYTES``
  bytes over more than ``SMALL_FRAMES_GRACE`` frames ends with
  ``httpx.RemoteProtocolError``: no server has a reason to cut a body that
  finely. Servers send DATA frames of up to 16 KiB, and events streamed one
  to a frame are tens of bytes or more: those pass, at h2's cost per frame
  (about what HTTP/1.1 pays per chunk of a chunked body cut alike), as a
  stricter average would refuse them.

httpcore reads and writes through its connection's network stream only, so
that is where these rules live, and httpcore and h2 stay as they are. The
backend is set on the pool of the transport (``transport._pool``), which
hands it to every connection it makes, direct or through an http or socks
proxy: each of those connects through the backend and starts TLS with the
origin on the stream it returned. Connections that negotiate HTTP/1.1, and
plain-text ones, are passed through untouched.
"""

from __future__ import annotations

import socket
from types import MethodType
from typing import Any, Callable, Optional, Union

import httpcore
import httpx
from httpcore._backends.sync import SyncStream

from ._hooks import require

__all__ = [
    "guard_transport",
    "take_frame_scan",
    "MAX_IDLE_FRAMES",
    "MIN_DATA_FRAME_BYTES",
    "SMALL_FRAMES_GRACE",
]

# Frames in a row that move no request on, past which the connection is
# taken to be flooded. Servers send a few SETTINGS, PING and WINDOW_UPDATE
# frames between answers; ten thousand is far beyond any of them.
MAX_IDLE_FRAMES = 10_000
# The average DATA payload below which a long response is refused, and how
# many DATA frames of a response are taken before it is judged: a short
# answer in tiny frames costs little, and a stream of small events passes.
MIN_DATA_FRAME_BYTES = 16
SMALL_FRAMES_GRACE = 4096
# Header blocks (HEADERS and CONTINUATION frames) of one stream that count
# as progress: informational answers, the response and its trailers.
PROGRESS_HEADER_FRAMES = 32

# The frame scan runs in the module's C++, which hands its functions over
# when it loads (take_frame_scan). An HTTP/2 stream's read and write are
# the C++'s own, bound to the connection's counts: httpcore reads and writes
# several times for every answer (a write after each event it reads, most
# often of nothing), and a Python frame for each of those cost the client a
# few percent of its rate. The module makes the HTTP/2 clients, so it has
# loaded before any of them connects.
_new_connection: Callable[..., Any]
_from_server: Callable[[Any, bytes], Union[None, bool, str]]
_from_client: Callable[[Any, bytes], Optional[bool]]
_idle_frames: Callable[[Any], str]
_read: Callable[..., bytes]
_write: Callable[..., None]
# What a guarded read raises, as httpcore's stream maps a socket's errors.
_ERRORS = (socket.timeout, httpcore.ReadTimeout, httpcore.ReadError, httpcore.RemoteProtocolError)


def take_frame_scan(new_connection: Callable[..., Any],
                    from_server: Callable[[Any, bytes], Union[None, bool, str]],
                    from_client: Callable[[Any, bytes], Optional[bool]],
                    idle_frames: Callable[[Any], str],
                    read: Callable[..., bytes],
                    write: Callable[..., None]) -> None:
    """Called by the module when it loads, with the functions of its frame scan.

    ``new_connection(MAX_IDLE_FRAMES, SMALL_FRAMES_GRACE, MIN_DATA_FRAME_BYTES,
    PROGRESS_HEADER_FRAMES, stream=None, socket=None, errors=None)`` gives the
    counts of a new connection, which the others take: ``from_server(counts,
    data)`` gives True when the server's bytes brought progress, a message when
    they bring the connection past a bound (and from then on), None otherwise;
    ``from_client(counts, data)`` gives True or None for the client's bytes;
    ``idle_frames(counts)`` names the frames since the last progress ("12 PING,
    1 SETTINGS frames", or "nothing"). Counts made with a stream (and
    ``errors``, as ``_ERRORS``) also guard it: ``read(counts, max_bytes,
    timeout=None)`` and ``write(counts, buffer, timeout=None)`` are the
    stream's, scanned, raising httpcore.ReadTimeout when no progress came for
    the read timeout and httpcore.RemoteProtocolError past a bound; with the
    stream's ``socket``, read() reads the socket as httpcore's stream would.
    """
    global _new_connection, _from_server, _from_client, _idle_frames, _read, _write
    _new_connection, _from_server, _from_client, _idle_frames = new_connection, from_server, from_client, idle_frames
    _read, _write = read, write


class _Stream:
    """A network stream handed through unchanged, whose TLS upgrade may be HTTP/2."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        # The stream's own: a connection that is not HTTP/2 pays nothing per read or write.
        self.read: Callable[..., bytes] = stream.read
        self.write: Callable[..., None] = stream.write

    def close(self) -> None:
        self._stream.close()

    def start_tls(self, ssl_context: Any, server_hostname: Optional[str] = None,
                  timeout: Optional[float] = None) -> Any:
        tls = self._stream.start_tls(ssl_context, server_hostname=server_hostname, timeout=timeout)
        ssl_object = tls.get_extra_info("ssl_object")
        if ssl_object is not None and ssl_object.selected_alpn_protocol() == "h2":
            return _HTTP2Stream(tls)
        # Still wrapped: an https proxy's TLS stream carries the origin's TLS.
        return _Stream(tls)

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)


class _HTTP2Stream:
    """The stream of an HTTP/2 connection, ending reads that bring no progress (see the module)."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        # httpcore's own stream over a TLS socket is read as its read does
        # (settimeout, recv, the same errors), in the C++: its Python frame
        # and context manager cost more than the whole guard. Any other (TLS
        # within TLS, through an https proxy) is read through its read.
        socket = stream._sock if type(stream) is SyncStream else None  # pyright: ignore[reportPrivateUsage]
        counts = _new_connection(MAX_IDLE_FRAMES, SMALL_FRAMES_GRACE, MIN_DATA_FRAME_BYTES,
                                 PROGRESS_HEADER_FRAMES, stream, socket, _ERRORS)
        # read(max_bytes, timeout=None) and write(buffer, timeout=None), as
        # httpcore calls them; the counts hold no reference back to this
        # stream, so no cycle runs through them.
        self.read: Callable[..., bytes] = MethodType(_read, counts)
        self.write: Callable[..., None] = MethodType(_write, counts)

    def close(self) -> None:
        self._stream.close()

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)


class _Backend:
    """The network backend of the client's pools: the given one's streams, wrapped."""

    def __init__(self, backend: Any) -> None:
        self._backend = backend

    def connect_tcp(self, *args: Any, **kwargs: Any) -> _Stream:
        return _Stream(self._backend.connect_tcp(*args, **kwargs))

    def connect_unix_socket(self, *args: Any, **kwargs: Any) -> _Stream:
        return _Stream(self._backend.connect_unix_socket(*args, **kwargs))

    def sleep(self, seconds: float) -> None:
        self._backend.sleep(seconds)


# Where the backend is set, and the socket of httpcore's stream: private to
# httpx and httpcore, so checked once, at load.
require(httpx, {httpx.HTTPTransport: ["_pool"]})
require(httpcore, {httpcore.ConnectionPool: ["_network_backend"], SyncStream: ["_sock"]})


def guard_transport(transport: Any) -> Any:
    """Give ``transport`` (an ``httpx.HTTPTransport``) the bounds of this module; returns it.

    Every connection its pool makes from then on connects through the wrapped
    backend. Guarding twice wraps once.
    """
    pool = transport._pool
    backend = pool._network_backend
    if not isinstance(backend, _Backend):
        pool._network_backend = _Backend(backend)
    return transport
