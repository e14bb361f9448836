"""The connector and the request class of the package's aiohttp sessions.

A session of the module with a proxy gets a ``ProxyConnector`` of this
module, a subclass of ``aiohttp_proxy.ProxyConnector``: the session factory
makes it in place of aiohttp_proxy's own class, which stays as it is for
everyone else. What it corrects, or adds:

Proxy credentials, on every aiohttp release. aiohttp_proxy 0.1 decodes the
credentials of the URL twice (``%41`` arrives as ``A``), rebuilds an http
proxy's URL from the decoded parts (so a password such as
``p@127.0.0.1:9/x`` moved the connection, and its Proxy-Authorization, to
another host and port), hands aiohttp that URL with the credentials in it
(so aiohttp's errors showed the password), and sends socks5 credentials with
the length of the text rather than of its bytes (a non-ASCII name or
password arrived cut short or garbled). Here:

- ``from_url`` decodes the credentials once;
- an http(s) proxy is handed to aiohttp as its scheme, host and port alone,
  the credentials as the Basic ``Proxy-Authorization`` of their UTF-8 bytes
  (aiohttp sends it with the CONNECT of an https request, and with a plain
  http request forwarded through the proxy);
- ``proxy_url`` quotes the credentials it shows;
- socks5 sends the UTF-8 bytes of the credentials with their true lengths.

An ``https://`` proxy is spoken to over TLS. aiohttp_proxy hands aiohttp
every http-like proxy as ``http://``, so the CONNECT and the credentials
meant for a TLS hop went in clear. The proxy's URL keeps its scheme here,
and aiohttp's own proxy support makes the hop: TLS with the proxy, verified
as an origin is (the request's ``ssl``, the proxy's host name). An https
request through it needs TLS inside TLS, which asyncio has from Python 3.11
on only: before that such a request is refused before anything is sent.

The socks destination, from aiohttp 3.10 on. aiohttp hands the destination
to ``_wrap_create_connection`` as the keyword ``addr_infos``
(``getaddrinfo``-style tuples) instead of the positional ``host, port`` that
aiohttp_proxy 0.1 reads: its socks path then asked the proxy for
``None:None`` and failed in ``struct.pack`` after the handshake began,
leaving the socket open. The destination is taken from whichever form the
installed aiohttp uses, aiohttp_proxy's socket wrapper does the socks
handshake, and aiohttp gets the connected socket: TLS, the ``sock_connect``
timeout and the mapping of connection errors stay aiohttp's. A failure at
any step closes the socket.

The handshake with the proxy (the socks greeting, authentication and reply;
or a TCP connection, TLS with an https proxy, the CONNECT and its answer)
ends within the request's connect timeout (``sock_connect`` or ``connect``,
or ``sock_read`` where it is the only one given): aiohttp bounds neither the
CONNECT answer nor aiohttp_proxy's reads, so a proxy trickling its answer,
or stopping mid-reply, held the request forever. Past it, the connector
raises aiohttp's connection timeout naming the proxy (the session reports it
as ``ServerTimeoutError``, this error its cause). A socks refusal or a reply
that cannot be read is an ``aiohttp.ClientProxyConnectionError`` that is
also aiohttp_proxy's error of the same name, so ``except aiohttp.ClientError``
catches it and ``except aiohttp_proxy.SocksError`` still does.

No credentials in an error. The ``Proxy-Authorization`` of a request shows
as ``Basic ***`` in its ``request_info``, and so in every error that carries
it (a proxy's 407 answer to CONNECT, ``raise_for_status`` after a forwarded
request), as ``Proxy`` shows a password.
"""

from __future__ import annotations

import asyncio
import contextvars
import importlib
import sys
import types
from typing import Any, Callable, Dict, Optional, Tuple, cast

import aiohttp

from ._headers import CheckedClientRequest, basic_credentials
from ._hooks import require

# aiohttp_proxy ships no type information: it is used as what it is, untyped.
aiohttp_proxy: Any = importlib.import_module("aiohttp_proxy")

__all__ = ["ClientRequest", "ProxyConnector"]

# RFC 1929: each of the name and the password is one length byte and its bytes.
_SOCKS5_FIELD_MAX = 255
_PROXY_AUTHORIZATION = "Proxy-Authorization"
_MASK = "***"


