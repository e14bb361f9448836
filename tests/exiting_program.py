"""Programs whose background workers are still busy when they exit, for
test_exit.py: four daemon threads for each operation of one group call it
in a loop, and the main thread returns a moment later.

    python -I exiting_program.py GROUP SIDE RUNS

GROUP: bodies (the operations that build request bodies) or sessions;
SIDE: module (this package's client module) or plain (the same libraries
used plainly, for the rate at which CPython itself fails at exit).

Each run is a process of its own, forked from this one once the libraries
are imported (importing them takes most of a second; a run, a fraction),
which then exits as any program does: its interpreter finalises while the
threads are inside their calls. Prints the runs' exit statuses as JSON, a
signal as its negative number."""
import asyncio
import json
import os
import random
import ssl
import sys
import threading
import time

FORM = {"n": 5, "f": 1.5, "l": [1, "x"], "d": {"k": 2}, "s": "a b"}


def expecting(error, call):
    def run():
        try:
            call()
        except error:
            pass

    return run


def module_bodies():
    from pelun_online_sdk.client import Client, _aiohttp, _requests

    for member in Client.TypeReq:
        yield lambda member=member: Client.create_boundary(member, dict(FORM), "p", 20)
    yield lambda: Client.create_boundary(7, {})
    yield lambda: _requests.create_urlencode(dict(FORM))
    yield lambda: _aiohttp.create_urlencode(dict(FORM))
    yield lambda: _requests.create_boundary(dict(FORM), None, 51, None, True)
    yield lambda: _aiohttp.create_boundary(dict(FORM), "p", 30, "fixed", False)
    # Errors: refused while binding, and raised inside a body (with its
    # traceback entry built on the way out).
    yield expecting(TypeError, lambda: _aiohttp.create_urlencode(5))
    yield expecting(AttributeError, lambda: _requests.create_boundary({"a": object()}))
    yield expecting(TypeError, lambda: _aiohttp.create_boundary({"a": object()}))


def module_sessions():
    from pelun_online_sdk.client import Client, RequestsAdapter, SSLContext, _httpx, _requests
    from pelun_online_sdk.proxy import Proxy

    proxy = Proxy("127.0.0.1", 9, username="u", password="p")

    async def aiohttp_session():
        async with Client.ClientSession(Client.TypeReq.AIOHTTP, {"X-A": "1"}, proxy):
            pass

    yield lambda: Client.ClientSession(Client.TypeReq.REQUESTS, {"X-A": "1"}, proxy).close()
    yield lambda: Client.ClientSession(Client.TypeReq.HTTPX, {}).close()
    yield lambda: _httpx.ClientSession({"X-A": "1"}, proxy).close()
    yield lambda: asyncio.run(aiohttp_session())
    yield lambda: RequestsAdapter(max_retries=2).proxy_manager_for("http://127.0.0.1:9").clear()
    yield lambda: SSLContext(ssl.PROTOCOL_TLS_CLIENT).set_alpn_protocols(["h2"])
    yield expecting(ValueError, lambda: _requests.ClientSession({"a\n": "b"}))
    yield expecting(AttributeError, lambda: Client.ClientSession(Client.TypeReq.HTTPX, {}, 5))


def plain_sessions():
    import aiohttp
    import httpx
    import requests
    import requests.adapters

    async def aiohttp_session():
        async with aiohttp.ClientSession(headers={"X-A": "1"}):
            pass

    def requests_session():
        with requests.Session() as session:
            session.mount("https://", requests.adapters.HTTPAdapter(max_retries=3))

    yield requests_session
    yield lambda: httpx.Client(http2=True).close()
    yield lambda: httpx.Client(proxy="http://u:p@127.0.0.1:9").close()
    yield lambda: asyncio.run(aiohttp_session())
    yield lambda: ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).set_alpn_protocols(["h2"])


GROUPS = {
    ("bodies", "module"): module_bodies,
    ("sessions", "module"): module_sessions,
    ("sessions", "plain"): plain_sessions,
}


def run(operations, seed):
    started = threading.Barrier(4 * len(operations) + 1)

    def loop(operation):
        started.wait()
        while True:
            operation()

    for operation in operations:
        for _ in range(4):
            threading.Thread(target=loop, args=(operation,), daemon=True).start()
    started.wait(timeout=60)
    # Each run leaves at a different point of the threads' calls.
    time.sleep(random.Random(seed).uniform(0.02, 0.3))


def exit_status(pid):
    _, status = os.waitpid(pid, 0)
    return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)


def main(group, side, runs):
    """Returns in the parent after the last run, and in each forked run once
    its threads are busy: both then leave as the script ends."""
    operations = list(GROUPS[group, side]())
    running = []
    for seed in range(runs):
        pid = os.fork()
        if pid == 0:
            return run(operations, seed)
        running.append(pid)
    print(json.dumps([exit_status(pid) for pid in running]))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
