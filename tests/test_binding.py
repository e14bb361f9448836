"""Argument binding and the exact-type tests of every function, in the interpreter's wording."""
import asyncio
import ctypes
import functools
import inspect
import ssl
import sys
import traceback
from collections import OrderedDict

import aiohttp
import httpx
import pytest
import requests
from hypothesis import given, settings
from hypothesis import strategies as st

import pelun_online_sdk.client as client
from client_lines import FILENAME, def_line
from helpers import assert_no_leak, record_backends, swallowing

C, T, RQ, HX, AIO = client.Client, client.Client.TypeReq, client._requests, client._httpx, client._aiohttp
CONTEXT, ADAPTER = client.SSLContext(ssl.PROTOCOL_TLS_CLIENT), client.RequestsAdapter()
with HX.ClientSession() as _session:
    AUTODETECT = _session._default_encoding
RB, AB = type(RQ.create_boundary({})), type(AIO.create_boundary({}))
Str, Int, Sub = type("Str", (str,), {}), type("Int", (int,), {}), type("Sub", (dict,), {})


def raised(function, *args, via=None, **kwargs):
    """The TypeError's message; the traceback must end in the function's entry at its def line."""
    with pytest.raises(TypeError) as info:
        (via or function)(*args, **kwargs)
    qualname = getattr(function, "__func__", function).__qualname__
    entry = traceback.extract_tb(info.tb)[-1]
    assert (entry.name, entry.filename, entry.lineno) == (
        f"pelun_online_sdk.client.{qualname}", FILENAME, def_line(qualname))
    return str(info.value)


@pytest.mark.parametrize("function, args, kwargs, bound, count, given", [
    (C.ClientSession, (), {}, "at least", 2, 1),
    (C.ClientSession, (), {"proxy": None}, "at least", 2, 1),
    (C.ClientSession, (0, {}, None, 4), {}, "at most", 4, 5),
    (C.create_boundary, (), {"data": {}}, "at least", 3, 1),
    (C.create_boundary, (T.HTTPX,), {}, "at least", 3, 2),
    (C.create_boundary, (), {"TypeReq": T.HTTPX}, "at least", 3, 2),
    (RQ.create_urlencode, (), {}, "exactly", 1, 0),
    (AIO.create_urlencode, ({}, {}), {}, "exactly", 1, 2),
    (AIO.create_boundary, ({}, None, 51, None, False, 6), {}, "at most", 5, 6),
    (AIO.ClientSession, ({}, None, 3, 4), {}, "at most", 2, 4),
    (client.SSLContext.set_alpn_protocols, (CONTEXT,), {}, "exactly", 2, 1),
    (CONTEXT.set_alpn_protocols, ([], []), {}, "exactly", 2, 3),
    (client.RequestsAdapter.__init__, (), {}, "at least", 1, 0),  # *args: no upper bound to name
    (AUTODETECT, (), {}, "exactly", 1, 0),
    (AB.__init__, (AB.__new__(AB), {}, 1, 2), {}, "exactly", 3, 4),
])
def test_positional_counts(function, args, kwargs, bound, count, given):
    assert raised(function, *args, **kwargs) == (
        f"{function.__name__}() takes {bound} {count} positional argument{'s' * (count != 1)} ({given} given)")


CALLS = [  # raw function, positional arguments that bind (TypeReq 0 selects nothing), first parameter
    (C.ClientSession.__func__, (C, 0), "cls"), (C.create_boundary.__func__, (C, 0, {}), "cls"),
    (RQ.create_urlencode, ({},), "data"), (AIO.create_urlencode, ({},), "data"),
    (RQ.create_boundary, ({},), "data"), (AIO.create_boundary, ({},), "data"),
    (RQ.ClientSession, ({},), "extra_headers"), (HX.ClientSession, ({},), "extra_headers"),
    (AIO.ClientSession, ({},), "extra_headers"), (client.SSLContext.set_alpn_protocols, (CONTEXT, []), "self"),
    (client.RequestsAdapter.__init__, (ADAPTER,), "self"), (client.RequestsAdapter.init_poolmanager, (ADAPTER,), "self"),
    (AUTODETECT, (b"",), "content"), (RB.__init__, (RB.__new__(RB), {}, None), "self"),
    (AB.__init__, (AB.__new__(AB), {}, None), "self"),
]


class _Holder:
    """Its instance attribute is found as a plain callable, so a method call
    through it drops the holder and vectorcalls the function itself."""


