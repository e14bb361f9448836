"""A listener that records the TLS ClientHello a client sends, then hangs up.

The client's request fails (the handshake is refused with a fatal alert);
what matters is the offer it made: cipher suites, extensions and ALPN.
"""

from __future__ import annotations

import asyncio
import inspect
import socket
import ssl
import threading
import time
from dataclasses import dataclass, field
from functools import lru_cache

from ._util import LOCALHOST, Log, ThreadGroup, listen_socket, snapshot_of, start_thread

EXT_SERVER_NAME = 0
EXT_ALPN = 16
EXT_SESSION_TICKET = 35
EXT_SUPPORTED_VERSIONS = 43

# A ClientHello is a few hundred bytes; anything far larger is not one.
_MAX_HELLO = 1 << 17
# Fatal alert, handshake_failure: the client stops at once instead of waiting.
_ALERT_HANDSHAKE_FAILURE = b"\x15\x03\x03\x00\x02\x02\x28"

_SIGNALLING = {
    0x00FF: "TLS_EMPTY_RENEGOTIATION_INFO_SCSV",
    0x5600: "TLS_FALLBACK_SCSV",
}


@lru_cache(maxsize=1)
def cipher_names() -> dict[int, str]:
    """Two-byte TLS cipher suite id -> OpenSSL name, for every suite this OpenSSL knows."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    for selection in ("ALL:COMPLEMENTOFALL:@SECLEVEL=0", "ALL:@SECLEVEL=0"):
        try:
            ctx.set_ciphers(selection)
            break
        except ssl.SSLError:
            continue
    names = dict(_SIGNALLING)
    for entry in ctx.get_ciphers():
        # OpenSSL ids carry a 0x0300 prefix over the two bytes sent on the wire.
        names[entry["id"] & 0xFFFF] = entry["name"]
    return names


def is_grease(value: int) -> bool:
    """GREASE values (RFC 8701) look like 0x?A?A with equal bytes."""
    return (value & 0x0F0F) == 0x0A0A and (value >> 8) == (value & 0xFF)


def cipher_label(suite: int) -> str:
    """OpenSSL name of a suite id, or ``0x....`` for GREASE and unknown ids."""
    if is_grease(suite):
        return f"0x{suite:04x}"
    return cipher_names().get(suite, f"0x{suite:04x}")


@dataclass
class ClientHello:
    """What a client offered in its first flight."""

    legacy_version: int
    cipher_ids: list[int]
    extensions: list[int]
    alpn: list[str] | None = None
    server_name: str | None = None
    supported_versions: list[int] = field(default_factory=list)
    record_count: int = 1
    raw: bytes = b""

    @property
    def ciphers(self) -> list[str]:
        """Offered suites in offer order, as OpenSSL names (hex for GREASE/unknown)."""
        return [cipher_label(c) for c in self.cipher_ids]

    @property
    def offers_alpn(self) -> bool:
        return EXT_ALPN in self.extensions

    @property
    def offers_session_ticket(self) -> bool:
        return EXT_SESSION_TICKET in self.extensions


# This reader and parser are written apart from the package's own
# (pelun_online_sdk/_cli/clienthello.py) on purpose, and must stay so: the
# tests check what the `fingerprint` command reports against what this
# recorder saw on the wire, and a check sharing the code it checks proves
# nothing.
class _Reader:
    def __init__(self, data: bytes, what: str) -> None:
        self.data, self.pos, self.what = data, 0, what

    def take(self, n: int) -> bytes:
        if self.pos + n > len(self.data):
            raise ValueError(f"truncated {self.what}")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def uint(self, n: int) -> int:
        return int.from_bytes(self.take(n), "big")

    def vector(self, len_bytes: int) -> bytes:
        return self.take(self.uint(len_bytes))

    def done(self) -> bool:
        return self.pos >= len(self.data)


def parse_client_hello(handshake: bytes, record_count: int = 1) -> ClientHello:
    """Parse one handshake message (4-byte header included) that must be a ClientHello."""
    msg = _Reader(handshake, "handshake header")
    if msg.uint(1) != 1:
        raise ValueError(f"handshake type {handshake[0]} is not ClientHello")
    body = _Reader(msg.vector(3), "ClientHello")
    legacy_version = body.uint(2)
    body.take(32)  # random
    body.vector(1)  # legacy session id
    suites = body.vector(2)
    if len(suites) % 2:
        raise ValueError("odd cipher suite list length")
    cipher_ids = [int.from_bytes(suites[i:i + 2], "big") for i in range(0, len(suites), 2)]
    body.vector(1)  # compression methods
    hello = ClientHello(legacy_version, cipher_ids, [], record_count=record_count, raw=handshake)
    if body.done():  # extensions are optional
        return hello
    exts = _Reader(body.vector(2), "extensions")
    while not exts.done():
        ext_type = exts.uint(2)
        data = exts.vector(2)
        hello.extensions.append(ext_type)
        if ext_type == EXT_ALPN:
            alpn = _Reader(data, "ALPN extension")
            protocols = _Reader(alpn.vector(2), "ALPN list")
            hello.alpn = []
            while not protocols.done():
                hello.alpn.append(protocols.vector(1).decode("ascii", "replace"))
        elif ext_type == EXT_SERVER_NAME and data:
            names = _Reader(_Reader(data, "SNI").vector(2), "SNI list")
            while not names.done():
                kind, name = names.uint(1), names.vector(2)
                if kind == 0:
                    hello.server_name = name.decode("ascii", "replace")
        elif ext_type == EXT_SUPPORTED_VERSIONS and data:
            versions = _Reader(_Reader(data, "versions").vector(1), "versions list")
            while not versions.done():
                hello.supported_versions.append(versions.uint(2))
    return hello


def read_client_hello(sock: socket.socket, timeout: float = 5.0) -> ClientHello:
    """Read TLS records from ``sock`` until one whole ClientHello has arrived.

    The hello may be split over several TCP reads and over several handshake
    records; fragments are joined before parsing.
    """
    deadline = time.monotonic() + timeout
    buffer = b""
    handshake = b""
    records = 0
    while True:
        # Drain complete records already in the buffer.
        while len(buffer) >= 5:
            content_type, length = buffer[0], int.from_bytes(buffer[3:5], "big")
            if content_type != 22:
                raise ValueError(f"record type {content_type} is not a handshake record")
            if len(buffer) < 5 + length:
                break
            handshake += buffer[5:5 + length]
            buffer = buffer[5 + length:]
            records += 1
            if len(handshake) >= 4:
                need = 4 + int.from_bytes(handshake[1:4], "big")
                if len(handshake) >= need:
                    return parse_client_hello(handshake[:need], records)
        if len(buffer) + len(handshake) > _MAX_HELLO:
            raise ValueError("ClientHello too large")
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("incomplete ClientHello")
        sock.settimeout(left)
        chunk = sock.recv(65536)
        if not chunk:
            raise ValueError("connection closed before a whole ClientHello arrived")
        buffer += chunk


class ClientHelloRecorder:
    """Accepts TCP connections on 127.0.0.1, records each ClientHello, refuses the handshake.

    ``url`` is ``https://127.0.0.1:PORT/``. ``hellos`` lists what was recorded;
    ``errors`` lists connections that sent no parseable hello.
    """

    def __init__(self, read_timeout: float = 5.0) -> None:
        self.read_timeout = read_timeout
        self._log = Log()
        self._errors = Log()
        self._conns = ThreadGroup()
        self._sock: socket.socket | None = None
        self._thread: threading.Thread | None = None
        self._stopping = threading.Event()
        self.port = 0

    @property
    def url(self) -> str:
        return f"https://{LOCALHOST}:{self.port}/"

    hellos = snapshot_of("_log", "The recorded ``ClientHello``s, in arrival order.")
    errors = snapshot_of(
        "_errors", "Connections that sent no parseable hello, as 'Type: message' lines."
    )

    def reset(self) -> None:
        """Forget recorded hellos and errors."""
        self._log.clear()
        self._errors.clear()

    def wait(self, count: int = 1, timeout: float = 15.0) -> list[ClientHello]:
        """All hellos recorded, once at least ``count`` have arrived."""
        try:
            return self._log.wait(count, timeout, "ClientHellos")
        except TimeoutError as exc:
            raise TimeoutError(f"{exc}; connection errors: {self.errors}") from None

    def capture(self, attempt, timeout: float = 15.0) -> ClientHello:
        """Run ``attempt()`` (its expected failure is swallowed) and return the first new hello.

        ``attempt`` may return a coroutine (an aiohttp request, say); it is run
        with ``asyncio.run``, so in an async test await the request yourself
        and call ``wait()`` instead.
        """
        before = len(self._log)
        try:
            result = attempt()
        except Exception:
            result = None
        if inspect.isawaitable(result):
            _run_to_end(result, timeout)
        return self.wait(before + 1, timeout)[before]

    def start(self) -> "ClientHelloRecorder":
        self._sock = listen_socket()
        self.port = self._sock.getsockname()[1]
        self._thread = start_thread(self._serve, name="hello-recorder")
        return self

    def stop(self) -> None:
        self._stopping.set()
        if self._sock is not None:
            try:
                self._sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self._sock.close()
        if self._thread is not None:
            self._thread.join(5)
        self._conns.join(self.read_timeout + 1)

    def _serve(self) -> None:
        while not self._stopping.is_set():
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            self._conns.start(self._handle, conn, name="hello-conn")

    def _handle(self, conn: socket.socket) -> None:
        with conn:
            try:
                hello = read_client_hello(conn, self.read_timeout)
            except (OSError, ValueError, TimeoutError) as exc:
                self._errors.add(f"{type(exc).__name__}: {exc}")
                return
            self._log.add(hello)
            try:
                conn.sendall(_ALERT_HANDSHAKE_FAILURE)
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def _run_to_end(awaitable, timeout: float) -> None:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        pass
    else:
        if inspect.iscoroutine(awaitable):
            awaitable.close()
        raise RuntimeError("capture() cannot run a coroutine inside a running event loop; "
                           "await the request, then call wait()")

    async def bounded():
        return await asyncio.wait_for(awaitable, timeout)

    try:
        asyncio.run(bounded())
    except Exception:
        pass
