"""Every public callable of pelun_online_sdk.client made to fail at each of
its allocations in turn.

For a callable, attempt n lets n allocations through and then refuses every
one (`_testcapi.set_nomemory(n, n + REFUSED)`, see REFUSED), for n = 0, 1,
2, ... until the call succeeds. Each attempt runs in a child forked from a
process that has loaded the module and its libraries but never called the
module, so that in the cold rows every attempt is the first call of the
module in its process; a warm attempt calls once, with memory, first. The
libraries are used once in that process beforehand (a session of each, a
body of each), so that what they load or cache on first use is in place and
a refused allocation lands in the call rather than in a lazy import. The
module's load is swept too, through its create and exec slots.

What an attempt may end in:
- MemoryError, from wherever it was raised;
- another exception raised by a library's code (what that code makes of a
  MemoryError): listed, not judged;
- a crash or a hang in code the interpreter ran for Python code (a library's
  or the interpreter's own, under the module or not): listed, not judged.
Every other ending is a problem: an exception other than MemoryError raised
by the module (or with no traceback to tell), any SystemError or the text of
a C++ failure anywhere in the exception's chain, a crash or hang in the
module's code, a success with a wrong result, and a callable that does not
work again once memory is back (checked after each refused attempt).

Run as a script (`python -I tests/allocation_sweep.py [--all] [--sample]
[NAME...]`) it prints a table: callable x cold/warm, the attempts, what they
ended in and any problem. Without --all it sweeps the rows that reach every
public function once, cold and warm; --all adds the other members, argument
shapes and routes. --sample tries a growing sample of n instead of every n
(see sampled_limits), except in the warm rows marked dense, whose calls
are mostly the module's own work (its dicts, tuples, classes and
functions): a few hundred attempts in all instead of many thousands. With --json it prints one JSON object per row instead, which
test_allocation_failures.py reads.
"""
import asyncio
import collections
import faulthandler
import gc
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

THIS_FILE = os.path.abspath(__file__)
# The virtual source file the module's traceback entries name.
MODULE_FILE = "pelun_online_sdk\\client.py"
# How the module's code shows in a native stack: its compiled file, or the
# sources of this checkout where it was built with debugging information.
MODULE_LIBRARY = os.sep + os.path.join("pelun_online_sdk", "client.")
MODULE_SOURCES = os.path.join(os.path.dirname(os.path.dirname(THIS_FILE)), "src") + os.sep
# What a failed C++ allocation became before the module made its objects
# itself, and what an error without an exception set becomes.
FOREIGN_MESSAGES = ("Could not allocate", "error return without exception set", "C++ exception")
MAX_ATTEMPTS = 20000
# --sample: each limit this much above the last (and at least one more).
SAMPLE_GROWTH = 1.6
# After the n allocations let through, this many are refused, in a row: far
# more than the unwinding of any call makes, so that every allocation of an
# error path is refused too, as with no limit. With no limit at all, the
# interpreter (3.11 on) can spin forever: an exception unwinding into a
# handler that needs a new int for its instruction offset, when no int can
# be made, looks for the handler again, and again.
REFUSED = 200_000
# Seconds a refused call may run before it counts as hung (see
# hang_verdict); on a loaded machine the slowest take a second or two.
HANG_SECONDS = 30
# Seconds gdb may take to attach and run a crashed attempt again.
DEBUGGER_SECONDS = 120


class Case:
    """A callable of the module. `make()` returns (callable, args, kwargs),
    made with memory; the refused call is callable(*args, **kwargs), and
    `check(result)` says whether a result is what such a call gives.
    `covers`: the qualified name of the module's function called (by
    default the name up to its first parenthesis). `loop`: the call must run
    inside an event loop. `every`: the row belongs to every sweep, not only
    to --all. `dense`: --sample still tries every n of its warm row."""

    def __init__(self, name, make, check, *, covers=None, loop=False, warm=True, every=False, dense=False):
        self.name, self.make, self.check = name, make, check
        self.covers = covers or name.partition("(")[0]
        self.loop, self.warm, self.every, self.dense = loop, warm, every, dense

    def call(self, prepared):
        function, args, kwargs = prepared
        return function(*args, **kwargs)


