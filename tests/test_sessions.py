"""The three session factories: headers, proxies, retry policy, transport."""
import asyncio
import re
import types
import warnings

import aiohttp
import chardet
import httpx
import pytest
import requests
import urllib3

import pelun_online_sdk.client as client
from pelun_online_sdk.proxy import Proxy
from pelun_online_sdk.utils import VERSION_SDK
from helpers import BACKENDS, HTTPX_PROXY_KEYWORD as PROXY_KEYWORD, WINE, assert_no_leak, run_python, swallowing

AGENT = f"Pelun-Online/{VERSION_SDK}"
# The keywords httpx.Client gets, in order; the keyword of the proxy is decided
# when the module loads (the stand-in Client below takes any keyword).
HTTPX_KEYWORDS = ["http2", PROXY_KEYWORD, "headers", "default_encoding", "transport"]
HEADER_CHECK = ["event_hooks"]  # after the others: every client checks the headers of its requests


class ReadCountingProxy:
    """A proxy whose truth and toString reads are counted."""

    def __init__(self, url, truth=True):
        self.url, self.truth, self.reads = url, truth, 0

    def __bool__(self):
        return self.truth

    @property
    def toString(self):
        self.reads += 1
        return self.url


@pytest.fixture
def recorded(monkeypatch):
    """The keyword arguments each library constructor receives."""
    calls = []

    class HttpxClient(httpx.Client):
        def __init__(self, **kwargs):
            calls.append(kwargs)
            super().__init__(**kwargs)

    monkeypatch.setattr(client, "httpx", types.SimpleNamespace(Client=HttpxClient, HTTPTransport=httpx.HTTPTransport))
    monkeypatch.setattr(client, "aiohttp", types.SimpleNamespace(ClientSession=lambda **kw: calls.append(kw) or kw))
    monkeypatch.setattr(client, "ProxyConnector", lambda: types.SimpleNamespace(from_url=lambda url: ("via", url)))
    return calls


@pytest.mark.parametrize("extra, expected", [
    ({}, {"user-agent": AGENT}), ({"User-Agent": "X"}, {"user-agent": "X"}),
    ({"User-Agent": "", "B": "1"}, {"user-agent": AGENT, "b": "1"}), ({"USER-AGENT": None}, {"user-agent": AGENT}),
    ({"X-A": "1", "x-a": "2"}, {"x-a": "2", "user-agent": AGENT}),
    ({"Mixed-Case": b"v"}, {"mixed-case": b"v", "user-agent": AGENT}),
])
def test_header_rule(recorded, extra, expected):
    before = dict(extra)
    client._httpx.ClientSession(extra).close()
    client._aiohttp.ClientSession(extra)
    assert [list(c["headers"].items()) for c in recorded] == [list(expected.items())] * 2
    session = client._requests.ClientSession(extra)
    for name, value in expected.items():
        assert session.headers[name] == value and name in session.headers.keys()
    assert extra == before
    assert all(getattr(client, row.cls).ClientSession.__defaults__[0] == {} for row in BACKENDS)


def test_requests_session_shape(monkeypatch):
    first, second = client._requests.ClientSession(), client._requests.ClientSession()
    assert type(first) is not type(second) and type(first).__bases__ == (requests.Session,)
    assert type(first).__qualname__ == "_requests.ClientSession.<locals>.ClientSession"
    adapter = first.get_adapter("https://x")
    assert adapter is first.get_adapter("http://x") and isinstance(adapter, client.RequestsAdapter)
    retry = adapter.max_retries
    assert type(retry) is urllib3.Retry
    assert (retry.total, retry.status_forcelist, retry.backoff_factor) == (3, [104, 429, 500, 502, 503, 504], 2)
    assert first.proxies == {} and first.headers["Accept"] == "*/*"
    # The agent is read from the module's global at each call.
    monkeypatch.setattr(client, "VERSION_SDK", "1.2.3")
    assert client._requests.ClientSession().headers["User-Agent"] == "Pelun-Online/1.2.3"


def test_proxies_are_read_only_when_true(recorded):
    quiet = ReadCountingProxy("http://p:1", truth=False)
    assert client._requests.ClientSession(proxy=quiet).proxies == {}
    client._httpx.ClientSession(proxy=quiet).close()
    client._aiohttp.ClientSession(proxy=quiet)
    assert quiet.reads == 0 and recorded[0][PROXY_KEYWORD] is None and "connector" not in recorded[1]

    proxy = ReadCountingProxy("http://127.0.0.1:3128")
    assert client._requests.ClientSession({}, proxy).proxies == {"http": proxy.url, "https": proxy.url}
    assert proxy.reads == 2
    client._aiohttp.ClientSession({}, proxy)
    assert proxy.reads == 4 and recorded[-1]["connector"] == ("via", proxy.url)
    # Every aiohttp session builds its requests with a class that checks their headers.
    assert list(recorded[-1]) == ["headers", "connector", "request_class"]
    assert issubclass(recorded[-1]["request_class"], aiohttp.ClientRequest)
    client._aiohttp.ClientSession({}, ReadCountingProxy(""))
    assert list(recorded[-1]) == ["headers", "request_class"]


