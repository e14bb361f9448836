"""Random calls of every public callable, with hostile arguments and rebound
module globals, against the same code written as plain Python (bench/twins.py):
the native call never crashes nor raises SystemError or an internal error, and
fails with the exception type the twin raises (or succeeds where it succeeds).
`make fuzz` runs many more examples (FUZZ_EXAMPLES per callable).
"""
import collections
import contextlib
import os
import sys
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelun_online_sdk.client as native
from helpers import BACKENDS

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import twins  # noqa: E402

EXAMPLES = int(os.environ.get("FUZZ_EXAMPLES", "250"))


class Stop(Exception):
    pass


# Hostile objects. Each strategy draws a *maker*: the native call and the twin
# each get a fresh object, so that one side's side effects never reach the other.
def _raising(what):
    def hook(*args):
        raise Stop(what)

    return hook


class RaisingStr(int):
    __str__ = __repr__ = _raising("str")


class RaisingEq:
    __eq__, __hash__ = _raising("eq"), object.__hash__


class RaisingBool:
    __bool__ = _raising("bool")


class EqReturningRaisingBool:
    __eq__, __hash__ = (lambda self, other: RaisingBool()), object.__hash__


class RaisingLower(str):
    lower = _raising("lower")


class LowerToInt(str):
    def lower(self):
        return 7


class ItemsMutating(dict):
    """A field value whose json.dumps walk (through items()) grows the form."""

    target = None

    def items(self):
        if self.target is not None:
            self.target["added%d" % len(self.target)] = "x"
        return super().items()


class ProxyLike:
    def __init__(self, url, truth=True):
        self.toString, self._truth = url, truth

    def __bool__(self):
        return self._truth


def _fixed(*values):
    return st.sampled_from([(lambda v=v: v) for v in values])


# No huge positive int: as a length the twin would draw that many characters
# (the module refuses lengths it cannot draw; the safety tests cover that).
plain = _fixed(None, True, False, 0, 1, -3, 51, -(2**70), 1.5, "", "x", "Ab-C", b"x", (), [1, "a"],
               {"k": [1, 2]}, "p.-_")
hostile_scalar = st.sampled_from([
    lambda: RaisingStr(5), lambda: RaisingEq(), lambda: RaisingBool(), lambda: EqReturningRaisingBool(),
    lambda: collections.OrderedDict(a=1), lambda: type("D", (dict,), {})(a=1), lambda: object(),
])


@st.composite
def form(draw):
    """A plain dict of form fields, perhaps with values that fight back."""
    keys = draw(st.lists(st.sampled_from(["a", "B", "c-d", "é", RaisingLower("Low"), 3]), max_size=4,
                         unique_by=lambda k: (type(k), k)))
    values = [draw(st.one_of(plain, hostile_scalar, st.just("mutating"))) for _ in keys]

    def make():
        data = {}
        for key, value in zip(keys, values):
            if value == "mutating":
                data[key] = ItemsMutating(z=1)
                data[key].target = data
            else:
                data[key] = value()
        return data

    return make


@st.composite
def headers(draw):
    keys = draw(st.lists(st.sampled_from(["User-Agent", "X-A", "x-a", "", RaisingLower("K"), LowerToInt("L"),
                                          5]), max_size=3, unique_by=lambda k: (type(k), k)))
    values = [draw(st.one_of(plain, hostile_scalar)) for _ in keys]
    return lambda: {key: value() for key, value in zip(keys, values)}


proxies = st.one_of(_fixed(None, False, 0, ""), st.sampled_from([
    lambda: ProxyLike(""), lambda: ProxyLike("http://127.0.0.1:9"), lambda: ProxyLike("x", truth=False),
    lambda: type("RaisingToString", (), {"toString": property(_raising("toString"))})(), lambda: RaisingBool(),
    lambda: ProxyLike(RaisingBool()),
]))
lengths = st.one_of(_fixed(0, 1, 7, -5, True, None, "3", 51), st.integers(-100, 100).map(lambda n: lambda: n))


class Member(str):
    """Stands for a TypeReq member: each side gets its own enumeration's."""