def fields():
    """A field of each kind a body converts: a number, a container, text."""
    return {"a": 1, "tags": ["x", "y"], "text": "t"}


def cases():
    import ssl

    import aiohttp
    import httpx
    import requests
    import requests_toolbelt

    from pelun_online_sdk import client
    from pelun_online_sdk.proxy import Proxy

    Client = client.Client
    sessions = {"REQUESTS": requests.Session, "HTTPX": httpx.Client, "AIOHTTP": aiohttp.ClientSession}
    encoder, writer = requests_toolbelt.MultipartEncoder, aiohttp.MultipartWriter
    bodies = {"REQUESTS": encoder, "HTTPX": encoder, "AIOHTTP": writer}

    def is_body(kind):
        def check(result):
            return (isinstance(result.data, kind) and list(result.headers) == ["Content-Type"]
                    and result.headers["Content-Type"].startswith("multipart/form-data; boundary="))
        return check

    def is_a(kind):
        return lambda result: isinstance(result, kind)

    def proxy():
        return Proxy("127.0.0.1", 1080)

    def boundary_init(backend):
        body = backend.create_boundary({})
        return type(body), (), {"headers": {"Content-Type": "x"}, "data": body.data}

    made = []
    for member in Client.TypeReq:
        name, session, body = member.name, sessions[member.name], bodies[member.name]
        made += [
            Case(f"Client.ClientSession({name})", lambda m=member: (Client.ClientSession, (m,), {}),
                 is_a(session), loop=name == "AIOHTTP"),
            Case(f"Client.ClientSession({name}, headers, proxy)",
                 lambda m=member: (Client.ClientSession, (m, {"X-Token": "abc", "Accept": "*/*"}, proxy()), {}),
                 is_a(session), loop=name == "AIOHTTP", every=name == "REQUESTS"),
            Case(f"Client.create_boundary({name}, data)",
                 lambda m=member: (Client.create_boundary, (m, fields()), {}), is_body(body)),
            Case(f"Client.create_boundary({name}, data, prefix, MD5)",
                 lambda m=member: (Client.create_boundary, (m, fields()), {"prefix": "upload", "MD5": True}),
                 is_body(body), every=name == "AIOHTTP"),
        ]
    made += [
        Case("Client.ClientSession(1)", lambda: (Client.ClientSession, (1,), {}), lambda r: r is None, every=True),
        Case("Client.create_boundary('REQUESTS', data)",
             lambda: (Client.create_boundary, ("REQUESTS", fields()), {}), lambda r: r is None, every=True),
    ]
    for backend, body in (("_requests", encoder), ("_aiohttp", writer)):
        cls = getattr(client, backend)
        made += [
            Case(f"{backend}.create_urlencode(data)", lambda c=cls: (c.create_urlencode, (fields(),), {}),
                 lambda r: r == "a=1&tags=%5B%27x%27%2C+%27y%27%5D&text=t", every=True, dense=backend == "_requests"),
            Case(f"{backend}.create_boundary(data)", lambda c=cls: (c.create_boundary, (fields(),), {}),
                 is_body(body)),
            Case(f"{backend}.create_boundary(data, boundary=...)",
                 lambda c=cls: (c.create_boundary, (fields(),), {"boundary": "fixed-boundary"}),
                 is_body(body), every=True, dense=backend == "_requests"),
            Case(f"{backend}.create_boundary(...).__class__(headers, data)", lambda c=cls: boundary_init(c),
                 lambda r: r.headers == {"Content-Type": "x"},
                 covers=f"{backend}.create_boundary.<locals>.Boundary.__init__", every=True, dense=True),
        ]
    for backend, name in (("_requests", "REQUESTS"), ("_httpx", "HTTPX"), ("_aiohttp", "AIOHTTP")):
        cls = getattr(client, backend)
        made += [
            Case(f"{backend}.ClientSession(headers, proxy)",
                 lambda c=cls: (c.ClientSession, ({"X-Token": "abc"}, proxy()), {}),
                 is_a(sessions[name]), loop=name == "AIOHTTP", every=True, dense=name != "HTTPX"),
        ]

    def autodetect():
        with client._httpx.ClientSession() as session:
            return session._default_encoding, (b"plain ascii text",), {}

    def bare_adapter():
        # Made without __init__, which would call init_poolmanager already.
        return client.RequestsAdapter.__new__(client.RequestsAdapter)

    made += [
        Case("_httpx.ClientSession().<autodetect>(content)", autodetect, lambda r: r == "ascii",
             covers="_httpx.ClientSession.<locals>.autodetect", every=True),
        Case("SSLContext.set_alpn_protocols(['h2'])",
             lambda: (client.SSLContext(ssl.PROTOCOL_TLS_CLIENT).set_alpn_protocols, (["h2"],), {}),
             lambda r: r is None, every=True),
        Case("RequestsAdapter()", lambda: (client.RequestsAdapter, (), {}), is_a(client.RequestsAdapter),
             covers="RequestsAdapter.__init__", every=True),
        Case("RequestsAdapter(pool_maxsize=4, max_retries=2)",
             lambda: (client.RequestsAdapter, (), {"pool_maxsize": 4, "max_retries": 2}),
             lambda r: r.poolmanager.connection_pool_kw["maxsize"] == 4, covers="RequestsAdapter.__init__"),
        Case("RequestsAdapter.init_poolmanager(10, 4, block=False)",
             lambda: (bare_adapter().init_poolmanager, (10, 4), {"block": False}), lambda r: r is None, every=True,
             dense=True),
    ]
    return made


