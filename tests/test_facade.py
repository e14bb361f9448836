"""Client: TypeReq selects the backend; arguments pass on positionally."""
import types

import pytest

import pelun_online_sdk.client as client
from pelun_online_sdk.client import Client
from helpers import BACKENDS, assert_no_leak, record_backends, swallowing

TypeReq = Client.TypeReq


@pytest.fixture
def backends(monkeypatch):
    return record_backends(monkeypatch)


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
