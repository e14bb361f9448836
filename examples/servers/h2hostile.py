"""An HTTP/2 origin over TLS that keeps its clients busy without answering.

h2 runs the connection (handshake, request parsing, flow-control windows);
the hostile frames are written as raw bytes, so that the server costs little
per frame and sends what h2 itself would refuse to. ALPN offers h2 only.

What a request gets depends on its path:

- ``/flood``: PING and SETTINGS frames, as fast as the client takes them,
  and no response;
- ``/empty-data``: a 200 response whose body is empty DATA frames forever;
  ``/padded-empty-data`` the same with frames of padding alone;
- ``/informational``: informational (103) responses forever, never the
  response itself;
- ``/stall-upload``: the request body is never acknowledged, so the
  client's flow-control window stays closed once it is used up; a PING
  every ``ping_every`` seconds;
- ``/frames/<size>/<total>``: a 200 response of ``total`` bytes (the bytes
  ``0, 1, ..., 255, 0, ...``) in DATA frames of ``size`` bytes, within the
  client's windows.

The first three go on until the client hangs up or ``give_up_after``
seconds have passed, whichever comes first, then close the connection.
``connections`` records each connection as a ``HostileConnection``.

A client that offers only HTTP/1.1 gets the same bodies over HTTP/1.1, for
comparison: ``/frames/<size>/<total>`` with a Content-Length, written whole,
and ``/chunks/<size>/<total>`` chunked in chunks of ``size`` bytes.
"""

from __future__ import annotations

import dataclasses
import select
import socket
import ssl
import struct
import threading
import time

import h2.config
import h2.connection
import h2.events
import h2.exceptions

from ._util import LOCALHOST, Log, listen_socket, snapshot_of, start_thread
from .certs import TlsCA

_PING = struct.pack(">HBBBL", 0, 8, 0x6, 0, 0) + b"pelun-h2"
_SETTINGS = struct.pack(">HBBBL", 0, 0, 0x4, 0, 0)
# A header block of ":status: 103" alone: a literal field that names
# ":status" by its static-table index (8) and leaves the dynamic table as it is.
_EARLY_HINTS = b"\x08\x03103"


def _frame(kind: int, flags: int, stream_id: int, payload: bytes = b"") -> bytes:
    return struct.pack(">HBBBL", len(payload) >> 8, len(payload) & 0xFF, kind, flags, stream_id) + payload