def import_case():
    """The module's load: its create and exec slots, called as the import
    system calls them for an extension module (the import system's own
    Python code, its finders and module locks, is left out: it is not the
    module's, and where it swallows a MemoryError it can loop). After a
    refused load the next one makes the module afresh."""
    import _imp
    import importlib.util

    def make():
        sys.modules.pop("pelun_online_sdk.client", None)
        package = sys.modules["pelun_online_sdk"]
        if hasattr(package, "client"):
            delattr(package, "client")
        return load, (importlib.util.find_spec("pelun_online_sdk.client"),), {}

    def load(spec):
        module = _imp.create_dynamic(spec)
        _imp.exec_dynamic(module)
        return module

    return Case("import pelun_online_sdk.client", make,
                lambda r: hasattr(r, "Client") and sys.modules["pelun_online_sdk.client"] is r,
                covers="import", warm=False, every=True)


# --- the libraries, used once ---------------------------------------------------------

def use_libraries():
    """What the libraries load or cache the first time they are used, loaded
    now, before any allocation is refused (see the module's docstring)."""
    import hashlib  # noqa: F401
    import inspect  # noqa: F401
    import json as json_module
    import secrets
    import ssl
    import string  # noqa: F401
    import urllib.parse

    import aiohttp
    import aiohttp_proxy
    import chardet
    import httpx
    import requests
    import requests_toolbelt
    import urllib3
    from Cryptodome.Hash import MD5

    import pelun_online_sdk._aiohttp_proxy  # noqa: F401
    import pelun_online_sdk._headers  # noqa: F401
    import pelun_online_sdk._httpx_proxy as httpx_proxy
    import pelun_online_sdk._requests_adapter  # noqa: F401
    import pelun_online_sdk.proxy  # noqa: F401
    import pelun_online_sdk.utils  # noqa: F401

    json_module.dumps({"a": [1]})
    urllib.parse.urlencode({"a": 1})
    secrets.choice("ab")
    MD5.new(b"x").hexdigest()
    chardet.detect(b"plain ascii text")
    requests_toolbelt.MultipartEncoder(fields={"a": "1"}, boundary="b").to_string()
    with requests.Session() as session:
        session.mount("https://", requests.adapters.HTTPAdapter(max_retries=urllib3.Retry(total=1)))
    urllib3.PoolManager(num_pools=1, ssl_context=ssl.create_default_context())
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.set_ciphers("ECDHE-RSA-AES128-GCM-SHA256")
    transport = httpx.HTTPTransport(http2=True, retries=1)
    with httpx.Client(http2=True, transport=transport, mounts={
            "all://": httpx_proxy.ProxyTransport(http2=True, retries=1.0, proxy="http://127.0.0.1:1")}):
        pass

    async def aiohttp_session():
        async with aiohttp.ClientSession(headers={"a": "b"}):
            pass
        connector = aiohttp_proxy.ProxyConnector.from_url("http://127.0.0.1:1")
        async with aiohttp.ClientSession(connector=connector):
            pass
        with aiohttp.MultipartWriter("form-data", boundary="b") as writer:
            writer.append("x").set_content_disposition("form-data", name="a")

    asyncio.run(aiohttp_session())


