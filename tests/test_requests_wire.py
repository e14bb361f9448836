"""What the requests backend and its TLS pieces put on the wire, seen by local servers."""
import logging
import re
import socket
import ssl
import sys
import time
import traceback
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest
import requests
import urllib3

import pelun_online_sdk.client as client
from pelun_online_sdk.proxy import Proxy
from pelun_online_sdk.utils import VERSION_SDK
from client_lines import FILENAME, statement_line
from servers.hello import EXT_ALPN, EXT_SESSION_TICKET

AGENT = f"Pelun-Online/{VERSION_SDK}"
# The module's cipher list (CHIPER), in its order.
CIPHERS = [
    "TLS_AES_256_GCM_SHA384", "TLS_CHACHA20_POLY1305_SHA256", "TLS_AES_128_GCM_SHA256",
    "ECDHE-ECDSA-AES256-GCM-SHA384", "ECDHE-RSA-AES256-GCM-SHA384", "ECDHE-ECDSA-AES128-GCM-SHA256",
    "ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-RSA-CHACHA20-POLY1305",
    "DHE-RSA-AES256-GCM-SHA384", "DHE-RSA-AES128-GCM-SHA256", "DHE-RSA-CHACHA20-POLY1305",
    "ECDHE-ECDSA-AES256-CCM8", "ECDHE-ECDSA-AES256-CCM", "ECDHE-ECDSA-AES128-CCM8", "ECDHE-ECDSA-AES128-CCM",
    "ECDHE-ECDSA-AES256-SHA384", "ECDHE-RSA-AES256-SHA384", "ECDHE-ECDSA-AES128-SHA256", "ECDHE-RSA-AES128-SHA256",
    "ECDHE-ECDSA-AES256-SHA", "ECDHE-RSA-AES256-SHA", "ECDHE-ECDSA-AES128-SHA", "ECDHE-RSA-AES128-SHA",
    "DHE-RSA-AES256-CCM8", "DHE-RSA-AES256-CCM", "DHE-RSA-AES128-CCM8", "DHE-RSA-AES128-CCM",
    "DHE-RSA-AES256-SHA256", "DHE-RSA-AES128-SHA256", "DHE-RSA-AES256-SHA", "DHE-RSA-AES128-SHA",
    "AES256-GCM-SHA384", "AES128-GCM-SHA256", "AES256-CCM8", "AES256-CCM", "AES128-CCM8", "AES128-CCM",
    "AES256-SHA256", "AES128-SHA256", "AES256-SHA", "AES128-SHA", "RC4-SHA",
]


def test_the_cipher_list():
    assert client.CHIPER == ":".join(CIPHERS)


@pytest.fixture
def sleeps(monkeypatch):
    """Backoff delays the session asks for, recorded instead of slept."""
    asked = []
    monkeypatch.setattr(time, "sleep", asked.append)
    return asked


def no_argument_context():
    """ssl.SSLContext() with no protocol, as the adapter made its context up to
    Python 3.9 (deprecated from 3.10 on, hence the silenced warning)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return ssl.SSLContext()


def configured_like_the_adapter(context):
    # urllib3's own contexts never match a host name against the common name.
    context.hostname_checks_common_name = False
    context.set_ciphers(":".join(CIPHERS))
    context.options &= ~ssl.OP_NO_TICKET
    return context


def hello_of(context, recorder):
    """The ClientHello `context` sends to the recorder."""
    def attempt():
        with socket.create_connection(("127.0.0.1", recorder.port), timeout=5) as sock:
            context.wrap_socket(sock, server_hostname="127.0.0.1")
    return recorder.capture(attempt)


def offer(hello):
    return tuple(hello.ciphers), tuple(hello.extensions), hello.alpn, tuple(hello.supported_versions)


def plain_offer(recorder):
    """What the linked OpenSSL puts in a ClientHello for the module's cipher list
    and options, made by a plain context built the way the adapter's was before
    3.10. Not every suite get_ciphers() lists is offered: OpenSSL 3.6 keeps the
    CCM8 suites out of the default security level's offer."""
    return offer(hello_of(configured_like_the_adapter(no_argument_context()), recorder))


