"""One request by each library's client, the module's or the plain library's, directly or through a proxy.

``send(library, side, proxy, url, trust=...)`` builds a fresh client, sends
one request and returns ``(status, body)``, or raises whatever the library
raised. ``side`` is ``"module"`` (the client the module hands out) or
``"plain"`` (``requests.Session()``, ``httpx.Client()``,
``aiohttp.ClientSession()`` with the same proxy and the same trust; socks
through aiohttp_proxy's connector, see ``PlainSocksConnector``).

Trust is given the way each library takes it per client or per request:
requests ``verify=``; httpx's trust is fixed when a client (and a proxy's
transport) is built, so the module's client is built with SSL_CERT_FILE
pointing at the CA and the plain one with ``verify=``; aiohttp ``ssl=`` per
request.
"""

from __future__ import annotations

import asyncio
import contextlib
import gc
import os
import ssl
import warnings
from typing import Any

import aiohttp
import aiohttp_proxy
from aiohttp_proxy.helpers import create_socket_wrapper
import httpx
import requests

from urllib3.util.ssl_match_hostname import CertificateError

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


class PlainSocksConnector(aiohttp_proxy.ProxyConnector):
    """aiohttp_proxy's connector as plain as it can be on the installed aiohttp.

    From aiohttp 3.10 on, aiohttp hands the socks path the destination as
    ``addr_infos``, which aiohttp_proxy 0.1 does not read: it reaches no socks
    proxy at all. Read from there, the rest (handshake, errors) is its own.
    """

    if tuple(int(part) for part in aiohttp.__version__.split(".")[:2]) >= (3, 10):
        async def _wrap_create_connection(self, *args, addr_infos, **kwargs):
            if self._proxy_type.is_http():
                return await super()._wrap_create_connection(*args, addr_infos=addr_infos, **kwargs)
            wrapper = create_socket_wrapper(
                loop=self._loop, proxy_type=self._proxy_type, host=self._proxy_host, port=self._proxy_port,
                username=self._proxy_username, password=self._proxy_password, rdns=self._rdns,
                family=self._proxy_family)
            try:
                await wrapper.connect(addr_infos[0][4][:2])
                return await self._wrap_existing_connection(*args, sock=wrapper.socket, **kwargs)
            except BaseException:
                if wrapper.socket is not None:
                    wrapper.socket.close()
                raise


def _aiohttp(side, proxy, url, trust, method, headers, timeout, **kwargs):
    client_timeout = timeout if isinstance(timeout, aiohttp.ClientTimeout) else aiohttp.ClientTimeout(total=timeout)

    async def fetch():
        if side == "module":
            session = client._aiohttp.ClientSession({}, proxy)
        elif proxy and proxy.scheme.startswith("socks"):
            session = aiohttp.ClientSession(connector=PlainSocksConnector.from_url(proxy.toString))
        else:
            session = aiohttp.ClientSession()
            if proxy:
                kwargs["proxy"] = proxy.toString
        ssl_context = ssl.create_default_context(cafile=trust) if trust else None
        async with session:
            # No ssl= without a context: aiohttp before 3.9 takes True for "do not verify".
            async with session.request(method, url, headers=headers, **({"ssl": ssl_context} if trust else {}),
                                       timeout=client_timeout, **kwargs) as response:
                return response.status, await response.read()

    given = (client_timeout.total, client_timeout.sock_connect, client_timeout.sock_read)
    return asyncio.run(asyncio.wait_for(fetch(), max(10, 3 * max(value or 0 for value in given))))


_SENDERS = {"requests": _requests, "httpx": _httpx, "aiohttp": _aiohttp}


def send(library: str, side: str, proxy: Proxy | None, url: str, *, trust: str | None = None,
         method: str = "GET", headers: dict | None = None, timeout: float = 10, **kwargs: Any):
    """One request by a fresh client of ``library`` (``side``: module or plain): (status, body).

    ``timeout`` is in seconds, or an ``aiohttp.ClientTimeout`` for aiohttp."""
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


def refused_for_its_certificate(error: BaseException) -> bool:
    return any(isinstance(e, (ssl.SSLCertVerificationError, CertificateError)) for e in causes(error))


@contextlib.contextmanager
def httpcore_leaves_the_socket_open(library: str):
    """httpcore leaves its socket to a socks5 proxy open when the proxy refuses
    the credentials or answers what socksio cannot read, plain httpx as much as
    the module's client: that socket is dropped here, where it is expected,
    without a warning."""
    with warnings.catch_warnings():
        if library == "httpx":
            warnings.simplefilter("ignore", ResourceWarning)
        try:
            yield
        finally:
            gc.collect()
