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

import struct
import time
from typing import Any, Dict, List, Optional, Tuple

import httpcore

__all__ = [
    "guard_transport",
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

_DATA = 0x0
_HEADERS = 0x1
_RST_STREAM = 0x3
_GOAWAY = 0x7
_CONTINUATION = 0x9
_END_STREAM = 0x1
_PADDED = 0x8

_FRAME_NAMES = {
    0x0: "DATA",
    0x1: "HEADERS",
    0x2: "PRIORITY",
    0x3: "RST_STREAM",
    0x4: "SETTINGS",
    0x5: "PUSH_PROMISE",
    0x6: "PING",
    0x7: "GOAWAY",
    0x8: "WINDOW_UPDATE",
    0x9: "CONTINUATION",
}

_CLIENT_PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
# 24-bit length (split 16 + 8), type, flags, 31-bit stream id.
_FRAME_HEADER = struct.Struct(">HBBBL")


class _Progress:
    """The clock and the counters one HTTP/2 connection shares between its two directions."""

    __slots__ = ("last", "idle", "idle_kinds")

    def __init__(self) -> None:
        self.last = time.monotonic()
        self.idle = 0
        self.idle_kinds: Dict[int, int] = {}

    def made(self) -> None:
        self.last = time.monotonic()
        self.idle = 0
        # Rebound, not cleared: the other direction may be counting into it.
        self.idle_kinds = {}

    def idle_summary(self) -> str:
        kinds = sorted(self.idle_kinds.items(), key=lambda item: (-item[1], item[0]))
        if not kinds:
            return "nothing"
        return ", ".join(f"{count} {_FRAME_NAMES.get(kind, f'type {kind:#x}')}" for kind, count in kinds) + (
            " frames"
        )


class _FrameScanner:
    """Finds the frame headers in a byte stream cut anywhere, skipping payloads unread.

    ``frame(type, flags, stream_id, data_length)`` is called once per frame,
    where ``data_length`` is the payload without padding for DATA frames and
    the payload's length for others.
    """

    __slots__ = ("_head", "_skip", "_padded", "_preface")

    def __init__(self, preface: int = 0) -> None:
        self._head = bytearray()
        self._skip = 0
        # A padded DATA frame whose pad-length byte has not arrived yet:
        # (flags, stream_id, length).
        self._padded: Optional[Tuple[int, int, int]] = None
        self._preface = preface

    def scan(self, data: bytes) -> None:
        end = len(data)
        pos = 0
        if self._preface:
            step = min(self._preface, end)
            self._preface -= step
            pos = step
        unpack = _FRAME_HEADER.unpack_from
        while pos < end:
            if self._skip:
                step = min(self._skip, end - pos)
                self._skip -= step
                pos += step
                continue
            if self._padded is not None:
                flags, stream_id, length = self._padded
                self._padded = None
                self.frame(_DATA, flags, stream_id, max(length - 1 - data[pos], 0))
                self._skip = length
                continue
            if self._head or end - pos < 9:
                take = data[pos : pos + 9 - len(self._head)]
                self._head += take
                pos += len(take)
                if len(self._head) < 9:
                    return
                length_high, length_low, kind, flags, stream_id = unpack(self._head)
                self._head.clear()
            else:
                length_high, length_low, kind, flags, stream_id = unpack(data, pos)
                pos += 9
            length = (length_high << 8) | length_low
            stream_id &= 0x7FFFFFFF
            if kind == _DATA and flags & _PADDED and length:
                self._padded = (flags, stream_id, length)
                continue
            self.frame(kind, flags, stream_id, length)
            self._skip = length

    def frame(self, kind: int, flags: int, stream_id: int, data_length: int) -> None:
        raise NotImplementedError


class _FromServer(_FrameScanner):
    __slots__ = ("_progress", "_data_frames", "_header_frames", "error")

    def __init__(self, progress: _Progress) -> None:
        super().__init__()
        self._progress = progress
        # Per open stream: [DATA frames, DATA bytes] of its response.
        self._data_frames: Dict[int, List[int]] = {}
        self._header_frames: Dict[int, int] = {}
        self.error: Optional[Exception] = None

    def frame(self, kind: int, flags: int, stream_id: int, data_length: int) -> None:
        if self.error is not None:
            return
        progress = self._progress
        if kind == _DATA:
            counts = self._data_frames.get(stream_id)
            if counts is None:
                counts = self._data_frames[stream_id] = [0, 0]
                _keep_recent(self._data_frames)
            counts[0] += 1
            counts[1] += data_length
            if counts[0] > SMALL_FRAMES_GRACE and counts[1] < counts[0] * MIN_DATA_FRAME_BYTES:
                self.error = httpcore.RemoteProtocolError(
                    f"HTTP/2 server sent the response in {counts[0]} DATA frames of {counts[1]} bytes in all; "
                    f"a body cut into frames of less than {MIN_DATA_FRAME_BYTES} bytes on average is refused"
                )
                return
            if flags & _END_STREAM:
                self._forget(stream_id)
                progress.made()
                return
            if data_length:
                progress.made()
                return
        elif kind == _HEADERS or kind == _CONTINUATION:
            blocks = self._header_frames.get(stream_id, 0) + 1
            self._header_frames[stream_id] = blocks
            if blocks == 1:
                _keep_recent(self._header_frames)
            if kind == _HEADERS and flags & _END_STREAM:
                self._forget(stream_id)
            if blocks <= PROGRESS_HEADER_FRAMES:
                progress.made()
                return
        elif kind == _RST_STREAM or kind == _GOAWAY:
            if kind == _RST_STREAM:
                self._forget(stream_id)
            progress.made()
            return
        progress.idle += 1
        kinds = progress.idle_kinds
        kinds[kind] = kinds.get(kind, 0) + 1
        if progress.idle > MAX_IDLE_FRAMES:
            self.error = httpcore.RemoteProtocolError(
                f"HTTP/2 server sent {progress.idle} frames in a row that carry nothing of any response "
                f"({progress.idle_summary()})"
            )

    def _forget(self, stream_id: int) -> None:
        self._data_frames.pop(stream_id, None)
        self._header_frames.pop(stream_id, None)


def _keep_recent(streams: Dict[int, Any]) -> None:
    # A stream the client abandons (a response closed half read) ends with
    # a RST_STREAM of its own, never seen here: its counts are dropped once
    # far more streams have begun since. No more than 100 are open at once
    # (httpcore's limit), and ids only grow, so the oldest go first.
    if len(streams) > 1024:
        for stream_id in list(streams)[:512]:
            del streams[stream_id]


class _FromClient(_FrameScanner):
    __slots__ = ("_progress",)

    def __init__(self, progress: _Progress) -> None:
        super().__init__(preface=len(_CLIENT_PREFACE))
        self._progress = progress

    def frame(self, kind: int, flags: int, stream_id: int, data_length: int) -> None:
        if kind == _HEADERS or (kind == _DATA and (data_length or flags & _END_STREAM)):
            self._progress.made()


class _Stream:
    """A network stream handed through unchanged, whose TLS upgrade may be HTTP/2."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def read(self, max_bytes: int, timeout: Optional[float] = None) -> bytes:
        data: bytes = self._stream.read(max_bytes, timeout)
        return data

    def write(self, buffer: bytes, timeout: Optional[float] = None) -> None:
        self._stream.write(buffer, timeout)

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


class _HTTP2Stream(_Stream):
    """The stream of an HTTP/2 connection, ending reads that bring no progress (see the module)."""

    def __init__(self, stream: Any) -> None:
        super().__init__(stream)
        self._progress = _Progress()
        self._from_server = _FromServer(self._progress)
        self._from_client = _FromClient(self._progress)

    def read(self, max_bytes: int, timeout: Optional[float] = None) -> bytes:
        if self._from_server.error is not None:
            raise self._from_server.error
        data: bytes
        if timeout is None:
            data = self._stream.read(max_bytes, None)
        else:
            left = self._progress.last + timeout - time.monotonic()
            if left <= 0:
                raise self._stalled(timeout)
            try:
                data = self._stream.read(max_bytes, min(left, timeout))
            except httpcore.ReadTimeout:
                if left < timeout:
                    raise self._stalled(timeout) from None
                raise
        self._from_server.scan(data)
        if self._from_server.error is not None:
            raise self._from_server.error
        return data

    def write(self, buffer: bytes, timeout: Optional[float] = None) -> None:
        self._stream.write(buffer, timeout)
        self._from_client.scan(buffer)

    def _stalled(self, timeout: float) -> httpcore.ReadTimeout:
        return httpcore.ReadTimeout(
            f"HTTP/2 server made no progress for {timeout:g} s (the read timeout): "
            f"it sent {self._progress.idle_summary()} meanwhile"
        )


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
