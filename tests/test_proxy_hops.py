"""The hop to a proxy, as safe as the proxy's URL names it, beside the plain library.

An ``https://`` proxy is spoken to over TLS and verified as an origin is; a
proxy's handshake ends within the request's connect timeout however it
answers, with the library's own error; no error shows the credentials.
"""
import asyncio
import base64
import ssl
import sys
import warnings

import aiohttp
import aiohttp_proxy
import httpcore
import httpx
import pytest
import requests
from urllib3.exceptions import InsecureRequestWarning

from peers import CredentialProxy, RawListener, StallingProxy, TlsFront
from pelun_online_sdk import client
from pelun_online_sdk.proxy import Proxy
from routes import LIBRARIES, causes, httpcore_leaves_the_socket_open, refused_for_its_certificate, send
from servers._util import LOCALHOST, start_thread

SIDES = ("module", "plain")
USER, PASSWORD = "user", "s3cret"
TOKEN = base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode()
ERRORS = {"requests": requests.RequestException, "httpx": httpx.HTTPError, "aiohttp": aiohttp.ClientError}
HTTPS_TARGET, HTTP_TARGET = "https://127.0.0.1:9/", "http://127.0.0.1:9/"
# Where an https request through an https proxy cannot be made (TLS inside TLS): asyncio before 3.11,
# httpcore before 1.0.1.
NO_TLS_IN_TLS = {"requests": False, "aiohttp": sys.version_info < (3, 11),
                 "httpx": tuple(int(part) for part in httpcore.__version__.split(".")[:3]) < (1, 0, 1)}


@pytest.fixture(scope="module")
def https_fronts(tls_ca, _proxy_process):
    """TLS before the suite's http proxy: the test CA's certificate, and one for another host."""
    wrong_host = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls_ca.ca.issue_cert("wrong-host.example").configure_cert(wrong_host)
    fronts = {"trusted": TlsFront(tls_ca.server_context(), _proxy_process.port),
              "wrong_host": TlsFront(wrong_host, _proxy_process.port)}
    yield fronts
    for front in fronts.values():
        front.stop()


@pytest.mark.parametrize("library", LIBRARIES)
def test_a_proxy_named_https_gets_nothing_in_clear(no_backoff, library):
    listener = RawListener(b"HTTP/1.1 200 Connection established\r\n\r\n", after=b"")
    proxy = Proxy(LOCALHOST, listener.port, "https", USER, PASSWORD)
    try:
        for side in SIDES:
            for url in (HTTP_TARGET, HTTPS_TARGET):
                with pytest.raises(ERRORS[library]):
                    send(library, side, proxy, url, timeout=5)
        listener.wait(3 if NO_TLS_IN_TLS[library] else 4)  # refused before connecting
    finally:
        listener.stop()
    for received in listener.connections:  # each opened with a TLS handshake record
        assert received.startswith(b"\x16\x03") and b"CONNECT" not in received and TOKEN.encode() not in received


# (front, origin, whether the client trusts the test CA, what happens)
TLS_PROXY_CASES = [("trusted", "https", True, "ok"), ("trusted", "http", True, "ok"),
                   ("wrong_host", "http", True, "refused"), ("trusted", "http", False, "refused")]


@pytest.mark.parametrize("side", SIDES)
@pytest.mark.parametrize("library", LIBRARIES)
def test_an_https_proxy_is_verified_as_an_origin(https_fronts, proxy_server, http_origin, https_origin, tls_ca,
                                                 no_backoff, library, side):
    for front, scheme, trusted, expected in TLS_PROXY_CASES:
        origin = https_origin if scheme == "https" else http_origin
        if (library, side, scheme) == ("requests", "plain", "http"):
            expected = "unverified"  # requests checks no certificate of a proxy forwarding an http request
        elif (library, side) == ("httpx", "plain") and trusted:
            expected = "refused"  # plain httpx checks an https proxy against certifi's bundle alone
        elif scheme == "https" and NO_TLS_IN_TLS[library]:
            expected = "not sent" if side == "module" else "skip"  # plain aiohttp warns, then fails
        if expected == "skip":
            continue
        try:
            with warnings.catch_warnings():
                if expected == "unverified":
                    warnings.simplefilter("ignore", InsecureRequestWarning)
                got = send(library, side, Proxy(LOCALHOST, https_fronts[front].port, "https"), origin.url,
                           trust=tls_ca.ca_path if trusted else None)
        except ERRORS[library] as error:
            got = "refused" if refused_for_its_certificate(error) else "not sent" if "https proxy" in str(error) \
                and proxy_server.tunnels_to(origin.port) == [] else error
        assert got == ((200, b"ok") if expected in ("ok", "unverified") else expected), (front, scheme, trusted)


