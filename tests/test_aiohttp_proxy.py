"""The aiohttp sessions' proxy connector through real local proxies, on the installed aiohttp.

Run on the oldest and the newest aiohttp in the supported range: aiohttp 3.10
hands the socks destination over in another form, which the connector reads.
"""
import asyncio
import contextlib
import socket
import threading

import aiohttp
import aiohttp_proxy
import pytest

import pelun_online_sdk.client as client
from pelun_online_sdk.proxy import Proxy
from pelun_online_sdk.utils import VERSION_SDK
from servers.proxy import ProxyServer
from servers._util import LOCALHOST, listen_socket, start_thread

# Reserved characters of URLs in both halves; '%' is left out: aiohttp_proxy
# unquotes credentials a second time after yarl has.
USER, PASSWORD = "us@r:/?#[]", "p@ss:w/rd?#[]! &="


def run(make_coroutine, timeout=30):
    return asyncio.run(asyncio.wait_for(make_coroutine(), timeout))


async def fetch(proxy, url, **kwargs):
    """GET through a session of the module's own aiohttp factory: (status, text)."""
    session = client._aiohttp.ClientSession({"X-Token": "abc"}, proxy)
    async with session:
        async with session.get(url, **kwargs) as response:
            return response.status, await response.text()


@pytest.fixture(scope="module")
def auth_proxy():
    server = ProxyServer(credentials=(USER, PASSWORD)).start()
    try:
        yield server
    finally:
        server.stop()


def test_only_the_module_s_sessions_use_the_corrected_connector():
    async def connectors():
        session = client._aiohttp.ClientSession({}, Proxy(LOCALHOST, 1, "socks5"))
        plain = aiohttp_proxy.ProxyConnector.from_url(f"socks5://{LOCALHOST}:1")
        async with session:
            await plain.close()
            return type(session.connector), type(plain)

    ours, theirs = run(connectors)
    assert issubclass(ours, aiohttp_proxy.ProxyConnector) and ours is not aiohttp_proxy.ProxyConnector
    assert theirs is aiohttp_proxy.ProxyConnector is aiohttp_proxy.connector.ProxyConnector
    # aiohttp_proxy's own classes are left as they are, for everyone else.
    for cls in (aiohttp_proxy.ProxyConnector, aiohttp_proxy.proto.Socks5SocketWrapper):
        for name, member in vars(cls).items():
            function = getattr(member, "__func__", getattr(member, "fget", member))
            assert getattr(function, "__module__", cls.__module__) == cls.__module__, name


@pytest.mark.parametrize("tls", [False, True], ids=["http-origin", "https-origin"])
@pytest.mark.parametrize("scheme", ["http", "socks4", "socks5", "socks5-credentials"])
def test_each_proxy_type_reaches_the_origin(proxy_server, auth_proxy, http_origin, https_origin,
                                            tls_ca, scheme, tls):
    origin = https_origin if tls else http_origin
    if scheme == "socks5-credentials":
        server, proxy = auth_proxy, Proxy(LOCALHOST, auth_proxy.port, "socks5", USER, PASSWORD)
        auth_proxy.reset()
    else:
        server, proxy = proxy_server, Proxy(LOCALHOST, proxy_server.port, scheme)
    ssl = tls_ca.client_context() if tls else None

    assert run(lambda: fetch(proxy, origin.url + "through", ssl=ssl)) == (200, "ok")
    tunnel = server.wait_for_tunnel(origin.port)
    assert (tunnel.protocol, tunnel.target_host) == (scheme.split("-")[0], LOCALHOST)
    # The session's merged headers go through the proxy too, with exactly one User-Agent.
    assert origin.last.path == "/through" and origin.last.header_all("X-Token") == ["abc"]
    assert origin.last.header_all("User-Agent") == [f"Pelun-Online/{VERSION_SDK}"]


@pytest.mark.parametrize("scheme, user, tls, refusal, message", [
    # pproxy answers a wrong socks5 password by closing the connection mid-handshake,
    ("socks5", USER, False, aiohttp_proxy.InvalidServerReply, "Not all data available"),
    ("socks5", USER, True, aiohttp_proxy.InvalidServerReply, "Not all data available"),
    # an http one with 407. ':', '/' and '@' are beyond aiohttp_proxy's http path: a plain user there.
    ("http", "user", True, aiohttp.ClientHttpProxyError, "^407, message='Proxy Authentication Required'"),
])
def test_a_wrong_password_is_refused(auth_proxy, http_origin, https_origin, tls_ca, scheme, user, tls, refusal, message):
    origin = https_origin if tls else http_origin
    proxy = Proxy(LOCALHOST, auth_proxy.port, scheme, user, "wrong")
    with pytest.raises(refusal, match=message):
        run(lambda: fetch(proxy, origin.url, ssl=tls_ca.client_context() if tls else None))
    assert origin.requests == []


@pytest.fixture
def scripted_socks5():
    """Factory of socks5 'proxies' that accept one connection, play `replies`
    (one per read of the client's bytes) and then set the event they return
    once the client has closed; the listeners are closed after the test."""
    started = []

    def start(replies):
        listener, closed = listen_socket(1), threading.Event()

        def serve():
            listener.settimeout(10)
            with contextlib.suppress(OSError), listener.accept()[0] as conn:
                conn.settimeout(10)
                for reply in replies:
                    if not conn.recv(512):
                        break
                    conn.sendall(reply)
                while conn.recv(512):  # bounded by the socket timeout
                    pass
                closed.set()

        started.append((listener, start_thread(serve, name="scripted-socks5")))
        return listener.getsockname()[1], closed

    yield start
    for listener, thread in started:
        listener.close()
        thread.join(15)


GRANTED = b"\x05\x00"
CONNECTED = b"\x05\x00\x00\x01" + socket.inet_aton(LOCALHOST) + b"\x00\x50"


@pytest.mark.parametrize("replies, url, expected", [
    # The proxy never answers the greeting: the request's timeout cancels the handshake.
    ([], "http://127.0.0.1:9/", asyncio.TimeoutError),
    # The proxy refuses every authentication method.
    ([b"\x05\xff"], "http://127.0.0.1:9/", aiohttp_proxy.NoAcceptableAuthMethods),
    # The handshake succeeds, then no TLS server answers: aiohttp's own error.
    ([GRANTED, CONNECTED, b"not a TLS record" * 4], "https://127.0.0.1:9/", aiohttp.ClientSSLError),
], ids=["silent", "refusing", "tls-after-handshake"])
def test_every_failure_closes_the_connection_to_the_proxy(scripted_socks5, replies, url, expected):
    port, closed_by_client = scripted_socks5(replies)
    with pytest.raises(expected):
        run(lambda: fetch(Proxy(LOCALHOST, port, "socks5"), url, timeout=aiohttp.ClientTimeout(total=1)))
    assert closed_by_client.wait(5), "the socket to the proxy was left open"
