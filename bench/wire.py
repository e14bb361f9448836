"""Requests sent through the module's requests session, beside plain requests, to a local TLS server.

Usage: python bench/wire.py [--quick] [--callgrind]

What a caller pays per request for the session's checks (a TLS context per
verification setting, the header checks, the retry guard): many GETs over
one keep-alive connection, GETs that each open a new TLS connection, and
POSTs over keep-alive with a replayable body (bytes) and with a multipart
body from create_boundary (a one-shot MultipartEncoder, made anew for each
request on both sides). Both sessions trust the test CA through
``verify=``, as a caller's own bundle would be given. Then GETs through a
local proxy (pproxy, in a process of its own): over a keep-alive tunnel,
and each through a new tunnel (CONNECT, and socks5), where the session
bounds the handshake with the proxy.

Each row alternates the two sides round by round and keeps each side's
best round; the ratio is module/plain time (above 1 the module is slower),
flagged above 1.05. The noise column is how far the median round of the
noisier side lies above its best.

With --callgrind the same rows are counted in instructions per request by
callgrind (the client's process only; the server runs in a process of its
own), which repeat from run to run on a loaded machine where times do not:
each row counts 8 and 16 requests after a warm-up, and the difference over
8 is one request.
"""

import json
import os
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

_HERE = os.path.dirname(os.path.abspath(__file__))
_EXAMPLES = os.path.join(os.path.dirname(_HERE), "examples")
for _folder in (_EXAMPLES, _HERE):  # the local servers, and bench/counted.py
    if _folder not in sys.path:
        sys.path.insert(0, _folder)

import requests  # noqa: E402

from pelun_online_sdk import client  # noqa: E402
from counted import count_in_child, print_counts, read_summary  # noqa: E402
from servers.certs import TlsCA  # noqa: E402
from servers.proxy import ProxyServer  # noqa: E402

LIMIT = 1.05
FIELDS = {"order": "42", "amount": "100", "note": "x" * 200}


class _Handler(BaseHTTPRequestHandler):
    """Answers 200 "ok" to everything, reading the body first; one write per answer
    and no Nagle delay, so that the server's own pauses stay out of the figures."""

    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    wbufsize = -1  # the head and the body leave in one write

    def log_message(self, format, *args):  # noqa: A002 - the base class's signature
        pass

    def _answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        elif "chunked" in (self.headers.get("Transfer-Encoding") or ""):
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                self.rfile.read(size + 2)
                if size == 0:
                    break
        self.send_response(200)
        self.send_header("Content-Length", "2")
        if self.close_connection:  # the client asked: say so, so that its pool drops the connection
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(b"ok")

    do_GET = do_POST = _answer


