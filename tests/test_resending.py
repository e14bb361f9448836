"""Retries and redirects never lose a body or send a request twice that the server may have processed.

Origins and a forwarding proxy misbehave once, on cue; the origin records
every body byte for byte as it arrives. The requests session's policy
(three retries on errors and on 104/429/500/502/503/504) re-sends a request
only when it can send it whole, and a POST or PATCH only when nothing of it
can have left (the connection could not be made): everything else gets the
first response or the first error, which says why it was not retried. The
expected receipts below follow from those rules; httpx and aiohttp must do
what their plain libraries do.
"""
import asyncio
import io

import aiohttp
import httpx
import pytest
import requests
import urllib3

import pelun_online_sdk.client as client
from helpers import HTTPX_PROXY_KEYWORD
from peers import DyingProxy
from pelun_online_sdk.proxy import Proxy

FIELDS = {"order": "42", "amount": "100"}
FORM = "order=42&amount=100"
LATE_TIMEOUT = 1.0  # the client's read timeout where the origin never answers; 30 s elsewhere


def read_timeout(step):
    return LATE_TIMEOUT if step == "late" else 30.0


@pytest.fixture(scope="module")
def _dying_proxy():
    proxy = DyingProxy()
    try:
        yield proxy
    finally:
        proxy.stop()


@pytest.fixture
def dying_proxy(_dying_proxy):
    _dying_proxy.script()  # no step left over from another test
    yield _dying_proxy
    _dying_proxy.script()


@pytest.fixture(autouse=True)
def no_backoff(monkeypatch):
    # The retries stay; the policy's waits (0, 4, 8 s) are cut.
    monkeypatch.setattr(urllib3.util.retry.Retry, "sleep", lambda self, response=None: None)


# --- requests --------------------------------------------------------------------------------

def requests_body(kind):
    """(a maker of the body, its headers, the whole body as sent, whether it can be sent again)."""
    if kind == "form":
        return lambda: client._requests.create_urlencode(dict(FIELDS)), {}, FORM.encode(), True
    if kind == "file":
        return lambda: io.BytesIO(FORM.encode()), {}, FORM.encode(), True
    if kind == "generator":
        return lambda: (part.encode() for part in ("order=42", "&amount=100")), {}, FORM.encode(), False
    made = client.Client.create_boundary(client.Client.TypeReq.REQUESTS, dict(FIELDS))
    fields, boundary = made.data.fields, made.data.boundary_value

    def encoder():  # the same fields and boundary, unread
        return type(made.data)(fields=fields, boundary=boundary)

    return encoder, made.headers, encoder().to_string(), False


ORIGIN_STEPS = ["503", "reset", "close", "late", "307", "308"]
PROXY_STEPS = ["die", "die-mid-body", "502"]
BODIES = ["form", "file", "generator", "multipart"]


def expected(step, method, replayable):
    """(what the origin receives, attempt by attempt, and what the caller gets), by the policy's rules."""
    cut = {"reset": "part", "die-mid-body": "part"}.get(step, "whole")
    resendable = replayable and method != "POST"
    if step in ("503", "502"):
        first = [] if step == "502" else ["whole"]  # the proxy answers 502 itself
        return (first + ["whole"], 200) if resendable else (first, int(step))
    if step in ("307", "308"):
        # A redirect keeps method and body; a one-shot body cannot be sent again.
        return (["whole", "whole"], 200) if replayable else (["whole"], requests.exceptions.UnrewindableBodyError)
    error = {"late": requests.exceptions.ReadTimeout}.get(step, requests.exceptions.ConnectionError)
    return ([cut, "whole"], 200) if resendable else ([cut], error)


def shape(receipts, whole):
    """Each receipt as "whole", "part" (a prefix cut short) or "wrong" (anything else)."""
    return ["whole" if r.complete and r.body == whole else
            "part" if not r.complete and whole.startswith(r.body) else "wrong" for r in receipts]


def outcome(call):
    try:
        return call().status_code, None
    except requests.exceptions.RequestException as error:
        return type(error), error


def _send_requests(method, url, data, headers, proxy=None, step="ok"):
    with client._requests.ClientSession({}, proxy) as session:
        return outcome(lambda: session.request(method, url, data=data, headers=headers,
                                               timeout=(10, read_timeout(step))))


def _check(receipts, whole, step, method, replayable, got, error):
    want_receipts, want = expected(step, method, replayable)
    assert shape(receipts, whole) == want_receipts
    assert got == want or (isinstance(want, type) and isinstance(got, type) and issubclass(got, want)), (got, error)
    if method == "PUT" and not replayable and step not in ("307", "308") and error is not None:
        # The policy retries a PUT after such an error: declined, the error says why.
        assert "the first attempt read, so it cannot be sent again" in str(error), error


@pytest.mark.parametrize("body", BODIES)
@pytest.mark.parametrize("method", ["PUT", "POST"])
@pytest.mark.parametrize("step", ORIGIN_STEPS)
def test_requests_against_a_misbehaving_origin(origin, step, method, body):
    data, headers, whole, replayable = requests_body(body)
    origin.script(step)
    got, error = _send_requests(method, origin.url, data(), headers, step=step)
    _check(origin.settled(), whole, step, method, replayable, got, error)


