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


@pytest.mark.parametrize("row", BACKENDS, ids=[row.member for row in BACKENDS])
def test_calls_reach_their_backend(backends, row):
    member, headers, proxy, fields = TypeReq[row.member], {"a": "b"}, object(), {}
    assert Client.ClientSession(member, proxy=proxy, extra_headers=headers) == (row.cls, "ClientSession")
    assert Client().ClientSession(member) == (row.cls, "ClientSession")
    assert backends[row.cls].calls[0] == ("ClientSession", (headers, proxy), {})
    assert backends[row.cls].calls[1][1][0] is Client.ClientSession.__defaults__[0]
    assert sum(len(r.calls) for r in backends.values()) == 2
    backends[row.cls].calls.clear()
    assert Client.create_boundary(member, fields) == (row.bodies, "create_boundary")
    assert Client.create_boundary(member, fields, "p", 10, None, "yes")
    assert backends[row.bodies].calls == [("create_boundary", (fields, None, 51, None, False), {}),
                                          ("create_boundary", (fields, "p", 10, None, "yes"), {})]


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
    # The argument types are tested before any comparison.
    with pytest.raises(TypeError, match=r"^Argument 'extra_headers' has incorrect type \(expected dict, got NoneType\)$"):
        Client.ClientSession(Hostile(failing), None)


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
