"""A failure inside a function's body: each of the module's traceback entries
stands at the line of the statement that was running."""
import collections
import functools
import ssl
import sysconfig
import tempfile
import traceback
import types

import pytest
import requests

import pelun_online_sdk.client as client
from pelun_online_sdk.client import Client
from client_lines import FILENAME, FUNCTIONS, statement_line
from helpers import BACKENDS, run_python


class Stop(Exception):
    """Raised by the stand-ins below at the statement under test."""


def fail(*args, **kwargs):
    raise Stop()


class Raising:
    """Fails whatever is done with it: attributes, calls, truth, comparison, formatting."""
    __getattr__ = __call__ = __bool__ = __eq__ = __format__ = fail
    __hash__ = object.__hash__


FailingInit = type("FailingInit", (), {"__init__": fail})
PART = types.SimpleNamespace(set_content_disposition=lambda *args, **kwargs: None)


def writer(part=None):
    """aiohttp whose MultipartWriter's append gives `part` (fails when there
    is none); the writer has no content_type."""
    def append(self, value):
        return part if part is not None else fail()
    return types.SimpleNamespace(MultipartWriter=type("Writer", (), {
        "__init__": lambda self, *args, **kwargs: None, "__enter__": lambda self: self,
        "__exit__": lambda self, *exc_info: False, "append": append}))


def refusing(attribute):
    """A Report whose instances refuse one attribute."""
    def __setattr__(self, name, value):
        (fail if name == attribute else object.__setattr__)(self, name, value)
    return type("Report", (), {"__setattr__": __setattr__})


def session(**members):
    """`requests` with a Session class that has the given members."""
    return types.SimpleNamespace(Session=type("Session", (requests.Session,), members))


# requests.Session.__init__ mounts its own adapters first: only the module's is refused.
REFUSE_THE_MODULE_ADAPTER = session(mount=lambda self, prefix, adapter: fail() if isinstance(
    adapter, client.RequestsAdapter) else requests.Session.mount(self, prefix, adapter))
HEADERS_REPLACED = session(__init__=lambda self: requests.Session.__init__(self) or setattr(self, "headers", Raising()))


def growing(build):
    """A call of `build` with a form (made afresh for each call) that its `json`'s dumps grows."""
    form = {}
    prepare = lambda: form.clear() or form.update(a=[1], b=2) or (lambda: build(form))  # noqa: E731
    return prepare, types.SimpleNamespace(dumps=lambda value: form.update(added=1) or "[1]")


def _httpx_detector():
    with client._httpx.ClientSession() as made:
        detect = made._default_encoding
    return lambda: detect(b"text")


def fails_against(member):
    """A TypeReq argument whose comparison with one member fails."""
    return type("FailsAgainst", (), {"__eq__": lambda self, other: other is member and fail(),
                                     "__hash__": object.__hash__})()


class FailingStr(int):
    """A number whose text cannot be made."""
    __str__ = fail


# where: the module's innermost traceback entries, outermost first, each
# (qualname, statement); error: what the call raises; rebound: module
# globals; prepare: makes the call (before the globals are rebound); label:
# tells apart cases that are otherwise alike.
Case = collections.namedtuple("Case", "where error rebound prepare label")


def case(where, prepare, error=Stop, label="", **rebound):
    return Case(list(where), error, rebound, prepare, label)


def calling(function, *args, **kwargs):
    return lambda: lambda: function(*args, **kwargs)


def at(qualname, statement, *args, error=Stop, **rebound):
    """A direct call of the function with `args`, failing at `statement`."""
    function = functools.reduce(getattr, qualname.split("."), client)
    return case([(qualname, statement)], calling(function, *args), error, **rebound)


def _builder_cases(builder):
    """Cases of a multipart builder, _requests's or _aiohttp's."""
    qualname, init = f"{builder}.create_boundary", f"{builder}.create_boundary.<locals>.Boundary.__init__"
    build = getattr(client, builder).create_boundary
    grown, growing_json = growing(build)
    cases = [
        at(qualname, "class Boundary(Report)", {}, Report=Raising()),
        at(qualname, "chars = ...", {}, string=Raising()),
        at(qualname, "boundary = prefix-random", {}, "p", secrets=Raising()),
        at(qualname, "boundary = md5(random)", {}, HashMD5=Raising()),
        at(qualname, "if MD5: boundary = md5(boundary)", {}, "p", 3, None, Raising()),
        case([(qualname, "for key, value in data.items()")], grown, RuntimeError, json=growing_json),
        at(qualname, "value = json.dumps(value)", {"a": [1]}, json=Raising()),
        at(qualname, "value = str(value)", {"a": FailingStr(1)}),
        *[case([(qualname, "return Boundary(...)"), (init, statement)], calling(build, {}), Report=report)
          for statement, report in [("super().__init__()", FailingInit), ("self.headers = headers", refusing("headers")),
                                    ("self.data = data", refusing("data"))]],
        at(f"{builder}.create_urlencode", "return urlencode(data)", {}, urlencode=Raising()),
    ]
    if builder == "_requests":
        return cases + [
            at(qualname, "data.update(**{key: value})", {1: "x"}, error=TypeError),
            at(qualname, "MPData = MultipartEncoder(...)", {}, MultipartEncoder=Raising()),
            at(qualname, "return Boundary(...)", {}, error=AttributeError, MultipartEncoder=lambda **kw: None),
        ]
    return cases + [
        at(qualname, "with aiohttp.MultipartWriter(...) as MPData", {}, aiohttp=Raising()),
        at(qualname, "part = MPData.append(value)", {"a": "x"}, aiohttp=writer()),
        at(qualname, "part.set_content_disposition(...)", {"a": "x"}, aiohttp=writer(Raising())),
        at(qualname, "return Boundary(...)", {"a": "x"}, error=AttributeError, aiohttp=writer(PART)),
    ]