def vectorcall(function, args, kwnames):
    """Calls `function` through its vectorcall entry with `kwnames` as given,
    unchecked, as a C caller may; the values of the keywords are None."""
    obj, array, size = ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t
    # The first releases to export them: 3.11 and 3.9. 3.8's PyVectorcall_Call
    # passes a dict's keys on as keyword names without looking at their type.
    name = ("PyObject_Vectorcall" if sys.version_info >= (3, 11) else
            "PyObject_VectorcallMethod" if sys.version_info >= (3, 9) else "PyVectorcall_Call")
    call = getattr(ctypes.pythonapi, name)
    call.restype, call.argtypes = obj, [obj, obj, obj] if name == "PyVectorcall_Call" else [obj, array, size, obj]
    if name == "PyVectorcall_Call":
        return call(function, tuple(args), dict.fromkeys(kwnames))
    if name == "PyObject_VectorcallMethod":
        (holder := _Holder()).target = function
        function, args = "target", (holder, *args)
    values = (*args, *[None] * len(kwnames))
    return call(function, (obj * len(values))(*values), len(args), kwnames)


@pytest.mark.parametrize("function, args, first", CALLS)
def test_keyword_errors(function, args, first):
    name = function.__name__
    if not function.__code__.co_flags & inspect.CO_VARKEYWORDS:
        assert raised(function, *args, bogus=1) == f"{name}() got an unexpected keyword argument 'bogus'"
    assert raised(function, *args, **{first: 1}) == f"{name}() got multiple values for keyword argument '{first}'"
    # A call statement has its keyword names checked by the interpreter; these two paths reach the function.
    assert raised(function, via=lambda: vectorcall(function, args, (1,))) == f"{name}() keywords must be strings"
    assert raised(function, via=lambda: function.__call__(*args, **{1: 2})) == f"{name}() keywords must be strings"


@pytest.mark.parametrize("positional", range(7))
def test_the_widest_signature_binds_every_slot(monkeypatch, positional):
    # Client.create_boundary(cls, TypeReq, data, prefix, length, boundary, MD5):
    # the first `positional` arguments by position, the rest by keyword in
    # reverse order, or left to their defaults.
    backends = record_backends(monkeypatch)
    data = {}
    values = dict(TypeReq=T.REQUESTS, data=data, prefix="p", length=9, boundary="b", MD5="yes")
    names = list(values)
    given = [values[name] for name in names[:positional]]
    keywords = {name: values[name] for name in reversed(names[positional:])}
    assert C.create_boundary(*given, **keywords) == ("_requests", "create_boundary")
    if positional >= 2:
        defaults = dict(TypeReq=T.REQUESTS, data=data, prefix=None, length=51, boundary=None, MD5=False)
        assert C.create_boundary(*given) == ("_requests", "create_boundary")
        expected = [defaults[name] if index >= positional else values[name] for index, name in enumerate(names)]
        assert backends["_requests"].calls[1] == ("create_boundary", tuple(expected[1:]), {})
    assert backends["_requests"].calls[0] == ("create_boundary", (data, "p", 9, "b", "yes"), {})


BUILDER_CASES = [  # args, kwargs, parameter, expected, given; the first failing test in parameter order wins
    ((None,), {}, "data", "dict", "NoneType"),
    ((OrderedDict(), b"", True, b""), {}, "data", "dict", "collections.OrderedDict"),
    (({}, b"", True, b""), {}, "prefix", "str", "bytes"),
    (({},), {"prefix": Str()}, "prefix", "str", "Str"),
    (({}, None, True, b""), {}, "length", "int", "bool"),
    (({}, None, None), {}, "length", "int", "NoneType"),
    (({},), {"length": Int(5)}, "length", "int", "Int"),
    (({}, None, 5, b""), {}, "boundary", "str", "bytes"),
]
BUILDERS = [RQ.create_boundary, AIO.create_boundary, functools.partial(C.create_boundary, 0)]


@pytest.mark.parametrize("function, args, kwargs, parameter, expected, given", [
    *[(builder, *case) for builder in BUILDERS for case in BUILDER_CASES],
    (C.ClientSession, (0, None), {}, "extra_headers", "dict", "NoneType"),
    (RQ.ClientSession, ([],), {}, "extra_headers", "dict", "list"),
    (HX.ClientSession, (Sub(),), {}, "extra_headers", "dict", "Sub"),
    (AIO.ClientSession, (), {"extra_headers": None}, "extra_headers", "dict", "NoneType"),
    (RQ.create_urlencode, (OrderedDict(),), {}, "data", "dict", "collections.OrderedDict"),
    (AIO.create_urlencode, (), {"data": None}, "data", "dict", "NoneType"),
    (RB.__init__, (RB.__new__(RB), [], None), {}, "headers", "dict", "list"),
    (AB.__init__, (AB.__new__(AB),), {"data": None, "headers": Sub()}, "headers", "dict", "Sub"),
])
def test_exact_type_tests(function, args, kwargs, parameter, expected, given):
    assert raised(getattr(function, "func", function), *args, via=function, **kwargs) == (
        f"Argument '{parameter}' has incorrect type (expected {expected}, got {given})")


