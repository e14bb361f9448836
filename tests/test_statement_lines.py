"""A failure inside a function's body: each of the module's traceback entries
stands at the line of the statement that was running, as its line table
names it."""
import collections
import ssl
import traceback
import types

import pytest
import requests

import pelun_online_sdk.client as client
from pelun_online_sdk.client import Client
import source_lines
from helpers import BACKENDS

FILENAME = "pelun_online_sdk\\client.py"


class Stop(Exception):
    """Raised by the stand-ins below at the statement under test."""


def _ssl_without(name):
    """The ssl module minus one name."""
    return types.SimpleNamespace(**{k: v for k, v in vars(ssl).items() if k != name})


class Raising:
    """Fails whatever is done with it: attributes, calls, truth, comparison, formatting."""

    def __getattr__(self, name):
        raise Stop(name)

    def __call__(self, *args, **kwargs):
        raise Stop("call")

    def __bool__(self):
        raise Stop("bool")

    def __eq__(self, other):
        raise Stop("eq")

    __hash__ = object.__hash__

    def __format__(self, format_spec):
        raise Stop("format")


class Writer:
    """Stands in for aiohttp.MultipartWriter: append gives `part` (fails when
    there is none) and there is no content_type."""

    part = None

    def __init__(self, *args, **kwargs):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False

    def append(self, value):
        if self.part is None:
            raise Stop("append")
        return self.part


def writer(part=None):
    return types.SimpleNamespace(MultipartWriter=type("Writer", (Writer,), {"part": part}))


class Part:
    def set_content_disposition(self, *args, **kwargs):
        pass


def refusing(attribute):
    """A Report whose instances refuse one attribute."""

    def __setattr__(self, name, value):
        if name == attribute:
            raise Stop(name)
        object.__setattr__(self, name, value)

    return type("Report", (), {"__setattr__": __setattr__})


def fail(*args, **kwargs):
    raise Stop("called")


class FailingInit:
    __init__ = fail


def session(**members):
    """`requests` with a Session class that has the given members."""
    return types.SimpleNamespace(Session=type("Session", (requests.Session,), members))


def _refuse_the_module_adapter(self, prefix, adapter):
    # requests.Session.__init__ mounts its own adapters first.
    if isinstance(adapter, client.RequestsAdapter):
        raise Stop("mount")
    requests.Session.mount(self, prefix, adapter)


def _headers_replaced(self):
    requests.Session.__init__(self)
    self.headers = Raising()


def growing(build):
    """A call of `build` with a form that its `json`'s dumps grows."""
    form = {}

    def prepare():
        form.clear()
        form.update(a=[1], b=2)
        return lambda: build(form)

    return prepare, types.SimpleNamespace(dumps=lambda value: form.update(added=1) or "[1]")


def _httpx_detector():
    with client._httpx.ClientSession() as made:
        detect = made._default_encoding
    return lambda: detect(b"text")


# where: the module's innermost traceback entries, outermost first, each
# (qualname, entries of its line tables, further lines); error: what the
# call raises; rebound: module globals; prepare: makes the call (before the
# globals are rebound); label: tells apart cases that are otherwise alike.
Case = collections.namedtuple("Case", "where error rebound prepare label")


def case(where, prepare, error=Stop, label="", **rebound):
    """`where` as (qualname, entry names..., further lines if any) each."""
    where = [(qualname, tuple(p for p in parts if isinstance(p, str)), sum(p for p in parts if isinstance(p, int)))
             for qualname, *parts in where]
    return Case(where, error, rebound, prepare, label)


def calling(function, *args, **kwargs):
    return lambda: lambda: function(*args, **kwargs)