def _facade_cases():
    """Client's methods test one backend per `if`, each on a line of its
    own, and call it on the next."""
    cases = []
    for row in BACKENDS:
        member = Client.TypeReq[row.member]
        for method, args, backend in [("ClientSession", (), row.cls), ("create_boundary", ({},), row.bodies)]:
            where, call = f"Client.{method}", getattr(Client, method)
            test = next(s for s in FUNCTIONS[where].statements if s.startswith("if ") and row.member in s)
            cases += [case([(where, test)], calling(call, fails_against(member), *args), label=row.member),
                      case([(where, f"return {backend}.{method}(...)")], calling(call, member, *args),
                           label=row.member, **{backend: Raising()})]
    # Through to the backend, whose own entry follows.
    cases.append(case([("Client.ClientSession", "return _requests.ClientSession(...)"),
                       ("_requests.ClientSession", "for k, v in extra_headers")],
                      calling(Client.ClientSession, Client.TypeReq.REQUESTS, {1: "x"}), AttributeError,
                      label="through"))
    return cases


def _adapter_cases():
    def init_poolmanager():
        adapter = client.RequestsAdapter()
        return lambda: adapter.init_poolmanager(1, 1)

    # ssl without OP_NO_TICKET: what the context is made with is read earlier.
    no_ticket = types.SimpleNamespace(**{k: v for k, v in vars(ssl).items() if k != "OP_NO_TICKET"})
    return [
        *[case([("RequestsAdapter.init_poolmanager", statement)], init_poolmanager, error, **rebound)
          for statement, error, rebound in [
              ("context = SSLContext()", Stop, {"SSLContext": Raising()}),
              ("context.set_ciphers(CHIPER)", client.ssl.SSLError, {"CHIPER": "no-such-cipher"}),
              ("context.options &= ~ssl.OP_NO_TICKET", AttributeError, {"ssl": no_ticket}),
              ("self.poolmanager = PoolManager(...)", Stop, {"PoolManager": Raising()})]],
        case([("RequestsAdapter.__init__", "super().__init__(*args, **kwargs)")],
             calling(client.RequestsAdapter, bogus=1), TypeError),
    ]


RQ, HX, AIO = "_requests.ClientSession", "_httpx.ClientSession", "_aiohttp.ClientSession"
CASES = [
    *_builder_cases("_requests"),
    *_builder_cases("_aiohttp"),
    # The header rule, the same in every session factory: its loop, and the
    # User-Agent statement, which also checks every header it will send.
    *[c for row in BACKENDS for c in (
        at(f"{row.cls}.ClientSession", "for k, v in extra_headers", {1: "x"}, error=AttributeError),
        at(f"{row.cls}.ClientSession", "User-Agent", VERSION_SDK=Raising()),
        case([(f"{row.cls}.ClientSession", "User-Agent")], calling(getattr(client, row.cls).ClientSession,
                                                                   {"X-A": "1\r\n"}), ValueError, label="checked"))],
    at(AIO, "if proxy and proxy.toString", {}, Raising()),
    at(AIO, "return aiohttp.ClientSession(..., connector=...)", {}, types.SimpleNamespace(toString="http://127.0.0.1:9"),
       ProxyConnector=Raising()),
    at(AIO, "return aiohttp.ClientSession(headers=headers)", aiohttp=Raising()),
    at(RQ, "class ClientSession(requests.Session)", requests=Raising()),
    at(RQ, "Session = ClientSession()", requests=types.SimpleNamespace(Session=FailingInit)),
    at(RQ, "adapter = RequestsAdapter(max_retries=Retry())", RequestsAdapter=Raising()),
    case([(RQ, "adapter = RequestsAdapter(max_retries=Retry())"), (f"{RQ}.<locals>.Retry.__new__", "return __retry__(...)")],
         calling(client._requests.ClientSession), __retry__=Raising()),
    at(RQ, "Session.mount(scheme, adapter)", requests=REFUSE_THE_MODULE_ADAPTER),
    at(RQ, "Session.headers.update(**headers)", requests=HEADERS_REPLACED),
    at(RQ, "Session.proxies = ...", {}, object(), error=AttributeError),
    at(HX, "class ClientSession(httpx.Client)", httpx=Raising()),
    at(HX, "return ClientSession(...)", {}, object(), error=AttributeError),
    case([(f"{HX}.<locals>.autodetect", "return chardet.detect(content)['encoding']")], _httpx_detector,
         chardet=Raising()),
    *_facade_cases(),
    *_adapter_cases(),
]


