"""An aiohttp web server that parses form bodies with aiohttp's own parser.

Runs in its own thread with its own event loop, so tests using either sync
or async clients can post to it.
"""

from __future__ import annotations

import asyncio
import threading
from dataclasses import dataclass

from aiohttp import web

from ._util import MAX_BODY, Recording, listen_socket, start_thread


@dataclass
class FilePart:
    """A multipart part that carried a filename."""

    filename: str
    content_type: str
    data: bytes


@dataclass
class FormRequest:
    """A request as parsed by ``await request.post()``.

    ``fields`` holds (name, value) pairs in body order: ``str`` for text parts
    and urlencoded fields, ``bytes`` for non-text parts without a filename,
    ``FilePart`` for parts with one. ``content_type`` is the raw Content-Type
    header (boundary parameter included), or None. ``error`` is set, and the
    answer is 400, when the body could not be parsed.
    """

    method: str
    path: str
    version: str
    headers: list[tuple[str, str]]
    content_type: str | None
    fields: list[tuple[str, object]]
    error: str | None = None

    @property
    def form(self) -> dict[str, object]:
        """name -> value (the last one when a name repeats)."""
        return dict(self.fields)

    @property
    def boundary(self) -> str | None:
        """The boundary parameter of the Content-Type header, unquoted."""
        if not self.content_type:
            return None
        for param in self.content_type.split(";")[1:]:
            key, _, value = param.strip().partition("=")
            if key.strip().lower() == "boundary":
                value = value.strip()
                if len(value) >= 2 and value[0] == value[-1] == '"':
                    value = value[1:-1]
                return value
        return None


class FormOrigin(Recording):
    """Plain-HTTP aiohttp server on 127.0.0.1 recording parsed form posts (any path, any method).

    ``requests`` and ``last`` are ``FormRequest`` objects.
    """

    def __init__(self) -> None:
        super().__init__()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._runner: web.AppRunner | None = None
        self._thread: threading.Thread | None = None

    async def _handle(self, request: web.Request) -> web.Response:
        record = FormRequest(
            method=request.method,
            path=request.path_qs,
            version=f"HTTP/{request.version.major}.{request.version.minor}",
            headers=[(k.decode("latin-1"), v.decode("latin-1")) for k, v in request.raw_headers],
            content_type=request.headers.get("Content-Type"),
            fields=[],
        )
        try:
            form = await request.post()
            for name, value in form.items():
                if isinstance(value, web.FileField):
                    # aiohttp spools file parts to a temporary file; close it
                    # here or it is left for the garbage collector to warn about.
                    with value.file:
                        value = FilePart(value.filename, value.content_type, value.file.read())
                elif isinstance(value, (bytes, bytearray)):
                    value = bytes(value)
                record.fields.append((name, value))
        except Exception as exc:  # a malformed body is a result, not a server crash
            record.error = f"{type(exc).__name__}: {exc}"
        self._log.add(record)
        if record.error:
            return web.Response(status=400, text=record.error)
        return web.Response(text="ok")

    def start(self) -> "FormOrigin":
        sock = listen_socket()
        self.port = sock.getsockname()[1]
        app = web.Application(client_max_size=MAX_BODY)
        app.router.add_route("*", "/{tail:.*}", self._handle)
        self._runner = web.AppRunner(app, access_log=None)
        loop = asyncio.new_event_loop()
        self._loop = loop
        ready = threading.Event()
        failure: list[BaseException] = []

        def run() -> None:
            # Everything on this loop happens in this thread, so starting the
            # server never collides with an event loop running in the caller.
            asyncio.set_event_loop(loop)
            try:
                loop.run_until_complete(self._runner.setup())
                loop.run_until_complete(web.SockSite(self._runner, sock).start())
            except BaseException as exc:
                failure.append(exc)
                ready.set()
                return
            ready.set()
            loop.run_forever()

        self._thread = start_thread(run, name="form-origin")
        if not ready.wait(10):
            raise TimeoutError("form origin did not start")
        if failure:
            raise failure[0]
        return self

    def stop(self) -> None:
        if self._loop is None:
            return
        if not self._thread.is_alive():
            self._loop.close()
            self._loop = None
            return
        try:
            asyncio.run_coroutine_threadsafe(self._runner.cleanup(), self._loop).result(10)
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(10)
            if not self._thread.is_alive():
                self._loop.close()
            self._loop = None
