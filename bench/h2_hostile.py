"""HTTP/2 servers that make no progress: what a request costs the httpx client, and plain httpx.

Usage: python bench/h2_hostile.py [--before PYTHON] [--limit SECONDS] [--timeout SECONDS]

Each request runs in a process of its own against servers.h2hostile (in
this process), with a read timeout of ``--timeout`` (5 s): the wall time,
the CPU time and the growth of the peak resident memory of the client's
process from just before the request to its end. A client still running
after ``--limit`` seconds (20) is measured there and killed.

Columns: the module's httpx client as installed with this interpreter
("after"); the same with ``--before PYTHON`` (another venv's interpreter,
say a build of an earlier commit; left out without it); plain
``httpx.Client(http2=True)``; and, for the bodies, plain httpx over
HTTP/1.1 with a Content-Length and chunked in pieces of the frames' size.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
_EXAMPLES = os.path.join(os.path.dirname(_HERE), "examples")

MB = 1_000_000
UPLOAD = 1_000_000

CASES = [
    # (row, method, path, expected body length or None)
    ("PING and SETTINGS flood", "GET", "flood", None),
    ("empty DATA frames forever", "GET", "empty-data", None),
    ("103 responses forever", "GET", "informational", None),
    ("upload, window never opened, PING every 1 s", "POST", "stall-upload", None),
    ("1 MB body in 1-byte DATA frames", "GET", "frames/1/1000000", MB),
    ("1 MB body in 16-byte DATA frames", "GET", "frames/16/1000000", MB),
    ("1 MB body in 1 KiB DATA frames", "GET", "frames/1024/1000000", MB),
    ("1 MB body in 16 KiB DATA frames", "GET", "frames/16384/1000000", MB),
]

# The child: one request, then a JSON line with what it cost.
CHILD = r"""
import json, resource, ssl, sys, time
kind, method, url, ca, timeout = sys.argv[1:6]
timeout = float(timeout)
import httpx
if kind == "module":
    from pelun_online_sdk.client import Client
    client = Client.ClientSession(Client.TypeReq.HTTPX, {})
else:
    client = httpx.Client(http2=(kind == "plain-h2"), verify=ssl.create_default_context(cafile=ca))
content = b"u" * %(upload)d if method == "POST" else None
def usage():
    # VmHWM rather than ru_maxrss, which Linux carries over from the process
    # that forked this one.
    self = resource.getrusage(resource.RUSAGE_SELF)
    with open("/proc/self/status") as fh:
        peak = [int(line.split()[1]) * 1024 for line in fh if line.startswith("VmHWM:")][0]
    return self.ru_utime + self.ru_stime, peak
cpu0, peak0 = usage()
print(json.dumps({"cpu": cpu0, "peak": peak0}), flush=True)
started = time.monotonic()
try:
    with client:
        response = client.request(method, url, content=content, timeout=timeout)
        outcome = "%%d bytes, %%s" %% (len(response.content), response.http_version)
        body = response.content
except Exception as exc:
    outcome = "%%s: %%s" %% (type(exc).__name__, str(exc)[:150])
    body = None
wall = time.monotonic() - started
cpu1, peak1 = usage()
intact = body is not None and body == bytes(i %% 256 for i in range(len(body)))
print(json.dumps({"outcome": outcome, "intact": intact, "wall": wall, "cpu": cpu1 - cpu0,
                  "grew": peak1 - peak0}), flush=True)
""" % {"upload": UPLOAD}


def _proc_usage(pid: int) -> tuple[float, int]:
    with open(f"/proc/{pid}/stat") as fh:
        fields = fh.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    cpu = (int(fields[11]) + int(fields[12])) / ticks
    peak = 0
    with open(f"/proc/{pid}/status") as fh:
        for line in fh:
            if line.startswith("VmHWM:"):
                peak = int(line.split()[1]) * 1024
    return cpu, peak


def measure(python: str, kind: str, method: str, url: str, ca: str, timeout: float, limit: float) -> dict:
    env = dict(os.environ, SSL_CERT_FILE=ca)
    child = subprocess.Popen([python, "-I", "-c", CHILD, kind, method, url, ca, str(timeout)],
                             stdout=subprocess.PIPE, text=True, env=env)
    try:
        baseline = json.loads(child.stdout.readline())
        started = time.monotonic()
        try:
            out, _ = child.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            cpu, peak = _proc_usage(child.pid)
            child.kill()
            child.communicate()
            return {"outcome": f"still running at {limit:g} s", "intact": False,
                    "wall": time.monotonic() - started, "cpu": cpu - baseline["cpu"],
                    "grew": peak - baseline["peak"]}
        return json.loads(out.strip().splitlines()[-1])
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()


def cell(result: dict | None) -> str:
    if result is None:
        return ""
    outcome = result["outcome"]
    if result.get("intact"):
        outcome += ", intact"
    return f"{outcome}; {result['wall']:.2f} s, CPU {result['cpu']:.2f} s, +{result['grew'] / MB:.0f} MB"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--before", help="an interpreter whose installed module is the 'before' column")
    parser.add_argument("--limit", type=float, default=20.0)
    parser.add_argument("--timeout", type=float, default=5.0)
    args = parser.parse_args()

    sys.path.insert(0, _EXAMPLES)
    from servers.certs import TlsCA
    from servers.h2hostile import H2Hostile

    ca = TlsCA(tempfile.mkdtemp(prefix="h2-hostile-"))
    server = H2Hostile(ca, give_up_after=args.limit + 30).start()
    columns = [("after (module)", sys.executable, "module")]
    if args.before:
        columns.insert(0, ("before (module)", args.before, "module"))
    columns += [("plain httpx, HTTP/2", sys.executable, "plain-h2"),
                ("plain httpx, HTTP/1.1", sys.executable, "plain-h1"),
                ("plain httpx, HTTP/1.1 chunked", sys.executable, "plain-h1-chunked")]
    print(f"read timeout {args.timeout:g} s; each run stopped at {args.limit:g} s\n")
    print("| case | " + " | ".join(name for name, _, _ in columns) + " |")
    print("|---" * (len(columns) + 1) + "|")
    try:
        for row, method, path, _ in CASES:
            cells = []
            for _, python, kind in columns:
                if kind.startswith("plain-h1") and not path.startswith("frames/"):
                    cells.append("")
                    continue
                url_path = path
                if kind == "plain-h1-chunked":
                    url_path = path.replace("frames/", "chunks/")
                    kind = "plain-h1"
                result = measure(python, kind, method, server.url + url_path, ca.ca_path, args.timeout, args.limit)
                cells.append(cell(result))
            print(f"| {row} | " + " | ".join(cells) + " |", flush=True)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