def small_ca_bundle(folder):
    """httpx loads the CA bundle named by SSL_CERT_FILE (certifi's, of some
    150 certificates, otherwise) into a new TLS context for every client and
    every transport: a tenth of a second each, in every attempt. The sweep
    gives it a bundle of one certificate."""
    import trustme

    path = os.path.join(folder, "ca.pem")
    trustme.CA().cert_pem.write_to_path(path)
    return path


# --- one attempt, in a forked child -----------------------------------------------------

def origin(exception):
    """Where an exception was raised, from its innermost traceback entry:
    "module", "sweep" (this file, whose frames call the module), "library"
    or, when no entry could be made (a refused allocation), "unknown"."""
    tb, last = exception.__traceback__, None
    while tb is not None:
        last, tb = tb, tb.tb_next
    if last is None:
        return "unknown"
    filename = last.tb_frame.f_code.co_filename
    if filename == MODULE_FILE:
        return "module"
    return "sweep" if os.path.abspath(filename) == THIS_FILE else "library"


def chain_of(exception):
    seen = []
    while exception is not None and all(exception is not e for e in seen):
        seen.append(exception)
        exception = exception.__cause__ or exception.__context__
    return seen


def judge(exception):
    """(what the table lists, problems) for the exception of a refused call."""
    problems = []
    for link in chain_of(exception):
        text = str(link)
        if isinstance(link, SystemError) or any(m in text for m in FOREIGN_MESSAGES):
            problems.append(f"{type(link).__name__}: {text} (raised in the {origin(link)})")
    if isinstance(exception, MemoryError):
        return "MemoryError", problems
    where = origin(exception)
    if where != "library":
        problems.append(f"{type(exception).__name__} raised in the {where}: {exception!r}")
    return f"{type(exception).__name__} (raised in the {where})", problems


def call_refused(case, prepared, n, watch):
    """The call with n allocations let through; (result, exception). A call
    still running after HANG_SECONDS writes its Python stack to `watch` and
    ends the process (see hang_verdict)."""
    import _testcapi

    nomemory, remove = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
    result = error = None
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True, file=watch)
    try:
        nomemory(n, n + REFUSED)
        try:
            result = case.call(prepared)
        finally:
            remove()
            faulthandler.cancel_dump_traceback_later()
    except BaseException as exc:  # noqa: B036 -- judged below, whatever it is
        error = exc
    return result, error


def attempt(case, n, warm, watch):
    """One attempt: {"ok": the refused call succeeded, "label", "problems"}."""
    loop = asyncio.new_event_loop() if case.loop else None

    def run(action):
        if loop is None:
            return action()

        async def inside():
            return action()

        return loop.run_until_complete(inside())

    report = {"ok": False, "label": None, "problems": []}
    if warm:
        run(lambda: case.call(case.make()))
    prepared = case.make()
    result, error = run(lambda: call_refused(case, prepared, n, watch))
    if error is None:
        report["ok"] = True
        if not case.check(result):
            report["problems"].append(f"success with a wrong result: {result!r}")
        return report
    report["label"], report["problems"] = judge(error)
    del error
    # With memory again, the callable works as before.
    try:
        again = run(lambda: case.call(case.make()))
        if not case.check(again):
            report["problems"].append(f"afterwards, a wrong result: {again!r}")
    except BaseException as exc:  # noqa: B036
        report["problems"].append(f"afterwards, {type(exc).__name__}: {exc}")
    return report


