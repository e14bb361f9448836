"""Time each operation of pelun_online_sdk.client against its plain-Python twin.

Usage: python bench/run.py [--quick]

The twins in bench/twins.py run twice: as plain Python, and compiled by
Cython 3 (module twins_cython, built by bench/build_peer.py into
build/bench-cython, or the folder named by $BENCH_PEER_DIR). Without that
build the Cython column is left out.

Before anything is timed, the twins are checked to give the
same results as the native operations (headers, boundary shapes, bodies,
normalised dicts, session settings); a mismatch stops the run, since the
ratios would then compare different work.

Each operation is timed in one process, native and twin alternating round by
round (the side that goes first alternates too, so drift in clock speed
falls on both), and the best round of each side is kept. The table gives
microseconds per call (best round), the ratio python/native (above 1 the
native module is faster) and the noise, how far the median round of the
noisier side lies above its best: a ratio closer to 1 than that is within
the noise. Rows where native is slower are flagged SLOWER; that is
reported, not failed, so the exit status is 0 unless a twin gives a
different result.
"""

import asyncio
import gc
import os
import re
import sys
import time
import timeit
import warnings

# Run as a script (also under -I, which leaves the script's folder off
# sys.path), the twins sit next to this file.
_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import scaling  # noqa: E402
import twins  # noqa: E402
from pelun_online_sdk import client as native  # noqa: E402
from pelun_online_sdk.proxy import Proxy  # noqa: E402

PEER_DIR = os.environ.get("BENCH_PEER_DIR") or os.path.join(os.path.dirname(_HERE), "build", "bench-cython")


def load_cython_twins():
    """twins.py compiled by Cython, or None where it has not been built."""
    if not os.path.isdir(PEER_DIR):
        return None
    if PEER_DIR not in sys.path:
        sys.path.insert(0, PEER_DIR)
    try:
        import twins_cython
    except ImportError:
        return None
    return twins_cython


cython_twins = load_cython_twins()
SIDES = (("native", native), ("python", twins)) + ((("cython", cython_twins),) if cython_twins else ())
TWINS = SIDES[1:]

# Fields of every kind the body builders convert: text, numbers, a bool,
# a list and a dict (the last two go through json.dumps).
FIELDS = {"name": "pelun", "count": 5, "ratio": 1.5, "flag": True, "tags": ["a", "b"], "meta": {"k": 1}}
FORM = {"q": "search term", "page": 2, "lang": "en", "sort": "date desc", "token": "a&b=c"}
EXTRA_HEADERS = {"X-Token": "abc", "Accept": "application/json", "X-A": "1", "x-a": "2", "User-Agent": ""}
PROXY = Proxy("127.0.0.1", 3128)
HEX32 = re.compile(r"[0-9a-f]{32}")
ALPHABET = r"[A-Za-z0-9._\-]"


# --------------------------------------------------------------- equality


class Mismatch(AssertionError):
    pass


def same(label, native_value, twin_value):
    if native_value != twin_value:
        raise Mismatch(f"{label}: native {native_value!r} != twin {twin_value!r}")


def shape(label, pattern, value):
    if not re.fullmatch(pattern, value):
        raise Mismatch(f"{label}: {value!r} does not match {pattern}")


def boundary_of(result):
    return result.headers["Content-Type"].rpartition("boundary=")[2]


class _Sink:
    """Collects what an aiohttp payload writes, to compare bodies byte for byte."""

    def __init__(self):
        self.body = bytearray()

    async def write(self, chunk):
        self.body += chunk


def writer_body(writer):
    async def serialise():
        sink = _Sink()
        await writer.write(sink)
        return bytes(sink.body)

    return asyncio.run(serialise())


def retry_settings(adapter):
    retry = adapter.max_retries
    return type(retry).__name__, retry.total, list(retry.status_forcelist), retry.backoff_factor


def pool_settings(adapter):
    pool_kw = dict(adapter.poolmanager.connection_pool_kw)
    context = pool_kw.pop("ssl_context")
    ciphers = [cipher["name"] for cipher in context.get_ciphers()]
    return (
        type(context).__name__,
        context.options,
        ciphers,
        pool_kw,
    )