def _aiohttp_version() -> Tuple[int, ...]:
    parts: list[int] = []
    for part in aiohttp.__version__.split(".")[:2]:
        digits = "".join(c for c in part if c.isdigit())
        parts.append(int(digits or 0))
    return tuple(parts)


# What the installed releases do, decided once. getattr: an embedding
# application's stand-in for aiohttp has no more than the request class.
_ADDR_INFOS = _aiohttp_version() >= (3, 10)  # the destination comes as addr_infos
_TLS_IN_TLS = sys.version_info >= (3, 11)  # asyncio starts TLS over a TLS transport
_UNCANCEL = hasattr(asyncio.Task, "uncancel")  # 3.11 counts the cancellations asked for
_CONNECT_TIMEOUT = getattr(aiohttp, "ConnectionTimeoutError", None) or getattr(aiohttp, "ServerTimeoutError", None)


def _proto() -> Any:
    return importlib.import_module("aiohttp_proxy.proto")


# What the connector reaches or replaces that neither library publishes
# (nothing, where a stand-in for aiohttp has no connectors).
if hasattr(aiohttp, "TCPConnector"):
    require(aiohttp, {aiohttp.TCPConnector: [
        "_loop", "_create_proxy_connection", "_start_tls_connection", "_wrap_create_connection",
        *(["_wrap_existing_connection"] if _ADDR_INFOS else [])]})
    require(aiohttp_proxy, {
        aiohttp_proxy.ProxyConnector: ["_proxy_type", "_proxy_host", "_proxy_port", "_proxy_username",
                                       "_proxy_password", "_rdns", "_proxy_family"],
        _proto().Socks5SocketWrapper: ["_socks_auth", "_send", "_receive", "_username", "_password"]})


# --- credentials in what the session shows ------------------------------------------------


def _masked_info(info: Any) -> Any:
    """``info`` (a ``RequestInfo``) with its Proxy-Authorization shown as ``Basic ***``."""
    headers = info.headers
    value = headers.get(_PROXY_AUTHORIZATION)
    if value is None:
        return info
    from multidict import CIMultiDict, CIMultiDictProxy

    scheme = value.partition(" ")[0]
    masked: Any = CIMultiDict(headers)
    masked[_PROXY_AUTHORIZATION] = f"{scheme} {_MASK}" if scheme and scheme != value else _MASK
    return type(info)(info.url, info.method, CIMultiDictProxy(masked), info.real_url)


class ClientRequest(CheckedClientRequest):
    """The request class of the package's sessions: headers checked, proxy credentials never shown."""

    @property
    def request_info(self) -> Any:
        return _masked_info(super().request_info)


def _mask_error(error: Any) -> None:
    info = _masked_info(error.request_info)
    if info is not error.request_info:
        error.request_info = info
        error.args = (info,) + tuple(error.args[1:])


# --- errors ----------------------------------------------------------------------------------

_CLIENT_ERRORS: Dict[type, type] = {}


def _client_error(error: BaseException, req: Any, where: str) -> BaseException:
    """aiohttp's proxy connection error for ``error`` of aiohttp_proxy, and of its class as well."""
    kind = type(error)
    made = _CLIENT_ERRORS.get(kind)
    if made is None:
        made = _CLIENT_ERRORS.setdefault(kind, type(kind.__name__, (aiohttp.ClientProxyConnectionError, kind),
                                                     {"__module__": __name__}))
    raised: BaseException = made(req.connection_key, OSError(getattr(error, "errno", None), f"{where}: {error}"))
    return raised


def _hop_bound(timeout: Any) -> Optional[float]:
    """The request's connect timeout, or the one timeout it has where that is ``sock_read``."""
    bounds: list[float] = [bound for bound in (timeout.connect, timeout.sock_connect) if bound]
    if bounds:
        return min(bounds)
    if timeout.total:
        return None  # aiohttp bounds the whole request
    only: Optional[float] = timeout.sock_read or None
    return only


class _Deadline:
    """Cancels the task that enters it once ``seconds`` have passed, unless
    disarmed first; that cancellation leaves the block as ``error()``."""

    def __init__(self, seconds: float, error: Callable[[], BaseException]) -> None:
        self._seconds = seconds
        self._error = error
        self._expired = False
        self._task: Any = None
        self._handle: Any = None

    async def __aenter__(self) -> "_Deadline":
        self._task = asyncio.current_task()
        self._handle = asyncio.get_running_loop().call_later(self._seconds, self._expire)
        return self

    def _expire(self) -> None:
        self._expired = True
        self._task.cancel()

    def disarm(self) -> None:
        self._handle.cancel()

    async def __aexit__(self, kind: Any, error: Any, traceback: Any) -> None:
        self._handle.cancel()
        if not self._expired:
            return
        # Cancelled by the caller as well: their cancellation goes on.
        if _UNCANCEL and self._task.uncancel() > 0:
            return
        if kind is not None and issubclass(kind, asyncio.CancelledError):
            raise self._error() from None