def session_hellos(recorder, proxy=None, verify=True):
    """The ClientHellos of one failing GET by a module session: the refused
    handshake is a connection failure, retried three times."""
    before = len(recorder.hellos)
    with client._requests.ClientSession({}, proxy) as session:
        with pytest.raises(requests.exceptions.SSLError):
            session.get(recorder.url, timeout=5, verify=verify)
    return recorder.wait(before + 4)[before:]


# Each verification setting has a context of its own: all make the same offer.
@pytest.mark.parametrize("verify", ["default", "off", "CA file"])
@pytest.mark.parametrize("scheme", [None, "http", "socks5"])
def test_session_client_hello(hello_recorder, proxy_server, sleeps, tls_ca, scheme, verify):
    expected = plain_offer(hello_recorder)
    # A refused handshake is retried through a proxy as it is directly.
    verify = {"default": True, "off": False, "CA file": tls_ca.ca_path}[verify]
    hellos = session_hellos(hello_recorder, scheme and Proxy("127.0.0.1", proxy_server.port, scheme), verify)
    assert len(hellos) == 4 and sleeps == [4, 8]
    assert {offer(hello) for hello in hellos} == {expected}
    if scheme:
        assert [tunnel.protocol for tunnel in proxy_server.tunnels_to(hello_recorder.port)] == [scheme] * 4
    hello = hellos[0]
    assert EXT_ALPN not in hello.extensions and hello.alpn is None
    assert EXT_SESSION_TICKET in hello.extensions
    # Only the module's suites (and the renegotiation signal), in the module's order.
    assert set(hello.ciphers) - set(CIPHERS) <= {"TLS_EMPTY_RENEGOTIATION_INFO_SCSV"}
    offered = [name for name in hello.ciphers if name in CIPHERS]
    assert offered == sorted(offered, key=CIPHERS.index)
    assert offered[:3] == CIPHERS[:3]


def test_https_get_headers_and_tls(https_origin, tls_ca, sleeps, monkeypatch):
    # The module's context must still verify: the test CA is not trusted by default.
    for name in ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"):
        monkeypatch.delenv(name, raising=False)
    with client._requests.ClientSession() as session:
        with pytest.raises(requests.exceptions.SSLError):
            session.get(https_origin.url, timeout=5)
    assert not https_origin.requests

    # Built and used with every warning an error: on 3.10 and newer the
    # no-argument SSLContext() would raise DeprecationWarning here.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with client._requests.ClientSession(extra_headers={"X-Token": "abc"}) as session:
            response = session.get(https_origin.url, verify=tls_ca.ca_path, timeout=5)
    assert (response.status_code, response.text) == (200, "ok")
    seen = https_origin.last
    assert {"user-agent", "x-token"} <= set(seen.header_names)
    assert (seen.header("user-agent"), seen.header("x-token")) == (AGENT, "abc")
    assert seen.tls["alpn"] is None and seen.tls["cipher"] in CIPHERS


def test_context_ignores_alpn(hello_recorder):
    ctx = client.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    assert ctx.set_alpn_protocols(["h2", "http/1.1"]) is None
    assert not hello_of(ctx, hello_recorder).offers_alpn
    # The recorder does see ALPN when the standard context offers it.
    plain = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    plain.set_alpn_protocols(["h2", "http/1.1"])
    assert hello_of(plain, hello_recorder).alpn == ["h2", "http/1.1"]