def serve(cert_path, key_path):
    """The server, in a process of its own (``--serve``): it prints its port and
    serves until its input closes. Out of the timed process, its work takes
    no share of the client's interpreter lock."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert_path, key_path)
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    server.daemon_threads = True
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.read()
    server.shutdown()
    return 0


class Origin:
    """The server process, and its URL."""

    def __init__(self, ca):
        self._process = subprocess.Popen(
            [sys.executable, "-I", os.path.abspath(__file__), "--serve", ca.cert_path, ca.key_path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.url = f"https://127.0.0.1:{int(self._process.stdout.readline())}/"

    def stop(self):
        self._process.stdin.close()
        self._process.wait(10)


def rows(url, ca_path, proxy):
    def get(session):
        session.get(url, verify=ca_path, timeout=30).content

    def get_new_connection(session):
        session.get(url, verify=ca_path, timeout=30, headers={"Connection": "close"}).content

    def post_bytes(session):
        session.post(url, data=b"order=42&amount=100" * 10, verify=ca_path, timeout=30).content

    def post_multipart(session):
        body = client.Client.create_boundary(client.Client.TypeReq.REQUESTS, dict(FIELDS))
        session.post(url, data=body.data, headers=body.headers, verify=ca_path, timeout=30).content

    def through(scheme, new_connection):
        proxies = {"https": f"{scheme}://127.0.0.1:{proxy.port}"}
        headers = {"Connection": "close"} if new_connection else {}
        return lambda session: session.get(url, verify=ca_path, timeout=30, proxies=proxies, headers=headers).content

    return [("GET over keep-alive", get), ("GET, a new TLS connection each", get_new_connection),
            ("POST bytes over keep-alive", post_bytes), ("POST multipart over keep-alive", post_multipart),
            ("GET over keep-alive, http proxy", through("http", False)),
            ("GET, new tunnel each, http proxy", through("http", True)),
            ("GET, new tunnel each, socks5 proxy", through("socks5", True))]


def best_rounds(action, sessions, rounds, calls):
    times = {side: [] for side in sessions}
    for round_ in range(rounds):
        order = list(sessions) if round_ % 2 == 0 else list(reversed(list(sessions)))
        for side in order:
            session = sessions[side]
            started = time.perf_counter()
            for _ in range(calls):
                action(session)
            times[side].append((time.perf_counter() - started) / calls)
    return {side: sorted(values) for side, values in times.items()}


COUNTED = (8, 16)  # requests per counted loop: the difference is COUNTED[1] - COUNTED[0] requests


def count_child(out_dir):
    """Under callgrind: each row's instructions per request, both sides, as JSON on stdout."""
    peer = os.environ.get("BENCH_PEER_DIR") or os.path.join(os.path.dirname(_HERE), "build", "bench-cython")
    sys.path.insert(0, peer)
    import callgrind_marks

    warnings.simplefilter("ignore")
    callgrind_marks.start()
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        ca = TlsCA(folder)
        origin, proxy = Origin(ca), ProxyServer().start()
        try:
            for label, action in rows(origin.url, ca.ca_path, proxy):
                for side, make in (("module", client._requests.ClientSession), ("plain", requests.Session)):
                    with make() as session:
                        for _ in range(4):
                            action(session)
                        counts = []
                        for calls in COUNTED:
                            callgrind_marks.zero()
                            for _ in range(calls):
                                action(session)
                            callgrind_marks.dump("wire")
                            dumps = sorted((os.path.join(out_dir, name) for name in os.listdir(out_dir)),
                                           key=os.path.getmtime)
                            counts.append(read_summary(dumps[-1]))
                    results.setdefault(label, {})[side] = (counts[1] - counts[0]) / (COUNTED[1] - COUNTED[0])
        finally:
            origin.stop()
            proxy.stop()
    print(json.dumps(results))
    return 0


def count(argv):
    results = count_in_child(__file__, "wire")
    if results is None:
        return 1
    print_counts(f"Python {sys.version.split()[0]}, requests {requests.__version__}: instructions per request "
                 "(callgrind)", "request", results)
    return 0


def main(argv):
    if "--callgrind" in argv:
        return count(argv)
    quick = "--quick" in argv
    rounds, calls = (3, 20) if quick else (11, 60)
    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory() as folder:
        ca = TlsCA(folder)
        origin, proxy = Origin(ca), ProxyServer().start()
        try:
            print(f"Python {sys.version.split()[0]}, requests {requests.__version__}, "
                  f"{client.__file__}\nlocal TLS origin, best of {rounds} rounds of {calls} requests, interleaved\n")
            header = f"{'request':<34} {'module µs':>10} {'plain µs':>10} {'module/plain':>13} {'noise':>6}"
            print(header + "\n" + "-" * len(header))
            worst = 0.0
            for label, action in rows(origin.url, ca.ca_path, proxy):
                sessions = {"module": client._requests.ClientSession(), "plain": requests.Session()}
                for session in sessions.values():  # warm: first connection, contexts, imports
                    action(session)
                times = best_rounds(action, sessions, rounds, calls)
                for session in sessions.values():
                    session.close()
                ratio = times["module"][0] / times["plain"][0]
                noise = max(values[len(values) // 2] / values[0] - 1 for values in times.values())
                worst = max(worst, ratio)
                flag = "  ABOVE 1.05" if ratio > LIMIT else ""
                print(f"{label:<34} {times['module'][0] * 1e6:>10.1f} {times['plain'][0] * 1e6:>10.1f} "
                      f"{ratio:>13.3f} {noise:>6.1%}{flag}", flush=True)
            print(f"\nworst module/plain {worst:.3f} (limit {LIMIT})")
        finally:
            origin.stop()
            proxy.stop()
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        sys.exit(serve(*sys.argv[2:4]))
    if sys.argv[1:2] == ["--count-child"]:
        sys.exit(count_child(sys.argv[2]))
    sys.exit(main(sys.argv[1:]))
