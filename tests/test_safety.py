"""Callers that run code in the middle of a call: rebound globals, hostile
objects, deep recursion, re-imports and a second interpreter runtime."""
import gc
import hashlib
import importlib
import os
import subprocess
import sys
import sysconfig
import tempfile
import textwrap

import pytest

import pelun_online_sdk.client as client
from helpers import BLOCKS_COUNTED, assert_no_leak, run_python

@pytest.fixture
def rebind(monkeypatch):
    """Rebinds a module global of the client module for one test."""
    return lambda name, value: monkeypatch.setattr(client, name, value)


class Stop(Exception):
    """Raised by test doubles to end a call at a known point."""


# ------------------------------------------------- ownership during a call


def test_defaults_dropped_by_the_body_stay_alive_for_the_call(rebind):
    # The body reads `requests` before it merges the default extra_headers:
    # a rebound `requests` drops the function's defaults (and with them the
    # only reference to the default dict) and fills the freed memory.
    factory = client._requests.ClientSession
    saved = factory.__defaults__
    real = client.requests

    class Dropping:
        def __getattr__(self, name):
            factory.__defaults__ = None
            gc.collect()
            self.junk = [{"x-injected": str(i)} for i in range(200)]
            return getattr(real, name)

    factory.__defaults__ = ({}, None)  # a default dict that nothing else holds
    rebind("requests", Dropping())
    try:
        session = factory()
    finally:
        factory.__defaults__ = saved
    assert "x-injected" not in session.headers
    assert session.headers["user-agent"] == "Pelun-Online/" + client.VERSION_SDK


def test_random_part_never_exposes_a_half_filled_list(rebind):
    real = client.secrets

    class Walking:
        # Touches every slot of every live list, as a debugger or profiler might.
        @staticmethod
        def choice(chars):
            for obj in gc.get_objects():
                if type(obj) is list:
                    for item in obj:
                        id(item)
            return real.choice(chars)

    rebind("secrets", Walking())
    result = client._requests.create_boundary({}, "p", 3)
    assert len(result.headers["Content-Type"].rpartition("boundary=p-")[2]) == 3


def test_class_cell_is_filled_before_the_base_sees_the_new_class(rebind):
    made = []

    class EagerReport(client.Report):
        # A base that builds an instance of each subclass as it is created:
        # Boundary.__init__ then needs its __class__ cell already.
        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            made.append(cls(headers={"k": "v"}, data=None))

    rebind("Report", EagerReport)
    result = client._aiohttp.create_boundary({}, boundary="b")
    assert made[0].headers == {"k": "v"} and type(made[0]) is type(result)


def test_mro_entries_lookup_errors_propagate(rebind):
    # Only AttributeError means "no __mro_entries__"; anything else is the caller's error.
    class Odd:
        def __getattr__(self, name):
            raise Stop(name)

    class Requests:
        Session = Odd()

    rebind("requests", Requests())
    with pytest.raises(Stop, match="__mro_entries__"):
        client._requests.ClientSession()


class _MroEntries:
    """A base that is no class: it names the bases to use instead."""

    def __init__(self, entries):
        self.entries = entries

    def __mro_entries__(self, bases):
        return self.entries


class _Dropping(type):
    """Makes its classes without the class cell's __classcell__."""

    def __new__(mcls, name, bases, namespace):
        return type.__new__(mcls, name, bases, {k: v for k, v in namespace.items() if k != "__classcell__"})


class _Twice(type):
    """Fills the class cell with a first class, and returns a second."""

    def __new__(mcls, name, bases, namespace):
        type.__new__(mcls, name, bases, dict(namespace))
        return _Dropping.__new__(mcls, name, bases, namespace)


class _Early(type):
    """Runs __init__ before the class, and so its class cell, exists."""

    def __new__(mcls, name, bases, namespace):
        if "__init__" in namespace:
            namespace["__init__"](None, {}, None)
        return super().__new__(mcls, name, bases, namespace)


class _NoMapping(type):
    @classmethod
    def __prepare__(mcls, name, bases):
        return 1


