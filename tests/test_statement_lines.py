"""A failure inside a function's body: each of the module's traceback entries
stands at the line of the statement that was running, as its line table
names it."""
import collections
import functools
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


def at(qualname, entries, *args, error=Stop, **rebound):
    """A direct call of the function with `args`, failing at the statement
    that `entries` (names separated by spaces) lead to."""
    function = functools.reduce(getattr, qualname.split("."), client)
    return case([(qualname, *entries.split())], calling(function, *args), error, **rebound)


def _builder_cases(builder):
    """Cases of a multipart builder, _requests's or _aiohttp's."""
    qualname, init = f"{builder}.create_boundary", f"{builder}.create_boundary.<locals>.Boundary.__init__"
    build = getattr(client, builder).create_boundary
    grown, growing_json = growing(build)
    cases = [
        at(qualname, "kDefineBoundary", {}, Report=Raising()),
        at(qualname, "kAlphabet", {}, string=Raising()),
        at(qualname, "kPrefixed", {}, "p", secrets=Raising()),
        at(qualname, "kDigest", {}, HashMD5=Raising()),
        at(qualname, "kDigestAgain", {}, "p", 3, None, Raising()),
        case([(qualname, "kWalkFields")], grown, RuntimeError, json=growing_json),
        at(qualname, "kFieldToJson", {"a": [1]}, json=Raising()),
        *[case([(qualname, "kReturnResult"), (init, entry)], calling(build, {}), Report=report) for entry, report in
          [("kInitBase", FailingInit), ("kSetHeaders", refusing("headers")), ("kSetData", refusing("data"))]],
        at(f"{builder}.create_urlencode", "kUrlencodeCall", {}, urlencode=Raising()),
    ]
    if builder == "_requests":
        return cases + [
            at(qualname, "kWriteBack", {1: "x"}, error=TypeError),
            at(qualname, "kMakeEncoder", {}, MultipartEncoder=Raising()),
            at(qualname, "kReturnResult", {}, error=AttributeError, MultipartEncoder=lambda **kw: None),
        ]
    return cases + [
        at(qualname, "kWithWriter", {}, aiohttp=Raising()),
        at(qualname, "kAppendPart", {"a": "x"}, aiohttp=writer()),
        at(qualname, "kDisposition", {"a": "x"}, aiohttp=writer(Raising())),
        at(qualname, "kReturnResult", {"a": "x"}, error=AttributeError, aiohttp=writer(PART)),
    ]


def _facade_cases():
    """Client's methods test one backend per `if`, in the table's order, on
    one line, and call it on the next."""
    cases = []
    builders = [row for row in BACKENDS if row.bodies == row.cls]
    for index, row in enumerate(BACKENDS):
        member = Client.TypeReq[row.member]
        builder_test = 2 * next(i for i, builder in enumerate(builders) if builder.cls == row.bodies)
        for method, first_test, test, args, backend in [("ClientSession", "kFirstSessionTest", 2 * index, (), row.cls),
                                                        ("create_boundary", "kFirstBuilderTest", builder_test, ({},),
                                                         row.bodies)]:
            where, call = f"Client.{method}", getattr(Client, method)
            cases += [case([(where, first_test, test)], calling(call, fails_against(member), *args), label=row.member),
                      case([(where, first_test, test + 1)], calling(call, member, *args), label=row.member,
                           **{backend: Raising()})]
    # Through to the backend, whose own entry follows.
    requests_row = BACKENDS.index(next(row for row in BACKENDS if row.cls == "_requests"))
    cases.append(case([("Client.ClientSession", "kFirstSessionTest", 2 * requests_row + 1),
                       ("_requests.ClientSession", "kHeaderRule", "kMergeExtraHeaders")],
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
        *[case([("RequestsAdapter.init_poolmanager", entry)], init_poolmanager, error, **rebound)
          for entry, error, rebound in [("kMakeContext", Stop, {"SSLContext": Raising()}),
                                        ("kSetCiphers", client.ssl.SSLError, {"CHIPER": "no-such-cipher"}),
                                        ("kAllowTickets", AttributeError, {"ssl": no_ticket}),
                                        ("kMakePoolManager", Stop, {"PoolManager": Raising()})]],
        case([("RequestsAdapter.__init__", "kInitBase")], calling(client.RequestsAdapter, bogus=1), TypeError),
    ]


RQ, HX, AIO = "_requests.ClientSession", "_httpx.ClientSession", "_aiohttp.ClientSession"
CASES = [
    *_builder_cases("_requests"),
    *_builder_cases("_aiohttp"),
    # The header rule, the same in every session factory.
    *[c for row in BACKENDS for c in (
        at(f"{row.cls}.ClientSession", "kHeaderRule kMergeExtraHeaders", {1: "x"}, error=AttributeError),
        at(f"{row.cls}.ClientSession", "kHeaderRule kAddUserAgent", VERSION_SDK=Raising()))],
    at(AIO, "kTestProxy", {}, Raising()),
    at(AIO, "kProxiedSession", {}, types.SimpleNamespace(toString="http://127.0.0.1:9"), ProxyConnector=Raising()),
    at(AIO, "kDirectSession", aiohttp=Raising()),
    at(RQ, "kDefineSession", requests=Raising()),
    at(RQ, "kMakeSession", requests=types.SimpleNamespace(Session=FailingInit)),
    at(RQ, "kMakeAdapter", RequestsAdapter=Raising()),
    case([(RQ, "kMakeAdapter"), (f"{RQ}.<locals>.Retry.__new__", "kMakePolicy")],
         calling(client._requests.ClientSession), __retry__=Raising()),
    at(RQ, "kMount", requests=REFUSE_THE_MODULE_ADAPTER),
    at(RQ, "kUpdateHeaders", requests=HEADERS_REPLACED),
    at(RQ, "kSetProxies", {}, object(), error=AttributeError),
    at(HX, "kDefineClient", httpx=Raising()),
    at(HX, "kMakeClient", {}, object(), error=AttributeError),
    case([(f"{HX}.<locals>.autodetect", "kDetectEncoding")], _httpx_detector, chardet=Raising()),
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
