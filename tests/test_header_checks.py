"""No header that could split a request leaves the module's clients, on any protocol or route.

A header name must be a token (RFC 9110) and a value must hold no CR, LF or
NUL. The session factories refuse such a header with a ValueError naming it
and build nothing; a header given per request is refused before anything is
sent, with the library's own error: requests' InvalidHeader, httpx's
LocalProtocolError (whether HTTP/1.1 or HTTP/2 would carry it), aiohttp's
ValueError. The messages below are the module's documented wording.
"""
import asyncio

import httpx
import pytest
import requests

import pelun_online_sdk.client as client
from helpers import BACKENDS, assert_no_leak, swallowing
from pelun_online_sdk.utils import VERSION_SDK
from routes import CASES, proxy_of

NAME = "Invalid header name {!r}: {!r} is not allowed in a header name"
VALUE = "Invalid value for header {!r}: {!r} is not allowed in a header value"

# (extra headers, the message refusing them); names are lower-cased before they are checked.
REFUSED_AT_BUILD = [
    ({"X A": "1"}, NAME.format("x a", " ")),
    ({"X:A": "1"}, NAME.format("x:a", ":")),
    ({"X\rA": "1"}, NAME.format("x\ra", "\r")),
    ({"X-A\n": "1"}, NAME.format("x-a\n", "\n")),
    ({"X\0A": "1"}, NAME.format("x\0a", "\0")),
    ({"(X)": "1"}, NAME.format("(x)", "(")),
    ({"Ünï": "1"}, NAME.format("ünï", "ü")),
    ({"": "1"}, "Invalid header name '': a header name cannot be empty"),
    ({"X-A": "a\r\nInjected: 1"}, VALUE.format("x-a", "\r")),
    ({"X-A": "a\nb"}, VALUE.format("x-a", "\n")),
    ({"X-A": "a\0b"}, VALUE.format("x-a", "\0")),
    ({"X-A": b"a\0b"}, VALUE.format("x-a", "\0")),
    ({"Ok": "1", "User-Agent": "agent\r\n"}, VALUE.format("user-agent", "\r")),
]
FACTORIES = [(row.cls, getattr(client, row.cls).ClientSession) for row in BACKENDS] + [
    (f"Client {row.member}", lambda extra, member=row.member: client.Client.ClientSession(
        getattr(client.Client.TypeReq, member), extra)) for row in BACKENDS]


@pytest.mark.parametrize("extra, message", REFUSED_AT_BUILD)
@pytest.mark.parametrize("name, factory", FACTORIES, ids=[name for name, _ in FACTORIES])
def test_factories_refuse_a_header_that_could_split_a_request(name, factory, extra, message):
    before = dict(extra)
    with pytest.raises(ValueError) as refused:
        factory(extra)
    assert str(refused.value) == message and extra == before


def test_a_rebound_version_cannot_split_the_user_agent(monkeypatch):
    monkeypatch.setattr(client, "VERSION_SDK", f"{VERSION_SDK}\r\nX-Injected: 1")
    for row in BACKENDS:
        with pytest.raises(ValueError, match=r"^Invalid value for header 'user-agent': '\\r' "):
            getattr(client, row.cls).ClientSession()


@pytest.mark.parametrize("value", ["a b\tc", "é", b"bytes", 7])
def test_factories_keep_what_may_be_sent(value):
    # Spaces and tabs inside a value, non-ASCII text, bytes, and values the
    # libraries convert themselves pass unchanged.
    with client._requests.ClientSession({"X-A": value}) as session:
        assert session.headers["x-a"] == value


# Headers given with one request: each must be refused before the request
# leaves, through whichever route and protocol would carry it.
PER_REQUEST = [{"X A": "1"}, {"X:A": "1"}, {"X\0A": "1"}, {"X-A": "a\0b"}, {"X-A": "a\r\nInjected: 1"},
               {"X-A": "a\nb"}, {"Ünï": "1"}]
# httpx refuses a name it cannot encode as ASCII itself, when it builds the request.
REFUSAL = {"requests": requests.exceptions.InvalidHeader, "httpx": (httpx.LocalProtocolError, UnicodeEncodeError),
           "aiohttp": ValueError}


