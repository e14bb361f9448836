"""The package used as the README shows it, for the type checkers and for real.

``make typecheck`` runs mypy --strict and pyright over this file.  Each
factory's result is pinned with ``assert_type``, so an overload of the stub
that loses its precision fails the check.  test_usage.py runs the same
functions against local servers, so what type-checks here also works.

Written for Python 3.8: typing_extensions, no built-in generics.
"""

import asyncio
import ssl
from typing import Any, Dict, List, Optional, Tuple, Union

import aiohttp
import httpx
import requests
from typing_extensions import assert_type

import pelun_online_sdk
from pelun_online_sdk.client import CHIPER, Client, RequestsAdapter, SSLContext
from pelun_online_sdk.proxy import SCHEMES, Proxy
from pelun_online_sdk.utils import VERSION_SDK, Report

Reply = Tuple[int, str]


def with_requests(url: str, proxy: Optional[Proxy] = None) -> Reply:
    with Client.ClientSession(Client.TypeReq.REQUESTS, {"X-Token": "abc"}, proxy) as session:
        assert_type(session, requests.Session)
        fields: Dict[str, Any] = {"a": 1, "tags": ["x", "y"]}
        body = Client.create_boundary(Client.TypeReq.REQUESTS, fields)
        assert_type(body.headers, Dict[str, str])
        response = session.post(url, data=body.data, headers=body.headers, timeout=10)
        return response.status_code, response.text


def with_httpx(url: str, proxy: Optional[Proxy] = None) -> Reply:
    with Client.ClientSession(Client.TypeReq.HTTPX, {}, proxy) as client:
        assert_type(client, httpx.Client)
        body = Client.create_boundary(Client.TypeReq.HTTPX, {"a": 1}, prefix="upload")
        content = body.data.to_string()
        assert_type(content, bytes)
        response = client.post(url, content=content, headers=body.headers, timeout=10)
        return response.status_code, response.text


async def with_aiohttp(url: str, proxy: Optional[Proxy] = None) -> Reply:
    async with Client.ClientSession(Client.TypeReq.AIOHTTP, proxy=proxy) as session:
        assert_type(session, aiohttp.ClientSession)
        body = Client.create_boundary(Client.TypeReq.AIOHTTP, {"a": 1}, length=20, MD5=True)
        assert_type(body.data, aiohttp.MultipartWriter)
        timeout = aiohttp.ClientTimeout(total=10)
        async with session.post(url, data=body.data, headers=body.headers, timeout=timeout) as response:
            return response.status, await response.text()


def results_of_the_factories() -> None:
    # Called on their own, the factories give the same types as under with.
    session = Client.ClientSession(Client.TypeReq.REQUESTS)
    session.close()
    assert_type(session, requests.Session)
    client = Client.ClientSession(Client.TypeReq.HTTPX)
    client.close()
    assert_type(client, httpx.Client)
    for_requests = Client.create_boundary(Client.TypeReq.REQUESTS, {"a": "b"}, boundary="fixed")
    assert_type(for_requests.data.boundary_value, str)
    assert_type(for_requests.data.len, int)
    for_aiohttp = Client.create_boundary(Client.TypeReq.AIOHTTP, {"a": "b"}, None, 51, None, False)
    assert_type(for_aiohttp.headers, Dict[str, str])
    assert_type(str(for_requests) + repr(for_aiohttp), str)


async def chosen_at_run_time(kind: Client.TypeReq) -> str:
    """A member not known statically: one of the three sessions, never None."""
    session = Client.ClientSession(kind)
    assert_type(session, Union[requests.Session, httpx.Client, aiohttp.ClientSession])
    if isinstance(session, aiohttp.ClientSession):
        await session.close()
    else:
        session.close()
    body = Client.create_boundary(kind, {})
    if isinstance(body.data, aiohttp.MultipartWriter):
        return "writer"
    return body.data.content_type


def proxies() -> List[Proxy]:
    socks = Proxy("127.0.0.1", 1080, scheme="socks5", username="user", password="p@ss")
    assert_type(socks.toString, str)
    assert_type(socks.username, Optional[str])
    parsed = Proxy.from_url("http://[::1]:3128")
    assert_type(parsed.port, int)

    class Named(Proxy):
        __slots__ = ()

    assert_type(Named.from_url(socks.toString), Named)
    assert_type(SCHEMES, Tuple[str, ...])
    return [socks, parsed]


def tls_pieces() -> requests.Session:
    context = SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.set_ciphers(CHIPER)
    context.set_alpn_protocols(["h2", "http/1.1"])  # ignored: no ALPN is offered
    session = requests.Session()
    session.mount("https://", RequestsAdapter(max_retries=3, pool_maxsize=4))
    return session


class Uploaded(Report):
    def __init__(self, name: str) -> None:
        super().__init__()
        self.name = name


def versions() -> str:
    version: str = pelun_online_sdk.__version__
    return f"Pelun-Online/{version} {VERSION_SDK} {Uploaded('a')!r}"


def main(url: str, proxy: Optional[Proxy] = None) -> List[Reply]:
    return [with_requests(url, proxy), with_httpx(url, proxy), asyncio.run(with_aiohttp(url, proxy))]
