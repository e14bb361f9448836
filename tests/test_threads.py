"""Every operation from several threads at once, with collections forced in
between: per-call classes, caches made on first use and error paths must
hold up when the interpreter switches threads in the middle of a call, and,
on a free-threaded build, when threads truly run the module at once.

`make stress` runs it longer: STRESS_THREADS threads for STRESS_SECONDS."""
import asyncio
import gc
import os
import ssl
import sys
import threading
import time

import pytest

import pelun_online_sdk.client as client
from pelun_online_sdk.proxy import Proxy

THREADS = int(os.environ.get("STRESS_THREADS", "8"))
# Rounds over every operation, or as many as fit in STRESS_SECONDS.
SECONDS = float(os.environ.get("STRESS_SECONDS", "0"))
ROUNDS = 6 if not SECONDS else sys.maxsize


def _operations():
    proxy = Proxy("127.0.0.1", 9)
    form = {"n": 5, "f": 1.5, "l": [1], "d": {"k": 2}, "s": "x"}
    yield lambda: client._requests.create_urlencode({"q": "a b"})
    yield lambda: client._aiohttp.create_urlencode({"q": "a b"})
    yield lambda: client._requests.create_boundary(dict(form), "p", 20)
    yield lambda: client._aiohttp.create_boundary(dict(form), None, 20, None, True)
    yield lambda: client.Client.create_boundary(client.Client.TypeReq.HTTPX, dict(form))
    yield lambda: client.Client.create_boundary(7, {})
    yield lambda: client.Client.ClientSession(client.Client.TypeReq.REQUESTS, {"X-A": "1"}, proxy).close()
    yield lambda: client._httpx.ClientSession({"X-A": "1"}).close()
    yield lambda: client.RequestsAdapter(max_retries=2).close()
    yield lambda: client.SSLContext(ssl.PROTOCOL_TLS_CLIENT).set_alpn_protocols(["h2"])
    adapter = client.RequestsAdapter()
    yield lambda: adapter.proxy_manager_for("http://127.0.0.1:9").clear()
    yield lambda: asyncio.run(_aiohttp_session(proxy))
    # Attributes replaced while other threads call the same function: a call
    # sees the old defaults or the new ones, never a released tuple.
    builder = client._requests.create_boundary
    yield lambda: setattr(builder, "__defaults__", tuple(builder.__defaults__))
    yield lambda: setattr(builder, "__annotations__", dict(builder.__annotations__))
    for call in (lambda: client._requests.create_urlencode(), lambda: client._aiohttp.create_boundary([1]),
                 lambda: client.Client.ClientSession(bogus=1), lambda: client._requests.ClientSession(None)):
        yield _expecting(TypeError, call)


async def _aiohttp_session(proxy):
    async with client.Client.ClientSession(client.Client.TypeReq.AIOHTTP, {"X-A": "1"}, proxy):
        pass


def _expecting(error, call):
    def run():
        with pytest.raises(error):
            call()

    return run


def test_every_operation_from_many_threads_with_collections():
    operations = list(_operations())
    failures = []
    start = threading.Barrier(THREADS)
    # Switch threads often so that calls interleave mid-body.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    done = [0] * THREADS

    def worker(index):
        try:
            start.wait(timeout=30)
            deadline = time.monotonic() + SECONDS
            for round_ in range(ROUNDS):
                if SECONDS and time.monotonic() > deadline:
                    break
                for number, operation in enumerate(operations):
                    operation()
                    done[index] += 1
                    if (number + index + round_) % 5 == 0:
                        gc.collect()
        except BaseException as error:  # noqa: B902 - reported below
            failures.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=240 + SECONDS)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads), "a worker hung"
    assert failures == []
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{sum(done)} calls by {THREADS} threads (GIL {'on' if gil else 'off'})")
