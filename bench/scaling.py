"""How the module's work scales with threads.

For each workload, calls made in a fixed time by one thread, then by two
threads at once; the ratio two/one is the scaling. With the GIL it stays near
1 (the threads take turns); on a free-threaded build (PYTHON_GIL=0) with two
idle cores it should approach 2: the module keeps no lock of its own on its
call paths, so the threads only meet in the interpreter and the libraries.

Usage: python bench/scaling.py [--quick]   (also run at the end of bench/run.py)
"""

import asyncio
import sys
import threading
import time

from pelun_online_sdk import client
from pelun_online_sdk.proxy import Proxy

FIELDS = {"name": "pelun", "count": 5, "ratio": 1.5, "flag": True, "tags": ["a", "b"], "meta": {"k": 1}}
HEADERS = {"X-Token": "abc", "Accept": "application/json"}
PROXY = Proxy("127.0.0.1", 3128)


def _aiohttp_sessions():
    # One event loop per thread, kept for the whole measurement.
    loop = asyncio.new_event_loop()

    async def make_and_close():
        await client._aiohttp.ClientSession(HEADERS, PROXY).close()

    return lambda: loop.run_until_complete(make_and_close()), loop.close


def _plain(call):
    return lambda: (call, lambda: None)


WORKLOADS = [
    ("requests session", _plain(lambda: client._requests.ClientSession(HEADERS, PROXY).close())),
    ("httpx client", _plain(lambda: client._httpx.ClientSession(HEADERS).close())),
    ("aiohttp session", _aiohttp_sessions),
    ("requests body", _plain(lambda: client._requests.create_boundary(dict(FIELDS), "pfx"))),
    ("aiohttp body", _plain(lambda: client._aiohttp.create_boundary(dict(FIELDS)))),
]


def calls_in(seconds, threads, make):
    """Calls made by `threads` threads together in `seconds`."""
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def work(index):
        call, close = make()
        try:
            call()  # warm the thread's caches before the clock starts
            start.wait()
            while not stop.is_set():
                call()
                counts[index] += 1
        finally:
            close()

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts)


def main(argv):
    seconds = 0.5 if "--quick" in argv else 2.0
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"\nthreads: calls in {seconds:g} s by 1 and by 2 threads, best of 3 "
          f"(GIL {'on' if gil else 'off'})")
    header = f"{'workload':<48} {'1 thread':>11} {'2 threads':>11} {'2/1':>9}"
    print(header)
    print("-" * len(header))
    for label, make in WORKLOADS:
        # The best of three rounds each: on a shared machine a round can lose
        # a core to something else, never gain one.
        one = max(calls_in(seconds, 1, make) for _ in range(3))
        two = max(calls_in(seconds, 2, make) for _ in range(3))
        print(f"{label:<48} {one:>11} {two:>11} {two / max(one, 1):>9.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
