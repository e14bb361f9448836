"""Certificates: every client refuses what the plain library refuses, on every route, under any mix of requests.

Each case runs with the module's client and with the plain library beside
it (same proxy, same trust), against local TLS origins whose certificate is
for another host, from an untrusted CA, expired, or names its host only in
its common name.
"""
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
import requests

import pelun_online_sdk.client as client
from routes import CASES, proxy_of, refused_for_its_certificate, send
from tls_peers import FAULTS, FaultyOrigins

SIDES = ("module", "plain")


@pytest.fixture(scope="module")
def faulty(tls_ca, tmp_path_factory):
    origins = FaultyOrigins(tls_ca, str(tmp_path_factory.mktemp("faulty"))).start()
    try:
        yield origins
    finally:
        origins.stop()


def outcome(library, side, proxy, url, trust):
    try:
        send(library, side, proxy, url, trust=trust)
    except Exception as error:  # noqa: BLE001 - any refusal; which one is checked below
        return "refused" if refused_for_its_certificate(error) else f"failed: {error!r}"
    return "accepted"


# What the module's clients must do: refuse every faulty certificate, as the
# plain libraries do. Requests, like urllib3's own contexts, never matches a
# host name against the common name; httpx and aiohttp keep Python's default
# contexts, whose verification differs by release (up to 3.12 they fall back
# to the common name of a certificate without a subjectAltName, from 3.13
# their strict verification refuses it): there they never accept what the
# plain library refuses (with httpx 0.25, the oldest allowed, the module's client refuses
# where plain httpx accepts).
@pytest.mark.parametrize("library, route", CASES)
def test_every_faulty_certificate_is_refused_as_the_plain_library_refuses_it(
        faulty, proxy_server, tls_ca, no_backoff, library, route):
    faulty.reset()
    proxy = proxy_of(route, proxy_server.port)
    for fault in FAULTS:
        got = {side: outcome(library, side, proxy, faulty.url(fault), tls_ca.ca_path) for side in SIDES}
        if fault == "cn_only" and library != "requests":
            assert got["plain"] in ("accepted", "refused"), fault
            assert got["module"] in ("refused", got["plain"]), fault
        else:
            assert got == {"module": "refused", "plain": "refused"}, fault
            assert faulty.origins[fault].requests == [], fault


@pytest.mark.parametrize("side", SIDES)
@pytest.mark.parametrize("library, route", CASES)
def test_the_right_ca_is_accepted(https_origin, proxy_server, tls_ca, library, route, side):
    proxy = proxy_of(route, proxy_server.port)
    assert send(library, side, proxy, https_origin.url, trust=tls_ca.ca_path) == (200, b"ok")
    if proxy:
        proxy_server.wait_for_tunnel(https_origin.port, route)


@pytest.mark.parametrize("route", ["direct", "http", "socks5"])
def test_a_ca_given_for_one_request_is_not_trusted_by_the_next(faulty, proxy_server, tls_ca, no_backoff, route):
    url = faulty.url("untrusted")
    with client._requests.ClientSession({}, proxy_of(route, proxy_server.port)) as session:
        assert session.get(url, verify=faulty.other_ca_path, timeout=10).status_code == 200
        for verify in (tls_ca.ca_path, True):
            with pytest.raises(requests.exceptions.SSLError) as refused:
                session.get(url, verify=verify, timeout=10)
            assert refused_for_its_certificate(refused.value)
        # And the request that brought its own CA still gets it.
        assert session.get(url, verify=faulty.other_ca_path, timeout=10).status_code == 200


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
@pytest.mark.parametrize("side", SIDES)
def test_unverified_requests_in_one_thread_never_switch_verification_off_in_another(
        faulty, tls_ca, no_backoff, side):
    # One session, one thread sending verify=False requests (accepted: the
    # caller asked for no verification), others sending verified requests to
    # a server with another host's certificate and to one from an untrusted
    # CA, all at once: no verified request may be accepted.
    session = client._requests.ClientSession() if side == "module" else requests.Session()
    stop = threading.Event()
    unverified = []

    def send_unverified():
        while not stop.is_set():
            unverified.append(session.get(faulty.url("wrong_host"), verify=False, timeout=10).status_code)

    def send_verified(fault):
        accepted = 0
        for _ in range(150):
            try:
                session.get(faulty.url(fault), verify=tls_ca.ca_path, timeout=10)
                accepted += 1
            except requests.exceptions.SSLError:
                pass
        return accepted

    with session, ThreadPoolExecutor(3) as pool:
        background = pool.submit(send_unverified)
        try:
            verified = [pool.submit(send_verified, fault) for fault in ("wrong_host", "untrusted")]
            accepted = [future.result(timeout=600) for future in verified]
        finally:
            stop.set()
        background.result(timeout=60)
    assert accepted == [0, 0] and unverified and set(unverified) == {200}


def test_verify_true_uses_requests_default_bundle(https_origin, tls_ca, monkeypatch):
    # requests before 2.33 loads no CA for verify=True when the adapter's
    # pool manager has a context of its own; the session loads requests'
    # default bundle into it, as later requests do per connection.
    monkeypatch.setattr(requests.adapters, "DEFAULT_CA_BUNDLE_PATH", tls_ca.ca_path)
    for name in ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"):
        monkeypatch.delenv(name, raising=False)
    with client._requests.ClientSession() as session:
        assert session.get(https_origin.url, timeout=10).text == "ok"


def test_contexts_per_setting_share_the_adapter_s_tls_settings(tls_ca, faulty):
    adapter = client.RequestsAdapter()
    base = adapter.poolmanager.connection_pool_kw["ssl_context"]
    made = []
    for verify, cert in [(True, None), (False, None), (tls_ca.ca_path, None), (faulty.other_ca_path, None)]:
        request = requests.Request("GET", "https://127.0.0.1:1/").prepare()
        made.append(adapter.build_connection_pool_key_attributes(request, verify, cert)[1]["ssl_context"])
    assert made[0] is base and len({id(context) for context in made}) == 4
    # Asked again, each setting gets the context it got the first time.
    again = requests.Request("GET", "https://127.0.0.1:1/").prepare()
    assert adapter.build_connection_pool_key_attributes(again, False, None)[1]["ssl_context"] is made[1]
    for context in made[1:]:
        assert type(context) is client.SSLContext
        assert (context.options, context.get_ciphers(), context.hostname_checks_common_name, context.protocol) == (
            base.options, base.get_ciphers(), False, base.protocol)
