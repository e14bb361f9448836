"""The handshake with a proxy, for the pool managers of ``RequestsAdapter``.

urllib3 bounds each read of a proxy's answer by the connect timeout, not the
answer as a whole: a CONNECT reply or a socks reply trickled a byte at a
time holds the request for as long as the proxy keeps it up. CPython's
http.client, which reads the CONNECT reply, also counts no header lines
there before 3.12 (urllib3 keeps a copy of it for older releases): a proxy
sending header lines without end held the request forever.

The adapter's proxy managers make their connections with these classes
instead: the handshake (TCP, TLS with an ``https://`` proxy, then the
CONNECT and its answer, or the socks greeting, authentication and reply)
ends within the request's connect timeout, and a CONNECT answer has at most
``http.client._MAXHEADERS`` header lines of ``http.client._MAXLINE`` bytes.
Past the deadline the request fails as a connect timeout naming the proxy
(``requests.ConnectTimeout``, retried as any connect timeout is); too many
lines are an ``http.client.HTTPException``, as CPython's own check raises.
Only the managers the adapter makes use them.
"""

import http.client
import importlib
import socket
import time
from typing import Any, Dict, Optional, Type

import urllib3
from urllib3 import connection, connectionpool
from urllib3.contrib import socks as urllib3_socks
from urllib3.exceptions import ConnectTimeoutError, NewConnectionError

# PySocks ships no type information: it is used as what it is, untyped.
socks: Any = importlib.import_module("socks")

from ._hooks import require

__all__ = ["bound_handshakes"]

# The tunnel http.client opens for urllib3, and urllib3's socks connection.
require(urllib3, {connection.HTTPSConnection: ["_tunnel", "_tunnel_scheme"],
                  urllib3_socks.SOCKSConnection: ["_new_conn", "_socks_options"]})

_MAX_LINES = http.client._MAXHEADERS + 2  # type: ignore[attr-defined]  # the status line and the blank one


def _deadline_of(timeout: Any) -> Optional[float]:
    # urllib3 resolves its default to a number or None before it connects.
    if isinstance(timeout, (int, float)) and not isinstance(timeout, bool):
        return time.monotonic() + timeout
    return None


def _past_deadline(conn: Any, proxy: str, timeout: Any) -> ConnectTimeoutError:
    return ConnectTimeoutError(
        conn, f"{proxy} did not complete its handshake within the connect timeout ({timeout:g} s)")


class _ConnectReply:
    """The file http.client reads a CONNECT reply from, over the connection's
    socket: lines as ``readline`` gives them, a bounded number of them, none
    read past the deadline. What the proxy sends after the reply is dropped,
    as http.client's own buffered file drops it."""

    def __init__(self, conn: "HTTPSConnection", sock: socket.socket, deadline: Optional[float]) -> None:
        self._conn = conn
        self._sock = sock
        self._deadline = deadline
        self._buffer = b""
        self._lines = 0

    def readline(self, limit: int = -1) -> bytes:
        self._lines += 1
        if self._lines > _MAX_LINES:
            conn = self._conn
            raise http.client.HTTPException(
                f"{conn.proxy_named} sent more than {_MAX_LINES - 2} header lines answering CONNECT")
        while b"\n" not in self._buffer and (limit < 0 or len(self._buffer) < limit):
            chunk = self._receive()
            if not chunk:
                break
            self._buffer += chunk
        end = self._buffer.find(b"\n") + 1 or len(self._buffer)
        if limit >= 0:
            end = min(end, limit)
        line, self._buffer = self._buffer[:end], self._buffer[end:]
        return line

    def _receive(self) -> bytes:
        if self._deadline is None:
            return self._sock.recv(8192)
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise self._conn.past_deadline()
        own = self._sock.gettimeout()
        self._sock.settimeout(left if own is None else min(left, own))
        try:
            return self._sock.recv(8192)
        except socket.timeout:
            if time.monotonic() >= self._deadline:
                raise self._conn.past_deadline() from None
            raise
        finally:
            self._sock.settimeout(own)

    def flush(self) -> None:
        pass

    def close(self) -> None:
        self._buffer = b""


class _TunnelSocket:
    """The connection's socket while http.client asks for a tunnel: its reply is read through ``_ConnectReply``."""

    def __init__(self, conn: "HTTPSConnection", sock: socket.socket, deadline: Optional[float]) -> None:
        self._conn, self._sock, self._deadline = conn, sock, deadline

    def makefile(self, *args: Any, **kwargs: Any) -> _ConnectReply:
        return _ConnectReply(self._conn, self._sock, self._deadline)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._sock, name)


