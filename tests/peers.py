"""Peers that record what clients put on the wire, byte for byte.

``RawListener`` accepts connections and keeps every byte each one sends
(until the client closes it or goes quiet). ``CredentialProxy`` answers just
enough of the http, socks4 and socks5 proxy protocols to be sent the
client's credentials, records them as bytes, and refuses: it shows what the
credentials look like when they reach the proxy, and where they went.
"""

from __future__ import annotations

import base64
import socket
import threading
from dataclasses import dataclass

from servers._util import Log, ThreadGroup, listen_socket, start_thread

QUIET = 2.0  # seconds of silence after which a connection's bytes are taken as complete


class _Acceptor:
    """Accepts on 127.0.0.1 and hands each connection to ``_serve`` in a thread."""

    def __init__(self) -> None:
        self._sock = listen_socket()
        self.port = self._sock.getsockname()[1]
        self._threads = ThreadGroup()
        self._stopped = threading.Event()
        self._accepting = start_thread(self._accept, name=type(self).__name__)

    def _accept(self) -> None:
        self._sock.settimeout(0.1)
        while not self._stopped.is_set():
            try:
                conn, _ = self._sock.accept()
            except OSError:
                continue
            self._threads.start(self._run, conn)

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


class RawListener(_Acceptor):
    """Records the bytes of every connection: ``connections`` holds one ``bytes`` per closed connection.

    ``reply`` is sent once the client has sent a blank line (the end of a
    request head), so an HTTP/1.1 client gets an answer and moves on.
    """

    def __init__(self, reply: bytes = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok") -> None:
        self._reply = reply
        self._log = Log()
        super().__init__()

    @property
    def connections(self) -> list:
        return self._log.snapshot()

    def wait(self, count: int = 1, timeout: float = 15.0) -> list:
        return self._log.wait(count, timeout, "connections")

    def _serve(self, conn: socket.socket) -> None:
        received = bytearray()
        replied = False
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                received += chunk
                if not replied and b"\r\n\r\n" in received and self._reply:
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


class CredentialProxy(_Acceptor):
    """Speaks http, socks4 and socks5 on one port until the client's credentials arrive, then refuses.

    ``received`` lists a ``Credentials`` per connection: for http the decoded
    ``Proxy-Authorization: Basic`` split at its first colon (None when the
    request had none: the proxy then asks for it with a 407), for socks5 the
    RFC 1929 fields, for socks4 the user id. ``heads`` keeps each http
    request head as it arrived.
    """

    def __init__(self) -> None:
        self._log = Log()
        self.heads = Log()
        super().__init__()

    @property
    def url_host(self) -> str:
        return f"127.0.0.1:{self.port}"

    @property
    def received(self) -> list:
        return self._log.snapshot()

    def wait(self, count: int = 1, timeout: float = 15.0) -> list:
        return self._log.wait(count, timeout, "proxy connections")

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

    @staticmethod
    def _read(conn: socket.socket, n: int) -> bytes:
        data = b""
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                raise ConnectionError("client closed mid-message")
            data += chunk
        return data

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
        methods = self._read(conn, self._read(conn, 1)[0])
        if b"\x02" not in methods:
            self._record(conn, Credentials("socks5", None, None), b"\x05\xff")
            return
        conn.sendall(b"\x05\x02")
        self._read(conn, 1)  # sub-negotiation version 1
        username = self._read(conn, self._read(conn, 1)[0])
        password = self._read(conn, self._read(conn, 1)[0])
        self._record(conn, Credentials("socks5", username, password), b"\x01\x01")  # refused

    def _socks4(self, conn: socket.socket) -> None:
        self._read(conn, 7)  # command, port, address
        user_id = b""
        while not user_id.endswith(b"\0"):
            user_id += self._read(conn, 1)
        self._record(conn, Credentials("socks4", user_id[:-1], None), b"\x00\x5b" + b"\0" * 6)  # rejected