def _builder_cases(builder):
    """Cases of a multipart builder, _requests's or _aiohttp's."""
    qualname = f"{builder}.create_boundary"
    init = f"{qualname}.<locals>.Boundary.__init__"
    build = getattr(client, builder).create_boundary
    grown, growing_json = growing(build)
    cases = [
        case([(qualname, "kDefineBoundary")], calling(build, {}), Report=Raising()),
        case([(qualname, "kAlphabet")], calling(build, {}), string=Raising()),
        case([(qualname, "kPrefixed")], calling(build, {}, "p"), secrets=Raising()),
        case([(qualname, "kDigest")], calling(build, {}), HashMD5=Raising()),
        case([(qualname, "kDigestAgain")], calling(build, {}, "p", 3, None, Raising())),
        case([(qualname, "kWalkFields")], grown, RuntimeError, json=growing_json),
        case([(qualname, "kFieldToJson")], calling(build, {"a": [1]}), json=Raising()),
        case([(qualname, "kReturnResult"), (init, "kInitBase")], calling(build, {}), Report=FailingInit),
        case([(qualname, "kReturnResult"), (init, "kSetHeaders")], calling(build, {}), Report=refusing("headers")),
        case([(qualname, "kReturnResult"), (init, "kSetData")], calling(build, {}), Report=refusing("data")),
        case([(f"{builder}.create_urlencode", "kUrlencodeCall")],
             calling(getattr(client, builder).create_urlencode, {}), urlencode=Raising()),
    ]
    if builder == "_requests":
        cases += [
            case([(qualname, "kWriteBack")], calling(build, {1: "x"}), TypeError),
            case([(qualname, "kMakeEncoder")], calling(build, {}), MultipartEncoder=Raising()),
            case([(qualname, "kReturnResult")], calling(build, {}), AttributeError, MultipartEncoder=lambda **kw: None),
        ]
    else:
        cases += [
            case([(qualname, "kWithWriter")], calling(build, {}), aiohttp=Raising()),
            case([(qualname, "kAppendPart")], calling(build, {"a": "x"}), aiohttp=writer()),
            case([(qualname, "kDisposition")], calling(build, {"a": "x"}), aiohttp=writer(Raising())),
            case([(qualname, "kReturnResult")], calling(build, {"a": "x"}), AttributeError, aiohttp=writer(Part())),
        ]
    return cases


def _session_cases(backend):
    """The header rule's cases, the same in every session factory."""
    qualname = f"{backend}.ClientSession"
    factory = getattr(client, backend).ClientSession
    return [
        case([(qualname, "kHeaderRule", "kMergeExtraHeaders")], calling(factory, {1: "x"}), AttributeError),
        case([(qualname, "kHeaderRule", "kAddUserAgent")], calling(factory), VERSION_SDK=Raising()),
    ]


class FailsAgainst:
    """A TypeReq argument whose comparison with one member fails."""

    def __init__(self, member):
        self.member = member

    def __eq__(self, other):
        if other is self.member:
            raise Stop("eq")
        return False

    __hash__ = object.__hash__


def _facade_cases():
    """Client's methods test one backend per `if`, in the table's order, on
    one line, and call it on the next."""
    cases = []
    builders = [row for row in BACKENDS if row.bodies == row.cls]
    for index, row in enumerate(BACKENDS):
        member, session_test = Client.TypeReq[row.member], 2 * index
        builder_test = 2 * next(i for i, builder in enumerate(builders) if builder.cls == row.bodies)
        cases += [
            case([("Client.ClientSession", "kFirstSessionTest", session_test)],
                 calling(Client.ClientSession, FailsAgainst(member)), label=row.member),
            case([("Client.ClientSession", "kFirstSessionTest", session_test + 1)],
                 calling(Client.ClientSession, member), label=row.member, **{row.cls: Raising()}),
            case([("Client.create_boundary", "kFirstBuilderTest", builder_test)],
                 calling(Client.create_boundary, FailsAgainst(member), {}), label=row.member),
            case([("Client.create_boundary", "kFirstBuilderTest", builder_test + 1)],
                 calling(Client.create_boundary, member, {}), label=row.member, **{row.bodies: Raising()}),
        ]
    # Through to the backend, whose own entry follows.
    requests_row = BACKENDS.index(next(row for row in BACKENDS if row.cls == "_requests"))
    cases.append(case([("Client.ClientSession", "kFirstSessionTest", 2 * requests_row + 1),
                       ("_requests.ClientSession", "kHeaderRule", "kMergeExtraHeaders")],
                      calling(Client.ClientSession, Client.TypeReq.REQUESTS, {1: "x"}), AttributeError,
                      label="through"))
    return cases


PROXY = types.SimpleNamespace(toString="http://127.0.0.1:9")
INIT_POOLMANAGER = "RequestsAdapter.init_poolmanager"