# The deadline of the CONNECT being made in this task, if any.
_TUNNEL: contextvars.ContextVar[Optional[_Deadline]] = contextvars.ContextVar("pelun_aiohttp_tunnel", default=None)


# --- the connector ---------------------------------------------------------------------------


class ProxyConnector(aiohttp_proxy.ProxyConnector):  # type: ignore[misc]
    """aiohttp_proxy's connector, with the corrections this module describes."""

    @classmethod
    def from_url(cls, url: Any, **kwargs: Any) -> Any:
        """The connector for a proxy URL, its credentials decoded once."""
        from yarl import URL

        parsed = URL(url)
        host = parsed.host
        if not host:
            raise ValueError("Empty host component")
        if parsed.port is None:
            raise ValueError("Invalid port component")
        return cls(
            proxy_type=_proto().ProxyType(parsed.scheme),
            host=host,
            port=parsed.port,
            username=parsed.user or "",
            password=parsed.password or "",
            **kwargs,
        )

    @property
    def proxy_url(self) -> Any:
        """The proxy's URL, credentials quoted (aiohttp_proxy wrote them in as they were)."""
        from yarl import URL

        if not self._proxy_username:
            return URL.build(scheme=str(self._proxy_type), host=self._proxy_host, port=self._proxy_port)
        return URL.build(scheme=str(self._proxy_type), user=self._proxy_username,
                         password=self._proxy_password, host=self._proxy_host, port=self._proxy_port)

    def _tcp(self) -> Any:
        """aiohttp's own connector, past aiohttp_proxy's methods (this class's replace them)."""
        return cast(Any, super(aiohttp_proxy.ProxyConnector, self))

    def _named(self) -> str:
        return f"{self._proxy_type} proxy {self._proxy_host}:{self._proxy_port}"

    def _past_deadline(self, bound: float) -> BaseException:
        error: BaseException = _CONNECT_TIMEOUT(  # type: ignore[misc]
            f"{self._named()} did not complete its handshake within the connect timeout ({bound:g} s)")
        return error

    async def connect(self, req: Any, traces: Any, timeout: Any) -> Any:
        from multidict import CIMultiDict
        from yarl import URL

        if self._proxy_type.is_http():
            scheme = str(self._proxy_type)
            if scheme == "https" and not _TLS_IN_TLS and req.is_ssl():
                raise aiohttp.ClientProxyConnectionError(req.connection_key, OSError(
                    None, f"{self._named()} cannot carry an https request on Python "
                    f"{sys.version_info[0]}.{sys.version_info[1]}: asyncio has no TLS inside TLS before "
                    "Python 3.11, and the request is not sent in clear"))
            # aiohttp takes the proxy's address from the URL, and moves an
            # Authorization among the proxy headers into the Proxy-Authorization
            # of the CONNECT (https) or of the forwarded request (http): the
            # credentials never pass through a URL, which aiohttp parses again
            # and shows in its errors.
            headers: CIMultiDict[str] = CIMultiDict(req.proxy_headers or {})
            if self._proxy_username:
                headers[aiohttp.hdrs.AUTHORIZATION] = basic_credentials(self._proxy_username, self._proxy_password)
            req.update_proxy(URL.build(scheme=scheme, host=self._proxy_host, port=self._proxy_port), None, headers)
        return await self._tcp().connect(req, traces, timeout)

    async def _create_proxy_connection(self, req: Any, traces: Any, timeout: Any) -> Any:
        bound = _hop_bound(timeout)
        parent: Any = super()
        try:
            if bound is None:
                return await parent._create_proxy_connection(req, traces, timeout)
            async with _Deadline(bound, lambda: self._past_deadline(bound)) as deadline:
                token = _TUNNEL.set(deadline)
                try:
                    return await parent._create_proxy_connection(req, traces, timeout)
                finally:
                    _TUNNEL.reset(token)
        except aiohttp.ClientResponseError as error:  # the proxy's answer to CONNECT: a refusal, or unreadable
            _mask_error(error)
            raise

    async def _start_tls_connection(self, *args: Any, **kwargs: Any) -> Any:
        # The proxy said yes: TLS with the origin is bounded as on a direct route.
        deadline = _TUNNEL.get()
        if deadline is not None:
            deadline.disarm()
        parent: Any = super()
        return await parent._start_tls_connection(*args, **kwargs)

    async def _wrap_create_connection(self, *args: Any, **kwargs: Any) -> Any:
        if self._proxy_type.is_http():
            # aiohttp itself speaks to http proxies.
            return await self._tcp()._wrap_create_connection(*args, **kwargs)
        if _ADDR_INFOS:
            addr_infos = kwargs.pop("addr_infos")
            if not addr_infos:
                raise ValueError("no address to reach through the socks proxy")
            # (family, type, proto, canonname, sockaddr); an IPv6 sockaddr has
            # flow info and scope id after host and port.
            host, port = addr_infos[0][4][:2]
        else:
            args, host, port = args[:1] + args[3:], args[1], args[2]
        req, timeout = kwargs["req"], kwargs["timeout"]
        wrapper = self._socket_wrapper()
        bound = _hop_bound(timeout)
        try:
            try:
                if bound is None:
                    await wrapper.connect((host, port))
                else:
                    async with _Deadline(bound, lambda: self._past_deadline(bound)):
                        await wrapper.connect((host, port))
            except (aiohttp_proxy.SocksError, aiohttp_proxy.SocksConnectionError) as error:
                raise _client_error(error, req, self._named()) from error
            if _ADDR_INFOS:
                return await self._wrap_existing_connection(*args, sock=wrapper.socket, **kwargs)
            return await self._tcp()._wrap_create_connection(
                args[0], None, None, *args[1:], sock=wrapper.socket, **kwargs)
        except BaseException:
            # The wrapper closes it only for socks errors; a failed or
            # cancelled hand-over leaves it to us. Closing twice is harmless.
            if wrapper.socket is not None:
                wrapper.socket.close()
            raise

    def _socket_wrapper(self) -> Any:
        proto = _proto()
        if self._proxy_type != proto.ProxyType.SOCKS5:
            return proto.Socks4SocketWrapper(loop=self._loop, host=self._proxy_host, port=self._proxy_port,
                                             user_id=self._proxy_username, rdns=self._rdns)
        wrapper = proto.Socks5SocketWrapper(loop=self._loop, host=self._proxy_host, port=self._proxy_port,
                                            username=self._proxy_username, password=self._proxy_password,
                                            rdns=self._rdns, family=self._proxy_family)
        wrapper._socks_auth = types.MethodType(_socks5_auth, wrapper)
        return wrapper


