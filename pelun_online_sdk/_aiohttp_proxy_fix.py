"""Corrections to ``aiohttp_proxy.ProxyConnector``, the connector of the package's aiohttp sessions.

Imported with the module, before any session is made. Each correction
replaces one method on aiohttp_proxy's own classes, so the class, the module
global and the type of every connector stay aiohttp_proxy's. Importing twice
patches once.

Proxy credentials, on every aiohttp release. aiohttp_proxy 0.1 decodes the
credentials of the URL twice (``%41`` arrives as ``A``), rebuilds an http
proxy's URL from the decoded parts (so a password such as
``p@127.0.0.1:9/x`` moved the connection, and its Proxy-Authorization, to
another host and port), hands aiohttp that URL with the credentials in it
(so aiohttp's errors showed the password), and sends socks5 credentials with
the length of the text rather than of its bytes (a non-ASCII name or
password arrived cut short or garbled). Here:

- ``from_url`` decodes the credentials once;
- an http proxy is handed to aiohttp as its scheme, host and port alone, the
  credentials as the Basic ``Proxy-Authorization`` of their UTF-8 bytes
  (aiohttp sends it with the CONNECT of an https request, and with a plain
  http request forwarded through the proxy);
- ``proxy_url`` quotes the credentials it shows;
- socks5 sends the UTF-8 bytes of the credentials with their true lengths.

The socks destination, from aiohttp 3.10 on. aiohttp hands the destination
to ``_wrap_create_connection`` as the keyword ``addr_infos``
(``getaddrinfo``-style tuples) instead of the positional ``host, port`` that
aiohttp_proxy 0.1 reads: its socks path then asked the proxy for
``None:None`` and failed in ``struct.pack`` after the handshake began,
leaving the socket open. The replacement takes the destination from
``addr_infos``, lets aiohttp_proxy's own socket wrapper do the socks
handshake, and hands the connected socket to aiohttp's
``_wrap_existing_connection``: TLS, the ``sock_connect`` timeout and the
mapping of connection errors stay aiohttp's. A failure at any step closes the
socket. Handshake failures surface as aiohttp_proxy's own errors, as they do
on older aiohttp. Before 3.10 that method is left as it is.

Only aiohttp_proxy's own connector is patched: a stand-in without
``from_url`` (an embedding application's, say, in a second interpreter
where yarl cannot load again) is left alone, and the modules the
corrections need are imported when they first run.
"""

from __future__ import annotations

import importlib
from typing import Any, Awaitable, Callable, Tuple, cast

import aiohttp

from ._headers import basic_credentials

# aiohttp_proxy ships no type information: it is used as what it is, untyped.
aiohttp_proxy: Any = importlib.import_module("aiohttp_proxy")

__all__ = ["applies", "apply"]

_MARK = "_pelun_addr_infos_fix"
_CREDENTIALS_MARK = "_pelun_credentials_fix"
# RFC 1929: each of the name and the password is one length byte and its bytes.
_SOCKS5_FIELD_MAX = 255


def _aiohttp_version() -> Tuple[int, ...]:
    parts: list[int] = []
    for part in aiohttp.__version__.split(".")[:2]:
        digits = "".join(c for c in part if c.isdigit())
        parts.append(int(digits or 0))
    return tuple(parts)


def applies() -> bool:
    """Whether the installed aiohttp passes the destination as ``addr_infos``."""
    return _aiohttp_version() >= (3, 10)


# --- the socks destination (aiohttp 3.10 on) ---------------------------------------------


