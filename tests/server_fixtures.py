"""pytest fixtures around the local servers.

Loaded by conftest.py. Servers start once per
session; the function-scoped fixtures hand them to a test with their records
cleared, so every test sees only its own traffic.
"""

from __future__ import annotations

import pytest
import urllib3

from peers import ScriptedOrigin
from servers.certs import TlsCA
from servers.forms import FormOrigin
from servers.h2hostile import H2Hostile
from servers.h2origin import H2Origin
from servers.hello import ClientHelloRecorder
from servers.origin import RecordingOrigin
from servers.proxy import ProxyServer


@pytest.fixture(scope="session")
def tls_ca(tmp_path_factory) -> TlsCA:
    """Throwaway CA + server certificate for 127.0.0.1/localhost.

    ``tls_ca.ca_path`` for ``verify=``; ``tls_ca.client_context()`` for aiohttp.
    """
    return TlsCA(str(tmp_path_factory.mktemp("tls")))


def _running(server):
    server.start()
    try:
        yield server
    finally:
        server.stop()


def _cleared(server):
    """The session's server with earlier tests' records forgotten."""
    server.reset()
    return server


def _cleared_around(server):
    # Cleared afterwards too, so that no answer queued with fail_next()
    # outlives the test that queued it.
    yield _cleared(server)
    server.reset()


@pytest.fixture(scope="session")
def _hello_recorder_server():
    yield from _running(ClientHelloRecorder())


@pytest.fixture
def hello_recorder(_hello_recorder_server) -> ClientHelloRecorder:
    """Records ClientHellos sent to ``hello_recorder.url`` and refuses every handshake.

    ``hello_recorder.capture(lambda: session.get(hello_recorder.url))`` returns the
    parsed ``ClientHello`` (``ciphers``, ``extensions``, ``alpn``, ...).
    """
    return _cleared(_hello_recorder_server)


@pytest.fixture(scope="session")
def _https_origin_server(tls_ca):
    yield from _running(RecordingOrigin(tls_ca.server_context(alpn=["http/1.1"])))


@pytest.fixture(scope="session")
def _http_origin_server():
    yield from _running(RecordingOrigin())


@pytest.fixture
def https_origin(_https_origin_server) -> RecordingOrigin:
    """HTTP/1.1 over TLS (trust ``tls_ca``); records ``RecordedRequest``s, answers 200 ``ok``."""
    yield from _cleared_around(_https_origin_server)


@pytest.fixture
def http_origin(_http_origin_server) -> RecordingOrigin:
    """Plain HTTP/1.1 twin of ``https_origin``."""
    yield from _cleared_around(_http_origin_server)


@pytest.fixture
def flaky_origin(http_origin, https_origin):
    """Factory: ``flaky_origin(failures, status=503, tls=False, headers=None)``.

    Returns the plain (or TLS) origin primed to answer ``failures`` requests
    with ``status`` before answering 200; ``len(origin.requests)`` counts attempts.
    """

    def prime(failures: int, status: int = 503, tls: bool = False, headers=None) -> RecordingOrigin:
        origin = https_origin if tls else http_origin
        origin.fail_next(failures, status, headers)
        return origin

    return prime


@pytest.fixture(scope="session")
def _h2_origin_server(tls_ca):
    yield from _running(H2Origin(tls_ca))


@pytest.fixture
def h2_origin(_h2_origin_server) -> H2Origin:
    """TLS origin negotiating h2 by ALPN (trust ``tls_ca``); ``/cp1251`` serves charset-less windows-1251."""
    return _cleared(_h2_origin_server)


@pytest.fixture(scope="session")
def _h2_hostile_server(tls_ca):
    yield from _running(H2Hostile(tls_ca))


@pytest.fixture
def h2_hostile(_h2_hostile_server) -> H2Hostile:
    """HTTP/2 over TLS (trust ``tls_ca``) that answers without progress; paths as in ``servers.h2hostile``.

    Each hostile answer goes on until the client hangs up, or 60 s; ``wait()``
    returns the ``HostileConnection`` records of connections that ended.
    """
    return _cleared(_h2_hostile_server)


@pytest.fixture(scope="session")
def _form_origin_server():
    yield from _running(FormOrigin())


@pytest.fixture
def form_origin(_form_origin_server) -> FormOrigin:
    """Plain-HTTP aiohttp server parsing multipart and urlencoded posts into ``FormRequest``s."""
    return _cleared(_form_origin_server)


@pytest.fixture(scope="session")
def _proxy_process():
    yield from _running(ProxyServer())


@pytest.fixture
def proxy_server(_proxy_process) -> ProxyServer:
    """HTTP/SOCKS4/SOCKS5 proxy on one port; ``wait_for_tunnel(origin.port)`` proves a request used it."""
    return _cleared(_proxy_process)


@pytest.fixture
def tls_ca_env(tls_ca, monkeypatch) -> TlsCA:
    """Make clients built during the test trust ``tls_ca`` through the environment.

    Sets SSL_CERT_FILE (read by httpx when it builds a transport's context,
    and by OpenSSL's default paths) and REQUESTS_CA_BUNDLE (read by requests
    per request). For clients whose TLS context cannot be given at call time,
    such as an httpx client with its own ``HTTPTransport``.
    """
    monkeypatch.setenv("SSL_CERT_FILE", tls_ca.ca_path)
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", tls_ca.ca_path)
    return tls_ca


@pytest.fixture(scope="module")
def _scripted_origin():
    origin = ScriptedOrigin()
    try:
        yield origin
    finally:
        origin.stop()


@pytest.fixture
def origin(_scripted_origin):
    """A raw HTTP/1.1 origin that answers as each test scripts it (peers.ScriptedOrigin)."""
    _scripted_origin.reset()
    return _scripted_origin


@pytest.fixture
def no_backoff(monkeypatch):
    """The clients' retries stay; their waits go: the requests session's policy
    (0, 4 and 8 s) and the httpx proxy transport's (0, 0.5 and 1 s). A refused
    or stalled proxy is retried as a connect error."""
    import pelun_online_sdk._httpx_proxy as httpx_proxy

    monkeypatch.setattr(urllib3.util.retry.Retry, "sleep", lambda self, response=None: None)
    monkeypatch.setattr(httpx_proxy, "RETRIES_BACKOFF_FACTOR", 0)