HOSTILE_BASES = {
    "mro entries not a tuple": _MroEntries([object]),
    "metaclass conflict": _MroEntries((_Dropping("A", (), {}), _NoMapping.__new__(_NoMapping, "B", (), {}))),
    "prepare not a mapping": _NoMapping.__new__(_NoMapping, "Base", (), {}),
    "class cell not propagated": _Dropping("Base", (), {}),
    "class cell set to another class": _Twice("Base", (), {}),
    "class cell still empty": _Early("Base", (), {}),
}


def _python_boundary_class(Report):
    """The class statement of _requests.create_boundary written in Python."""
    class Boundary(Report):
        __module__ = "pelun_online_sdk.client"
        __qualname__ = "_requests.create_boundary.<locals>.Boundary"

        def __init__(self, headers, data):
            super().__init__()
            self.headers = headers
            self.data = data

    return Boundary


# From 3.12 Python reads the empty cell itself, as a free variable, and
# raises NameError; the module keeps the RuntimeError of the releases before.
READS_THE_CELL_ITSELF = pytest.mark.xfail(sys.version_info >= (3, 12), strict=True, reason=(
    "from 3.12 Python raises NameError for super() with an empty class cell, the module still RuntimeError"))


@pytest.mark.parametrize("base", [
    pytest.param(base, id=name, marks=[READS_THE_CELL_ITSELF] * (name == "class cell still empty"))
    for name, base in HOSTILE_BASES.items()])
def test_a_class_statement_fails_as_python_s_does(rebind, base):
    with pytest.raises(Exception) as python:
        _python_boundary_class(base)
    rebind("Report", base)
    with pytest.raises(Exception) as module:
        client._requests.create_boundary({})
    assert (type(module.value), str(module.value)) == (type(python.value), str(python.value))


# ------------------------------------------------------------- boundaries


def test_boundary_length_beyond_what_can_be_drawn_is_refused():
    # In the interpreter's words for a count it cannot hold (as len(range(2**64)) says it).
    message = "^Python int too large to convert to C ssize_t$"
    for length in (2**63, 2**64 + 5, 10**30):
        with pytest.raises(OverflowError, match=message):
            client._requests.create_boundary({}, None, length)
        with pytest.raises(OverflowError, match=message):
            client._aiohttp.create_boundary({}, "p", length)


def test_largest_drawable_length_starts_drawing(rebind):
    draws = []

    class Counting:
        @staticmethod
        def choice(chars):
            draws.append(chars)
            if len(draws) == 3:
                raise Stop
            return "a"

    rebind("secrets", Counting())
    with pytest.raises(Stop):
        client._requests.create_boundary({}, None, 2**63 - 1)
    assert len(draws) == 3


def test_negative_lengths_of_any_size_draw_nothing():
    empty_md5 = hashlib.md5(b"").hexdigest()
    for length in (-1, -(2**63), -(2**200)):
        result = client._requests.create_boundary({}, None, length)
        assert result.headers["Content-Type"].endswith("boundary=" + empty_md5)


# --------------------------------------------------------------- recursion

RECURSION = """
import sys
sys.setrecursionlimit({limit})
{define}
class Hostile:
    def __eq__(self, other):
        return Client.ClientSession(self, {{}}) is not None
try:
    Client.ClientSession(Hostile(), {{}})
except RecursionError:
    print("RecursionError")
"""
TWIN = """
class Client:
    @classmethod
    def ClientSession(cls, TypeReq, extra_headers={}, proxy=None):
        for member in (3, 1, 2):
            if TypeReq == member:
                return member
"""


@pytest.mark.parametrize("limit", [20000, 40000])
def test_recursion_through_the_module_ends_in_recursion_error(limit):
    twin = run_python(RECURSION.format(limit=limit, define=TWIN), cwd=tempfile.gettempdir())
    if twin.stdout.strip() != "RecursionError":
        pytest.skip(f"plain Python itself overflows the C stack at limit {limit}")
    native = run_python(RECURSION.format(limit=limit, define="from pelun_online_sdk.client import Client"),
                        cwd=tempfile.gettempdir())
    assert (native.returncode, native.stdout.strip()) == (0, "RecursionError"), native.stderr[-2000:]


# ---------------------------------------------------------- load lifecycle


