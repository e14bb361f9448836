"""The module's three sessions beside the same libraries used plainly, against a local nginx over TLS.

Usage: python bench/clients.py [--quick] [--callgrind]

One nginx (a process of its own, so that its work takes no share of the
client's interpreter) serves a two-byte answer and a 32 MiB file over TLS,
offering h2 and http/1.1 by ALPN. Each client goes beside its plain twin:

- httpx: ``_httpx.ClientSession()`` and ``httpx.Client(http2=True)``, both
  over HTTP/2, trusting the test CA through SSL_CERT_FILE;
- aiohttp: ``_aiohttp.ClientSession()`` and ``aiohttp.ClientSession()``,
  HTTP/1.1, the CA's context given with each request;
- requests: ``_requests.ClientSession()`` and ``requests.Session()``,
  HTTP/1.1, ``verify=`` the CA.

Rows: small GETs over one keep-alive connection (requests per second) and
the 32 MiB download (MiB per second). The two sides alternate in short
rounds (the side that goes first alternates too, so that drift in the
machine's speed falls on both): twenty requests, or one download, a side.
The rates are each side's median round; module/plain is the median of the
rounds' ratios of rates (below 1 the module is slower), flagged below 0.98,
and the spread their interquartile range. A round's ratio compares two
runs moments apart, so that a loaded machine sways it less than it sways
the medians of each side. "by CPU" is the same median ratio by the
client process's CPU time, which other work on the machine sways less
still (nginx's share is the same for both sides).

With --callgrind, the small GETs of each client are counted in
instructions per request under callgrind instead (the client's process
only): 20 and 60 requests after a warm-up, the difference over 40, the
median of three such pairs.

Without nginx the run says so and stops: nothing else here needs it.
"""

from __future__ import annotations

import asyncio
import gc
import getpass
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

_HERE = os.path.dirname(os.path.abspath(__file__))
_EXAMPLES = os.path.join(os.path.dirname(_HERE), "examples")
for _folder in (_EXAMPLES, _HERE):  # the local servers, and bench/counted.py
    if _folder not in sys.path:
        sys.path.insert(0, _folder)

import aiohttp  # noqa: E402
import httpx  # noqa: E402
import requests  # noqa: E402

from pelun_online_sdk import client  # noqa: E402
from counted import count_in_child, print_counts, read_summary  # noqa: E402
from servers.certs import TlsCA  # noqa: E402

LIMIT = 0.98
BIG = 32 * 1024 * 1024
NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.access("/usr/sbin/nginx", os.X_OK) else None)