T = 0.2  # the connect timeout; a stalling proxy sends a byte every PACE (0.05) s
TIMEOUTS = {"requests": requests.ConnectTimeout, "httpx": httpx.ConnectTimeout, "aiohttp": aiohttp.ServerTimeoutError}
# act: the target, and what the module's client of each library raises
STALLS = {
    "trickle": (HTTPS_TARGET, TIMEOUTS),
    # Ended by a count or size of header lines (requests; h11's 16 KiB; aiohttp from 3.9 on) or the deadline
    "endless": (HTTPS_TARGET, {"requests": requests.ConnectionError, "aiohttp": aiohttp.ClientError,
                               "httpx": httpx.TransportError}),
    "socks5-silent": (HTTP_TARGET, TIMEOUTS),
    "socks5-greeting": (HTTP_TARGET, TIMEOUTS),
    "socks5-reply": (HTTP_TARGET, TIMEOUTS),
    "socks5-trickle": (HTTP_TARGET, TIMEOUTS),
    # aiohttp's error is aiohttp_proxy's too, as callers caught it so far: all of a tuple
    "socks5-atype": (HTTP_TARGET, {"requests": requests.ConnectionError, "httpx": httpx.ProxyError,
                                   "aiohttp": (aiohttp.ClientProxyConnectionError, aiohttp_proxy.InvalidServerReply)}),
    "socks4-reply": (HTTP_TARGET, {"requests": requests.ConnectTimeout, "aiohttp": aiohttp.ServerTimeoutError}),
}
TRIES = {"requests": 4, "httpx": 4, "aiohttp": 1}  # the handshakes of a request through a stalling proxy
NEVER_STOPS = ("trickle", "socks5-trickle")  # where the deadline alone ends it: 20 handshakes


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("act", list(STALLS))
def test_a_stalling_handshake_ends_within_the_connect_timeout(tls_ca, no_backoff, act, library):
    url, raised = STALLS[act]
    if library not in raised:
        pytest.skip("httpx has no socks4")
    expected = raised[library] if isinstance(raised[library], tuple) else (raised[library],)
    # aiohttp's per-step timeouts alone: its total would end the request anyway.
    timeout = aiohttp.ClientTimeout(sock_connect=T, sock_read=T) if library == "aiohttp" else T
    trust = tls_ca.ca_path  # a bundle of one: the clients are made faster
    scheme = "http" if url == HTTPS_TARGET else act.split("-")[0]
    peer, plain_peer = StallingProxy(act), StallingProxy(act)
    plain = []  # the plain library beside it, which the proxy's stop ends
    thread = start_thread(lambda: plain.append(_outcome(library, Proxy(LOCALHOST, plain_peer.port, scheme), url,
                                                        trust, timeout)), name="plain-request")
    with httpcore_leaves_the_socket_open(library):
        try:
            for _ in range(20 // TRIES[library] if act in NEVER_STOPS else 1):
                error = _outcome(library, Proxy(LOCALHOST, peer.port, scheme), url, trust, timeout, "module")
                assert all(isinstance(error, kind) for kind in expected), error
                if isinstance(error, TIMEOUTS[library]):  # naming the proxy
                    assert any(f"proxy 127.0.0.1:{peer.port}" in str(inner) for inner in causes(error))
                if library == "httpx" and act == "socks5-atype":
                    assert type(error.__cause__).__module__.startswith("socksio")
            del error
            # The client hung up on every connection, each within the timeout and a second.
            assert max(peer.ended.wait(peer.accepted, T + 2)) <= T + 1
            thread.join(T + 0.5)
            assert thread.is_alive() or isinstance(plain[0], Exception)  # held, or failed too
        finally:
            peer.stop()
            plain_peer.stop()
            thread.join(15)
            plain.clear()


def _outcome(library, proxy, url, trust, timeout, side="plain"):
    try:
        return send(library, side, proxy, url, trust=trust, timeout=timeout)
    except Exception as error:  # noqa: BLE001 - whatever each library raises is checked by the caller
        return error


@pytest.mark.parametrize("url", [HTTPS_TARGET, HTTP_TARGET], ids=["CONNECT", "forwarded"])
def test_no_aiohttp_error_shows_the_proxy_credentials(url):
    recorder = CredentialProxy()  # asks for credentials with 407

    async def refused(side):
        session = client._aiohttp.ClientSession({}, proxy) if side == "module" else aiohttp.ClientSession()
        async with session, session.get(url, proxy=None if side == "module" else proxy.toString) as response:
            response.raise_for_status()

    proxy = Proxy(LOCALHOST, recorder.port, "http", USER, PASSWORD)
    try:
        module, plain = (pytest.raises(aiohttp.ClientResponseError, asyncio.run, refused(side)).value
                         for side in SIDES)
        assert [(got.username, got.password) for got in recorder.wait(2)] == [(USER.encode(), PASSWORD.encode())] * 2
    finally:
        recorder.stop()
    assert plain.request_info.headers["Proxy-Authorization"] == f"Basic {TOKEN}"
    assert (type(module), module.status, module.request_info.url, module.request_info.method) == (
        type(plain), 407, plain.request_info.url, plain.request_info.method)
    assert module.request_info.headers["Proxy-Authorization"] == "Basic ***"
    shown = repr(module) + repr(module.args) + str(module)
    assert TOKEN not in shown and PASSWORD not in shown
