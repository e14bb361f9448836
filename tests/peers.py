"""Peers that record what clients put on the wire, byte for byte.

``RawListener`` accepts connections and keeps every byte each one sends
(until the client closes it or goes quiet). ``CredentialProxy`` answers just
enough of the http, socks4 and socks5 proxy protocols to be sent the
client's credentials, records them as bytes, and refuses: it shows what the
credentials look like when they reach the proxy, and where they went.
"""

from __future__ import annotations

import base64
import itertools
import select
import socket
import threading
import time
from dataclasses import dataclass

from pelun_online_sdk._cli.sockets import receive_exactly
from servers._util import LOCALHOST, Log, ThreadGroup, listen_socket, start_thread

QUIET = 2.0  # seconds of silence after which a connection's bytes are taken as complete
# A client may open its connection and only then build its TLS context (httpcore
# does for a proxy): on a loaded machine its first byte can come seconds later.
FIRST_BYTE = 15.0


class _Acceptor:
    """Accepts on 127.0.0.1 and hands each connection to ``_serve`` in a thread."""

    def __init__(self) -> None:
        self._sock = listen_socket()
        self.port = self._sock.getsockname()[1]
        self._threads = ThreadGroup()
        self._stopped = threading.Event()
        # Held while a connection is taken from the backlog and counted, so
        # that it is always either pending or counted (see settled()).
        self._accept_lock = threading.Lock()
        self._accepting = start_thread(self._accept, name=type(self).__name__)

    def _accept(self) -> None:
        self._sock.setblocking(False)
        while not self._stopped.is_set():
            if not select.select([self._sock], [], [], 0.1)[0]:
                continue
            with self._accept_lock:
                try:
                    conn, _ = self._sock.accept()
                except OSError:  # taken by nobody else, but the client may have given up
                    continue
                self._accepted(conn)
            self._threads.start(self._run, conn)

    def _accepted(self, conn: socket.socket) -> None:
        """Called in the accepting thread, before the connection's own starts."""

    def _run(self, conn: socket.socket) -> None:
        with conn:
            conn.settimeout(QUIET)
            try:
                self._serve(conn)
            except OSError:
                pass

    def _serve(self, conn: socket.socket) -> None:
        raise NotImplementedError

    def stop(self) -> None:
        self._stopped.set()
        self._accepting.join(5)
        self._sock.close()
        self._threads.join(5)


class _Recorder(_Acceptor):
    """An acceptor that logs what each connection brought: ``wait`` returns
    the log once ``count`` entries are in it."""

    noun = "connections"  # what the log holds, for the error of a wait that times out

    def __init__(self) -> None:
        self._log = Log()
        super().__init__()

    def wait(self, count: int = 1, timeout: float = 15.0) -> list:
        return self._log.wait(count, timeout, self.noun)


class RawListener(_Recorder):
    """Records the bytes of every connection: ``connections`` holds one ``bytes`` per closed connection.

    ``reply`` is sent once the client has sent ``after`` (by default a blank
    line, the end of a request head, so an HTTP/1.1 client gets an answer
    and moves on; ``b""`` answers whatever comes first).
    """

    def __init__(self, reply: bytes = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok",
                 after: bytes = b"\r\n\r\n") -> None:
        self._reply = reply
        self._after = after
        super().__init__()

    @property
    def connections(self) -> list:
        return self._log.snapshot()

    def _serve(self, conn: socket.socket) -> None:
        received = bytearray()
        replied = False
        try:
            while True:
                conn.settimeout(QUIET if received else FIRST_BYTE)
                chunk = conn.recv(65536)
                if not chunk:
                    break
                received += chunk
                if not replied and self._after in received and self._reply:
                    conn.sendall(self._reply)
                    replied = True
        except OSError:
            pass
        finally:
            self._log.add(bytes(received))


@dataclass(frozen=True)
class Credentials:
    """What one client sent a ``CredentialProxy``: the protocol and the credentials as bytes."""

    protocol: str  # "http", "socks4" or "socks5"
    username: bytes | None
    password: bytes | None


