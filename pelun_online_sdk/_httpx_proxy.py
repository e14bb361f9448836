"""The transport an httpx client of pelun_online_sdk.client uses through a proxy.

With a proxy, httpx sends every request through a transport it makes for
that proxy, ahead of the client's own ``transport``, so HTTP/2 and the
connection retries set there would be lost. The client mounts this one for
all URLs instead: the same settings, and the proxy.

httpcore retries failed connections on direct routes only; its proxy pools
never hand ``retries`` to the connections they make. So the retries are made
here, around the request, for exactly the errors httpcore retries:
ConnectError and ConnectTimeout, raised while a connection is being
established (to the proxy, through its tunnel, or the TLS handshake with the
origin), before any byte of the request has been sent. Other errors,
including the proxy's own refusal (ProxyError), are not retried.

Its HTTP/2 connections are bounded as the direct transport's are (see
``_httpx_h2``): the proxy's pool connects through the same wrapped backend.

The hop to the proxy is as safe as the proxy's URL says:

- An ``https://`` proxy is verified as an origin is, with the trust the
  client's own transport has (``SSL_CERT_FILE`` included): httpcore would
  otherwise check it against certifi's bundle alone. It gets a TLS context
  of its own, since httpcore sets ALPN on whatever context it connects with.
  An https request through it needs TLS inside TLS, which httpcore's
  synchronous streams have from 1.0.1 on: with an older httpcore such a
  request is refused (``httpx.ProxyError``) before anything is sent, where
  httpcore raised a RuntimeError after the CONNECT.
- The handshake with the proxy (a TCP connection, TLS with an ``https://``
  proxy, then the CONNECT and its answer, or the socks5 greeting,
  authentication and reply) ends within the request's connect timeout,
  however slowly the proxy answers: httpcore bounds each read alone (a
  reply trickled a byte at a time never ends), and reads the socks5 reply
  with no timeout at all. Past it, ``httpx.ConnectTimeout`` names the proxy.
- httpcore hands socksio whatever one read of a socks5 reply returns: a
  reply that came in two pieces failed, and one cut short after a domain's
  first bytes passed as a success, the request then sent into a tunnel the
  proxy never opened. Each reply is read whole here, by its own lengths.
- A socks5 reply that socksio cannot read (cut short, or an address type
  that does not exist) is ``httpx.ProxyError``, its cause socksio's error,
  which httpcore lets through as it is.
- A handshake that fails closes its connection to the proxy: httpcore
  leaves the socket of a failed socks5 handshake open, to the collector.
"""

import itertools
import threading
import time
from typing import Any, Callable, Iterator, Optional, Tuple, Union

import httpcore
import httpx

from ._httpx_h2 import guard_transport

# httpcore's pacing of connection retries (0 s, 0.5 s, 1 s, 2 s, ...), kept
# here rather than imported from httpcore's private modules.
RETRIES_BACKOFF_FACTOR = 0.5


def exponential_backoff(factor: float) -> Iterator[float]:
    yield 0
    for n in itertools.count():
        yield factor * (2**n)


_CONNECTION_NOT_MADE = (httpx.ConnectError, httpx.ConnectTimeout)


def _socks_protocol_error() -> Any:
    try:
        from socksio.exceptions import ProtocolError
    except ImportError:  # no socks support installed: httpx refuses socks proxies itself
        return ()
    return ProtocolError


_SOCKS_REPLY_UNREADABLE = _socks_protocol_error()


def _release(version: str) -> Tuple[int, ...]:
    return tuple(int("".join(c for c in part if c.isdigit()) or 0) for part in version.split(".")[:3])


# Whether httpcore's synchronous streams start TLS over TLS (1.0.1 on).
_TLS_IN_TLS = _release(httpcore.__version__) >= (1, 0, 1)

# The proxy pool's network backend is wrapped where the transport keeps it,
# as the HTTP/2 guard wraps it (_httpx_h2 checks both names at load).


