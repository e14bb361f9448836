"""Listeners that fail in one chosen way: a proxy that refuses, a host that never answers.

``RefusingProxy`` speaks just enough HTTP CONNECT, socks4 and socks5 (told
apart by the first byte, as pproxy does) to refuse every request in the way
it was told to. ``SilentListener`` accepts connections and never says a word.
``UnansweredPort`` never even completes a connection.
"""

from __future__ import annotations

import select
import socket

from pelun_online_sdk._cli.sockets import receive_exactly

from ._util import LOCALHOST, ConnectionSet, ThreadGroup, listen_socket, start_thread

_MAX_HEAD = 16384


class _Listener:
    """Accepts connections on 127.0.0.1 and hands each to ``_handle`` in a thread of its own."""

    def __init__(self) -> None:
        self._sock: socket.socket | None = None
        self._threads = ThreadGroup()
        self._conns = ConnectionSet()
        self.port = 0

    def start(self):
        self._sock = listen_socket()
        self.port = self._sock.getsockname()[1]
        start_thread(self._serve, self._sock, name=type(self).__name__)
        return self

    def stop(self) -> None:
        if self._sock is not None:
            self._sock.close()
        self._conns.shutdown_all()
        self._threads.join(5)

    def _serve(self, sock: socket.socket) -> None:
        while True:
            try:
                conn, _ = sock.accept()
            except OSError:
                return
            self._threads.start(self._run, conn)

    def _run(self, conn: socket.socket) -> None:
        self._conns.add(conn)
        try:
            with conn:
                conn.settimeout(10)
                self._handle(conn)
        except OSError:
            pass  # the client gave up first: nothing to refuse any more
        finally:
            self._conns.discard(conn)

    def _handle(self, conn: socket.socket) -> None:
        raise NotImplementedError


class SilentListener(_Listener):
    """Accepts every connection and never answers, until the client or stop() closes it."""

    def _handle(self, conn: socket.socket) -> None:
        conn.settimeout(None)  # silent for as long as the client waits: stop() cuts it
        while conn.recv(4096):
            pass


class RefusingProxy(_Listener):
    """A proxy that refuses everything, on one port for http, socks4 and socks5.

    http: answers ``http_status`` (e.g. ``"403 Forbidden"``) to any request.
    socks5: picks ``socks5_method`` (0x00, or 0xFF: no acceptable method),
    then answers the CONNECT with ``socks5_reply``. socks4: answers ``socks4_reply``.
    """

    def __init__(self, http_status: str = "403 Forbidden", socks5_method: int = 0x00,
                 socks5_reply: int = 0x02, socks4_reply: int = 0x5B) -> None:
        super().__init__()
        self.http_status = http_status
        self.socks5_method = socks5_method
        self.socks5_reply = socks5_reply
        self.socks4_reply = socks4_reply

    @property
    def url(self) -> str:
        return f"{LOCALHOST}:{self.port}"

    def _handle(self, conn: socket.socket) -> None:
        first = receive_exactly(conn, 1)
        if first == b"\x05":
            self._socks5(conn)
        elif first == b"\x04":
            receive_exactly(conn, 7)  # command, port, address
            _until(conn, b"\x00")  # user id
            conn.sendall(bytes([0, self.socks4_reply]) + bytes(6))
        else:
            _until(conn, b"\r\n\r\n", first)
            conn.sendall(f"HTTP/1.1 {self.http_status}\r\nContent-Length: 0\r\nConnection: close\r\n\r\n".encode())
        _drain(conn)

    def _socks5(self, conn: socket.socket) -> None:
        receive_exactly(conn, receive_exactly(conn, 1)[0])  # the methods offered
        conn.sendall(bytes([5, self.socks5_method]))
        if self.socks5_method != 0x00:
            return
        _, _, _, kind = receive_exactly(conn, 4)
        length = {1: 4, 4: 16}.get(kind) or receive_exactly(conn, 1)[0]
        receive_exactly(conn, length + 2)  # address and port
        conn.sendall(bytes([5, self.socks5_reply, 0, 1]) + bytes(6))


def _until(conn: socket.socket, end: bytes, data: bytes = b"") -> bytes:
    while end not in data:
        if len(data) > _MAX_HEAD:
            raise ConnectionError("no end of the request in sight")
        chunk = conn.recv(1024)
        if not chunk:
            raise ConnectionError("the client hung up")
        data += chunk
    return data


def _drain(conn: socket.socket) -> None:
    """Wait for the client to hang up, so that it reads the refusal before the connection closes."""
    try:
        while conn.recv(4096):
            pass
    except OSError:
        pass


class RefusedPort:
    """A port bound on 127.0.0.1 and never listened on: every connection to it is refused."""

    def __init__(self) -> None:
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.bind((LOCALHOST, 0))
        self.port = self._sock.getsockname()[1]

    def close(self) -> None:
        self._sock.close()


class UnansweredPort:
    """A port whose connections are never completed, as behind a firewall that drops packets.

    Its listening socket never accepts, and its queue is filled here: Linux
    drops a connection request (SYN) that finds the queue full, so the
    client hears nothing and waits out its own timeout.
    """

    def __init__(self, attempts: int = 16) -> None:
        self._sock = listen_socket(backlog=0)
        self.port = self._sock.getsockname()[1]
        self._queued: list[socket.socket] = []
        for _ in range(attempts):
            if not self._completes():
                return
        self.close()
        raise RuntimeError(f"connections to port {self.port} still complete after {attempts} queued")

    def _completes(self) -> bool:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._queued.append(sock)
        sock.setblocking(False)
        sock.connect_ex((LOCALHOST, self.port))
        # On loopback a connection completes at once or, its SYN dropped, not for a second at least.
        return bool(select.select([], [sock], [], 1.0)[1])

    def close(self) -> None:
        for sock in self._queued:
            sock.close()
        self._sock.close()


__all__ = ["RefusedPort", "RefusingProxy", "SilentListener", "UnansweredPort"]