def _patched(original: Callable[..., Awaitable[Any]]) -> Callable[..., Awaitable[Any]]:
    create_socket_wrapper = importlib.import_module("aiohttp_proxy.helpers").create_socket_wrapper

    async def _wrap_create_connection(self: Any, *args: Any, addr_infos: Any, req: Any,
                                      timeout: Any, **kwargs: Any) -> Any:
        if self._proxy_type.is_http():
            # aiohttp itself speaks to http proxies; aiohttp_proxy only
            # rewrote the request, so its own method is right here.
            return await original(self, *args, addr_infos=addr_infos, req=req,
                                  timeout=timeout, **kwargs)
        if not addr_infos:
            raise ValueError("no address to reach through the socks proxy")
        # (family, type, proto, canonname, sockaddr); an IPv6 sockaddr has
        # flow info and scope id after host and port.
        host, port = addr_infos[0][4][:2]
        wrapper = create_socket_wrapper(
            loop=self._loop,
            proxy_type=self._proxy_type,
            host=self._proxy_host,
            port=self._proxy_port,
            username=self._proxy_username,
            password=self._proxy_password,
            rdns=self._rdns,
            family=self._proxy_family,
        )
        try:
            await wrapper.connect((host, port))
            return await self._wrap_existing_connection(
                *args, sock=wrapper.socket, req=req, timeout=timeout, **kwargs
            )
        except BaseException:
            # The wrapper closes it only for socks errors; a failed or
            # cancelled hand-over leaves it to us. Closing twice is harmless.
            if wrapper.socket is not None:
                wrapper.socket.close()
            raise

    _wrap_create_connection.__qualname__ = f"{aiohttp_proxy.ProxyConnector.__name__}._wrap_create_connection"
    _wrap_create_connection.__doc__ = "Socks connections through aiohttp's addr_infos (aiohttp 3.10+)."
    setattr(_wrap_create_connection, _MARK, True)
    return _wrap_create_connection


# --- proxy credentials (every aiohttp) -----------------------------------------------------


def _proto() -> Any:
    return importlib.import_module("aiohttp_proxy.proto")


def _errors() -> Any:
    return importlib.import_module("aiohttp_proxy.errors")


def _from_url(cls: Any, url: Any, **kwargs: Any) -> Any:
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


def _proxy_url(self: Any) -> Any:
    """The proxy's URL, credentials quoted (aiohttp_proxy wrote them in as they were)."""
    from yarl import URL

    if not self._proxy_username:
        return URL.build(scheme=str(self._proxy_type), host=self._proxy_host, port=self._proxy_port)
    return URL.build(scheme=str(self._proxy_type), user=self._proxy_username,
                     password=self._proxy_password, host=self._proxy_host, port=self._proxy_port)


async def _connect(self: Any, req: Any, traces: Any, timeout: Any) -> Any:
    from multidict import CIMultiDict
    from yarl import URL

    if self._proxy_type.is_http():
        # aiohttp takes the proxy's address from the URL, and moves an
        # Authorization among the proxy headers into the Proxy-Authorization
        # of the CONNECT (https) or of the forwarded request (http): the
        # credentials never pass through a URL, which aiohttp parses again
        # and shows in its errors.
        headers: CIMultiDict[str] = CIMultiDict(req.proxy_headers or {})
        if self._proxy_username:
            headers[aiohttp.hdrs.AUTHORIZATION] = basic_credentials(self._proxy_username, self._proxy_password)
        proxy = URL.build(scheme="http", host=self._proxy_host, port=self._proxy_port)
        req.update_proxy(proxy, None, headers)
    parent = cast(Any, super(aiohttp_proxy.ProxyConnector, self))
    return await parent.connect(req, traces, timeout)


async def _socks5_auth(self: Any) -> None:
    """The socks5 greeting and, when the proxy asks for it, RFC 1929 authentication."""
    proto, errors = _proto(), _errors()
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


def _mark(function: Any, qualname: str) -> Any:
    function.__qualname__ = qualname
    setattr(function, _CREDENTIALS_MARK, True)
    return function


def _apply_credentials() -> None:
    connector: Any = aiohttp_proxy.ProxyConnector
    from_url: Any = connector.__dict__.get("from_url")
    if from_url is None or getattr(from_url.__func__, _CREDENTIALS_MARK, False):
        return
    name = connector.__name__
    connector.from_url = classmethod(_mark(_from_url, f"{name}.from_url"))
    connector.proxy_url = property(_mark(_proxy_url, f"{name}.proxy_url"))
    connector.connect = _mark(_connect, f"{name}.connect")
    wrapper = _proto().Socks5SocketWrapper
    wrapper._socks_auth = _mark(_socks5_auth, f"{wrapper.__name__}._socks_auth")


def apply() -> bool:
    """Patch ``aiohttp_proxy``; True if the socks destination fix is in place now."""
    _apply_credentials()
    if not applies():
        return False
    connector = aiohttp_proxy.ProxyConnector
    current = connector._wrap_create_connection
    if getattr(current, _MARK, False):
        return True
    connector._wrap_create_connection = _patched(current)
    return True


apply()