class ProxyTransport(httpx.HTTPTransport):
    """An ``httpx.HTTPTransport`` through ``proxy`` whose ``retries`` hold on that route."""

    def __init__(self, *, proxy: Union[str, httpx.URL, httpx.Proxy], retries: Union[int, float] = 0,
                 **settings: Any) -> None:
        if isinstance(proxy, (str, httpx.URL)):
            # httpx before 0.26 takes only a Proxy object here.
            proxy = httpx.Proxy(proxy)
        if proxy.url.scheme == "https" and proxy.ssl_context is None:
            proxy = httpx.Proxy(proxy.url, auth=proxy.auth, headers=proxy.headers, ssl_context=httpx.create_ssl_context(
                verify=settings.get("verify", True), trust_env=settings.get("trust_env", True)))
        super().__init__(proxy=proxy, retries=int(retries), **settings)
        self._connect_retries = retries
        self._proxy_url = proxy.url
        self._no_tls_in_tls = proxy.url.scheme == "https" and not _TLS_IN_TLS
        pool: Any = self._pool
        self._bounds = pool._network_backend = _HandshakeBounds(pool._network_backend, proxy.url.scheme)
        # HTTP/2 through the proxy is bounded as it is on direct routes.
        guard_transport(self)

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        retries_left = self._connect_retries
        delays = exponential_backoff(RETRIES_BACKOFF_FACTOR)
        bounds = self._bounds
        if self._no_tls_in_tls and request.url.scheme == "https":
            url = self._proxy_url
            raise httpx.ProxyError(
                f"https proxy {url.host}:{url.port} cannot carry an https request with httpcore "
                f"{httpcore.__version__}, which starts no TLS inside TLS before 1.0.1; the request is not sent "
                "in clear", request=request)
        while True:
            try:
                return super().handle_request(request)
            except _CONNECTION_NOT_MADE:
                bounds.abandon()
                if retries_left <= 0:
                    raise
                retries_left -= 1
                time.sleep(next(delays))
            except httpx.ProxyError:
                bounds.abandon()
                raise
            except _SOCKS_REPLY_UNREADABLE as error:
                bounds.abandon()
                url = self._proxy_url
                raise httpx.ProxyError(
                    f"{url.scheme} proxy {url.host}:{url.port} sent a socks5 reply that cannot be read: {error}"
                ) from error


