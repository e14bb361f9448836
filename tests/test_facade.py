"""Client: TypeReq selects the backend; arguments pass on positionally."""
import types

import pytest

import pelun_online_sdk.client as client
from pelun_online_sdk.client import Client
from helpers import BACKENDS, assert_no_leak, swallowing

TypeReq = Client.TypeReq


class Recorder:
    """Stands in for a backend class and records the calls it gets."""

    def __init__(self, name):
        self.name, self.calls = name, []

    def __getattr__(self, operation):
        def record(*args, **kwargs):
            self.calls.append((operation, args, kwargs))
            return (self.name, operation)

        return record


@pytest.fixture
def backends(monkeypatch):
    recorders = {row.cls: Recorder(row.cls) for row in BACKENDS}
    for name, recorder in recorders.items():
        monkeypatch.setattr(client, name, recorder)
    return recorders


@pytest.mark.parametrize("member, backend", [(TypeReq[row.member], row.cls) for row in BACKENDS],
                         ids=[row.member for row in BACKENDS])
def test_sessions_reach_their_backend(backends, member, backend):
    headers, proxy = {"a": "b"}, object()
    assert Client.ClientSession(member, proxy=proxy, extra_headers=headers) == (backend, "ClientSession")
    assert backends[backend].calls == [("ClientSession", (headers, proxy), {})]
    assert Client().ClientSession(member) == (backend, "ClientSession")
    assert backends[backend].calls[1][1][0] is Client.ClientSession.__defaults__[0]
    assert sum(len(r.calls) for r in backends.values()) == 2


@pytest.mark.parametrize("member, backend", [(TypeReq[row.member], row.bodies) for row in BACKENDS],
                         ids=[row.member for row in BACKENDS])
def test_bodies_reach_their_builder(backends, member, backend):
    fields = {}
    assert Client.create_boundary(member, fields) == (backend, "create_boundary")
    assert Client.create_boundary(member, fields, "p", 10, None, "yes")
    assert backends[backend].calls == [
        ("create_boundary", (fields, None, 51, None, False), {}),
        ("create_boundary", (fields, "p", 10, None, "yes"), {}),
    ]


@pytest.mark.parametrize("value", [*(row.value for row in BACKENDS), *(row.member for row in BACKENDS), None, TypeReq])
def test_values_and_names_select_nothing(backends, value):
    assert Client.ClientSession(value) is None
    assert Client.create_boundary(value, {}) is None
    assert not any(r.calls for r in backends.values())


class Hostile:
    def __init__(self, failing):
        self.failing = failing

    def __eq__(self, other):
        if self.failing == "eq":
            raise ZeroDivisionError("eq")
        return self

    def __bool__(self):
        raise ZeroDivisionError("bool")


@pytest.mark.parametrize("failing", ["eq", "bool"])
def test_comparison_errors_pass_through(backends, failing):
    with pytest.raises(ZeroDivisionError, match=failing):
        Client.ClientSession(Hostile(failing))
    with pytest.raises(ZeroDivisionError, match=failing):
        Client.create_boundary(Hostile(failing), {})


def test_type_test_comes_before_any_comparison(backends):
    with pytest.raises(TypeError, match=r"^Argument 'extra_headers' has incorrect type \(expected dict, got NoneType\)$"):
        Client.ClientSession(Hostile("eq"), None)
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected dict, got NoneType\)$"):
        Client.create_boundary(1, None)


def test_members_are_read_from_cls(backends):
    first, second = BACKENDS[:2]

    class Narrow(Client):
        TypeReq = types.SimpleNamespace(**{first.member: "a"})

    assert Narrow.ClientSession("a") == (first.cls, "ClientSession")
    with pytest.raises(AttributeError, match=second.member):
        Narrow.ClientSession("b")


def test_missing_backend_is_a_name_error(monkeypatch):
    monkeypatch.delattr(client, "_requests")
    with pytest.raises(NameError, match="^name '_requests' is not defined$"):
        Client.create_boundary(TypeReq.HTTPX, {})


def test_facade_does_not_leak():
    headers = {"a": "b"}
    assert_no_leak(lambda: Client.ClientSession(0, headers), headers)
    assert_no_leak(lambda: Client.create_boundary(TypeReq.REQUESTS, {"a": 1}, "p", 8))
    assert_no_leak(swallowing(lambda: Client.ClientSession(Hostile("eq"))))


class _Reading(type):
    """A metaclass with a __getattr__ of its own, as enumerations had up to 3.11."""

    reads = []

    def __getattr__(cls, name):
        _Reading.reads.append(name)
        if name == "HTTPX":
            return "picked"
        raise AttributeError(name)


class _Overriding(_Reading):
    def __getattribute__(cls, name):
        return "picked" if name == "REQUESTS" else super().__getattribute__(name)


@pytest.mark.parametrize("metaclass, found_by_getattr", [(_Reading, ["AIOHTTP", "REQUESTS"]), (_Overriding, [])])
def test_members_are_read_through_the_metaclass_hooks(metaclass, found_by_getattr):
    # Members found in the class, members supplied by __getattr__, and a
    # metaclass __getattribute__ all count, as attribute reads in Python do.
    members = metaclass("Members", (), {"AIOHTTP": "a", "REQUESTS": "r"})
    _Reading.reads.clear()

    class Sub(Client):
        TypeReq = members

    if metaclass is _Reading:
        del members.AIOHTTP, members.REQUESTS  # now only __getattr__ knows HTTPX
        with pytest.raises(AttributeError, match="AIOHTTP"):
            Sub.create_boundary("picked", {})
        assert _Reading.reads == ["AIOHTTP"]
        members.AIOHTTP = members.REQUESTS = "other"
        _Reading.reads.clear()
        assert Sub.create_boundary("picked", {}, boundary="b") is not None  # HTTPX from __getattr__
        assert _Reading.reads == ["HTTPX"]
    else:
        assert Sub.create_boundary("picked", {}, boundary="b") is not None  # REQUESTS overridden
        assert _Reading.reads == found_by_getattr


def test_changed_classes_are_read_afresh():
    # Reads of cls.TypeReq and of its members may be remembered between
    # calls only while nothing they depend on changes.
    class Meta(type):
        pass

    class Base(Client, metaclass=Meta):
        TypeReq = types.SimpleNamespace(AIOHTTP="a", REQUESTS="r", HTTPX="h")

    class Sub(Base):
        pass

    def picks(value):
        return Sub.create_boundary(value, {}, boundary="b") is not None

    for _ in range(3):
        assert picks("r") and not picks("x")
    Base.TypeReq = types.SimpleNamespace(AIOHTTP="a", REQUESTS="x", HTTPX="h")  # a base changes
    assert picks("x") and not picks("r")
    Meta.TypeReq = property(lambda cls: types.SimpleNamespace(AIOHTTP="a", REQUESTS="m", HTTPX="h"))
    assert picks("m") and not picks("x")  # a data descriptor of the metaclass wins
    del Meta.TypeReq
    Sub.TypeReq = type("Members", (), {"AIOHTTP": "a", "REQUESTS": "s", "HTTPX": "h"})
    assert picks("s")
    Sub.TypeReq.REQUESTS = "t"  # a member changes on the class read through
    assert picks("t") and not picks("s")
