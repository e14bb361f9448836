"""httpx and aiohttp clients, and the facade's, against the local servers."""
import asyncio
import socket
import threading
import time

import aiohttp
import httpx
import pytest
import requests

import pelun_online_sdk.client as client
from pelun_online_sdk.client import Client
from pelun_online_sdk.proxy import Proxy
from pelun_online_sdk.utils import VERSION_SDK
from helpers import BACKENDS
from servers import CP1251_TEXT
from servers._util import start_thread

AGENT = f"Pelun-Online/{VERSION_SDK}"
TypeReq = Client.TypeReq
LIBRARY = {TypeReq.REQUESTS: requests.Session, TypeReq.HTTPX: httpx.Client,
           TypeReq.AIOHTTP: aiohttp.ClientSession}

# What a form server must parse out of the bodies built from these fields:
# numbers and booleans as their text, containers as JSON, text untouched.
FIELDS = {"n": 5, "x": 1.5, "flag": True, "items": [1, "b"], "map": {"k": None}, "text": "Привет, мир"}
PARSED = [("n", "5"), ("x", "1.5"), ("flag", "True"), ("items", '[1, "b"]'),
          ("map", '{"k": null}'), ("text", "Привет, мир")]


def run(make_coroutine):
    """Run an async exchange to its end; aiohttp sessions need a running loop to be made."""
    return asyncio.run(asyncio.wait_for(make_coroutine(), 30))


async def aiohttp_exchange(session, url, **kwargs):
    method = "POST" if "data" in kwargs else "GET"
    async with session:
        async with session.request(method, url, **kwargs) as response:
            return response.status, await response.text()


@pytest.mark.parametrize("scheme", [None, "http", "socks5"])
def test_httpx_client_speaks_http2_and_guesses_the_charset(tls_ca_env, h2_origin, proxy_server, scheme):
    proxy = scheme and Proxy("127.0.0.1", proxy_server.port, scheme)
    with client._httpx.ClientSession({"X-Token": "abc"}, proxy) as session:
        response = session.get(h2_origin.url + "cp1251")
        assert response.http_version == "HTTP/2"
        # No charset on the wire: the text is right only if chardet was asked.
        assert response.encoding.lower() == "windows-1251"
        assert response.text == CP1251_TEXT
    if scheme:
        assert proxy_server.wait_for_tunnel(h2_origin.port, scheme)
    seen = h2_origin.last
    assert seen.version == "HTTP/2"
    assert seen.header_all("user-agent") == [AGENT]
    assert seen.header_all("x-token") == ["abc"]


@pytest.fixture
def sleeps(monkeypatch):
    """Backoff delays httpcore and the proxy transport ask for, recorded instead of slept."""
    asked = []
    monkeypatch.setattr(time, "sleep", asked.append)
    return asked


@pytest.mark.parametrize("scheme", [None, "http", "socks5"])
def test_httpx_client_retries_connections(proxy_server, hello_recorder, sleeps, scheme):
    # The recorder refuses every TLS handshake: a connection that is never
    # established, which the client's transport retries three times, through
    # a proxy as directly. Each hello is recorded before the refusal that ends its attempt.
    with client._httpx.ClientSession({}, scheme and Proxy("127.0.0.1", proxy_server.port, scheme)) as session:
        with pytest.raises(httpx.ConnectError):
            session.get(hello_recorder.url, timeout=5)
    assert len(hello_recorder.wait(4)) == 4 and sleeps == [0, 0.5, 1.0]
    if scheme:
        assert [tunnel.protocol for tunnel in proxy_server.tunnels_to(hello_recorder.port)] == [scheme] * 4


def test_httpx_client_waits_for_a_proxy_that_refuses_at_first(monkeypatch, http_origin):
    # The proxy's port is taken but not listening (connections are refused)
    # until the client's second backoff; then a stand-in proxy answers the
    # forwarded request itself.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    asked, accepted = [], []

    def sleep(delay):
        asked.append(delay)
        if len(asked) == 2:
            listener.listen(1)
            start_thread(answer, name="late-proxy")

    def answer():
        listener.settimeout(10)
        conn, _ = listener.accept()
        with conn, conn.makefile("rb") as request:
            conn.settimeout(10)
            accepted.append(request.readline(65536).rstrip(b"\r\n"))
            while request.readline(65536) not in (b"\r\n", b""):  # the rest of the head
                pass
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 7\r\nConnection: close\r\n\r\nproxied")

    monkeypatch.setattr(time, "sleep", sleep)
    proxy = Proxy("127.0.0.1", listener.getsockname()[1], "http")
    try:
        with client._httpx.ClientSession({}, proxy) as session:
            assert session.get(http_origin.url + "x", timeout=5).text == "proxied"
    finally:
        listener.close()
    # Two refused attempts, then the third reached the proxy, in absolute form.
    assert asked == [0, 0.5] and accepted == [f"GET {http_origin.url}x HTTP/1.1".encode()]
    assert not http_origin.requests


def test_aiohttp_session_sends_the_merged_headers(tls_ca, https_origin, http_origin):
    async def both():
        session = client._aiohttp.ClientSession({"X-Token": "abc", "Accept": "text/plain"})
        async with session:
            for url in (https_origin.url, http_origin.url):
                async with session.get(url, ssl=tls_ca.client_context()) as response:
                    assert (response.status, await response.text()) == (200, "ok")

    run(both)
    for origin in (https_origin, http_origin):
        seen = origin.last
        # aiohttp adds its own User-Agent unless it sees one: exactly one must arrive.
        assert seen.header_all("User-Agent") == [AGENT]
        assert seen.header_all("X-Token") == ["abc"] and seen.header_all("Accept") == ["text/plain"]


def test_aiohttp_body_is_parsed_by_aiohttps_own_server(form_origin):
    fields = dict(FIELDS)
    result = client._aiohttp.create_boundary(fields)

    async def post():
        session = client._aiohttp.ClientSession()
        return await aiohttp_exchange(session, form_origin.url, data=result.data, headers=result.headers)

    assert run(post) == (200, "ok")
    seen = form_origin.last
    assert seen.error is None and seen.fields == PARSED
    assert seen.content_type == result.headers["Content-Type"] and seen.boundary
    assert fields == FIELDS


def facade_get(member, url, headers):
    """One GET with a facade client of `member`: (client type, status, text)."""
    if member is TypeReq.AIOHTTP:
        async def get():
            session = Client.ClientSession(member, headers)
            return type(session), *await aiohttp_exchange(session, url)

        return run(get)
    with Client.ClientSession(member, headers) as session:
        response = session.get(url)
        return type(session), response.status_code, response.text


@pytest.mark.parametrize("member", [TypeReq[row.member] for row in BACKENDS], ids=[row.member for row in BACKENDS])
def test_facade_gives_a_working_client_of_each_library(http_origin, member):
    kind, status, text = facade_get(member, http_origin.url, {"X-Token": member.name})
    assert issubclass(kind, LIBRARY[member]) and (status, text) == (200, "ok")
    seen = http_origin.last
    assert seen.header_all("User-Agent") == [AGENT] and seen.header_all("X-Token") == [member.name]


def test_facade_httpx_body_is_a_toolbelt_body_httpx_can_send(form_origin):
    body = Client.create_boundary(TypeReq.HTTPX, dict(FIELDS))
    with Client.ClientSession(TypeReq.HTTPX) as session:
        response = session.post(form_origin.url, content=body.data.to_string(), headers=body.headers)
    assert (response.status_code, response.text) == (200, "ok")
    seen = form_origin.last
    assert seen.error is None and seen.fields == PARSED
    assert seen.content_type == body.headers["Content-Type"]