def test_reimport_after_removal_leaks_nothing():
    name = "pelun_online_sdk.client"

    def reimport():
        del sys.modules[name]
        importlib.import_module(name)

    # The first re-imports after a load grow the import system's own caches
    # a little (a free-threaded build more); a leak grows with every one.
    assert_no_leak(reimport, calls=2000, slack=100)


EMBED = r"""
#include <Python.h>
#include <stdio.h>

// yarl (under aiohttp), chardet 7 and charset_normalizer (compiled, on 3.8)
// cannot be initialised twice in one process, whatever imports them: the
// second round stands in for them. requests reads the detectors' versions.
static const char* kStandIns =
    "import sys, types\n"
    "from importlib.metadata import version\n"
    "aiohttp = sys.modules['aiohttp'] = types.ModuleType('aiohttp')\n"
    "aiohttp.__version__ = '3.9.5'\n"
    "aiohttp.ClientRequest = type('ClientRequest', (), {})\n"
    "proxy = sys.modules['aiohttp_proxy'] = types.ModuleType('aiohttp_proxy')\n"
    "proxy.ProxyConnector = type('ProxyConnector', (), {})\n"
    "chardet = sys.modules['chardet'] = types.ModuleType('chardet')\n"
    "chardet.__version__ = version('chardet')\n"
    "normalizer = sys.modules['charset_normalizer'] = types.ModuleType('charset_normalizer')\n"
    "normalizer.__version__ = version('charset_normalizer')\n";

static const char* kRound =
    "from pelun_online_sdk.client import Client, _requests\n"
    "s = Client.ClientSession(Client.TypeReq.REQUESTS, {'X-A': '1'})\n"
    "b = Client.create_boundary(Client.TypeReq.HTTPX, {'n': 5}, 'p', 4)\n"
    "try:\n"
    "    _requests.create_urlencode(None)\n"
    "except TypeError as e:\n"
    "    err = str(e)\n"
    "print('round', s.headers['x-a'], b.data.fields['n'], err, flush=True)\n"
    "s.close()\n";

int main(void) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        if (round > 0 && PyRun_SimpleString(kStandIns) != 0) return 30;
        if (PyRun_SimpleString(kRound) != 0) return 10 + round;
        if (Py_FinalizeEx() != 0) return 20 + round;
    }
    return 0;
}
"""


def _compile_embedding(tmp_path):
    include = sysconfig.get_paths()["include"]
    libdir = sysconfig.get_config_var("LIBDIR")
    library = sysconfig.get_config_var("LDLIBRARY") or ""
    if not sysconfig.get_config_var("Py_ENABLE_SHARED") or not library.startswith("libpython"):
        pytest.skip("this interpreter has no shared libpython to embed")
    name = library[len("lib"):].split(".so")[0]
    source, program = tmp_path / "embed.c", tmp_path / "embed"
    source.write_text(EMBED)
    subprocess.run(["cc", str(source), "-o", str(program), f"-I{include}", f"-L{libdir}", f"-l{name}",
                    f"-Wl,-rpath,{libdir}"], check=True, capture_output=True, timeout=120)
    return program


# CPython 3.12.0-3.12.4 crashes importing ssl in a second runtime, with or
# without this module (CPython issue gh-122334, fixed in 3.12.5).
@pytest.mark.skipif((3, 12) <= sys.version_info[:3] < (3, 12, 5),
                    reason="this CPython crashes importing ssl in a second runtime")
def test_second_runtime_in_one_process_loads_afresh(tmp_path):
    program = _compile_embedding(tmp_path)
    site = sysconfig.get_paths()["purelib"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([site, sysconfig.get_paths()["platlib"]]))
    result = subprocess.run([str(program)], capture_output=True, text=True, timeout=120, env=env,
                            cwd=tempfile.gettempdir())
    expected = "round 1 5 Argument 'data' has incorrect type (expected dict, got NoneType)"
    assert (result.returncode, result.stdout.splitlines()) == (0, [expected, expected]), result.stderr[-3000:]


# ------------------------------------------------------------------ leaks