def test_adapter_pool_manager(monkeypatch):
    adapter = client.RequestsAdapter(pool_maxsize=20)
    manager = adapter.poolmanager
    assert manager.connection_pool_kw["maxsize"] == 20
    assert not manager.headers and not isinstance(manager.headers, int)
    assert manager.connection_from_url("https://127.0.0.1:1/").pool.maxsize == 20
    ctx = manager.connection_pool_kw["ssl_context"]
    assert isinstance(ctx, client.SSLContext)
    assert client.RequestsAdapter().poolmanager.connection_pool_kw["ssl_context"] is not ctx

    with pytest.raises(TypeError, match=re.escape(
            "function() got multiple values for keyword argument 'ssl_context'")):
        adapter.init_poolmanager(10, 10, ssl_context=ssl.create_default_context())
    assert adapter.poolmanager is manager

    retry = urllib3.Retry(total=7)
    assert client.RequestsAdapter(max_retries=retry).max_retries is retry

    # A context that starts with tickets off gets them back.
    class TicketsOff(client.SSLContext):
        def __new__(cls, *args, **kwargs):
            ctx = super().__new__(cls, *args, **kwargs)
            ctx.options |= ssl.OP_NO_TICKET
            return ctx

    monkeypatch.setattr(client, "SSLContext", TicketsOff)
    ctx = client.RequestsAdapter().poolmanager.connection_pool_kw["ssl_context"]
    assert type(ctx) is TicketsOff and not ctx.options & ssl.OP_NO_TICKET


# What ssl.SSLContext() with no protocol sets, all of which the adapter's context must share.
CONTEXT_SETTINGS = ["options", "verify_mode", "check_hostname", "verify_flags", "minimum_version",
                    "maximum_version", "post_handshake_auth", "hostname_checks_common_name", "num_tickets",
                    "keylog_filename", "sni_callback", *["security_level"] * (sys.version_info >= (3, 10))]


def test_adapter_context_and_the_proxy_managers_using_it():
    adapter = client.RequestsAdapter()
    ctx = adapter.poolmanager.connection_pool_kw["ssl_context"]
    # It differs from the no-argument one only in its protocol: from 3.10, where
    # the no-argument call is deprecated, the context is made for clients.
    plain = configured_like_the_adapter(no_argument_context())
    assert ctx.protocol == (ssl.PROTOCOL_TLS_CLIENT if sys.version_info >= (3, 10) else ssl.PROTOCOL_TLS)
    assert {name: getattr(ctx, name) for name in CONTEXT_SETTINGS} == {
        name: getattr(plain, name) for name in CONTEXT_SETTINGS}
    assert (ctx.check_hostname, ctx.verify_mode, ctx.get_ciphers()) == (False, ssl.CERT_NONE, plain.get_ciphers())

    for url in ("http://127.0.0.1:1", "socks5://127.0.0.1:1", "https://127.0.0.1:2"):
        manager = adapter.proxy_manager_for(url)
        assert manager.connection_pool_kw["ssl_context"] is ctx
        assert adapter.proxy_manager_for(url) is manager  # requests' own cache still serves
    # The caller's context wins, and a later pool manager's context reaches proxies met after it.
    own = ssl.create_default_context()
    assert adapter.proxy_manager_for("http://127.0.0.1:3", ssl_context=own).connection_pool_kw["ssl_context"] is own
    adapter.init_poolmanager(1, 1)
    fresh = adapter.poolmanager.connection_pool_kw["ssl_context"]
    assert fresh is not ctx and adapter.proxy_manager_for("http://127.0.0.1:4").connection_pool_kw["ssl_context"] is fresh


# The attributes of `ssl` init_poolmanager reads, in statement order; the
# statements that make the context share line 135, the options are set on 139.
_MAKE_CONTEXT = statement_line("RequestsAdapter.init_poolmanager", "context = SSLContext()")
_ALLOW_TICKETS = statement_line("RequestsAdapter.init_poolmanager", "context.options &= ~ssl.OP_NO_TICKET")
SSL_READS = [("PROTOCOL_TLS_CLIENT", _MAKE_CONTEXT), ("CERT_NONE", _MAKE_CONTEXT)] * (sys.version_info >= (3, 10)) + [
    ("OP_NO_TICKET", _ALLOW_TICKETS)]


@pytest.mark.parametrize("failing", range(len(SSL_READS)), ids=[name for name, _ in SSL_READS])
def test_adapter_reads_ssl_when_it_makes_the_context(monkeypatch, failing):
    class Stop(Exception):
        pass

    read = []

    class Recording:
        def __getattr__(self, name):
            read.append(name)
            if len(read) > failing:
                raise Stop(name)
            return getattr(ssl, name)

    monkeypatch.setattr(client, "ssl", Recording())
    with pytest.raises(Stop) as raised:
        client.RequestsAdapter()
    assert read == [name for name, _ in SSL_READS[:failing + 1]]
    entries = [entry for entry in traceback.extract_tb(raised.tb) if entry.name.endswith(".init_poolmanager")]
    assert [(entry.name, entry.filename, entry.lineno) for entry in entries] == [
        ("pelun_online_sdk.client.RequestsAdapter.init_poolmanager", FILENAME, SSL_READS[failing][1])]