def requests_session_settings(session):
    adapters = [session.adapters[scheme] for scheme in ("http://", "https://")]
    return (
        type(session).__name__,
        dict(session.headers),
        session.proxies,
        adapters[0] is adapters[1],
        type(adapters[0]).__name__,
        retry_settings(adapters[0]),
        pool_settings(adapters[0]),
    )


def httpx_client_settings(client):
    transport = client._transport
    return (
        type(client).__name__,
        dict(client.headers),
        type(transport).__name__,
        transport._pool._http2,
        transport._pool._retries,
        client._default_encoding.__name__,
        client._default_encoding(b"plain ascii text"),
    )


def aiohttp_session_settings(session):
    return type(session).__name__, list(session.headers.items()), type(session.connector).__name__


def errors_of(call):
    try:
        call()
    except TypeError as error:
        return str(error)
    return None


def check_twins():
    for side, module in TWINS:
        try:
            check_twin(side, module)
        except Mismatch as error:
            raise Mismatch(f"{side} twin: {error}") from None


def check_twin(side, T):
    N = native

    for backend in ("_requests", "_aiohttp"):
        same(f"{backend}.create_urlencode", getattr(N, backend).create_urlencode(FORM),
             getattr(T, backend).create_urlencode(FORM))

    # requests bodies: the normalised dict, headers and body bytes with a
    # fixed boundary; the generated boundary's shape otherwise.
    native_fields, twin_fields = dict(FIELDS), dict(FIELDS)
    a = N._requests.create_boundary(native_fields, boundary="fixed")
    b = T._requests.create_boundary(twin_fields, boundary="fixed")
    same("_requests.create_boundary fields", native_fields, twin_fields)
    same("_requests.create_boundary headers", a.headers, b.headers)
    same("_requests.create_boundary body", a.data.to_string(), b.data.to_string())
    same("_requests.create_boundary result", type(a).__name__, type(b).__name__)
    for label, args, pattern in (
        ("default", (), HEX32.pattern),
        ("prefix", ("pfx",), rf"pfx-{ALPHABET}{{51}}"),
        ("empty prefix", ("",), rf"-{ALPHABET}{{51}}"),
        ("prefix+MD5", ("pfx", 51, None, True), HEX32.pattern),
        ("MD5", (None, 51, None, True), HEX32.pattern),
        ("length 0", ("pfx", 0), r"pfx-"),
        ("empty boundary", (None, 10, ""), HEX32.pattern),
    ):
        for side, module in (("native", N), (side, T)):
            for backend in ("_requests", "_aiohttp"):
                result = getattr(module, backend).create_boundary(dict(FIELDS), *args)
                shape(f"{side} {backend}.create_boundary {label}", pattern, boundary_of(result))

    # aiohttp bodies: the caller's dict stays as given, the parts match.
    native_fields, twin_fields = dict(FIELDS), dict(FIELDS)
    a = N._aiohttp.create_boundary(native_fields, boundary="fixed")
    b = T._aiohttp.create_boundary(twin_fields, boundary="fixed")
    same("_aiohttp.create_boundary fields", native_fields, twin_fields)
    same("_aiohttp.create_boundary fields untouched", native_fields, FIELDS)
    same("_aiohttp.create_boundary headers", a.headers, b.headers)
    same("_aiohttp.create_boundary body", writer_body(a.data), writer_body(b.data))

    # The facade: each member picks the same builder; values select nothing.
    for member in ("REQUESTS", "HTTPX", "AIOHTTP"):
        a = N.Client.create_boundary(getattr(N.Client.TypeReq, member), dict(FIELDS), boundary="fixed")
        b = T.Client.create_boundary(getattr(T.Client.TypeReq, member), dict(FIELDS), boundary="fixed")
        same(f"Client.create_boundary {member}", (type(a).__qualname__, a.headers),
             (type(b).__qualname__, b.headers))
    same("Client.create_boundary(1, {})", N.Client.create_boundary(1, {}), T.Client.create_boundary(1, {}))
    same("Client.ClientSession(1)", N.Client.ClientSession(1), T.Client.ClientSession(1))
    same("TypeReq values", [m.value for m in N.Client.TypeReq], [m.value for m in T.Client.TypeReq])

    # The same argument tests, with the same wording.
    for label, call in (
        ("data=None", lambda M: M.Client.create_boundary(1, None)),
        ("length=True", lambda M: M.Client.create_boundary(1, {}, length=True)),
        ("prefix=bytes", lambda M: M._requests.create_boundary({}, b"x")),
        ("boundary=1", lambda M: M._aiohttp.create_boundary({}, None, 51, 1)),
        ("extra_headers=None", lambda M: M.Client.ClientSession(1, None)),
        ("urlencode list", lambda M: M._requests.create_urlencode([])),
    ):
        same(f"TypeError {label}", errors_of(lambda: call(N)), errors_of(lambda: call(T)))
    # Binding errors: the interpreter words them its own way for plain
    # Python functions; compiled ones must raise the same TypeError.
    for label, call in (
        ("missing argument", lambda M: M._requests.create_urlencode()),
        ("unexpected keyword", lambda M: M._requests.create_urlencode({}, bogus=1)),
        ("too many arguments", lambda M: M.Client.create_boundary(1, {}, None, 51, None, False, 0)),
    ):
        native_error, twin_error = errors_of(lambda: call(N)), errors_of(lambda: call(T))
        if side == "python":
            same(f"TypeError {label} raised", native_error is None, twin_error is None)
        else:
            same(f"TypeError {label}", native_error, twin_error)

    # Sessions.
    for args in ((), (EXTRA_HEADERS,), (EXTRA_HEADERS, PROXY)):
        a, b = N._requests.ClientSession(*args), T._requests.ClientSession(*args)
        same(f"_requests.ClientSession{args!r}", requests_session_settings(a), requests_session_settings(b))
        a.close()
        b.close()
        a, b = N._httpx.ClientSession(*args), T._httpx.ClientSession(*args)
        same(f"_httpx.ClientSession{args!r}", httpx_client_settings(a), httpx_client_settings(b))
        a.close()
        b.close()
    a, b = N.RequestsAdapter(), T.RequestsAdapter()
    same("RequestsAdapter()", (retry_settings(a), pool_settings(a)), (retry_settings(b), pool_settings(b)))
    for member, settings in (("REQUESTS", requests_session_settings), ("HTTPX", httpx_client_settings)):
        a = N.Client.ClientSession(getattr(N.Client.TypeReq, member), EXTRA_HEADERS)
        b = T.Client.ClientSession(getattr(T.Client.TypeReq, member), EXTRA_HEADERS)
        same(f"Client.ClientSession {member}", settings(a), settings(b))
        a.close()
        b.close()

    async def aiohttp_sessions():
        for args in ((), (EXTRA_HEADERS,), (EXTRA_HEADERS, PROXY)):
            a, b = N._aiohttp.ClientSession(*args), T._aiohttp.ClientSession(*args)
            same(f"_aiohttp.ClientSession{args!r}", aiohttp_session_settings(a), aiohttp_session_settings(b))
            await a.close()
            await b.close()
        a = N.Client.ClientSession(N.Client.TypeReq.AIOHTTP, EXTRA_HEADERS)
        b = T.Client.ClientSession(T.Client.TypeReq.AIOHTTP, EXTRA_HEADERS)
        same("Client.ClientSession AIOHTTP", aiohttp_session_settings(a), aiohttp_session_settings(b))
        await a.close()
        await b.close()

    asyncio.run(aiohttp_sessions())


