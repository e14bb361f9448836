"""A threaded HTTP/1.1 origin, plain or over TLS, that records every request.

Built on ``http.server`` so that header names keep the case and order in
which the client sent them.
"""

from __future__ import annotations

import socket
import ssl
import threading
from collections import deque
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, HTTPServer

from ._util import (
    MAX_BODY, ConnectionSet, Log, Recording, ThreadGroup, listen_socket, snapshot_of, start_thread,
)
from .content import route


@dataclass
class RecordedRequest:
    """One request as the server saw it.

    ``headers`` is a list of (name, value) pairs in arrival order; HTTP/1.1
    origins keep the name case the client used, the HTTP/2 origin has the
    lower-case names the protocol mandates. ``version`` is ``"HTTP/1.1"``,
    ``"HTTP/2"``... ``peer`` is the client's (host, port). ``tls`` is None for
    plain HTTP, else {"version", "cipher", "alpn"} as negotiated.
    """

    method: str
    path: str
    version: str
    headers: list[tuple[str, str]]
    body: bytes
    peer: tuple[str, int]
    tls: dict | None = None

    def header(self, name: str, default: str | None = None) -> str | None:
        """First value of a header, name matched case-insensitively."""
        lname = name.lower()
        for key, value in self.headers:
            if key.lower() == lname:
                return value
        return default

    def header_all(self, name: str) -> list[str]:
        lname = name.lower()
        return [value for key, value in self.headers if key.lower() == lname]

    @property
    def header_names(self) -> list[str]:
        return [key for key, _ in self.headers]


@dataclass
class Response:
    status: int
    headers: list[tuple[str, str]] = field(default_factory=list)
    body: bytes = b""


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Idle keep-alive connections end on their own rather than pinning a thread.
    timeout = 10

    def log_message(self, format, *args):  # noqa: A002 - stdlib signature
        pass

    def _read_body(self) -> bytes:
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            chunks = []
            total = 0
            while True:
                size_line = self.rfile.readline(1024)
                if not size_line:
                    raise ConnectionError("connection closed inside a chunked body")
                size = int(size_line.split(b";", 1)[0].strip(), 16)
                if size == 0:
                    # Trailers end with an empty line.
                    while self.rfile.readline(8192) not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                total += size
                if total > MAX_BODY:
                    raise ValueError("body too large")
                chunks.append(self.rfile.read(size))
                self.rfile.readline(8)
        length = int(self.headers.get("Content-Length") or 0)
        if length > MAX_BODY:
            raise ValueError("body too large")
        return self.rfile.read(length) if length else b""

    def _handle(self) -> None:
        owner: RecordingOrigin = self.server.owner
        body = self._read_body()
        tls = None
        if isinstance(self.connection, ssl.SSLSocket):
            cipher = self.connection.cipher()
            tls = {
                "version": self.connection.version(),
                "cipher": cipher[0] if cipher else None,
                "alpn": self.connection.selected_alpn_protocol(),
            }
        request = RecordedRequest(
            method=self.command,
            path=self.path,
            version=self.request_version,
            headers=list(self.headers.items()),
            body=body,
            peer=self.client_address[:2],
            tls=tls,
        )
        response = owner._respond(request)
        owner._log.add(request)
        self.send_response(response.status)
        for name, value in response.headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(response.body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(response.body)

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = do_OPTIONS = _handle


class _Server(HTTPServer):
    def __init__(self, owner: "RecordingOrigin", sock: socket.socket) -> None:
        self.owner = owner
        super().__init__(sock.getsockname(), _Handler, bind_and_activate=False)
        self.socket.close()
        self.socket = sock

    def process_request(self, request, client_address):
        # One thread per connection, tracked so that stop() can join them.
        self.owner._threads.start(self._run_connection, request, client_address)

    def _run_connection(self, request, client_address):
        conn = request
        self.owner._conns.add(request)
        try:
            if self.owner._tls is not None:
                # Handshake here, in the connection's thread, so a slow or
                # failing client never blocks the accept loop.
                request.settimeout(10)
                conn = self.owner._tls.wrap_socket(request, server_side=True)
                self.owner._conns.add(conn)
            self.finish_request(conn, client_address)
        except (OSError, ValueError, ConnectionError) as exc:
            self.owner._errors.add(f"{type(exc).__name__}: {exc}")
        finally:
            self.owner._conns.discard(request)
            self.owner._conns.discard(conn)
            for sock in {request, conn}:
                try:
                    sock.close()
                except OSError:
                    pass


class RecordingOrigin(Recording):
    """HTTP/1.1 origin on 127.0.0.1 that records requests and answers from ``content.route``.

    ``url`` ends in ``/``. ``requests`` lists ``RecordedRequest`` objects in
    arrival order; ``errors`` lists connections that failed (TLS handshake
    refused by the client, malformed request...). ``fail_next`` queues
    answers that take precedence over the normal routes.
    """

    def __init__(self, tls_context: ssl.SSLContext | None = None) -> None:
        super().__init__()
        self._tls = tls_context
        self._errors = Log()
        self._threads = ThreadGroup()
        self._conns = ConnectionSet()
        self._queue: deque[Response] = deque()
        self._queue_lock = threading.Lock()
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None

    @property
    def scheme(self) -> str:
        return "https" if self._tls is not None else "http"

    errors = snapshot_of("_errors", "Connections that failed, as 'Type: message' lines.")

    def fail_next(self, times: int, status: int = 503,
                  headers: list[tuple[str, str]] | None = None) -> None:
        """Answer the next ``times`` requests with ``status`` (and ``headers``), then as usual."""
        with self._queue_lock:
            for _ in range(times):
                self._queue.append(Response(status, list(headers or []), b"unavailable"))

    def reset(self) -> None:
        """Forget recorded requests, errors and queued answers."""
        with self._queue_lock:
            self._queue.clear()
        super().reset()
        self._errors.clear()

    def _failure_note(self) -> str:
        return f"; errors: {self.errors}"

    def _respond(self, request: RecordedRequest) -> Response:
        with self._queue_lock:
            if self._queue:
                return self._queue.popleft()
        status, headers, body = route(request.path)
        return Response(status, headers, body)

    def start(self) -> "RecordingOrigin":
        sock = listen_socket()
        self.port = sock.getsockname()[1]
        self._server = _Server(self, sock)
        self._thread = start_thread(self._server.serve_forever, poll_interval=0.05,
                                    name=f"{self.scheme}-origin")
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._server.shutdown()
        self._server.server_close()
        self._conns.shutdown_all()
        self._thread.join(5)
        self._threads.join(5)
        self._server = None