class CredentialProxy(_Recorder):
    """Speaks http, socks4 and socks5 on one port until the client's credentials arrive, then refuses.

    ``received`` lists a ``Credentials`` per connection: for http the decoded
    ``Proxy-Authorization: Basic`` split at its first colon (None when the
    request had none: the proxy then asks for it with a 407), for socks5 the
    RFC 1929 fields, for socks4 the user id. ``heads`` keeps each http
    request head as it arrived.
    """

    noun = "proxy connections"

    def __init__(self) -> None:
        self.heads = Log()
        super().__init__()

    @property
    def received(self) -> list:
        return self._log.snapshot()

    def _serve(self, conn: socket.socket) -> None:
        first = conn.recv(1)
        if first == b"\x05":
            self._socks5(conn)
        elif first == b"\x04":
            self._socks4(conn)
        elif first:
            self._http(conn, first)

    def _record(self, conn: socket.socket, credentials: Credentials, refusal: bytes) -> None:
        # Recorded before the client hears the refusal: once a request has
        # failed, what it sent is in ``received``.
        self._log.add(credentials)
        conn.sendall(refusal)

    def _http(self, conn: socket.socket, first: bytes) -> None:
        head = first
        while b"\r\n\r\n" not in head:
            chunk = conn.recv(65536)
            if not chunk:
                break
            head += chunk
        self.heads.add(head)
        username = password = None
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"proxy-authorization":
                scheme, _, token = value.strip().partition(b" ")
                if scheme.lower() == b"basic":
                    username, _, password = base64.b64decode(token).partition(b":")
        self._record(conn, Credentials("http", username, password),
                     b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                     b"Proxy-Authenticate: Basic realm=\"test\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

    def _socks5(self, conn: socket.socket) -> None:
        methods = receive_exactly(conn, receive_exactly(conn, 1)[0])
        if b"\x02" not in methods:
            self._record(conn, Credentials("socks5", None, None), b"\x05\xff")
            return
        conn.sendall(b"\x05\x02")
        receive_exactly(conn, 1)  # sub-negotiation version 1
        username = receive_exactly(conn, receive_exactly(conn, 1)[0])
        password = receive_exactly(conn, receive_exactly(conn, 1)[0])
        self._record(conn, Credentials("socks5", username, password), b"\x01\x01")  # refused

    def _socks4(self, conn: socket.socket) -> None:
        receive_exactly(conn, 7)  # command, port, address
        user_id = b""
        while not user_id.endswith(b"\0"):
            user_id += receive_exactly(conn, 1)
        self._record(conn, Credentials("socks4", user_id[:-1], None), b"\x00\x5b" + b"\0" * 6)  # rejected


# --- origins and proxies that misbehave on cue ----------------------------------------------

BODY_WAIT = 3.0  # seconds an origin waits for the rest of a declared body before recording what came


@dataclass(frozen=True)
class Receipt:
    """One request as an origin received it: ``complete`` when the whole declared body arrived."""

    method: str
    path: str
    body: bytes
    complete: bool


def _read_head(conn: socket.socket, buffer: bytearray) -> bytes | None:
    while b"\r\n\r\n" not in buffer:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        buffer += chunk
    head, _, rest = bytes(buffer).partition(b"\r\n\r\n")
    buffer[:] = rest
    return head


def _header(head: bytes, name: bytes) -> bytes | None:
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name:
            return value.strip()
    return None


def _fill(conn: socket.socket, buffer: bytearray, enough) -> bool:
    """Reads into ``buffer`` until ``enough(buffer)``; False when the client stops short."""
    try:
        while not enough(buffer):
            chunk = conn.recv(65536)
            if not chunk:
                return False
            buffer += chunk
    except OSError:
        return False
    return True


def _read_exactly(conn: socket.socket, buffer: bytearray, n: int) -> bool:
    return _fill(conn, buffer, lambda buffer: len(buffer) >= n)


def _read_line(conn: socket.socket, buffer: bytearray) -> bool:
    return _fill(conn, buffer, lambda buffer: b"\r\n" in buffer)


def _read_body(conn: socket.socket, head: bytes, buffer: bytearray, limit: int | None = None) -> tuple[bytes, bool]:
    """The body that follows ``head`` (Content-Length or chunked), and whether it arrived whole.

    ``limit`` stops after that many body bytes, as a peer that hangs up
    mid-body does."""
    conn.settimeout(BODY_WAIT)
    if (_header(head, b"transfer-encoding") or b"").lower() == b"chunked":
        body = b""
        while True:
            if not _read_line(conn, buffer):
                return body, False
            line, _, rest = bytes(buffer).partition(b"\r\n")
            buffer[:] = rest
            size = int(line.split(b";")[0], 16)
            if size == 0:
                _read_line(conn, buffer)
                del buffer[:2]
                return body, True
            if not _read_exactly(conn, buffer, size + 2):
                return body + bytes(buffer[:size]), False
            body += bytes(buffer[:size])
            del buffer[:size + 2]
            if limit is not None and len(body) >= limit:
                return body[:limit], False
    length = int(_header(head, b"content-length") or 0)
    wanted = length if limit is None else min(length, limit)
    whole = _read_exactly(conn, buffer, wanted)
    body = bytes(buffer[:wanted])
    del buffer[:wanted]
    return body, whole and len(body) == length


def _reset(conn: socket.socket) -> None:
    """Close with a TCP reset, as a crashing peer's kernel does."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    conn.close()


def _answer(status: int, extra: bytes = b"") -> bytes:
    return (f"HTTP/1.1 {status} Scripted\r\nContent-Length: 2\r\n".encode() + extra + b"\r\nok")


class _Script:
    """What to do with the next requests, one step each, then "ok" for good."""

    def __init__(self) -> None:
        self._steps: list[str] = []
        self._lock = threading.Lock()

    def set(self, *steps: str) -> None:
        with self._lock:
            self._steps = list(steps)

    def next(self) -> str:
        with self._lock:
            return self._steps.pop(0) if self._steps else "ok"


class ScriptedOrigin(_Acceptor):
    """An HTTP/1.1 origin that records every request's body as it arrives and misbehaves on cue.

    ``script(*steps)`` sets what the next requests get, one step each, then
    "ok" (200) for good. Steps: "ok"; a status code as text ("503"), which
    may carry header lines after it ("503\r\nRetry-After: 5");
    "reset" (a TCP reset after half the body); "close" (the whole body read,
    then the connection closed with no answer); "late" (the whole body read,
    then no answer until the client hangs up, ``BODY_WAIT`` s at most); "307" and "308" redirect to
    ``/moved``. ``receipts`` lists a ``Receipt`` per request; ``settled()``
    returns once every request that reached the origin is among them.
    """

    def __init__(self) -> None:
        self._log = Log()
        self._script = _Script()
        self._state = threading.Condition()
        self._busy = 0  # connections accepted and not waiting for a next request
        self._idle: set = set()  # kept-alive connections waiting for one
        self._queued: dict = {}  # open connection -> its place in the accept order
        self._accepted_count = itertools.count()
        super().__init__()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/"

    @property
    def receipts(self) -> list:
        """In the order the requests were sent: by the connection's place in
        the listener's queue, then by the request's place on its connection.
        A body cut short can be recorded after the whole one of the retry
        that followed it, and a loaded machine can even read the retry's head
        first, but the retry's connection always queues after the one it
        replaces (each retry here waits for the attempt before to fail)."""
        return [receipt for _, receipt in sorted(self._log.snapshot(), key=lambda entry: entry[0])]

    def script(self, *steps: str) -> None:
        self._script.set(*steps)

    def reset(self) -> None:
        self.settled()
        self._script.set()
        self._log.clear()

    def settled(self, timeout: float = 15.0) -> list:
        """The receipts, once no connection is being accepted, read or answered:
        what a client sent before the call is recorded by then."""
        deadline = time.monotonic() + timeout
        while True:
            with self._accept_lock, self._state:
                busy, idle = self._busy, list(self._idle)
                try:
                    pending = select.select([self._sock, *idle], [], [], 0)[0]
                except (OSError, ValueError):  # a socket closed meanwhile: look again
                    pending = [None]
            if not busy and not pending:
                return self.receipts
            if time.monotonic() > deadline:
                raise TimeoutError(f"origin still busy after {timeout}s ({busy} connections)")
            with self._state:
                self._state.wait(0.02)

    def _accepted(self, conn: socket.socket) -> None:
        with self._state:
            self._busy += 1
            self._queued[conn] = next(self._accepted_count)

    def _run(self, conn: socket.socket) -> None:
        try:
            super()._run(conn)
        finally:
            with self._state:
                self._busy -= 1
                self._idle.discard(conn)
                del self._queued[conn]
                self._state.notify_all()

    def _waiting(self, conn: socket.socket, waiting: bool) -> None:
        with self._state:
            if waiting:
                self._busy -= 1
                self._idle.add(conn)
            else:
                self._busy += 1
                self._idle.discard(conn)
            self._state.notify_all()

    def _serve(self, conn: socket.socket) -> None:
        buffer = bytearray()
        with self._state:
            queued = self._queued[conn]
        for on_connection in itertools.count():
            if not buffer and not self._next_request_arrives(conn):
                return
            conn.settimeout(QUIET)
            head = _read_head(conn, buffer)
            if head is None or not self._handle(conn, head, buffer, (queued, on_connection)):
                return

    def _next_request_arrives(self, conn: socket.socket) -> bool:
        """Waits, counted idle, until the connection has bytes to read (or QUIET
        passes): counted busy again before they are read, never after."""
        self._waiting(conn, True)
        try:
            return bool(select.select([conn], [], [], QUIET)[0])
        finally:
            self._waiting(conn, False)

    def _handle(self, conn: socket.socket, head: bytes, buffer: bytearray, place: tuple) -> bool:
        """Records and answers one request; False when the connection is done with."""
        method, path = head.split(b" ")[:2]
        step = self._script.next()
        limit = max(1, int(_header(head, b"content-length") or 2) // 2) if step == "reset" else None
        body, complete = _read_body(conn, head, buffer, limit)
        self._log.add((place, Receipt(method.decode(), path.decode(), body, complete and step != "reset")))
        if step == "reset":
            _reset(conn)
        elif step == "late":
            select.select([conn], [], [], BODY_WAIT)  # no answer, until the client gives up
        elif step in ("307", "308"):
            conn.sendall(_answer(int(step), b"Location: /moved\r\n"))
        elif step != "close":
            status, _, headers = step.partition("\r\n")
            conn.sendall(_answer(200 if step == "ok" else int(status), headers.encode() + b"\r\n" if headers else b""))
        return step not in ("reset", "close", "late")


class DyingProxy(_Acceptor):
    """An http proxy that forwards plain http requests to their origin and fails on cue.

    ``script(*steps)`` as for ``ScriptedOrigin``. Steps: "ok" (forward, relay
    the answer); "die" (forward the whole request, wait until the origin
    answers, then drop the client without relaying it: the origin has the
    request, the client cannot know); "die-mid-body" (forward the head and
    half the body, then drop both sides); "502" (answer 502, forward nothing).
    """

    def __init__(self) -> None:
        self._script = _Script()
        super().__init__()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def script(self, *steps: str) -> None:
        self._script.set(*steps)

    def _serve(self, conn: socket.socket) -> None:
        buffer = bytearray()
        while True:
            conn.settimeout(QUIET)
            head = _read_head(conn, buffer)
            if head is None:
                return
            step = self._script.next()
            if step == "502":
                _read_body(conn, head, buffer)
                conn.sendall(_answer(502))
                continue
            target = head.split(b" ")[1].split(b"/")[2]  # absolute form: http://host:port/path
            host, _, port = target.decode().rpartition(":")
            limit = max(1, int(_header(head, b"content-length") or 8) // 2) if step == "die-mid-body" else None
            body, _ = _read_body(conn, head, buffer, limit)
            with socket.create_connection((host, int(port)), timeout=QUIET) as upstream:
                upstream.sendall(self._forwarded(head, body, step))
                # Dying, the origin's side goes first: it has whatever it
                # will get before the client hears of the failure.
                answer = b"" if step == "die-mid-body" else upstream.recv(65536)
            if step in ("die", "die-mid-body"):
                _reset(conn)
                return
            conn.sendall(answer)

    @staticmethod
    def _forwarded(head: bytes, body: bytes, step: str) -> bytes:
        """The request as it came (a chunked body as one chunk); dying mid-body, cut short."""
        whole = step != "die-mid-body"
        if (_header(head, b"transfer-encoding") or b"").lower() == b"chunked":
            framed = b"%x\r\n%s\r\n" % (len(body), body) + (b"0\r\n\r\n" if whole else b"")
            return head + b"\r\n\r\n" + framed
        return head + b"\r\n\r\n" + body


# --- proxies whose handshake never ends well -------------------------------------------------

PACE = 0.05  # seconds between the bytes a trickling proxy sends: far below any read timeout used
_ESTABLISHED = b"HTTP/1.1 200 Connection established\r\n"


class StallingProxy(_Acceptor):
    """A proxy whose handshake goes one wrong way, named by ``act`` (see ``ACTS``).

    Nothing is ever relayed. Each connection is held until the client hangs
    up; ``ended`` records how long each was held, in seconds (those the
    proxy's stop() ended are left out), and ``accepted`` counts them.
    """

    # For each message the client sends, in turn: the pause before each piece
    # of the answer, the pieces, and a piece repeated after them without end.
    # Then silence.
    ACTS = {
        # a 200 to CONNECT, then one header line a byte every PACE s, or header lines without end
        "trickle": [(PACE, [_ESTABLISHED + b"X-Slow: "], b"a")],
        "endless": [(0.005, [_ESTABLISHED], b"X-Line: x\r\n" * 100)],
        # socks5: no answer to the greeting, or its first byte alone; no authentication, then
        # the reply cut short, or a byte every PACE s, or with an address type that does not exist
        "socks5-silent": [],
        "socks5-greeting": [(0, [b"\x05"], None)],
        "socks5-reply": [(0, [b"\x05\x00"], None), (0, [b"\x05\x00\x00\x01\x7f"], None)],
        "socks5-trickle": [(0, [b"\x05\x00"], None), (PACE, [b"\x05\x00\x00\x03\xff"], b"a")],
        "socks5-atype": [(0, [b"\x05\x00"], None), (0, [b"\x05\x00\x00\x09" + bytes(6)], None)],
        "socks4-reply": [(0, [b"\x00\x5a\x00"], None)],  # three bytes of eight
    }

    def __init__(self, act: str) -> None:
        self.act = act
        self.ended = Log()
        self.accepted = 0
        super().__init__()

    def _accepted(self, conn: socket.socket) -> None:
        self.accepted += 1

    def _serve(self, conn: socket.socket) -> None:
        started = time.monotonic()
        try:
            self._play(conn)
        except OSError:
            pass  # the client hung up, or reset the connection
        if not self._stopped.is_set():
            self.ended.add(time.monotonic() - started)

    def _play(self, conn: socket.socket) -> None:
        for pause, pieces, then in self.ACTS[self.act]:
            if not conn.recv(65536):
                return
            for piece in itertools.chain(pieces, itertools.repeat(then) if then else ()):
                if not self._open(conn, pause):
                    return
                conn.sendall(piece)
        while self._open(conn, 0.1):
            pass

    def _open(self, conn: socket.socket, seconds: float) -> bool:
        """Waits ``seconds``; False once the client has hung up or the proxy stops."""
        if select.select([conn], [], [], seconds)[0] and not conn.recv(65536):
            return False
        return not self._stopped.is_set()


class TlsFront(_Acceptor):
    """TLS on its own port, and the bytes carried to and from a plain port of
    127.0.0.1 behind it: an https proxy made of an http one."""

    def __init__(self, context, upstream_port: int) -> None:
        self._context = context
        self._upstream = upstream_port
        super().__init__()

    def _serve(self, conn: socket.socket) -> None:
        conn.settimeout(FIRST_BYTE)  # for the handshake
        with self._context.wrap_socket(conn, server_side=True) as tls, \
                socket.create_connection((LOCALHOST, self._upstream), timeout=QUIET) as upstream:
            ends = {tls: upstream, upstream: tls}
            while not self._stopped.is_set():
                ready = [tls] if tls.pending() else select.select(list(ends), [], [], 0.1)[0]
                for sock in ready:
                    data = sock.recv(65536)
                    if not data:
                        return
                    ends[sock].sendall(data)