# Its worker runs as the user running the bench (nginx ignores `user`, with a
# warning, where it is not started as root), which can read the files.
_CONFIG = """\
user {user};
worker_processes 1;
daemon off;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {root}/body;
    proxy_temp_path {root}/proxy;
    fastcgi_temp_path {root}/fastcgi;
    uwsgi_temp_path {root}/uwsgi;
    scgi_temp_path {root}/scgi;
    keepalive_requests 1000000;
    http2_max_requests 1000000;
    server {{
        listen 127.0.0.1:{port} ssl http2;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        root {root}/www;
        location = /small {{ default_type text/plain; return 200 "ok"; }}
    }}
}}
"""


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Nginx:
    """nginx serving /small and /big over TLS from a folder of its own."""

    def __init__(self, folder, ca):
        os.makedirs(os.path.join(folder, "www"))
        with open(os.path.join(folder, "www", "big"), "wb") as big:
            big.write(os.urandom(1024 * 1024) * (BIG // (1024 * 1024)))
        port = _free_port()
        config = os.path.join(folder, "nginx.conf")
        with open(config, "w") as out:
            out.write(_CONFIG.format(user=getpass.getuser(), root=folder, port=port, cert=ca.cert_path, key=ca.key_path))
        self._process = subprocess.Popen([NGINX, "-p", folder, "-c", config], stderr=subprocess.DEVNULL)
        self.url = f"https://127.0.0.1:{port}/"
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                if self._process.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(f"nginx did not start; see {folder}/error.log") from None
                time.sleep(0.05)

    def stop(self):
        self._process.terminate()
        self._process.wait(10)


class Sync:
    """A requests or httpx session and how it sends one request."""

    def __init__(self, session, send):
        self.session, self._send = session, send

    def run(self, url, calls):
        send, session = self._send, self.session
        for _ in range(calls):
            send(session, url)

    def close(self):
        self.session.close()


class Async:
    """An aiohttp session on an event loop of its own."""

    def __init__(self, make, context):
        self._loop = asyncio.new_event_loop()
        self._context = context
        self.session = self._loop.run_until_complete(self._made(make))

    @staticmethod
    async def _made(make):
        return make()

    async def _many(self, url, calls):
        session, context = self.session, self._context
        for _ in range(calls):
            async with session.get(url, ssl=context) as response:
                assert response.status == 200, response.status
                await response.read()

    def run(self, url, calls):
        self._loop.run_until_complete(self._many(url, calls))

    def close(self):
        self._loop.run_until_complete(self.session.close())
        self._loop.close()


def clients(ca):
    """{library: (make module side, make plain side, protocol)}, each side made afresh for a row."""
    os.environ["SSL_CERT_FILE"] = ca.ca_path  # httpx reads it when it builds a transport's context
    context = ca.client_context()

    def httpx_get(session, url):
        response = session.get(url)
        assert response.status_code == 200 and response.http_version == "HTTP/2", response
        response.read()

    def requests_get(session, url):
        response = session.get(url, verify=ca.ca_path)
        assert response.status_code == 200, response.status_code
        response.content

    return {
        "httpx": (lambda: Sync(client._httpx.ClientSession(), httpx_get),
                  lambda: Sync(httpx.Client(http2=True), httpx_get), "HTTP/2"),
        "aiohttp": (lambda: Async(client._aiohttp.ClientSession, context),
                    lambda: Async(aiohttp.ClientSession, context), "HTTP/1.1"),
        "requests": (lambda: Sync(client._requests.ClientSession(), requests_get),
                     lambda: Sync(requests.Session(), requests_get), "HTTP/1.1"),
    }


def rounds_of(sides, url, calls, rounds):
    """Wall and CPU seconds per call of each side in each round, the sides alternating."""
    times = {name: ([], []) for name in sides}
    for round_ in range(rounds):
        order = list(sides) if round_ % 2 == 0 else list(reversed(list(sides)))
        for name in order:
            started, cpu = time.perf_counter(), time.process_time()
            sides[name].run(url, calls)
            times[name][0].append((time.perf_counter() - started) / calls)
            times[name][1].append((time.process_time() - cpu) / calls)
    return times


def measure(make_module, make_plain, url, calls, rounds):
    """Each side's median wall seconds per call; the median and quartiles of the
    rounds' module/plain rates, by wall time; the median by the client's CPU time.

    Half the rounds run with the module's side made first, half with plain's:
    whichever side is made first runs a few percent faster (measured with the
    same client on both sides), and the halves cancel that out."""
    times = {"module": ([], []), "plain": ([], [])}
    made = {"module": make_module, "plain": make_plain}
    for order in (("module", "plain"), ("plain", "module")):
        sides = {name: made[name]() for name in order}
        try:
            for side in sides.values():  # warm: the connection, contexts, imports
                side.run(url, 2)
            for name, (wall, cpu) in rounds_of(sides, url, calls, (rounds + 1) // 2).items():
                times[name][0].extend(wall)
                times[name][1].extend(cpu)
        finally:
            for side in sides.values():
                side.close()
    (module, module_cpu), (plain, plain_cpu) = times["module"], times["plain"]
    ratios = sorted(p / m for m, p in zip(module, plain))
    quartiles = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else [ratios[0]] * 3
    cpu_ratio = statistics.median(p / m for m, p in zip(module_cpu, plain_cpu) if m > 0)
    return statistics.median(module), statistics.median(plain), quartiles, cpu_ratio


def main(argv):
    if NGINX is None:
        print("clients: skipped, nginx is not installed (apt-get install nginx-light)")
        return 0
    quick = "--quick" in argv
    # (row, path, requests per side in a round, rounds, unit, units per request)
    # Rounds enough for the median ratio to settle within a percent or so on
    # a busy machine, where single rounds differ by a tenth (a download's
    # rounds by up to a fifth): with 150 rounds, plain httpx beside itself
    # gave 0.986 to 1.019.
    rows = [("small GETs", "small", 20, 30 if quick else 400, "req/s", 1),
            ("32 MiB download", "big", 1, 6 if quick else 60, "MiB/s", BIG / 2**20)]
    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory() as folder:
        ca = TlsCA(os.path.join(folder, "ca"))
        server = Nginx(os.path.join(folder, "nginx"), ca)
        try:
            print(f"Python {sys.version.split()[0]}, httpx {httpx.__version__}, aiohttp {aiohttp.__version__}, "
                  f"requests {requests.__version__}\nlocal nginx over TLS; rates are medians of interleaved "
                  f"rounds, module/plain the median of the rounds' ratios\n")
            header = (f"{'client':<9} {'row':<28} {'rounds':>6} {'module':>11} {'plain':>11} {'module/plain':>13} "
                      f"{'spread':>13} {'by CPU':>7}")
            print(header + "\n" + "-" * len(header))
            worst = 1.0
            for library, (make_module, make_plain, protocol) in clients(ca).items():
                for label, path, calls, rounds, unit, per in rows:
                    module, plain, (low, ratio, high), cpu_ratio = measure(
                        make_module, make_plain, server.url + path, calls, rounds)
                    worst = min(worst, ratio)
                    flag = f"  BELOW {LIMIT}" if ratio < LIMIT else ""
                    print(f"{library:<9} {label + ', ' + protocol:<28} {rounds:>6} {per / module:>5.0f} {unit} "
                          f"{per / plain:>5.0f} {unit} {ratio:>13.3f} {low:>6.3f}-{high:<6.3f} {cpu_ratio:>7.3f}{flag}",
                          flush=True)
            print(f"\nlowest module/plain {worst:.3f} (at least {LIMIT} wanted)")
        finally:
            server.stop()
    return 0


# ------------------------------------------------------------------ callgrind

# Requests per counted loop: the difference is COUNTED[1] - COUNTED[0]
# requests. Forty of them even out what comes now and then (a collection, a
# WINDOW_UPDATE), which a difference of a few would catch or miss by luck.
COUNTED = (20, 60)
REPEATS = 3  # pairs of loops counted; the median is kept


def count_child(out_dir):
    """Under callgrind: instructions per small GET of each client and side, as JSON on stdout."""
    peer = os.environ.get("BENCH_PEER_DIR") or os.path.join(os.path.dirname(_HERE), "build", "bench-cython")
    sys.path.insert(0, peer)
    import callgrind_marks

    warnings.simplefilter("ignore")
    callgrind_marks.start()
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        ca = TlsCA(os.path.join(folder, "ca"))
        server = Nginx(os.path.join(folder, "nginx"), ca)
        try:
            for library, (make_module, make_plain, _) in clients(ca).items():
                for side, make in (("module", make_module), ("plain", make_plain)):
                    made = make()
                    try:
                        made.run(server.url + "small", 20)
                        differences = []
                        for _ in range(REPEATS):
                            counts = []
                            for calls in COUNTED:
                                # Each loop starts with the collector's counts at nought.
                                gc.collect()
                                callgrind_marks.zero()
                                made.run(server.url + "small", calls)
                                callgrind_marks.dump("clients")
                                dumps = sorted((os.path.join(out_dir, name) for name in os.listdir(out_dir)),
                                               key=os.path.getmtime)
                                counts.append(read_summary(dumps[-1]))
                            differences.append((counts[1] - counts[0]) / (COUNTED[1] - COUNTED[0]))
                    finally:
                        made.close()
                    results.setdefault(library, {})[side] = statistics.median(differences)
        finally:
            server.stop()
    print(json.dumps(results))
    return 0


def count():
    if NGINX is None:
        print("clients: skipped, nginx is not installed (apt-get install nginx-light)")
        return 0
    results = count_in_child(__file__, "clients")
    if results is None:
        return 1
    print_counts(f"Python {sys.version.split()[0]}: instructions per small GET to nginx over TLS (callgrind)",
                 "client", results)
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--count-child"]:
        sys.exit(count_child(sys.argv[2]))
    sys.exit(count() if "--callgrind" in sys.argv[1:] else main(sys.argv[1:]))
