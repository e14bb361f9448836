"""The package's pure-Python modules: utils (Report, VERSION_SDK) and proxy (Proxy).

The proxy URLs are checked twice: against each HTTP library's own URL parser,
and on the wire through a local pproxy for every scheme each library supports.
"""

import asyncio
import contextlib
import gc
import http.server
import importlib.metadata
import socket
import subprocess
import threading
import time
import warnings

import aiohttp
import aiohttp_proxy
import httpx
import pytest
import requests
import yarl
from aiohttp_proxy.helpers import parse_proxy_url
from hypothesis import given
from hypothesis import strategies as st

import pelun_online_sdk
# aiohttp_proxy's socks path needs the package's fix on aiohttp 3.10 and newer;
# importing the client module applies it, and this file may run on its own.
from pelun_online_sdk import _aiohttp_proxy_fix  # noqa: F401
from pelun_online_sdk.proxy import Proxy
from pelun_online_sdk.utils import VERSION_SDK, Report
from helpers import BACKENDS, HTTPX_PROXY_KEYWORD
from servers.proxy import pproxy_command


class TestUtils:
    def test_version_is_the_installed_distribution_version(self):
        assert VERSION_SDK == importlib.metadata.version("pelun_online_sdk")
        assert pelun_online_sdk.__version__ == VERSION_SDK

    @pytest.mark.parametrize("member", [row.member for row in BACKENDS])
    def test_each_session_sends_the_distribution_version_as_its_agent(self, http_origin, member):
        from pelun_online_sdk.client import Client

        async def get():
            session = Client.ClientSession(Client.TypeReq[member])
            if isinstance(session, aiohttp.ClientSession):
                async with session, session.get(http_origin.url, timeout=aiohttp.ClientTimeout(total=10)) as response:
                    return response.status
            with session:
                return session.get(http_origin.url, timeout=10).status_code

        assert asyncio.run(get()) == 200
        agent = "Pelun-Online/" + importlib.metadata.version("pelun_online_sdk")
        assert http_origin.last.header_all("User-Agent") == [agent]

    def test_report_as_sole_base_of_a_result_class(self):
        class Boundary(Report):
            def __init__(self, headers, data):
                super().__init__()
                self.headers = headers
                self.data = data

        result = Boundary({"Content-Type": "multipart/form-data; boundary=x"}, b"body")
        assert type(Boundary) is type
        assert (result.headers, result.data) == ({"Content-Type": "multipart/form-data; boundary=x"}, b"body")
        assert repr(result) == (
            "Boundary(headers={'Content-Type': 'multipart/form-data; boundary=x'}, data=b'body')"
        )

    def test_report_repr_skips_private_attributes(self):
        report = Report()
        report._cache = object()
        assert repr(report) == "Report()"


