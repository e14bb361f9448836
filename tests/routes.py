"""One request by each library's client, the module's or the plain library's, directly or through a proxy.

``send(library, side, proxy, url, trust=...)`` builds a fresh client, sends
one request and returns ``(status, body)``, or raises whatever the library
raised. ``side`` is ``"module"`` (the client the module hands out) or
``"plain"`` (``requests.Session()``, ``httpx.Client()``,
``aiohttp.ClientSession()`` with the same proxy and the same trust).

Trust is given the way each library takes it per client or per request:
requests ``verify=``; httpx's trust is fixed when a client (and a proxy's
transport) is built, so the module's client is built with SSL_CERT_FILE
pointing at the CA and the plain one with ``verify=``; aiohttp ``ssl=`` per
request.
"""

from __future__ import annotations

import asyncio
import os
import ssl
from typing import Any

import aiohttp
import aiohttp_proxy
import httpx
import requests

import pelun_online_sdk.client as client
from helpers import HTTPX_PROXY_KEYWORD
from pelun_online_sdk.proxy import Proxy

LIBRARIES = ("requests", "httpx", "aiohttp")
# httpx has no socks4.
ROUTES = {
    "requests": ("direct", "http", "socks4", "socks5"),
    "httpx": ("direct", "http", "socks5"),
    "aiohttp": ("direct", "http", "socks4", "socks5"),
}
CASES = [(library, route) for library in LIBRARIES for route in ROUTES[library]]


def proxy_of(route: str, port: int, username: str | None = None, password: str | None = None) -> Proxy | None:
    return None if route == "direct" else Proxy("127.0.0.1", port, route, username, password)


class _Env:
    """SSL_CERT_FILE set for as long as a client is being built."""

    def __init__(self, ca_path: str | None) -> None:
        self._ca_path, self._saved = ca_path, None

    def __enter__(self) -> None:
        self._saved = os.environ.get("SSL_CERT_FILE")
        if self._ca_path:
            os.environ["SSL_CERT_FILE"] = self._ca_path

    def __exit__(self, *exc: Any) -> None:
        if self._saved is None:
            os.environ.pop("SSL_CERT_FILE", None)
        else:
            os.environ["SSL_CERT_FILE"] = self._saved


def _requests(side, proxy, url, trust, method, headers, timeout, **kwargs):
    if side == "module":
        session = client._requests.ClientSession({}, proxy)
    else:
        session = requests.Session()
        if proxy:
            session.proxies = {"http": proxy.toString, "https": proxy.toString}
    with session:
        response = session.request(method, url, verify=trust or True, headers=headers, timeout=timeout, **kwargs)
        return response.status_code, response.content


def _httpx(side, proxy, url, trust, method, headers, timeout, **kwargs):
    with _Env(trust):
        if side == "module":
            made = client._httpx.ClientSession({}, proxy)
        else:
            settings: dict = {HTTPX_PROXY_KEYWORD: proxy.toString} if proxy else {}
            made = httpx.Client(verify=ssl.create_default_context(cafile=trust) if trust else True, **settings)
    with made:
        response = made.request(method, url, headers=headers, timeout=timeout, **kwargs)
        return response.status_code, response.content


def _aiohttp(side, proxy, url, trust, method, headers, timeout, **kwargs):
    async def fetch():
        if side == "module":
            session = client._aiohttp.ClientSession({}, proxy)
        elif proxy and proxy.scheme.startswith("socks"):
            session = aiohttp.ClientSession(connector=aiohttp_proxy.ProxyConnector.from_url(proxy.toString))
        else:
            session = aiohttp.ClientSession()
            if proxy:
                kwargs["proxy"] = proxy.toString
        ssl_context = ssl.create_default_context(cafile=trust) if trust else None
        async with session:
            async with session.request(method, url, headers=headers, ssl=ssl_context or True,
                                       timeout=aiohttp.ClientTimeout(total=timeout), **kwargs) as response:
                return response.status, await response.read()

    return asyncio.run(asyncio.wait_for(fetch(), timeout * 3))


_SENDERS = {"requests": _requests, "httpx": _httpx, "aiohttp": _aiohttp}


def send(library: str, side: str, proxy: Proxy | None, url: str, *, trust: str | None = None,
         method: str = "GET", headers: dict | None = None, timeout: float = 10, **kwargs: Any):
    """One request by a fresh client of ``library`` (``side``: module or plain): (status, body)."""
    return _SENDERS[library](side, proxy, url, trust, method, headers, timeout, **kwargs)


def causes(error: BaseException) -> list:
    """The error and every error behind it: causes, contexts, the errors libraries keep in
    their arguments or in ``reason``, ``certificate_error`` and ``os_error``."""
    seen: list = []
    pending = [error]
    while pending:
        current = pending.pop()
        if not isinstance(current, BaseException) or any(current is known for known in seen):
            continue
        seen.append(current)
        pending += [current.__cause__, current.__context__, *current.args,
                    *(getattr(current, name, None) for name in ("reason", "certificate_error", "os_error"))]
    return seen