def read_until_closed(pipe, deadline):
    """Everything written to `pipe` until it closes, or None at the deadline."""
    data = b""
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return None
        ready, _, _ = select.select([pipe], [], [], remaining)
        if ready:
            chunk = os.read(pipe, 65536)
            if not chunk:
                return data
            data += chunk


class Child:
    """One attempt in a forked child, which starts once go() is called, and
    writes its report to a pipe. Its stderr goes nowhere (libraries warn
    about what a refused call left half made); the interpreter's fatal-error
    and hang reports go to `watch`. Children of one attempt make the same
    allocations, under gdb or not."""

    def __init__(self, case, n, warm, watch):
        sys.stdout.flush()
        sys.stderr.flush()
        watch.seek(0)
        watch.truncate()
        # Whatever the parent did since the last child, each starts from the
        # same state: a full collection empties the interpreter's free
        # lists, whose contents decide which allocations reach the
        # allocator (and so which one is the n-th).
        gc.collect()
        go_read, self._go = os.pipe()
        self._reports, report_write = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            os.close(self._reports)
            os.close(self._go)
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 2)
            faulthandler.enable(file=watch)
            status = 0
            try:
                os.read(go_read, 1)
                report = attempt(case, n, warm, watch)
            except BaseException as exc:  # noqa: B036
                report = {"ok": False, "label": None, "problems": [f"the attempt failed: {exc!r}"]}
            try:
                os.write(report_write, json.dumps(report).encode())
            except BaseException:  # noqa: B036
                status = 3
            os._exit(status)
        os.close(go_read)
        os.close(report_write)

    def go(self):
        os.write(self._go, b"g")
        os.close(self._go)

    def finish(self, deadline):
        """(report bytes or None when the deadline passed, wait status)."""
        data = read_until_closed(self._reports, deadline)
        os.close(self._reports)
        if data is None:
            os.kill(self.pid, signal.SIGKILL)
        return data, os.waitpid(self.pid, 0)[1]


class Sweeper:
    """Runs the attempts of the rows, with a file for the children's stack
    reports and the verdicts on crashes already run under gdb."""

    def __init__(self, watch):
        self.watch = watch
        self.verdicts = {}  # (signal, Python stack) -> a crash's report

    def attempt(self, case, n, warm):
        child = Child(case, n, warm, self.watch)
        child.go()
        data, status = child.finish(time.monotonic() + HANG_SECONDS * 4)
        self.watch.seek(0)
        stack = self.watch.read().decode(errors="replace")
        if data is None:
            return {"ok": False, "label": "hang", "problems": [f"attempt {n} hung, and its watchdog did not fire"]}
        if os.WIFSIGNALED(status):
            return self.crash_verdict(case, n, warm, signal.Signals(os.WTERMSIG(status)).name, stack)
        if "Timeout" in stack:
            return hang_verdict(n, stack)
        if os.WEXITSTATUS(status) != 0 or not data:
            return {"ok": False, "label": "no report", "problems": [f"attempt {n}: exit status {os.WEXITSTATUS(status)}"]}
        return json.loads(data)

    def crash_verdict(self, case, n, warm, name, stack):
        """A crashed attempt. Its native stack, from the attempt run again
        under gdb (forked from the same process, so it makes the same
        allocations), says whose code crashed: the module's when, walking
        out from the crash, a frame of the module comes before the
        interpreter's evaluation loop; code that the loop ran for Python
        code (a library's, the interpreter's own) otherwise. Crashes with
        the same Python stack share the first one's verdict."""
        key = (name, tuple(re.findall(r'File "(.*)", line (\d+) in (\S+)', stack)))
        if key not in self.verdicts:
            frames = native_stack(case, n, warm, self.watch)
            if frames is None:
                verdict = {"label": f"crash ({name})",
                           "problems": [f"attempt {n} crashed ({name}); no gdb here to tell in whose code"]}
            else:
                owner, frame = owner_of(frames)
                if owner == "interpreter":
                    verdict = {"label": f"crash ({name}) in {frame}, run by the interpreter", "problems": []}
                else:
                    where = " <- ".join(map(short, frames[:8])) or "not reproduced under gdb"
                    verdict = {"label": f"crash ({name})", "problems": [f"attempt {n} crashed ({name}): {where}"]}
            self.verdicts[key] = verdict
        return {"ok": False, **self.verdicts[key]}

    def sweep(self, case, warm, limits):
        """The row of one callable, cold or warm, over the limits n given."""
        seen = collections.Counter()
        problems = []
        row = {"case": case.name, "covers": case.covers, "phase": "warm" if warm else "cold", "succeeded_at": None,
               "attempts": 0}
        for n in limits:
            row["attempts"] += 1
            report = self.attempt(case, n, warm)
            if report["label"]:
                seen[report["label"]] += 1
            problems += [f"n={n}: {problem}" for problem in report["problems"]]
            if report["ok"]:
                row["succeeded_at"] = n
                break
            if len(problems) > 20:
                break
        else:
            problems.append(f"no success within {MAX_ATTEMPTS} attempts")
        return {**row, "seen": dict(seen), "problems": problems}