class TestProxyUrl:
    @pytest.mark.parametrize(
        "args, url",
        [
            (("127.0.0.1", 8080), "http://127.0.0.1:8080"),
            (("proxy.internal", 1080, "SOCKS5"), "socks5://proxy.internal:1080"),
            (("127.0.0.1", 443, "https"), "https://127.0.0.1:443"),
            (("::1", 3128), "http://[::1]:3128"),
            (("[0:0::1]", 3128, "socks5"), "socks5://[::1]:3128"),
            (("fe80::1%eth0", 1), "http://[fe80::1%25eth0]:1"),
            (("[FE80:0::1%En0.1_~-]", 1), "http://[fe80::1%25En0.1_~-]:1"),
            (("h", 65535, "socks4", "uid"), "socks4://uid@h:65535"),
            (("h", 1, "http", "u", ""), "http://u:@h:1"),
            (("h", 1, "socks5", "al ice", "p@ss:w/rd%#?"), "socks5://al%20ice:p%40ss%3Aw%2Frd%25%23%3F@h:1"),
        ],
    )
    def test_url_spelling(self, args, url):
        proxy = Proxy(*args)
        assert proxy.toString == url
        assert Proxy.from_url(url) == proxy

    @pytest.mark.parametrize(
        "kwargs, field",
        [
            ({"scheme": "ftp"}, "scheme"),
            ({"scheme": None}, "scheme"),
            ({"scheme": "socks5h"}, "scheme"),
            ({"port": 0}, "port"),
            ({"port": 70000}, "port"),
            ({"port": "8080"}, "port"),
            ({"port": 8080.0}, "port"),
            ({"port": True}, "port"),
            ({"host": ""}, "host"),
            ({"host": None}, "host"),
            ({"host": "evil.com/x"}, "host"),
            ({"host": "user@evil.com"}, "host"),
            ({"host": "a b"}, "host"),
            ({"host": "[example.com]"}, "host"),
            ({"host": "::zz"}, "host"),
            # A zone index is written into the URL as it is: nothing that could end the host.
            ({"host": "fe80::1%x]@evil.example"}, "host"),
            ({"host": "fe80::1%a b"}, "host"),
            ({"host": "fe80::1%a%b"}, "host"),
            ({"host": "fe80::1%"}, "host"),
            ({"host": "[fe80::1%eth0/64]"}, "host"),
            ({"username": "", "password": "pw"}, "username"),
            ({"username": b"u"}, "username"),
            ({"password": "pw"}, "password"),
            ({"username": "u", "password": 1}, "password"),
            ({"scheme": "socks4", "username": "u", "password": "pw"}, "password"),
        ],
    )
    def test_bad_argument_names_its_field(self, kwargs, field):
        args = {"host": "127.0.0.1", "port": 8080, **kwargs}
        with pytest.raises(ValueError, match=f"^Proxy {field} "):
            Proxy(**args)

    def test_port_message_quotes_the_value(self):
        with pytest.raises(ValueError, match="^Proxy port must be an integer from 1 to 65535, got 70000$"):
            Proxy("h", 70000)

    @pytest.mark.parametrize(
        "url, field",
        [
            ("http://127.0.0.1", "port"),
            ("http://127.0.0.1:99999", "port"),
            ("http://127.0.0.1:80x", "port"),
            ("ftp://127.0.0.1:21", "scheme"),
            ("ftp://127.0.0.1:99999", "scheme"),  # the first fault, in the constructor's order
            ("http://:8080", "host"),
            ("http://:pw@h:1", "password"),
            ("http://h:1/path", "URL"),
            ("http://h:1?q=1", "URL"),
            (b"http://h:1", "URL"),
        ],
    )
    def test_from_url_rejects(self, url, field):
        with pytest.raises(ValueError, match=f"^Proxy {field} "):
            Proxy.from_url(url)

    def test_value_semantics(self):
        proxy = Proxy("127.0.0.1", 1080, "socks5", "alice", "s3cret")
        assert bool(proxy) is True
        assert proxy == Proxy("127.0.0.1", 1080, "SOCKS5", "alice", "s3cret")
        assert proxy != Proxy("127.0.0.1", 1080, "socks5", "alice", "other")
        assert len({proxy, Proxy.from_url(proxy.toString)}) == 1
        assert "s3cret" not in repr(proxy) and "s3cret" not in str(proxy)
        assert repr(proxy) == "Proxy('127.0.0.1', 1080, scheme='socks5', username='alice', password='***')"
        with pytest.raises(AttributeError):
            proxy.toString = "http://elsewhere:1"
        with pytest.raises(AttributeError):
            proxy.extra = 1


credentials = st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=20)
hosts = st.sampled_from(["127.0.0.1", "proxy.internal", "::1", "2001:db8::7"])


class TestProxyUrlAsTheLibrariesReadIt:
    """Every library must recover exactly the parts the Proxy was made of."""

    @given(host=hosts, port=st.integers(1, 65535), user=credentials, password=credentials)
    def test_requests_and_httpx(self, host, port, user, password):
        url = Proxy(host, port, "http", user, password).toString
        assert requests.utils.get_auth_from_url(url) == (user, password)
        parsed = httpx.URL(url)
        # httpx drops the scheme's default port from the URL it keeps.
        assert (parsed.host, parsed.port or 80, parsed.username, parsed.password) == (host, port, user, password)

    @given(host=hosts, port=st.integers(1, 65535), user=credentials, password=credentials)
    def test_aiohttp_proxy(self, host, port, user, password):
        url = Proxy(host, port, "socks5", user, password).toString
        assert (yarl.URL(url).user, yarl.URL(url).password) == (user, password)
        if "%" not in user + password:  # aiohttp_proxy decodes credentials twice
            kind, got_host, got_port, got_user, got_password = parse_proxy_url(url)
            assert (kind.value, got_host, got_port) == ("socks5", host, port)
            assert (got_user, got_password) == (user, password)


# --- on the wire -------------------------------------------------------------

USER, PASSWORD = "al ice", "p@ss:w/rd"  # reserved characters must survive quoting
PLAIN_USER, PLAIN_PASSWORD = "bob", "pw1"  # aiohttp_proxy's http path needs plain ones