# ----------------------------------------------------------------- timing


class Case:
    """One operation: a statement timed with each side's names bound.

    `own` marks the operations that are the module's own work (binding, its
    errors, dispatch, a traceback entry) with no library call below them.
    """

    def __init__(self, label, stmt, names, asynchronous=False, own=False):
        self.label = label
        self.stmt = stmt
        self.names = names  # module -> dict of names the statement uses
        self.asynchronous = asynchronous
        self.own = own

    def timer(self, module, loop):
        names = dict(self.names(module))
        if not self.asynchronous:
            return timeit.Timer(self.stmt, globals=names).timeit
        # timeit cannot await: the loop body is compiled into a coroutine
        # run on one event loop kept for the whole bench.
        source = (
            "async def _bench(_n, _clock):\n"
            "    _t0 = _clock()\n"
            "    for _ in range(_n):\n"
            f"        {self.stmt}\n"
            "    return _clock() - _t0\n"
        )
        exec(compile(source, f"<bench {self.label}>", "exec"), names)
        coroutine = names["_bench"]

        def measure(number):
            enabled = gc.isenabled()
            gc.disable()  # as timeit does
            try:
                return loop.run_until_complete(coroutine(number, time.perf_counter))
            finally:
                if enabled:
                    gc.enable()

        return measure