def every_limit():
    return range(MAX_ATTEMPTS)


def sampled_limits():
    """0, 1, 2, 3, 4, 6, 9, 14, 22, ...: every early allocation (argument
    binding, the first objects a body makes), then ever sparser, so that a
    call of a thousand allocations takes some fifteen attempts. Bounded like
    every_limit."""
    n = 0
    while n < MAX_ATTEMPTS:
        yield n
        n = max(n + 1, int(n * SAMPLE_GROWTH))


def hang_verdict(n, stack):
    """An attempt whose call was still running after HANG_SECONDS. The
    module's code never waits and loops only over what it was given; the
    innermost Python frame tells whose code spun: the module has none of its
    own, so its code runs directly under this file's frames."""
    frames = re.findall(r'File "(.*)", line (\d+) in (\S+)', stack)
    if not frames:
        return {"ok": False, "label": "hang", "problems": [f"attempt {n} hung: {stack[-500:]}"]}
    filename, line, function = frames[0]
    if os.path.abspath(filename) == THIS_FILE:
        return {"ok": False, "label": "hang", "problems": [f"attempt {n} hung in the module's code"]}
    where = f"{function} ({os.path.basename(filename)}:{line})"
    return {"ok": False, "label": f"hang in {where}, run by the interpreter", "problems": []}


# --- crashes: whose code? ----------------------------------------------------------------

FRAME = re.compile(r"^#\d+\s+(?:0x[0-9a-f]+ in )?(.*)$")
# Frames of the C library between a crash and its cause (abort and raise).
LIBC_FRAMES = ("__pthread_kill", "pthread_kill", "raise", "abort", "__GI_", "__libc_", "__assert")


def owner_of(frames):
    """("module" | "interpreter" | "unknown", the frame where it crashed)."""
    cause = next((f for f in frames if not f.startswith(LIBC_FRAMES)), frames[0] if frames else "")
    for frame in frames:
        if MODULE_LIBRARY in frame or MODULE_SOURCES in frame:
            return "module", short(cause)
        if frame.startswith("_PyEval_EvalFrameDefault "):
            return "interpreter", short(cause)
    return "unknown", short(cause)


def short(frame):
    """A frame without its arguments: the function and where it is."""
    return re.sub(r" (at|from) \S*/", r" \1 ", re.sub(r" \(.*\) (at|from) ", r" \1 ", frame))