class _HandshakeBounds:
    """The proxy pool's network backend: the given one, whose streams to the
    proxy end their handshake by the deadline the connect timeout sets."""

    def __init__(self, backend: Any, scheme: str) -> None:
        self._backend = backend
        self.socks = scheme.startswith("socks")
        self._scheme = scheme
        # The stream whose handshake the calling thread is making (httpcore
        # connects in the thread that sends the request).
        self._current = threading.local()

    def connect_tcp(self, host: str, port: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
        started = time.monotonic()
        stream = self._backend.connect_tcp(host, port, timeout=timeout, **kwargs)
        deadline = None if timeout is None else started + timeout  # None: as long as the proxy takes
        return self.track(_HandshakeStream(stream, self, f"{host}:{port}", deadline, timeout))

    def track(self, stream: "_HandshakeStream") -> "_HandshakeStream":
        self._current.stream = stream
        return stream

    def abandon(self) -> None:
        """Closes the stream of this thread's last handshake if it never ended: the request failed there."""
        stream = getattr(self._current, "stream", None)
        self._current.stream = None
        if stream is not None and stream.handshaking:
            stream.close()

    def connect_unix_socket(self, *args: Any, **kwargs: Any) -> Any:
        return self._backend.connect_unix_socket(*args, **kwargs)

    def sleep(self, seconds: float) -> None:
        self._backend.sleep(seconds)

    def past_deadline(self, where: str, timeout: float) -> httpcore.ConnectTimeout:
        return httpcore.ConnectTimeout(
            f"{self._scheme} proxy {where} did not complete its handshake within the connect timeout ({timeout:g} s)")

    @staticmethod
    def socks_reply_length(reply: bytes) -> int:
        """How long a socks5 CONNECT reply that starts with ``reply`` is (its start, if it cannot tell)."""
        if len(reply) < 5:
            return 5
        address = {1: 4, 3: 1 + reply[4], 4: 16}.get(reply[3])
        return len(reply) if address is None else 4 + address + 2  # socksio refuses the address type

    def still_handshaking(self, first_write: bytes, wrote_before: bool) -> bool:
        """Whether a write belongs to the handshake with the proxy.

        Through an http(s) proxy the first request decides: a CONNECT opens
        a tunnel (the handshake lasts until TLS starts with the origin), any
        other is forwarded as it is and there is no handshake. Through socks5
        every handshake message starts with a version byte, 5, or 1 for the
        authentication; a request never does.
        """
        if self.socks:
            return first_write[:1] in (b"\x05", b"\x01")
        return not wrote_before and first_write.startswith(b"CONNECT ")


def _two_bytes(reply: bytes) -> int:
    return 2


class _HandshakeStream:
    """A stream to the proxy: until the handshake is over, no read or write
    waits past the deadline; then everything is handed on as it is."""

    def __init__(self, stream: Any, bounds: _HandshakeBounds, where: str, deadline: Optional[float],
                 timeout: Optional[float]) -> None:
        self._stream = stream
        self._bounds = bounds
        self._where = where
        self._deadline = deadline
        self._timeout = timeout
        self._wrote = False
        self.handshaking = True
        self._awaited: Optional[Callable[[bytes], int]] = None  # the length of the socks5 reply due

    def _over(self) -> None:
        self.handshaking = False
        self._deadline = None

    def _bounded(self, timeout: Optional[float]) -> Optional[float]:
        if self._deadline is None:
            return timeout
        left = self._deadline - time.monotonic()
        if left <= 0:
            self._stream.close()
            raise self._bounds.past_deadline(self._where, self._deadline_timeout())
        return left if timeout is None or timeout > left else timeout

    def _deadline_timeout(self) -> float:
        return self._timeout or 0.0

    def read(self, max_bytes: int, timeout: Optional[float] = None) -> bytes:
        length, self._awaited = self._awaited, None
        if length is None:
            return self._read(max_bytes, timeout)
        reply = b""
        while len(reply) < length(reply):
            piece = self._read(length(reply) - len(reply), timeout)
            if not piece:
                break  # cut short: socksio says so
            reply += piece
        return reply

    def _read(self, max_bytes: int, timeout: Optional[float]) -> bytes:
        bounded = self._bounded(timeout)
        try:
            data: bytes = self._stream.read(max_bytes, bounded)
        except httpcore.ReadTimeout:
            if bounded != timeout:  # the deadline's wait ended it, not the caller's
                self._stream.close()
                raise self._bounds.past_deadline(self._where, self._deadline_timeout()) from None
            raise
        return data

    def write(self, buffer: bytes, timeout: Optional[float] = None) -> None:
        if self.handshaking and buffer:
            if not self._bounds.still_handshaking(buffer, self._wrote):
                self._over()
            elif self._bounds.socks:
                # The greeting and the authentication (version 1) are answered
                # in two bytes; the CONNECT after them, in its own lengths.
                connect = self._wrote and buffer[:1] == b"\x05"
                self._awaited = self._bounds.socks_reply_length if connect else _two_bytes
            self._wrote = True
        self._stream.write(buffer, self._bounded(timeout))

    def close(self) -> None:
        self._stream.close()

    def start_tls(self, ssl_context: Any, server_hostname: Optional[str] = None,
                  timeout: Optional[float] = None) -> Any:
        if self.handshaking and not self._wrote:
            # TLS with an https proxy itself, before the CONNECT: part of the handshake.
            tls = self._stream.start_tls(ssl_context, server_hostname=server_hostname, timeout=self._bounded(timeout))
            return self._bounds.track(_HandshakeStream(tls, self._bounds, self._where, self._deadline, self._timeout))
        # TLS with the origin, through the tunnel: the handshake with the proxy is over.
        self._over()
        return self._stream.start_tls(ssl_context, server_hostname=server_hostname, timeout=timeout)

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)