def test_httpx_client_arguments(recorded):
    client._httpx.ClientSession({}, None).close()
    kwargs = recorded[0]
    assert list(kwargs) == HTTPX_KEYWORDS + HEADER_CHECK and list(kwargs["event_hooks"]) == ["request"]
    assert kwargs["http2"] is True and isinstance(kwargs["transport"], httpx.HTTPTransport)
    detect = kwargs["default_encoding"]
    assert detect.__qualname__ == "_httpx.ClientSession.<locals>.autodetect"
    assert detect("Привет, мир! Как дела?".encode("koi8-r") * 20).lower() == "koi8-r"
    # Whatever chardet makes of nothing (None before chardet 6, 'utf-8' after).
    assert detect(b"") == chardet.detect(b"")["encoding"]
    sample = "Привет".encode("cp1251")
    # chardet 7 fills caches over its first few thousand calls: count past them.
    assert_no_leak(lambda: detect(sample), sample, calls=3000, warmup=3000)

    # A proxied client mounts a transport of its own for all URLs.
    proxy = ReadCountingProxy("socks5://127.0.0.1:1080")
    client._httpx.ClientSession({}, proxy).close()
    proxied = recorded[1]
    assert proxy.reads == 1 and proxied[PROXY_KEYWORD] == proxy.url and list(proxied) == HTTPX_KEYWORDS + ["mounts"] + HEADER_CHECK
    (pattern, mounted), = proxied["mounts"].items()
    assert pattern == "all://" and isinstance(mounted, httpx.HTTPTransport) and mounted is not proxied["transport"]
    # An empty URL gets no mount. Where httpx takes it as no proxy, so does
    # the module; where httpx refuses it, the module lets its error through.
    try:
        httpx.Client(**{PROXY_KEYWORD: ""}).close()
    except ValueError as refusal:
        with pytest.raises(ValueError, match=re.escape(str(refusal))):
            client._httpx.ClientSession({}, ReadCountingProxy(""))
    else:
        client._httpx.ClientSession({}, ReadCountingProxy("")).close()
        assert list(recorded[-1]) == HTTPX_KEYWORDS + HEADER_CHECK


def test_httpx_proxy_keyword_is_chosen_at_load(tmp_path):
    # An httpx whose Client takes `proxy` only, as from 0.28 on, over the
    # real Client, which takes `proxy` from 0.26 on and `proxies` before.
    result = run_python("""
        import inspect, warnings, httpx
        calls = []
        keyword = "proxy" if "proxy" in inspect.signature(httpx.Client).parameters else "proxies"

        class Client(httpx.Client):
            def __init__(self, *, proxy=None, http2=False, headers=None, default_encoding="utf-8",
                         transport=None, mounts=None, event_hooks=None):
                calls.append(dict(proxy=proxy, mounts=mounts))
                super().__init__(**{keyword: proxy}, http2=http2, headers=headers,
                                 default_encoding=default_encoding, transport=transport, mounts=mounts,
                                 event_hooks=event_hooks)

        httpx.Client = Client
        import pelun_online_sdk.client as client
        from pelun_online_sdk.proxy import Proxy
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            client._httpx.ClientSession().close()
            client._httpx.ClientSession({}, Proxy("127.0.0.1", 3128)).close()
        assert calls[0] == {"proxy": None, "mounts": None}, calls
        assert calls[1]["proxy"] == "http://127.0.0.1:3128" and list(calls[1]["mounts"]) == ["all://"], calls
        print("ok")
    """, cwd=tmp_path)
    assert result.stdout == "ok\n", result.stderr


class Key(str):
    def __init__(self, _):
        self.lowered = None

    def lower(self):
        return self.lowered() if callable(self.lowered) else self.lowered


@pytest.mark.parametrize("factory", [client._requests.ClientSession, client._httpx.ClientSession])
def test_hostile_headers_and_proxies(factory):
    with pytest.raises(AttributeError, match="lower"):
        factory({1: "x"})
    key = Key("A")
    key.lowered = 5
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        factory({key: "x"})
    headers = {"a": 1}
    key.lowered = lambda: headers.update(b=2) or "k"
    headers[key] = 3
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        factory(headers)
    with pytest.raises(AttributeError, match="toString"):
        factory({}, object())


# Thousands of sessions, each httpx one loading the CA bundle: minutes under
# ASan on a loaded machine, past the suite's default limit.
@pytest.mark.timeout(1800)
@pytest.mark.skipif(WINE is not None, reason="under Wine, OpenSSL reads a CA file a hundred times slower than on "
                    "Windows (certifi's takes seconds, and so each httpx client): this check's 500 would take 20 min")
def test_session_factories_do_not_leak():
    headers = {"A": "b"}
    assert_no_leak(lambda: client._requests.ClientSession(headers).close(), headers, calls=1500)
    # Each httpx transport loads the CA bundle: fewer, slower calls, and the
    # ssl module's own caches move by up to ~100 blocks either way.
    assert_no_leak(lambda: client._httpx.ClientSession(headers).close(), headers, calls=300, slack=150)
    # Through a proxy three transports are made per call: fewer calls still,
    # enough for a lost transport (hundreds of blocks) to show.
    proxy = Proxy("127.0.0.1", 3128)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert_no_leak(lambda: client._httpx.ClientSession(headers, proxy).close(), headers, proxy, calls=40, slack=150)
    assert_no_leak(swallowing(lambda: client._requests.ClientSession(headers, object())), headers, calls=1500)
    assert_no_leak(swallowing(lambda: client._httpx.ClientSession({1: 2})), calls=1500)
    adapter = client.RequestsAdapter()
    assert_no_leak(lambda: client.RequestsAdapter(max_retries=2).close(), calls=1500)
    assert_no_leak(swallowing(lambda: adapter.init_poolmanager(1, 1, ssl_context=None), TypeError), calls=1500)
    proxy = ReadCountingProxy("http://127.0.0.1:9")

    async def aiohttp_sessions():
        # Real aiohttp sessions, made inside a running loop as aiohttp requires.
        for _ in range(500):
            plain = client._aiohttp.ClientSession(headers)
            assert dict(plain.headers) == {"a": "b", "user-agent": AGENT}
            await plain.close()
            await client._aiohttp.ClientSession(headers, proxy).close()

    assert_no_leak(lambda: asyncio.run(aiohttp_sessions()), headers, calls=3)