@pytest.mark.parametrize("body", BODIES)
@pytest.mark.parametrize("method", ["PUT", "POST"])
@pytest.mark.parametrize("step", PROXY_STEPS)
def test_requests_through_a_dying_proxy(origin, dying_proxy, step, method, body):
    data, headers, whole, replayable = requests_body(body)
    dying_proxy.script(step)
    proxy = Proxy("127.0.0.1", dying_proxy.port)
    got, error = _send_requests(method, origin.url, data(), headers, proxy, step)
    _check(origin.settled(), whole, step, method, replayable, got, error)


def test_a_post_the_server_has_is_never_sent_again(origin, dying_proxy):
    # The connection dropped after the origin had the whole request: urllib3
    # reports it as the proxy's failure, which the policy would retry.
    dying_proxy.script("die")  # a second attempt would reach the origin
    got, error = _send_requests("POST", origin.url, FORM, {"Content-Type": "application/x-www-form-urlencoded"},
                                Proxy("127.0.0.1", dying_proxy.port))
    assert [r.body for r in origin.settled()] == [FORM.encode()]
    assert got is requests.exceptions.ProxyError
    assert "Not retried: the POST request may already have been processed by the server" in str(error)
    assert isinstance(error.__context__.reason, urllib3.exceptions.ProxyError)  # the first error stays the cause


def test_a_connection_that_could_not_be_made_is_retried_for_any_request(origin):
    # Nothing of the request left: a POST with a one-shot body is retried
    # whole, as any request is.
    data, headers, _, _ = requests_body("multipart")
    refused = f"http://127.0.0.1:{_closed_port()}/"
    with client._requests.ClientSession() as session, pytest.raises(requests.exceptions.ConnectionError) as failed:
        session.post(refused, data=data(), headers=headers, timeout=5)
    # The policy ran its course: three retries, none declined.
    assert "Max retries exceeded" in str(failed.value) and "Not retried" not in str(failed.value)


def _closed_port():
    import socket

    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_the_policy_the_caller_sees_is_the_one_the_session_was_built_with(origin):
    with client._requests.ClientSession() as session:
        adapter = session.get_adapter("http://")
        policy = adapter.max_retries
        origin.script("503")
        data, headers, _, _ = requests_body("multipart")
        assert session.put(origin.url, data=data(), headers=headers, timeout=10).status_code == 503
        assert adapter.max_retries is policy and type(policy) is urllib3.Retry
        assert (policy.total, policy.status_forcelist, policy.backoff_factor) == (
            3, [104, 429, 500, 502, 503, 504], 2)


# --- httpx and aiohttp: as their plain libraries -------------------------------------------


def _httpx_client(side, proxy):
    if side == "module":
        return client._httpx.ClientSession({}, proxy)
    return httpx.Client(**({HTTPX_PROXY_KEYWORD: proxy.toString} if proxy else {}))


def _httpx_outcome(side, proxy, method, url, content, step):
    try:
        with _httpx_client(side, proxy) as session:
            timeout = httpx.Timeout(30.0, read=read_timeout(step))
            return session.request(method, url, content=content, timeout=timeout).status_code
    except httpx.TimeoutException:
        return "timeout"
    except httpx.HTTPError:
        return "error"  # which one depends on when the peer's reset lands


async def _aiohttp_request(side, proxy, method, url, data, step):
    if side == "module":
        session = client._aiohttp.ClientSession({}, proxy)
        kwargs = {}
    else:
        session, kwargs = aiohttp.ClientSession(), ({"proxy": proxy.toString} if proxy else {})
    async with session:
        timeout = aiohttp.ClientTimeout(total=60, sock_read=read_timeout(step))
        async with session.request(method, url, data=data, timeout=timeout, **kwargs) as response:
            return response.status


def _aiohttp_outcome(side, proxy, method, url, data, step):
    try:
        return asyncio.run(asyncio.wait_for(_aiohttp_request(side, proxy, method, url, data, step), 90))
    except asyncio.TimeoutError:
        return "timeout"
    except aiohttp.ClientError:
        return "error"  # which one depends on when the peer's reset lands


def _aiohttp_body(kind):
    if kind == "bytes":
        return FORM.encode(), FORM.encode()
    body = client.Client.create_boundary(client.Client.TypeReq.AIOHTTP, dict(FIELDS), boundary="b0undary")
    return body.data, None


SIDES = ("module", "plain")


@pytest.mark.parametrize("route", ["direct", "proxy"])
@pytest.mark.parametrize("library, body", [("httpx", "bytes"), ("httpx", "generator"), ("aiohttp", "bytes"),
                                           ("aiohttp", "multipart")])
@pytest.mark.parametrize("method", ["PUT", "POST"])
def test_httpx_and_aiohttp_resend_as_their_plain_libraries(origin, dying_proxy, route, library, body, method):
    steps = ORIGIN_STEPS if route == "direct" else PROXY_STEPS
    proxy = Proxy("127.0.0.1", dying_proxy.port) if route == "proxy" else None
    for step in steps:
        seen = {}
        for side in SIDES:
            origin.reset()
            (dying_proxy if proxy else origin).script(step)
            if library == "httpx":
                content = FORM.encode() if body == "bytes" else (part.encode() for part in ("order=42", "&amount=100"))
                got = _httpx_outcome(side, proxy, method, origin.url, content, step)
            else:
                data, _ = _aiohttp_body(body)
                got = _aiohttp_outcome(side, proxy, method, origin.url, data, step)
            seen[side] = (got, [(r.path, r.complete, len(r.body)) for r in origin.settled()])
        assert seen["module"] == seen["plain"], step