def _sync_round(library, make_session):
    def round_(proxy, url, bad, good):
        with make_session({}, proxy) as session:
            for headers in bad:
                with pytest.raises(REFUSAL[library]):
                    session.get(url, headers=headers, timeout=10)
            return session.get(url, headers=good, timeout=10).status_code

    return round_


def _aiohttp_round(proxy, url, bad, good):
    async def go():
        async with client._aiohttp.ClientSession({}, proxy) as session:
            for headers in bad:
                with pytest.raises(REFUSAL["aiohttp"]):
                    await session.get(url, headers=headers)
            async with session.get(url, headers=good) as response:
                return response.status

    return asyncio.run(asyncio.wait_for(go(), 60))


ROUNDS = {"requests": _sync_round("requests", client._requests.ClientSession),
          "httpx": _sync_round("httpx", client._httpx.ClientSession), "aiohttp": _aiohttp_round}


@pytest.mark.parametrize("library, route", CASES)
def test_requests_with_a_bad_header_never_leave(http_origin, h2_origin, tls_ca_env, proxy_server, library, route):
    # httpx speaks HTTP/2 to the TLS origin (h2 would send any header as it
    # is); the others HTTP/1.1 to the plain one. After the refusals one good
    # request goes the same way: it must be the only one the proxy carried
    # and the origin saw.
    origin = h2_origin if library == "httpx" else http_origin
    proxy = proxy_of(route, proxy_server.port)
    assert ROUNDS[library](proxy, origin.url, PER_REQUEST, {"X-Good": "yes"}) == 200
    seen = origin.wait(1)
    assert [request.header("x-good") for request in seen] == ["yes"]
    assert seen[0].version == ("HTTP/2" if library == "httpx" else "HTTP/1.1")
    if proxy:
        proxy_server.wait_for_tunnel(origin.port, route)
        assert len(proxy_server.tunnels_to(origin.port)) == 1


def test_the_session_s_own_headers_are_checked_again_before_each_request(http_origin, h2_origin, tls_ca_env):
    # Headers set on a session after it was built are the caller's too.
    with client._requests.ClientSession() as session:
        session.headers["X-Late"] = "a\0b"
        with pytest.raises(requests.exceptions.InvalidHeader, match=VALUE.format("X-Late", "\0").replace("\\", "\\\\")):
            session.get(http_origin.url, timeout=10)
    with client._httpx.ClientSession() as session:
        session.headers["X Late"] = "1"
        with pytest.raises(httpx.LocalProtocolError, match="^Invalid header name 'X Late'"):
            session.get(http_origin.url, timeout=10)

    async def aiohttp_round():
        async with client._aiohttp.ClientSession() as session:
            session.headers["X:Late"] = "1"
            with pytest.raises(ValueError, match="^Invalid header name 'X:Late'"):
                await session.get(http_origin.url)

    asyncio.run(aiohttp_round())
    assert http_origin.requests == []
    # Over HTTP/2, after a request with the same headers has passed: a header
    # added, or one replaced in place, is refused all the same.
    for name, value, refusal in (("X Late", "1", "^Invalid header name 'X Late'"),
                                 ("User-Agent", "a\r\nb", "^Invalid value for header 'User-Agent'")):
        with client._httpx.ClientSession() as session:
            assert session.get(h2_origin.url, timeout=10).status_code == 200
            session.headers[name] = value
            with pytest.raises(httpx.LocalProtocolError, match=refusal):
                session.get(h2_origin.url, timeout=10)
    assert len(h2_origin.requests) == 2


def test_httpx_refuses_as_plain_httpx_does_over_http1(http_origin):
    # Where the plain library already refuses a header (httpx over HTTP/1.1,
    # through h11), the module's client refuses it with the same type.
    for headers in ({"X A": "1"}, {"X-A": "a\r\nInjected: 1"}):
        with httpx.Client() as plain, pytest.raises(httpx.LocalProtocolError):
            plain.get(http_origin.url, headers=headers)
        with client._httpx.ClientSession() as module, pytest.raises(httpx.LocalProtocolError):
            module.get(http_origin.url, headers=headers)
    assert http_origin.requests == []


@pytest.mark.parametrize("name, factory", FACTORIES, ids=[name for name, _ in FACTORIES])
def test_refusing_a_header_leaks_nothing(name, factory):
    bad = {"X-Token": "abc", "X A": "1"}
    assert_no_leak(swallowing(lambda: factory(bad), ValueError), bad, calls=1000)
