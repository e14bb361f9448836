"""Programs whose background workers are still busy when they exit, for
test_exit.py: four daemon threads for each operation of one group call it
in a loop, and the main thread returns a moment later.

    python -I exiting_program.py GROUP SIDE RUNS

GROUP: bodies (the operations that build request bodies), sessions, or
fork (a process forked while the threads are inside their calls must be
able to call every operation once); SIDE: module (this package's client
module) or twin (its operations in plain Python, bench/twins.py: the rate
at which CPython and the libraries themselves fail).

Each run is a process of its own, forked from this one once the libraries
are imported (importing them takes most of a second; a run, a fraction),
which then exits as any program does: its interpreter finalises while the
threads are inside their calls. Prints the runs' exit statuses as JSON, a
signal as its negative number."""
import asyncio
import json
import os
import random
import signal
import ssl
import sys
import threading
import time
import traceback
import warnings



def form():
    """A form of its own for each call: on free-threaded builds a fork while
    threads wait for one shared object's lock can leave it locked in the
    child, in plain Python as much (a hazard of CPython's, not the module's)."""
    return {"n": 5, "f": 1.5, "l": [1, "x"], "d": {"k": 2}, "s": "a b"}


def expecting(error, call):
    def run():
        try:
            call()
        except error:
            pass

    return run


def load(side):
    """The module, or its plain-Python twin (bench/twins.py): the same
    operations, for the rate at which CPython and the libraries themselves
    fail."""
    if side == "module":
        import pelun_online_sdk.client as client

        return client
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
    import twins

    return twins


def bodies(m):
    for member in m.Client.TypeReq:
        yield lambda member=member: m.Client.create_boundary(member, form(), "p", 20)
    yield lambda: m.Client.create_boundary(7, {})
    yield lambda: m._requests.create_urlencode(form())
    yield lambda: m._aiohttp.create_urlencode(form())
    yield lambda: m._requests.create_boundary(form(), None, 51, None, True)
    yield lambda: m._aiohttp.create_boundary(form(), "p", 30, "fixed", False)
    # Errors: refused while binding, and raised inside a body (with its
    # traceback entry built on the way out).
    yield expecting(TypeError, lambda: m._aiohttp.create_urlencode(5))
    yield expecting(AttributeError, lambda: m._requests.create_boundary({"a": object()}))
    yield expecting(TypeError, lambda: m._aiohttp.create_boundary({"a": object()}))


def sessions(m):
    from pelun_online_sdk.proxy import Proxy

    proxy = Proxy("127.0.0.1", 9, username="u", password="p")

    async def aiohttp_session():
        async with m.Client.ClientSession(m.Client.TypeReq.AIOHTTP, {"X-A": "1"}, proxy):
            pass

    yield lambda: m.Client.ClientSession(m.Client.TypeReq.REQUESTS, {"X-A": "1"}, proxy).close()
    yield lambda: m.Client.ClientSession(m.Client.TypeReq.HTTPX, {}).close()
    yield lambda: m._httpx.ClientSession({"X-A": "1"}, proxy).close()
    yield lambda: asyncio.run(aiohttp_session())
    yield lambda: m.RequestsAdapter(max_retries=2).proxy_manager_for("http://127.0.0.1:9").clear()
    yield lambda: m.SSLContext(ssl.PROTOCOL_TLS_CLIENT).set_alpn_protocols(["h2"])
    yield expecting(ValueError, lambda: m._requests.ClientSession({"a\n": "b"}))
    yield expecting(AttributeError, lambda: m.Client.ClientSession(m.Client.TypeReq.HTTPX, {}, 5))


def lock_free(m):
    """Operations that take no lock of a library (pycryptodomex's cffi,
    OpenSSL's): a thread inside one at a fork would hang the child, of
    plain Python as well. They go through the module's own caches."""
    yield lambda: m._requests.create_urlencode(form())
    yield lambda: m._aiohttp.create_urlencode(form())
    yield lambda: m.Client.create_boundary(7, {})
    yield expecting(TypeError, lambda: m._aiohttp.create_urlencode(5))
    yield expecting(TypeError, lambda: m.Client.ClientSession(m.Client.TypeReq.HTTPX, None))
    yield expecting(AttributeError, lambda: m.Client.ClientSession(m.Client.TypeReq.HTTPX, {}, 5))


def every_operation(m):
    yield from bodies(m)
    yield from sessions(m)


GROUPS = {"bodies": bodies, "sessions": sessions, "fork": lock_free}


def run(group, operations, seed):
    started = threading.Barrier(4 * len(operations) + 1)
    forked = threading.Event()

    def loop(operation):
        started.wait()
        while not forked.is_set():
            operation()

    for operation in operations:
        for _ in range(4):
            threading.Thread(target=loop, args=(operation,), daemon=True).start()
    started.wait(timeout=60)
    # Each run leaves at a different point of the threads' calls.
    time.sleep(random.Random(seed).uniform(0.02, 0.3))
    if group == "fork":
        child = fork_calling_each(list(every_operation(load(sys.argv[2]))))
        forked.set()  # the CPU is the child's now
        sys.exit(exit_status(child))


def fork_calling_each(operations):
    """A process forked while the threads are inside their calls, which
    calls each operation once: a lock or cache left half-changed by a thread
    that is not there in the child would hang or break it (killed after
    30 s)."""
    warnings.simplefilter("ignore", DeprecationWarning)  # fork of a process with threads
    pid = os.fork()
    if pid == 0:  # never returns into the caller's frames
        status = 0
        signal.alarm(30)
        try:
            for operation in operations:
                operation()
        except BaseException:
            traceback.print_exc()
            status = 1
        os._exit(status)
    return pid


def exit_status(pid):
    return decoded(os.waitpid(pid, 0)[1])


def decoded(status):
    return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)


def exit_statuses(pids, seconds=30):
    """The exit statuses of the runs `pids`. A run leaves within a second or
    two; one still there after `seconds` is stuck (free-threaded CPython can
    hang an exit whose daemon threads wait for one of its locks, in plain
    Python too) and is killed: -9."""
    statuses = {}
    deadline = time.monotonic() + seconds
    while len(statuses) < len(pids) and time.monotonic() < deadline:
        for pid in set(pids) - set(statuses):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                statuses[pid] = decoded(status)
        time.sleep(0.05)
    for pid in set(pids) - set(statuses):
        os.kill(pid, signal.SIGKILL)
        statuses[pid] = exit_status(pid)
    return [statuses[pid] for pid in pids]


def main(group, side, runs):
    """Returns in the parent after the last run, and in each forked run once
    its threads are busy: both then leave as the script ends. Four runs at a
    time, each with its own threads: more would only starve one another."""
    operations = list(GROUPS[group](load(side)))
    statuses = []
    for first in range(0, runs, 4):
        running = []
        for seed in range(first, min(first + 4, runs)):
            pid = os.fork()
            if pid == 0:
                return run(group, operations, seed)
            running.append(pid)
        statuses += exit_statuses(running)
    print(json.dumps(statuses))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