# Every backend's member and values that select none.
type_reqs = st.sampled_from([*(lambda name=row.member: Member(name) for row in BACKENDS),
                             lambda: 1, lambda: None, lambda: RaisingEq(), lambda: EqReturningRaisingBool()])
any_value = st.one_of(plain, hostile_scalar, form(), headers(), proxies)

# Module globals rebound for one call, on both sides alike (None: deleted).
REBINDINGS = {
    "none": {},
    "secrets": {"secrets": type("S", (), {"choice": staticmethod(lambda chars: 5)})()},
    "secrets-raising": {"secrets": type("S", (), {"choice": staticmethod(_raising("choice"))})()},
    "json": {"json": type("J", (), {"dumps": staticmethod(lambda value: b"bytes")})()},
    "md5": {"HashMD5": type("H", (), {"new": staticmethod(lambda data: type("D", (), {"hexdigest": lambda self: 5})())})()},
    "report": {"Report": type("R", (), {"__init__": _raising("report")})},
    "version": {"VERSION_SDK": RaisingBool()},
    "urlencode-missing": {"urlencode": None},
    "requests-missing": {"requests": None},
}


@contextlib.contextmanager
def rebound(module, names):
    saved = {name: getattr(module, name) for name in names}
    try:
        for name, value in names.items():
            if value is None:
                delattr(module, name)
            else:
                setattr(module, name, value)
        yield
    finally:
        for name, value in saved.items():
            setattr(module, name, value)


def _outcome(module, path, makers, keywords):
    def made(make):
        value = make()
        return getattr(module.Client.TypeReq, value) if type(value) is Member else value

    owner, _, name = path.partition(".")
    function = getattr(getattr(module, owner), name)
    args = [made(make) for make in makers]
    kwargs = {name: made(make) for name, make in keywords.items()}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = function(*args, **kwargs)
    except RecursionError:
        raise
    except BaseException as error:  # noqa: B902 - the property compares every type
        return type(error), error
    close = getattr(result, "close", None)
    if callable(close) and not hasattr(result, "connector"):  # aiohttp sessions close asynchronously
        close()
    return "returned", result is None


# (path, strategies of the positional arguments it is called with)
URLENCODE = [form(), any_value]
BOUNDARY = [form(), st.one_of(_fixed(None, "p", ""), hostile_scalar), lengths,
            st.one_of(_fixed(None, "", "b"), hostile_scalar), st.one_of(plain, hostile_scalar)]
TARGETS = {
    "_requests.create_urlencode": URLENCODE, "_aiohttp.create_urlencode": URLENCODE,
    "_requests.create_boundary": BOUNDARY, "_aiohttp.create_boundary": BOUNDARY,
    "_requests.ClientSession": [headers(), proxies],
    "Client.create_boundary": [type_reqs, form(), _fixed(None, "p"), lengths, _fixed(None, "b"), plain],
    "Client.ClientSession": [type_reqs, headers(), proxies],
}
KEYWORDS = ["data", "prefix", "length", "boundary", "MD5", "extra_headers", "proxy", "TypeReq", "bogus"]


@pytest.mark.parametrize("path", list(TARGETS))
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), database=None)
@given(data=st.data())
def test_native_fails_as_plain_python_does(path, data):
    strategies = TARGETS[path]
    count = data.draw(st.integers(0, len(strategies) + 1), label="positional count")
    makers = [data.draw(strategies[i] if i < len(strategies) else any_value) for i in range(count)]
    keywords = {name: data.draw(any_value) for name in data.draw(st.lists(st.sampled_from(KEYWORDS), max_size=2,
                                                                        unique=True), label="keywords")}
    rebinding = REBINDINGS[data.draw(st.sampled_from(sorted(REBINDINGS)), label="rebound")]
    with rebound(native, rebinding):
        got = _outcome(native, path, makers, keywords)
    with rebound(twins, rebinding):
        expected = _outcome(twins, path, makers, keywords)
    if got[0] != "returned":
        assert got[0] is not SystemError and "internal error" not in str(got[1]).lower(), got
    assert got[0] is expected[0], (got, expected)
