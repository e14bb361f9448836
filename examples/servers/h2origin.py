"""An HTTP/2 origin over TLS: hypercorn serving a small recording ASGI app.

ALPN offers h2 and http/1.1, so a client that does not ask for HTTP/2 is
served (and recorded) as HTTP/1.1.
"""

from __future__ import annotations

import asyncio
import logging
import threading
import time

from hypercorn.asyncio import serve
from hypercorn.config import Config

from ._util import MAX_BODY, Recording, listen_socket, start_thread
from .certs import TlsCA
from .content import route
from .origin import RecordedRequest


class H2Origin(Recording):
    """TLS origin speaking HTTP/2 (and HTTP/1.1 when the client offers only that).

    ``url`` ends in ``/``; ``requests`` lists ``RecordedRequest`` objects whose
    ``version`` is ``"HTTP/2"`` when h2 was negotiated. Header names are the
    lower-case ones the server library delivers. Paths as in ``content.route``:
    ``/cp1251`` serves windows-1251 text with no charset in its Content-Type.
    """

    scheme = "https"

    def __init__(self, ca: TlsCA) -> None:
        super().__init__()
        self._ca = ca
        self._loop: asyncio.AbstractEventLoop | None = None
        self._shutdown: asyncio.Event | None = None
        self._thread: threading.Thread | None = None
        self._failure: BaseException | None = None
        self._started = threading.Event()

    async def _app(self, scope, receive, send):
        if scope["type"] == "lifespan":
            while True:
                message = await receive()
                if message["type"] == "lifespan.startup":
                    await send({"type": "lifespan.startup.complete"})
                    self._started.set()
                elif message["type"] == "lifespan.shutdown":
                    await send({"type": "lifespan.shutdown.complete"})
                    return
        if scope["type"] != "http":
            return
        body = bytearray()
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                return
            body += message.get("body", b"")
            if len(body) > MAX_BODY:
                return
            if not message.get("more_body", False):
                break
        path = scope["raw_path"].decode("latin-1") if scope.get("raw_path") else scope["path"]
        if scope.get("query_string"):
            path += "?" + scope["query_string"].decode("latin-1")
        client = scope.get("client") or ("", 0)
        self._log.add(RecordedRequest(
            method=scope["method"],
            path=path,
            version="HTTP/" + scope["http_version"],
            headers=[(k.decode("latin-1"), v.decode("latin-1")) for k, v in scope["headers"]],
            body=bytes(body),
            peer=(client[0], client[1]),
            tls={"alpn": "h2" if scope["http_version"] == "2" else "http/1.1"},
        ))
        status, headers, payload = route(path)
        await send({
            "type": "http.response.start",
            "status": status,
            "headers": [(k.lower().encode(), v.encode()) for k, v in headers]
            + [(b"content-length", str(len(payload)).encode())],
        })
        await send({"type": "http.response.body", "body": payload})

    def start(self) -> "H2Origin":
        sock = listen_socket()
        self.port = sock.getsockname()[1]
        config = Config()
        # hypercorn takes over the already-listening descriptor: no port race.
        config.bind = [f"fd://{sock.detach()}"]
        config.certfile = self._ca.cert_path
        config.keyfile = self._ca.key_path
        config.alpn_protocols = ["h2", "http/1.1"]
        config.graceful_timeout = 1
        config.accesslog = None
        quiet = logging.getLogger("servers.h2origin")
        quiet.addHandler(logging.NullHandler())
        quiet.propagate = False
        config.errorlog = quiet

        def run() -> None:
            loop = asyncio.new_event_loop()
            asyncio.set_event_loop(loop)
            self._loop = loop
            self._shutdown = asyncio.Event()
            try:
                loop.run_until_complete(serve(self._app, config, shutdown_trigger=self._shutdown.wait))
            except BaseException as exc:  # reported by start()/stop()
                self._failure = exc
            finally:
                loop.close()

        self._started.clear()
        self._thread = start_thread(run, name="h2-origin")
        # The socket already listens, so connections made from here on wait in
        # its backlog; hypercorn accepts right after the app's startup. Probing
        # the port instead would leave a failed handshake in the server's log.
        deadline = time.monotonic() + 10
        while not self._started.wait(0.05):
            if not self._thread.is_alive() or time.monotonic() > deadline:
                self._thread.join(1)
                raise RuntimeError(f"HTTP/2 origin did not start: {self._failure!r}")
        return self

    def _begin_shutdown(self) -> None:
        self._shutdown.set()
        # Clients that keep their connection open (HTTP/2 clients always do)
        # would hold hypercorn's wait for closed connections forever; cut them
        # once answers in flight have had a moment.
        self._loop.call_later(0.2, self._abort_connections)

    def _abort_connections(self) -> None:
        # The selector loop keeps its connection transports here; listening
        # sockets are not among them.
        for transport in list(getattr(self._loop, "_transports", {}).values()):
            if not transport.is_closing():
                transport.abort()

    def stop(self) -> None:
        if self._thread is None:
            return
        if self._loop is not None and self._thread.is_alive():
            self._loop.call_soon_threadsafe(self._begin_shutdown)
        self._thread.join(10)
        if self._thread.is_alive():
            raise RuntimeError("HTTP/2 origin did not stop within 10s")
        if self._failure is not None and not isinstance(self._failure, asyncio.CancelledError):
            raise RuntimeError(f"HTTP/2 origin failed: {self._failure!r}")
        self._thread = None