def test_accepted_values_pass_unconverted():
    # TypeReq 0 selects no builder: only binding and the type tests run.
    assert C.create_boundary(0, {}, "", 2**80, "", object()) is None
    assert C.create_boundary(0, data={}, prefix=None, length=-(2**80), boundary=None, MD5=None) is None
    assert C.ClientSession(0, {}, object()) is None


def _refuse(*args):
    raise ValueError("hostile")


class Hostile:
    __eq__ = __hash__ = __bool__ = __len__ = __iter__ = __index__ = __str__ = _refuse


EXACT = {"dict": (dict,), "Dict[str, str]": (dict,), "str": (str, type(None)), "int": (int,)}
values = st.recursive(
    st.none() | st.booleans() | st.integers(-3, 60) | st.text(max_size=5) | st.binary(max_size=5) | st.builds(Hostile)
    | st.sampled_from([*T, Str("s"), Int(1), OrderedDict(), Sub(), 1.5, object()]),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3), max_leaves=6)
names = st.sampled_from(["TypeReq", "data", "prefix", "length", "boundary", "MD5", "extra_headers", "proxy", "self",
                         "cls", "alpn_protocols", "headers", "content", "args", "kwargs", "bogus"])


def refusal(function, args, kwargs):
    """What binding must refuse, judged by the declared signature: True for any TypeError, or the message's start."""
    try:
        bound = inspect.signature(function).bind(*args, **kwargs).arguments
    except TypeError:
        return True
    annotations = getattr(function, "__func__", function).__annotations__
    for parameter, value in bound.items():
        accepted = EXACT.get(annotations.get(parameter))
        if accepted and type(value) not in accepted:
            return f"Argument '{parameter}' has incorrect type (expected {accepted[0].__name__}, got "
    return None


async def call_and_close(function, args, kwargs):
    result = function(*args, **kwargs)
    if isinstance(result, aiohttp.ClientSession):
        await result.close()
    elif isinstance(result, (requests.Session, httpx.Client)):
        result.close()


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("function", [C.ClientSession, C.create_boundary, *[f for f, _, _ in CALLS[2:]]],
                         ids=lambda f: f.__qualname__)
@settings(max_examples=150, deadline=None)
@given(args=st.lists(values, max_size=8), kwargs=st.dictionaries(names, values, max_size=4))
def test_arbitrary_calls_bind_as_declared(function, args, kwargs):
    expected = refusal(function, args, kwargs)
    try:
        asyncio.run(call_and_close(function, args, kwargs))
    except TypeError as error:
        assert expected in (True, None) or str(error).startswith(expected)
    except Exception:
        assert expected is None
    else:
        assert expected is None


@pytest.mark.parametrize("action", [
    lambda: C.create_boundary(0, data={}, prefix="p", length=7, MD5=True),
    *[swallowing(action, TypeError) for action in (
        lambda: C.create_boundary(0), lambda: RQ.create_boundary({}, 1, 2, 3, 4, 5),
        lambda: AIO.create_urlencode({}, bogus=1), lambda: C.ClientSession(0, {}, extra_headers={}),
        lambda: C.create_boundary(0, {}, length=True), lambda: RQ.create_urlencode.__call__({}, **{1: 2}),
        lambda: vectorcall(RQ.create_urlencode, ({},), (1,)))],
])
def test_binding_does_not_leak(action):
    assert_no_leak(action)


def _formatted(fmt, *args):
    # The interpreter's own rendering of a printf-style message.
    render = ctypes.pythonapi.PyUnicode_FromFormat
    render.restype, render.argtypes = ctypes.py_object, [ctypes.c_char_p] * (1 + len(args))
    return render(fmt.encode(), *(arg.encode() for arg in args))


@pytest.mark.parametrize("type_name", [
    "Ä" * 150, "a" + "Ä" * 150, "x" * 300, "名前",
    # Cut inside a character of two, three and four bytes, at each place it can be cut.
    *["a" * lead + "名" * 100 for lead in (1, 2)], *["a" * lead + "😀" * 60 for lead in (1, 2, 3)],
    # 200 bytes exactly, ending in a whole character; 199 and 201 around it.
    "a" * 198 + "Ä", "a" * 197 + "Ä", "a" * 199 + "Ä", "a" * 196 + "😀",
])
def test_type_names_render_as_the_interpreter_formats_them(type_name):
    # Names longer than 200 bytes are cut there, even inside a character;
    # how a cut character ends the message depends on the interpreter.
    value = type(type_name, (), {})()
    with pytest.raises(TypeError) as raised:
        client._requests.create_urlencode(value)
    assert str(raised.value) == _formatted(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "data", "dict", type_name)