@pytest.mark.skipif(not BLOCKS_COUNTED, reason="this allocator counts no blocks (PYTHONMALLOC=malloc)")
def test_the_leak_check_sees_one_object_kept_per_call():
    # On every build, free-threaded included, where memory is released late.

    kept = []
    # LEAK_CALLS (make leakcheck) raises every check's count, this one's too.
    with pytest.raises(AssertionError, match=r"blocks leaked over \d+ calls"):
        assert_no_leak(lambda: kept.append(object()), calls=1000)


def _raises(error, call):
    def run():
        with pytest.raises(error):
            call()

    return run


def test_new_error_paths_and_call_routes_do_not_leak(rebind):

    data, headers = {}, {"X-A": "1"}
    assert_no_leak(_raises(OverflowError, lambda: client._requests.create_boundary(data, None, 2**64)), data)
    # The argument-tuple route (__call__), which holds its keyword values itself.
    assert_no_leak(lambda: client._requests.create_urlencode.__call__(data=data), data)
    assert_no_leak(_raises(TypeError, lambda: client._requests.create_urlencode.__call__(data=None, x=1)))
    assert_no_leak(lambda: client._requests.ClientSession.__call__(extra_headers=headers).close(), headers,
                   calls=1000)

    class Hostile:
        def __eq__(self, other):
            return client.Client.ClientSession(self) is not None

    def recurse():
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(200)
        try:
            with pytest.raises(RecursionError):
                client.Client.ClientSession(Hostile())
        finally:
            sys.setrecursionlimit(limit)

    assert_no_leak(recurse, calls=300)

    # The HTTP/2 frame scan the httpx client's streams call: a connection's
    # counts, a refusal, and a box of the wrong kind.
    from pelun_online_sdk import _httpx_h2 as guard

    flood = (b"\0\0\x08\x06\0\0\0\0\0" + bytes(8)) * 3

    def scan():
        counts = guard._new_connection(2, 4, 16, 32)
        assert guard._from_client(counts, b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") is None
        assert guard._from_server(counts, bytearray(flood)).startswith("HTTP/2 server sent 3 frames")
        assert guard._idle_frames(counts) == "3 PING frames"

    def wrong_box():
        with pytest.raises(TypeError, match="^expected a box of the module's own making$"):
            guard._from_server(data, flood)

    # A guarded stream's reads over httpcore's socket stream and through it:
    # its timeout told as a stall, a refusal, a socket that fails.
    import httpcore
    import socket
    from httpcore._backends.sync import SyncStream

    ours, theirs = socket.socketpair()
    closed = socket.socket()
    closed.close()

    def guarded_reads():
        counts = guard._new_connection(2, 4, 16, 32, SyncStream(ours), ours, guard._ERRORS)
        with pytest.raises(httpcore.ReadTimeout):
            guard._read(counts, 100, 0.002)
        guard._write(counts, b"", None)
        theirs.sendall(flood)
        for _ in range(2):
            with pytest.raises(httpcore.RemoteProtocolError):
                guard._read(counts, 100, 5)
        for sock in (closed, None):
            broken = guard._new_connection(2, 4, 16, 32, SyncStream(closed), sock, guard._ERRORS)
            with pytest.raises(httpcore.ReadError):
                guard._read(broken, 100, None)

    assert_no_leak(scan)
    assert_no_leak(wrong_box, data)
    with ours, theirs:
        assert_no_leak(guarded_reads, calls=1000)


def test_import_fallback_lets_unexpected_errors_through():
    # `from .utils import Report` falls back to sys.modules only when the
    # name is missing; an error while finding the package's name is not
    # turned into "cannot import name".
    result = run_python("""
        import sys, types
        import pelun_online_sdk.utils as real

        class Broken(types.ModuleType):
            @property
            def __name__(self):
                raise KeyError("name lookup")

        stand_in = Broken("pelun_online_sdk.utils")
        stand_in.VERSION_SDK = real.VERSION_SDK  # Report is missing
        sys.modules["pelun_online_sdk.utils"] = stand_in
        try:
            import pelun_online_sdk.client
        except BaseException as error:
            print(type(error).__name__, error)
    """, cwd=tempfile.gettempdir())
    assert result.stdout.strip() == "KeyError 'name lookup'", result.stderr[-2000:]
