"""Socks connections of ``aiohttp_proxy.ProxyConnector`` on aiohttp 3.10 and newer.

From aiohttp 3.10 on, the connector hands the destination to
``_wrap_create_connection`` as the keyword ``addr_infos`` (resolved
``getaddrinfo``-style tuples) instead of the positional ``host, port`` that
aiohttp_proxy 0.1 reads. Its socks path then asks the proxy for ``None:None``
and fails in ``struct.pack`` after the handshake began, leaving the socket
open.

Importing this module replaces that one method on ``ProxyConnector`` itself,
so the class, the module global and the type of every connector stay
aiohttp_proxy's. The replacement takes the destination from ``addr_infos``,
lets aiohttp_proxy's own socket wrapper do the socks handshake, and hands the
connected socket to aiohttp's ``_wrap_existing_connection``: TLS, the
``sock_connect`` timeout and the mapping of connection errors stay aiohttp's.
A failure at any step closes the socket. Handshake failures surface as
aiohttp_proxy's own errors, as they do on older aiohttp.

On aiohttp before 3.10 nothing is changed. Importing twice patches once.
"""

from __future__ import annotations

import importlib
from typing import Any, Awaitable, Callable, Tuple

import aiohttp

# aiohttp_proxy ships no type information: it is used as what it is, untyped.
aiohttp_proxy: Any = importlib.import_module("aiohttp_proxy")

__all__ = ["applies", "apply"]

_MARK = "_pelun_addr_infos_fix"


def _aiohttp_version() -> Tuple[int, ...]:
    parts: list[int] = []
    for part in aiohttp.__version__.split(".")[:2]:
        digits = "".join(c for c in part if c.isdigit())
        parts.append(int(digits or 0))
    return tuple(parts)


def applies() -> bool:
    """Whether the installed aiohttp passes the destination as ``addr_infos``."""
    return _aiohttp_version() >= (3, 10)


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


def apply() -> bool:
    """Patch ``aiohttp_proxy.ProxyConnector`` where needed; True if it is patched now."""
    if not applies():
        return False
    connector = aiohttp_proxy.ProxyConnector
    current = connector._wrap_create_connection
    if getattr(current, _MARK, False):
        return True
    connector._wrap_create_connection = _patched(current)
    return True


apply()