def _free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _wait_for(port, deadline=30.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        with contextlib.suppress(OSError):
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


class _Origin(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"origin:" + self.path.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def origin():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Origin)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}/ping"
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def proxies():
    """Proxy objects for pproxy listeners; the authenticated ones re-check every request."""
    listeners = {
        "http": ("http", None, None),
        "socks4": ("socks4", None, None),
        "socks5": ("socks5", None, None),
        "http-auth": ("http", USER, PASSWORD),
        "http-plain-auth": ("http", PLAIN_USER, PLAIN_PASSWORD),
        "socks5-auth": ("socks5", USER, PASSWORD),
    }
    ports = {name: _free_port() for name in listeners}
    command = pproxy_command("--auth", "0")
    for name, (scheme, user, password) in listeners.items():
        auth = f"#{user}:{password}" if user else ""
        command += ["-l", f"{scheme}://127.0.0.1:{ports[name]}{auth}"]
    server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for port in ports.values():
            _wait_for(port)
        yield {
            name: Proxy("127.0.0.1", ports[name], scheme, user, password)
            for name, (scheme, user, password) in listeners.items()
        }
    finally:
        server.terminate()
        server.wait(10)


def _with_wrong_password(proxy):
    return Proxy(proxy.host, proxy.port, proxy.scheme, proxy.username, "wrong")


def _via_requests(proxy, url):
    with requests.Session() as session:
        session.proxies = {"http": proxy.toString, "https": proxy.toString}
        response = session.get(url, timeout=10)
        return response.status_code, response.text


def _via_httpx(proxy, url):
    with httpx.Client(**{HTTPX_PROXY_KEYWORD: proxy.toString}, timeout=10) as client:
        response = client.get(url)
        return response.status_code, response.text


def _via_module_httpx(proxy, url):
    # The module's client: its proxy keyword and the transport it mounts for the proxy's route.
    from pelun_online_sdk import client as module

    with module._httpx.ClientSession({}, proxy) as client:
        response = client.get(url, timeout=10)
        return response.status_code, response.text


def _via_module_requests(proxy, url):
    from pelun_online_sdk import client as module

    with module._requests.ClientSession({}, proxy) as session:
        response = session.get(url, timeout=10)
        return response.status_code, response.text


def _via_aiohttp(proxy, url):
    async def fetch():
        connector = aiohttp_proxy.ProxyConnector().from_url(proxy.toString)
        async with aiohttp.ClientSession(headers={}, connector=connector) as session:
            async with session.get(url, timeout=aiohttp.ClientTimeout(total=10)) as response:
                return response.status, await response.text()

    return asyncio.run(fetch())


CLIENTS = {
    "requests": (_via_requests, ["http", "socks4", "socks5", "http-auth", "socks5-auth"]),
    "httpx": (_via_httpx, ["http", "socks5", "http-auth", "socks5-auth"]),
    "aiohttp": (_via_aiohttp, ["http", "socks4", "socks5", "http-plain-auth", "socks5-auth"]),
    "module-httpx": (_via_module_httpx, ["http", "socks5", "http-auth", "socks5-auth"]),
    "module-requests": (_via_module_requests, ["http", "socks5", "http-auth", "socks5-auth"]),
}


@pytest.mark.filterwarnings("ignore:The 'proxies' argument is now deprecated:DeprecationWarning")
class TestProxyOnTheWire:
    @pytest.mark.parametrize(
        "library, listener",
        [(library, listener) for library, (_, names) in CLIENTS.items() for listener in names],
    )
    def test_request_through_proxy(self, proxies, origin, library, listener):
        fetch = CLIENTS[library][0]
        assert fetch(proxies[listener], origin) == (200, "origin:/ping")

    @pytest.mark.parametrize("library", ["requests", "httpx", "aiohttp", "module-httpx"])
    def test_http_proxy_refuses_wrong_password(self, proxies, origin, library):
        listener = "http-plain-auth" if library == "aiohttp" else "http-auth"
        fetch = CLIENTS[library][0]
        assert fetch(_with_wrong_password(proxies[listener]), origin)[0] == 407

    @pytest.mark.parametrize("library", ["requests", "httpx", "aiohttp", "module-httpx"])
    def test_socks5_proxy_refuses_wrong_password(self, proxies, origin, library):
        fetch = CLIENTS[library][0]
        with warnings.catch_warnings():
            if library.endswith("httpx"):
                # httpcore does not close its socket to a socks proxy that
                # refused the handshake: it is let go here, where its
                # ResourceWarning is expected, not in a later test.
                warnings.filterwarnings("ignore", "unclosed <socket.socket", ResourceWarning)
            with pytest.raises(Exception):
                fetch(_with_wrong_password(proxies["socks5-auth"]), origin)
            gc.collect()