# Named as urllib3's own classes, which errors name.
class HTTPSConnection(connection.HTTPSConnection):
    """urllib3's HTTPS connection whose tunnel through an http(s) proxy is opened within the connect timeout."""

    _hop_deadline: Optional[float] = None

    def connect(self) -> None:
        self._hop_deadline = _deadline_of(self.timeout)
        super().connect()

    @property
    def proxy_named(self) -> str:
        return f"{self._tunnel_scheme or 'http'} proxy {self.host}:{self.port}"

    def past_deadline(self) -> ConnectTimeoutError:
        return _past_deadline(self, self.proxy_named, self.timeout)

    def _tunnel(self) -> None:
        sock = self.sock
        assert sock is not None
        tunnel = _TunnelSocket(self, sock, self._hop_deadline)
        self.sock = tunnel
        try:
            super()._tunnel()
        finally:
            if self.sock is tunnel:  # http.client drops it when the proxy refuses
                self.sock = sock


class HTTPSConnectionPool(connectionpool.HTTPSConnectionPool):
    ConnectionCls = HTTPSConnection  # pyright: ignore[reportAssignmentType]  # urllib3's protocol, too strict


class _DeadlineSocket(socks.socksocket):  # type: ignore[misc]
    """PySocks' socket, whose reads while it negotiates end by the deadline."""

    deadline: Optional[float] = None

    def recv_into(self, buffer: Any, nbytes: int = 0, flags: int = 0) -> int:
        deadline = self.deadline
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout("past the handshake's deadline")
            own = self.gettimeout()
            socket.socket.settimeout(self, left if own is None else min(left, own))
        return socket.socket.recv_into(self, buffer, nbytes, flags)


def _connect_through(conn: Any) -> socket.socket:
    """What PySocks' create_connection does, on a ``_DeadlineSocket``."""
    options = conn._socks_options
    timeout = conn.timeout
    deadline = _deadline_of(timeout)
    host = options["proxy_host"].strip("[]")
    error: Optional[BaseException] = None
    for family, kind, proto, _, _ in socket.getaddrinfo(host, options["proxy_port"], 0, socket.SOCK_STREAM):
        sock = _DeadlineSocket(family, kind, proto)
        try:
            for option in conn.socket_options or ():
                sock.setsockopt(*option)
            if isinstance(timeout, (int, float)):
                sock.settimeout(timeout)
            sock.set_proxy(options["socks_version"], host, options["proxy_port"], options["rdns"],
                           options["username"], options["password"])
            if conn.source_address:
                sock.bind(conn.source_address)
            sock.deadline = deadline
            sock.connect((conn.host.strip("[]"), conn.port))
            sock.deadline = None
            return sock
        except (OSError, socks.ProxyError) as failed:
            error = failed
            sock.close()
    raise error or OSError("getaddrinfo returned no address")


class SOCKSConnection(urllib3_socks.SOCKSConnection):
    """urllib3's socks connection, whose handshake ends within the connect timeout."""

    def _new_conn(self) -> Any:  # PySocks' socket
        options = self._socks_options
        try:
            return _connect_through(self)
        except (OSError, socks.ProxyError) as error:
            cause = getattr(error, "socket_err", None) or error
            if isinstance(cause, socket.timeout):
                kind = "socks4" if options["socks_version"] == socks.SOCKS4 else "socks5"
                proxy = f"{kind} proxy {options['proxy_host']}:{options['proxy_port']}"
                raise _past_deadline(self, proxy, self.timeout) from error
            raise NewConnectionError(self, f"Failed to establish a new connection: {error}") from error


class SOCKSHTTPSConnection(SOCKSConnection, urllib3_socks.SOCKSHTTPSConnection):
    pass


class SOCKSHTTPConnectionPool(urllib3_socks.SOCKSHTTPConnectionPool):
    ConnectionCls = SOCKSConnection


class SOCKSHTTPSConnectionPool(urllib3_socks.SOCKSHTTPSConnectionPool):
    ConnectionCls = SOCKSHTTPSConnection


_SOCKS_POOLS: Dict[str, Type[Any]] = {"http": SOCKSHTTPConnectionPool, "https": SOCKSHTTPSConnectionPool}


_BOUNDED = "_pelun_bounded_handshakes"


def bound_handshakes(manager: Any) -> Any:
    """Make ``manager`` (a proxy manager of urllib3's) connect with the classes above; returns it."""
    if getattr(manager, _BOUNDED, False):
        return manager
    setattr(manager, _BOUNDED, True)
    pools = dict(manager.pool_classes_by_scheme)
    if "_socks_options" in manager.connection_pool_kw:
        pools.update(_SOCKS_POOLS)
    else:
        pools["https"] = HTTPSConnectionPool  # the only pool that opens tunnels
    manager.pool_classes_by_scheme = pools
    return manager