def _id(case):
    qualname, statement = case.where[-1]
    rebound = "/".join(case.rebound) or "args"
    return ":".join(filter(None, [qualname, statement, rebound, case.label]))


@pytest.mark.parametrize("case", CASES, ids=_id)
def test_a_failing_statement_is_reported_at_its_line(monkeypatch, case):
    call = case.prepare()
    for name, value in case.rebound.items():
        monkeypatch.setattr(client, name, value)
    with pytest.raises(case.error) as raised:
        call()
    entries = [(entry.name, entry.lineno) for entry in traceback.extract_tb(raised.tb) if entry.filename == FILENAME]
    assert entries[-len(case.where):] == [
        (f"pelun_online_sdk.client.{qualname}", statement_line(qualname, statement)) for qualname, statement in case.where]


# A class or def statement inside a function runs no code of the caller's:
# it fails only when the interpreter refuses to make its function, here
# because an audit hook refuses the code object (made on the first call, in
# a fresh interpreter). Each: the call, the name of the code refused, and
# the module's innermost entry.
REFUSED_DEFINITIONS = [
    ("client._requests.ClientSession()", "__new__", (RQ, "class Retry")),
    ("client._httpx.ClientSession()", "autodetect", (HX, "def autodetect(content)")),
    ("client._requests.create_boundary({})", "__init__", ("_requests.create_boundary", "class Boundary(Report)")),
    ("client._aiohttp.create_boundary({})", "__init__", ("_aiohttp.create_boundary", "class Boundary(Report)")),
]


def test_a_refused_definition_is_reported_at_its_statement():
    result = run_python(f"""
        import sys, traceback

        class Refused(Exception):
            pass

        refused = []

        def refuse(event, args):
            if event == "code.__new__" and refused and args[2] == refused[0]:
                raise Refused(refused.pop())

        sys.addaudithook(refuse)
        import pelun_online_sdk.client as client

        for call, name in {[(call, name) for call, name, _ in REFUSED_DEFINITIONS]!r}:
            refused.append(name)
            try:
                eval(call)
            except Refused as error:
                entry = [e for e in traceback.extract_tb(error.__traceback__) if e.filename == {FILENAME!r}][-1]
                print(entry.name, entry.lineno)
            else:
                print("made", call)
        """, cwd=tempfile.gettempdir())
    assert result.stdout.splitlines() == [
        f"pelun_online_sdk.client.{qualname} {statement_line(qualname, statement)}"
        for _, _, (qualname, statement) in REFUSED_DEFINITIONS], result.stderr[-2000:]


@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="counts allocations past the dict free list, which is kept per thread here")
def test_a_failed_allocation_is_reported_at_its_statement():
    # `headers = {}` can fail for memory only. With the free list of dicts
    # emptied, it is the factory's first allocation; each allocation after
    # it, up to the User-Agent statement, is made by that one.
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("this _testcapi cannot make allocations fail")
    result = run_python(f"""
        import traceback, _testcapi
        import pelun_online_sdk.client as client

        seen = []
        for n in range(5000):
            held = [{{}} for _ in range(200)]  # the free list's dicts, and then some
            _testcapi.set_nomemory(n, n + 1)  # only the n-th allocation fails
            try:
                client._aiohttp.ClientSession()
            except Exception as error:
                _testcapi.remove_mem_hooks()  # before anything else allocates
                lines = [e.lineno for e in traceback.extract_tb(error.__traceback__) if e.filename == {FILENAME!r}]
                if lines and lines[-1] not in seen:
                    seen.append(lines[-1])
                if {statement_line(AIO, "User-Agent")} in seen:
                    break
            finally:
                _testcapi.remove_mem_hooks()
                del held  # before the next round takes the free list's dicts again
        print(seen)
        """, cwd=tempfile.gettempdir())
    assert result.stdout.splitlines() == [str([statement_line(AIO, "headers = {}"), statement_line(AIO, "User-Agent")])], (
        result.stderr[-2000:])


# The statements each test above makes fail. `if not boundary` tests an
# exact str or None, which can neither fail nor allocate; the header rule is
# one piece of code in every factory, whose `headers = {}` is the first
# allocation only in the aiohttp factory.
_REACHED = {where for case in CASES for where in case.where} | {where for *_, where in REFUSED_DEFINITIONS} | {
    (AIO, "headers = {}")}
_DOCUMENTED = {(qualname, statement) for qualname, function in FUNCTIONS.items() for statement in function.statements}
assert _DOCUMENTED - _REACHED == {
    *[(f"{builder}.create_boundary", "if not boundary") for builder in ("_requests", "_aiohttp")],
    *[(factory, "headers = {}") for factory in (RQ, HX)]}, sorted(_DOCUMENTED - _REACHED)
assert _REACHED <= _DOCUMENTED, sorted(_REACHED - _DOCUMENTED)
