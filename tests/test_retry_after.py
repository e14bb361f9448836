"""A server's Retry-After holds the requests session two minutes at most.

urllib3 sleeps for whatever Retry-After asks before each retry, and the
caller's timeout does not cover those sleeps. The session honours it while
one request's waits (Retry-After and the policy's backoff of 0, 4 and 8 s)
stay within 120 s; past that it hands the response back at once, unread and
with its Retry-After, as plain requests does. An unreadable Retry-After
counts as absent.

Each call runs under a deadline far longer than any load could make it
(a session that sleeps as asked takes hours), and the origin counts the
requests it saw.
"""
import threading
import time

import pytest
import requests

import pelun_online_sdk.client as client

DEADLINE = 30.0  # seconds: a call that honoured a long Retry-After is still asleep by then
SLOW_DEADLINE = 60.0  # for calls that wait out a few seconds of backoff first


def step(status, retry_after=None):
    return str(status) if retry_after is None else f"{status}\r\nRetry-After: {retry_after}"


def call_within(deadline, call):
    """(result or exception, seconds taken) of ``call`` run in a thread, or a
    test failure when it has not returned by ``deadline``."""
    outcome = {}

    def run():
        started = time.monotonic()
        try:
            outcome["result"] = call()
        except Exception as error:  # the caller checks which
            outcome["result"] = error
        outcome["elapsed"] = time.monotonic() - started

    worker = threading.Thread(target=run, daemon=True)  # left asleep if the call hangs
    worker.start()
    worker.join(deadline)
    if worker.is_alive():
        pytest.fail(f"the request had not returned after {deadline} s")
    return outcome["result"], outcome["elapsed"]


def get(session, url, deadline=DEADLINE):
    return call_within(deadline, lambda: session.get(url, timeout=10))


def seen(response):
    """What the caller has of a response: status, Retry-After and body."""
    return response.status_code, response.headers.get("Retry-After"), response.content


# Far future, and past what the clock can hold (urllib3 itself raises OverflowError on the last two).
TOO_LONG = ["86400", "Fri, 31 Dec 2100 23:59:59 GMT", "99999999999999999999999",
            "Fri, 31 Dec 99999999999 23:59:59 GMT"]


@pytest.mark.parametrize("retry_after", TOO_LONG)
@pytest.mark.parametrize("status", [429, 503, 500])
def test_a_wait_past_the_budget_gives_the_response_back_as_plain_requests_does(origin, status, retry_after):
    with requests.Session() as plain:
        origin.script(step(status, retry_after))
        want, _ = get(plain, origin.url)
    assert len(origin.settled()) == 1
    origin.reset()
    with client._requests.ClientSession() as session:
        adapter = session.get_adapter("http://")
        policy = adapter.max_retries
        origin.script(step(status, retry_after))
        got, _ = get(session, origin.url)
        assert isinstance(got, requests.Response), got
        assert seen(got) == seen(want) == (status, retry_after, b"ok")
        assert len(origin.settled()) == 1
        assert adapter.max_retries is policy and type(policy) is requests.adapters.Retry


@pytest.mark.parametrize("status", [429, 503, 500, 413])
def test_a_short_wait_is_honoured(origin, status):
    # 413 is retried for its Retry-After alone, the others for their status too.
    origin.script(step(status, "1"))
    with client._requests.ClientSession() as session:
        got, elapsed = get(session, origin.url)
    assert seen(got) == (200, None, b"ok")
    assert len(origin.settled()) == 2
    assert elapsed >= 1.0


@pytest.mark.parametrize("retry_after", ["Wed, 21 Oct 2015 07:28:00 GMT", "0", "soon", "1.5", "-1"])
@pytest.mark.parametrize("status", [429, 503, 500])
def test_a_past_date_or_unreadable_value_is_retried_as_without_one(origin, status, retry_after):
    # The policy retries these statuses anyway; its first backoff is 0 s.
    # (urllib3 alone raises InvalidHeader on the unreadable ones, losing the response.)
    origin.script(step(status, retry_after))
    with client._requests.ClientSession() as session:
        got, _ = get(session, origin.url)
    assert seen(got) == (200, None, b"ok")
    assert len(origin.settled()) == 2


@pytest.mark.parametrize("retry_after", ["soon", "Fri, 31 Dec 99999999999 23:59:59 GMT"])
def test_a_status_retried_only_for_its_retry_after_comes_back_when_that_cannot_be_honoured(origin, retry_after):
    origin.script(step(413, retry_after))
    with client._requests.ClientSession() as session:
        got, _ = get(session, origin.url)
    assert seen(got) == (413, retry_after, b"ok")
    assert len(origin.settled()) == 1


def test_the_budget_covers_all_the_retries_of_a_request(origin):
    # 1 s, then 120 s more: each alone within two minutes, not together.
    origin.script(step(503, "1"), step(503, "120"))
    with client._requests.ClientSession() as session:
        got, elapsed = get(session, origin.url)
    assert seen(got) == (503, "120", b"ok")
    assert len(origin.settled()) == 2
    assert elapsed >= 1.0


def test_the_budget_counts_the_backoff(origin):
    # Backoff of 0 s, then 4 s; then 117 s asked makes 121.
    origin.script(step(500), step(500), step(503, "117"))
    with client._requests.ClientSession() as session:
        got, elapsed = get(session, origin.url, SLOW_DEADLINE)
    assert seen(got) == (503, "117", b"ok")
    assert len(origin.settled()) == 3
    assert elapsed >= 4.0


def test_each_request_has_a_budget_of_its_own_and_retries_still_run_out(origin):
    with client._requests.ClientSession() as session:
        origin.script(step(503, "86400"))
        got, _ = get(session, origin.url)
        assert seen(got) == (503, "86400", b"ok")
        assert len(origin.settled()) == 1
        origin.reset()
        # Honoured three times, then the policy's retries are spent, as before.
        origin.script(*[step(503, "1")] * 4)
        got, elapsed = get(session, origin.url)
        assert isinstance(got, requests.exceptions.RetryError), got
        assert len(origin.settled()) == 4
        assert elapsed >= 3.0
        origin.reset()
        origin.script(step(429, "1"))
        got, _ = get(session, origin.url)
        assert seen(got) == (200, None, b"ok")


def test_threads_sharing_a_session_keep_their_own_outcome(origin):
    # Whichever request meets the day-long wait is given back; the others
    # wait out 1 s and retry. However the requests interleave, that is one
    # 503 and two 200s from five requests (a thread takes two 1 s waits at most).
    origin.script(step(503, "1"), step(503, "1"), step(503, "86400"))
    with client._requests.ClientSession() as session:
        results = []
        lock = threading.Lock()

        def one():
            got, _ = get(session, origin.url)
            with lock:
                results.append(seen(got) if isinstance(got, requests.Response) else got)

        threads = [threading.Thread(target=one) for _ in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(DEADLINE + 5)
    assert sorted(results, key=repr) == sorted([(503, "86400", b"ok")] + [(200, None, b"ok")] * 2, key=repr)
    assert len(origin.settled()) == 5