def test_threads_share_the_pool(http_origin, caplog):
    threads, per_thread = 8, 5
    with caplog.at_level(logging.WARNING, logger="urllib3"), client._requests.ClientSession() as session:
        with ThreadPoolExecutor(threads) as pool:
            texts = pool.map(lambda _: session.get(http_origin.url, timeout=5).text, range(threads * per_thread))
            assert list(texts) == ["ok"] * threads * per_thread
    assert not [r for r in caplog.records if "pool is full" in r.getMessage()]
    requests_seen = http_origin.wait(threads * per_thread)
    # Kept-alive connections are reused: no more connections than threads.
    assert len({r.peer[1] for r in requests_seen}) <= threads


@pytest.mark.parametrize("failures, attempts, backoff", [(2, 3, [4]), (4, 4, [4, 8]), (6, 4, [4, 8])])
def test_retry_on_503(flaky_origin, sleeps, failures, attempts, backoff):
    origin = flaky_origin(failures)
    with client._requests.ClientSession() as session:
        if failures < attempts:
            assert session.get(origin.url, timeout=5).status_code == 200
        else:
            with pytest.raises(requests.exceptions.RetryError):
                session.get(origin.url, timeout=5)
    assert len(origin.wait(attempts)) == attempts and sleeps == backoff


@pytest.mark.parametrize("scheme", ["http", "socks4", "socks5"])
@pytest.mark.parametrize("tls", [False, True], ids=["http-origin", "https-origin"])
def test_proxy_reaches_origin(proxy_server, http_origin, https_origin, tls_ca, scheme, tls):
    origin = https_origin if tls else http_origin
    proxy = Proxy("127.0.0.1", proxy_server.port, scheme)
    with client._requests.ClientSession(proxy=proxy) as session:
        response = session.get(origin.url, verify=tls_ca.ca_path, timeout=5)
    assert response.text == "ok" and origin.last.header("user-agent") == AGENT
    assert proxy_server.wait_for_tunnel(origin.port, scheme).target_host == "127.0.0.1"


FIELDS = {"n": 5, "b": True, "l": [1, "a"], "d": {"k": "v"}, "f": 1.5, "t": "x ü"}
RECEIVED = [("n", "5"), ("b", "True"), ("l", '[1, "a"]'), ("d", '{"k": "v"}'),
            ("f", "1.5"), ("t", "x ü")]


@pytest.mark.parametrize("kwargs, pattern", [
    ({}, r"[0-9a-f]{32}"),
    ({"prefix": "pre"}, r"pre-[A-Za-z0-9._-]{51}"),
    ({"prefix": "pre", "MD5": True}, r"[0-9a-f]{32}"),
    ({"boundary": "given-boundary-1"}, r"given-boundary-1"),
])
def test_multipart_parsed_by_server(form_origin, kwargs, pattern):
    result = client._requests.create_boundary(dict(FIELDS), **kwargs)
    with client._requests.ClientSession() as session:
        response = session.post(form_origin.url, data=result.data, headers=result.headers, timeout=5)
    seen = form_origin.last
    assert response.status_code == 200, seen.error
    assert seen.fields == RECEIVED
    assert seen.boundary == result.headers["Content-Type"].split("boundary=", 1)[1]
    assert re.fullmatch(pattern, seen.boundary)


def test_urlencoded_parsed_by_server(form_origin):
    fields = {"a": "1", "b": "x y&z=", "c": "ü"}
    with client._requests.ClientSession() as session:
        session.post(form_origin.url, data=client._requests.create_urlencode(fields), timeout=5,
                     headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert form_origin.last.error is None and form_origin.last.fields == list(fields.items())