def member(module, name):
    return getattr(module.Client.TypeReq, name)


def refused(call):
    """A statement that makes a call expected to fail with TypeError."""
    return f"try:\n    {call}\nexcept TypeError:\n    pass"


def cases():
    C = lambda m: m.Client  # noqa: E731
    # The module's own work: binding, its errors, dispatch and the traceback
    # entry of a refused call, with no library below.
    yield Case("Client.create_boundary(7, {}) -> None", "f(7, {})",
               lambda m: {"f": C(m).create_boundary}, own=True)
    yield Case("missing argument: create_urlencode()", refused("f()"),
               lambda m: {"f": m._requests.create_urlencode}, own=True)
    yield Case("wrong type: create_urlencode([1])", refused("f([1])"),
               lambda m: {"f": m._requests.create_urlencode}, own=True)
    yield Case("unexpected keyword: create_urlencode(d, bogus=1)", refused("f(d, bogus=1)"),
               lambda m: {"f": m._requests.create_urlencode, "d": {}}, own=True)
    yield Case("bind Client.create_boundary(1, {})", "f(1, d)",
               lambda m: {"f": C(m).create_boundary, "d": {}}, own=True)
    yield Case("bind Client.create_boundary(all keywords)",
               "f(TypeReq=1, data=d, prefix=None, length=51, boundary=None, MD5=False)",
               lambda m: {"f": C(m).create_boundary, "d": {}}, own=True)
    yield Case("bind Client.ClientSession(1)", "f(1)", lambda m: {"f": C(m).ClientSession}, own=True)
    yield Case("bind Client.ClientSession(all keywords)", "f(TypeReq=1, extra_headers=h, proxy=None)",
               lambda m: {"f": C(m).ClientSession, "h": {}}, own=True)
    yield Case("_requests.create_urlencode", "f(d)", lambda m: {"f": m._requests.create_urlencode, "d": FORM})
    yield Case("_aiohttp.create_urlencode", "f(d)", lambda m: {"f": m._aiohttp.create_urlencode, "d": FORM})
    # dict(d): the requests builder writes its conversions back, so each call
    # gets a fresh copy to convert (both sides pay the copy).
    for backend in ("_requests", "_aiohttp"):
        yield Case(f"{backend}.create_boundary(fields)", "f(dict(d))",
                   lambda m, b=backend: {"f": getattr(m, b).create_boundary, "d": FIELDS})
        yield Case(f"{backend}.create_boundary(fields, 'pfx')", "f(dict(d), 'pfx')",
                   lambda m, b=backend: {"f": getattr(m, b).create_boundary, "d": FIELDS})
        yield Case(f"{backend}.create_boundary(fields, boundary=)", "f(dict(d), boundary='fixed')",
                   lambda m, b=backend: {"f": getattr(m, b).create_boundary, "d": FIELDS})
        yield Case(f"{backend}.create_boundary({{}}, length=0)", "f({}, length=0)",
                   lambda m, b=backend: {"f": getattr(m, b).create_boundary})
    for name, backend in (("REQUESTS", "_requests"), ("HTTPX", "_requests"), ("AIOHTTP", "_aiohttp")):
        yield Case(f"Client.create_boundary({name}, fields)", "f(t, dict(d))",
                   lambda m, n=name: {"f": C(m).create_boundary, "t": member(m, n), "d": FIELDS})
    yield Case("RequestsAdapter()", "f()", lambda m: {"f": m.RequestsAdapter})
    yield Case("_requests.ClientSession() + close", "f().close()",
               lambda m: {"f": m._requests.ClientSession})
    yield Case("_requests.ClientSession(headers, proxy) + close", "f(h, p).close()",
               lambda m: {"f": m._requests.ClientSession, "h": EXTRA_HEADERS, "p": PROXY})
    yield Case("_httpx.ClientSession() + close", "f().close()", lambda m: {"f": m._httpx.ClientSession})
    yield Case("_aiohttp.ClientSession() + close", "await f().close()",
               lambda m: {"f": m._aiohttp.ClientSession}, asynchronous=True)
    yield Case("_aiohttp.ClientSession(headers, proxy) + close", "await f(h, p).close()",
               lambda m: {"f": m._aiohttp.ClientSession, "h": EXTRA_HEADERS, "p": PROXY}, asynchronous=True)
    yield Case("Client.ClientSession(REQUESTS) + close", "f(t).close()",
               lambda m: {"f": C(m).ClientSession, "t": member(m, "REQUESTS")})
    yield Case("Client.ClientSession(HTTPX) + close", "f(t).close()",
               lambda m: {"f": C(m).ClientSession, "t": member(m, "HTTPX")})
    yield Case("Client.ClientSession(AIOHTTP) + close", "await f(t).close()",
               lambda m: {"f": C(m).ClientSession, "t": member(m, "AIOHTTP")}, asynchronous=True)