def pattern(total: int) -> bytes:
    """The body ``/frames/<size>/<total>`` sends."""
    return bytes(range(256)) * (total // 256) + bytes(range(total % 256))


@dataclasses.dataclass
class HostileConnection:
    path: str
    # "client" when the client hung up, "gave up" when give_up_after ran out,
    # "sent" when a finite body was sent whole.
    ended_by: str
    seconds: float
    # Hostile frames (PING, SETTINGS, empty DATA) or body frames sent.
    frames: int


class _ClientGone(Exception):
    pass


class H2Hostile:
    """The server; ``url`` ends in ``/``."""

    def __init__(self, ca: TlsCA, give_up_after: float = 60.0, ping_every: float = 1.0,
                 alpn: tuple = ("h2", "http/1.1")) -> None:
        self._context = ca.server_context(alpn=list(alpn))
        self.give_up_after = give_up_after
        self.ping_every = ping_every
        self._log = Log()
        self._stopping = threading.Event()
        self._listener: socket.socket | None = None
        self._thread: threading.Thread | None = None
        self._workers: list[threading.Thread] = []
        self.port = 0

    connections = snapshot_of("_log", "The connections served so far, as each ended.")

    @property
    def url(self) -> str:
        return f"https://{LOCALHOST}:{self.port}/"

    def wait(self, count: int = 1, timeout: float = 60.0) -> list:
        return self._log.wait(count, timeout, "connections")

    def reset(self) -> None:
        self._log.clear()

    def start(self) -> "H2Hostile":
        self._listener = listen_socket()
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._stopping.clear()
        self._thread = start_thread(self._accept, name="h2-hostile")
        return self

    def stop(self) -> None:
        self._stopping.set()
        if self._thread is not None:
            self._thread.join(10)
        for worker in self._workers:
            worker.join(10)
        self._workers.clear()
        if self._listener is not None:
            self._listener.close()

    def _accept(self) -> None:
        while not self._stopping.is_set():
            try:
                raw, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self._workers = [w for w in self._workers if w.is_alive()]
            self._workers.append(start_thread(self._serve, raw, name="h2-hostile-connection"))

    # One connection -------------------------------------------------------

    def _serve(self, raw: socket.socket) -> None:
        # Long enough for a client slowed down by a loaded machine.
        raw.settimeout(30)
        try:
            tls = self._context.wrap_socket(raw, server_side=True)
        except (OSError, ssl.SSLError):
            raw.close()
            return
        with tls:
            if tls.selected_alpn_protocol() == "h2":
                _Connection(self, tls).serve()
            else:
                _serve_http1(tls)


class _Connection:
    """One HTTP/2 connection of the server, and its first request."""

    def __init__(self, server: H2Hostile, tls: ssl.SSLSocket) -> None:
        self.server = server
        self.tls = tls
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
        self.frames = 0
        self.started = time.monotonic()

    def serve(self) -> None:
        conn = self.conn
        conn.initiate_connection()
        self._send(conn.data_to_send())
        path, ended_by = "", "client"
        try:
            stream_id, path = self._request()
            if path == "/flood":
                ended_by = self._flood([_PING, _SETTINGS] * 32)
            elif path in ("/empty-data", "/padded-empty-data"):
                conn.send_headers(stream_id, [(":status", "200")])
                self._send(conn.data_to_send())
                # PADDED: a pad length of 5, the padding, and no data. Padding
                # uses the window: the first 10,000 frames fit in 65,535 bytes.
                padded = _frame(0x0, 0x8, stream_id, b"\x05" + bytes(5))
                frame = padded if "padded" in path else _frame(0x0, 0, stream_id)
                ended_by = self._flood([frame] * 64)
            elif path == "/informational":
                ended_by = self._flood([_frame(0x1, 0x4, stream_id, _EARLY_HINTS)] * 64)
            elif path == "/stall-upload":
                ended_by = self._stall()
            elif path.startswith("/frames/"):
                _, _, size, total = path.split("/")
                ended_by = self._body(stream_id, int(size), int(total))
            else:
                conn.send_headers(stream_id, [(":status", "404")], end_stream=True)
                self._send(conn.data_to_send())
                ended_by = "sent"
        except (_ClientGone, OSError, ssl.SSLError, h2.exceptions.ProtocolError):
            ended_by = "client"
        self.server._log.add(HostileConnection(path, ended_by, time.monotonic() - self.started, self.frames))

    def _send(self, data: bytes) -> None:
        if data:
            self.tls.sendall(data)

    def _receive(self, wait: float) -> bytes:
        """What the client sent, waiting up to ``wait`` seconds; b"" if nothing came."""
        return _receive(self.tls, wait)

    def _over(self) -> bool:
        return self.server._stopping.is_set() or time.monotonic() - self.started > self.server.give_up_after

    def _request(self) -> tuple:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not self.server._stopping.is_set():
            events = self.conn.receive_data(self._receive(0.2))
            self._send(self.conn.data_to_send())
            for event in events:
                if isinstance(event, h2.events.RequestReceived):
                    headers = dict(event.headers)
                    return event.stream_id, headers.get(":path", "")
        raise _ClientGone

    def _flood(self, frames: list) -> str:
        """Write ``frames`` again and again, reading and dropping what the client sends."""
        batch = b"".join(frames)
        while not self._over():
            self._send(batch)
            self.frames += len(frames)
            while self._receive(0):
                pass
        return "gave up"

    def _stall(self) -> str:
        # The body the client sends is read (so TCP never pushes back) but
        # never acknowledged: its windows close once used up.
        next_ping = time.monotonic()
        while not self._over():
            now = time.monotonic()
            if now >= next_ping:
                self._send(_PING)
                self.frames += 1
                next_ping = now + self.server.ping_every
            self._receive(min(0.2, max(next_ping - now, 0)))
        return "gave up"

    def _body(self, stream_id: int, size: int, total: int) -> str:
        conn = self.conn
        conn.send_headers(stream_id, [(":status", "200"), ("content-length", str(total))])
        self._send(conn.data_to_send())
        body = pattern(total)
        # h2 never learns of the raw DATA frames, so its window is the
        # client's whole grant and ``sent`` is what is used of it.
        sent = 0
        while sent < total:
            # At most 64 KiB of body between two looks at the client's
            # window updates, however finely it is cut.
            room = min(conn.local_flow_control_window(stream_id) - sent, total - sent, 1 << 16)
            if room < total - sent:
                room -= room % size
            if room <= 0:
                conn.receive_data(self._receive(1.0))
                self._send(conn.data_to_send())
                if self._over():
                    return "gave up"
                continue
            chunk = []
            end = sent + room
            while sent < end:
                piece = body[sent : min(sent + size, end)]
                sent += len(piece)
                self.frames += 1
                chunk.append(_frame(0x0, 0x1 if sent == total else 0, stream_id, piece))
            self._send(b"".join(chunk))
            conn.receive_data(self._receive(0))
            self._send(conn.data_to_send())
        # Kept open until the client has read the body and hangs up.
        while not self._over():
            try:
                conn.receive_data(self._receive(0.2))
            except _ClientGone:
                break
        return "sent"


def _receive(tls: ssl.SSLSocket, wait: float) -> bytes:
    if not tls.pending():
        readable, _, _ = select.select([tls], [], [], wait)
        if not readable:
            return b""
    try:
        data = tls.recv(65536)
    except ssl.SSLWantReadError:
        return b""
    if not data:
        raise _ClientGone
    return data


def _serve_http1(tls: ssl.SSLSocket) -> None:
    """The bodies of ``/frames`` and ``/chunks`` over HTTP/1.1, one request per connection."""
    head = b""
    try:
        while b"\r\n\r\n" not in head and len(head) < 65536:
            data = tls.recv(65536)
            if not data:
                return
            head += data
        path = head.split(b" ", 2)[1].decode("latin-1")
        kind, size, total = path.strip("/").split("/")
        body = pattern(int(total))
        if kind == "frames":
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body)
        else:
            step = int(size)
            chunks = [b"%x\r\n%s\r\n" % (len(body[i : i + step]), body[i : i + step]) for i in range(0, len(body), step)]
            tls.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                        + b"".join(chunks) + b"0\r\n\r\n")
        tls.unwrap()
    except (OSError, ssl.SSLError, ValueError):
        return