async def _socks5_auth(self: Any) -> None:
    """The socks5 greeting and, when the proxy asks for it, RFC 1929 authentication."""
    proto, errors = _proto(), importlib.import_module("aiohttp_proxy.errors")
    username = (self._username or "").encode("utf-8")
    password = (self._password or "").encode("utf-8")
    offered = [proto.SOCKS5_AUTH_UNAME_PWD, proto.SOCKS5_AUTH_ANONYMOUS] if username and password \
        else [proto.SOCKS5_AUTH_ANONYMOUS]
    await self._send([proto.SOCKS_VER5, len(offered)] + offered)
    version, method = await self._receive(2)
    if version != proto.SOCKS_VER5:
        raise errors.InvalidServerVersion("Unexpected SOCKS version number: %s" % version)
    if method == proto.SOCKS5_AUTH_NO_ACCEPTABLE_METHODS:
        raise errors.NoAcceptableAuthMethods("No acceptable authentication methods were offered")
    if method not in offered:
        raise errors.UnknownAuthMethod("Unexpected SOCKS authentication method: %s" % method)
    if method != proto.SOCKS5_AUTH_UNAME_PWD:
        return
    if len(username) > _SOCKS5_FIELD_MAX or len(password) > _SOCKS5_FIELD_MAX:
        raise errors.LoginAuthenticationFailed("socks5 credentials are at most 255 bytes each")
    await self._send([0x01, len(username), username, len(password), password])
    version, status = await self._receive(2)
    if version != 0x01:
        raise errors.InvalidServerReply("Invalid authentication response")
    if status != proto.SOCKS5_GRANTED:
        raise errors.LoginAuthenticationFailed("Username and password authentication failure")