def calibrate(measure, target):
    """Calls per round so that one round of this side lasts about `target` seconds."""
    number = 1
    while True:
        elapsed = measure(number)
        if elapsed >= target / 5 or number >= 10_000_000:
            return max(1, int(number * target / max(elapsed, 1e-9)))
        number *= 10


def time_case(case, loop, rounds, target):
    measures = {side: case.timer(module, loop) for side, module in SIDES}
    for measure in measures.values():  # warm caches, imports and free lists
        measure(1)
    number = calibrate(measures["native"], target)
    per_call = {side: [] for side in measures}
    for round_ in range(rounds):
        order = list(measures) if round_ % 2 == 0 else list(reversed(list(measures)))
        for side in order:
            gc.collect()
            per_call[side].append(measures[side](number) / number)
    return {side: sorted(times) for side, times in per_call.items()}


def spread(times):
    """How far the median round lies above the best one: a gauge of noise."""
    return times[len(times) // 2] / times[0] - 1.0


def main(argv):
    quick = "--quick" in argv
    # Many short rounds rather than a few long ones: on a busy machine the
    # best round is the one least disturbed, and short rounds give more
    # chances of an undisturbed one.
    rounds, target = (3, 0.01) if quick else (15, 0.02)
    # Library deprecation notices (httpx 0.26 and 0.27 on `proxies`) are
    # the same on both sides; printing them would only slow the rounds.
    warnings.simplefilter("ignore")

    print(f"Python {sys.version.split()[0]}, {native.__file__}")
    try:
        check_twins()
    except Mismatch as error:
        print(f"twin mismatch, nothing timed: {error}", file=sys.stderr)
        return 1
    print("twins give the same results; timing (best of %d rounds, interleaved)\n" % rounds)

    compiled = cython_twins is not None
    if not compiled:
        print(f"(no Cython twins in {PEER_DIR}: `make bench` builds them)\n")
    header = f"{'operation':<48} {'native µs':>11} {'python µs':>11}"
    header += f" {'cython µs':>11}" if compiled else ""
    header += f" {'py/native':>9}" + (f" {'cy/native':>9}" if compiled else "") + f" {'noise':>6}"
    print(header)
    print("-" * len(header))
    loop = asyncio.new_event_loop()
    rows = []
    started = time.perf_counter()
    try:
        for case in cases():
            times = time_case(case, loop, rounds, target)
            native_s, python_s = times["native"][0], times["python"][0]
            ratio = python_s / native_s
            noise = max(spread(side_times) for side_times in times.values())
            rows.append((case.label, ratio))
            flag = "  SLOWER" if ratio < 1.0 else ""
            line = f"{case.label:<48} {native_s * 1e6:>11.3f} {python_s * 1e6:>11.3f}"
            if compiled:
                cython_s = times["cython"][0]
                line += f" {cython_s * 1e6:>11.3f} {ratio:>9.3f} {cython_s / native_s:>9.3f}"
            else:
                line += f" {ratio:>9.3f}"
            print(f"{line} {noise:>6.1%}{flag}", flush=True)
    finally:
        loop.close()
    slower = [label for label, ratio in rows if ratio < 1.0]
    label, ratio = min(rows, key=lambda row: row[1])
    print(f"\nmin ratio {ratio:.3f} ({label}); {len(slower)} of {len(rows)} operations SLOWER "
          f"than plain Python; {time.perf_counter() - started:.0f} s")
    return scaling.main(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