def _adapter_cases():
    def init_poolmanager():
        adapter = client.RequestsAdapter()
        return lambda: adapter.init_poolmanager(1, 1)

    def proxy_manager_for():
        adapter = client.RequestsAdapter()
        del adapter.poolmanager
        return lambda: adapter.proxy_manager_for("http://127.0.0.1:9")

    return [
        case([(INIT_POOLMANAGER, "kMakeContext")], init_poolmanager, SSLContext=Raising()),
        case([(INIT_POOLMANAGER, "kSetCiphers")], init_poolmanager, client.ssl.SSLError, CHIPER="no-such-cipher"),
        # ssl without OP_NO_TICKET: what the context is made with is read earlier.
        case([(INIT_POOLMANAGER, "kAllowTickets")], init_poolmanager, AttributeError,
             ssl=_ssl_without("OP_NO_TICKET")),
        case([(INIT_POOLMANAGER, "kMakePoolManager")], init_poolmanager, PoolManager=Raising()),
        case([("RequestsAdapter.__init__", "kInitBase")], calling(client.RequestsAdapter, bogus=1), TypeError),
        case([("RequestsAdapter.proxy_manager_for", "kProxyManager")], proxy_manager_for, AttributeError),
    ]


CASES = [
    *_builder_cases("_requests"),
    *_builder_cases("_aiohttp"),
    *[c for row in BACKENDS for c in _session_cases(row.cls)],
    case([("_aiohttp.ClientSession", "kTestProxy")], calling(client._aiohttp.ClientSession, {}, Raising())),
    case([("_aiohttp.ClientSession", "kProxiedSession")], calling(client._aiohttp.ClientSession, {}, PROXY),
         ProxyConnector=Raising()),
    case([("_aiohttp.ClientSession", "kDirectSession")], calling(client._aiohttp.ClientSession), aiohttp=Raising()),
    case([("_requests.ClientSession", "kDefineSession")], calling(client._requests.ClientSession), requests=Raising()),
    case([("_requests.ClientSession", "kMakeSession")], calling(client._requests.ClientSession),
         requests=types.SimpleNamespace(Session=FailingInit)),
    case([("_requests.ClientSession", "kMakeAdapter")], calling(client._requests.ClientSession),
         RequestsAdapter=Raising()),
    case([("_requests.ClientSession", "kMakeAdapter"),
          ("_requests.ClientSession.<locals>.Retry.__new__", "kMakePolicy")],
         calling(client._requests.ClientSession), __retry__=Raising()),
    case([("_requests.ClientSession", "kMount")], calling(client._requests.ClientSession),
         requests=session(mount=_refuse_the_module_adapter)),
    case([("_requests.ClientSession", "kUpdateHeaders")], calling(client._requests.ClientSession),
         requests=session(__init__=_headers_replaced)),
    case([("_requests.ClientSession", "kSetProxies")], calling(client._requests.ClientSession, {}, object()),
         AttributeError),
    case([("_httpx.ClientSession", "kDefineClient")], calling(client._httpx.ClientSession), httpx=Raising()),
    case([("_httpx.ClientSession", "kMakeClient")], calling(client._httpx.ClientSession, {}, object()),
         AttributeError),
    case([("_httpx.ClientSession.<locals>.autodetect", "kDetectEncoding")], _httpx_detector, chardet=Raising()),
    *_facade_cases(),
    *_adapter_cases(),
]


def _id(case):
    qualname, entries, extra = case.where[-1]
    rebound = "/".join(case.rebound) or "args"
    return ":".join(filter(None, [qualname, "+".join(entries) + (f"+{extra}" if extra else ""), rebound, case.label]))


@pytest.mark.parametrize("case", CASES, ids=_id)
def test_a_failing_statement_is_reported_at_its_line(monkeypatch, case):
    call = case.prepare()
    for name, value in case.rebound.items():
        monkeypatch.setattr(client, name, value)
    with pytest.raises(case.error) as raised:
        call()
    entries = [(entry.name, entry.lineno) for entry in traceback.extract_tb(raised.tb) if entry.filename == FILENAME]
    assert entries[-len(case.where):] == [
        (f"pelun_online_sdk.client.{qualname}", source_lines.statement_line(qualname, *names) + extra)
        for qualname, names, extra in case.where]


# Statements no caller can make fail: the boundary test of an exact str or
# None, `headers = {}`, and the statements defining a nested class or
# function without bases or defaults.
CANNOT_FAIL = {"kTestBoundary", "kCreateHeaders", "kDefineRetry", "kDefineAutodetect"}


def test_every_statement_of_the_line_tables_has_a_case():
    covered = {(qualname, name) for case in CASES for qualname, names, _ in case.where for name in names}
    missing = [(qualname, name) for qualname, function in source_lines.FUNCTIONS.items()
               for _, table in function.tables for name in table
               if name not in CANNOT_FAIL and (qualname, name) not in covered]
    assert missing == []