def native_stack(case, n, warm, watch):
    """The crashing thread's frames, innermost first, of the attempt run
    again under gdb; None without gdb."""
    gdb = shutil.which("gdb")
    if gdb is None:
        return None
    child = Child(case, n, warm, watch)
    debugger = subprocess.Popen(
        [gdb, "-q", "-batch", "-nx", "-p", str(child.pid), "-ex", "handle SIGPIPE nostop noprint pass",
         "-ex", "continue", "-ex", "bt 40", "-ex", "kill"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    # The child waits for its go until gdb holds it.
    deadline = time.monotonic() + DEBUGGER_SECONDS
    while tracer_of(child.pid) == 0 and debugger.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    child.go()
    try:
        output, _ = debugger.communicate(timeout=DEBUGGER_SECONDS)
    except subprocess.TimeoutExpired:
        debugger.kill()
        output, _ = debugger.communicate()
    try:
        os.kill(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    child.finish(time.monotonic() + 5)
    return [match[1] for match in map(FRAME.match, output.splitlines()) if match]


def tracer_of(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("TracerPid:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


# --- the rows -------------------------------------------------------------------------------

def unavailable():
    """Why this interpreter cannot run the sweep, or None."""
    if not hasattr(os, "fork"):
        return "no os.fork here"
    try:
        import _testcapi
    except ImportError:
        return "this CPython has no _testcapi"
    if not hasattr(_testcapi, "set_nomemory"):
        return "this _testcapi cannot make allocations fail (no set_nomemory)"
    # AddressSanitizer turns a crash into its own abort, which gdb does not
    # show as the crash: the interpreter's known crashes under a refused
    # allocation could no longer be told from the module's.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return "under AddressSanitizer whose code crashed cannot be told"
    return None


def freeze():
    """Everything made so far left out of the children's collections, which
    would otherwise write to (and so copy) every page of it in every child."""
    gc.collect()
    gc.freeze()


def rows(every_row, selected, sample=False):
    """The rows, the load first (before the module is loaded here); with
    `sample`, a sample of n in all but the dense warm rows."""
    def wanted(case):
        return (every_row or case.every) and (not selected or any(s in case.name for s in selected))

    use_libraries()
    with tempfile.TemporaryFile() as watch:
        sweeper = Sweeper(watch)
        load = import_case()
        if wanted(load):
            freeze()
            yield sweeper.sweep(load, False, sampled_limits() if sample else every_limit())
        import pelun_online_sdk.client  # noqa: F401 -- loaded, never called: the cold state
        freeze()
        for case in cases():
            if wanted(case):
                yield sweeper.sweep(case, False, sampled_limits() if sample else every_limit())
                if case.warm:
                    dense = case.dense or not sample
                    yield sweeper.sweep(case, True, every_limit() if dense else sampled_limits())


def table_line(row):
    seen = ", ".join(f"{label} x{count}" for label, count in sorted(row["seen"].items())) or "-"
    n, refused = row["succeeded_at"], row["attempts"] - (row["succeeded_at"] is not None)
    attempts = f"{refused} refused, ok at n={n}" if n is not None else f"{refused} refused, never ok"
    problems = "; ".join(row["problems"]) or "none"
    return f"| {row['case']} | {row['phase']} | {attempts} | {seen} | {problems} |"


def main(argv):
    as_json, every_row = "--json" in argv, "--all" in argv
    sample = "--sample" in argv
    selected = [a for a in argv if not a.startswith("--")]
    reason = unavailable()
    if reason:
        print(json.dumps({"skip": reason}) if as_json else f"skipped: {reason}")
        return 0
    if not as_json:
        print(f"CPython {sys.version.split()[0]}, {'every row' if every_row else 'the rows of every sweep'}, "
              f"{'a sample of n' if sample else 'every n'}")
        print("| callable | state | attempts | what the refused attempts ended in | problems |")
        print("|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        os.environ["SSL_CERT_FILE"] = small_ca_bundle(folder)
        for row in rows(every_row, selected, sample):
            print(json.dumps(row) if as_json else table_line(row), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
