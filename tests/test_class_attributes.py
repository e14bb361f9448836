"""Class attributes the facade reads on every call, cls.TypeReq and then one
of its members: read as Python reads them (metaclass hooks included), and
remembered between calls only while nothing they depend on changes.

A value written into a class's namespace behind the interpreter's back (no
PyType_Modified) shows which reads are remembered: the interpreter's own
type cache and the module's keep answering with the value they saw, until
the class is marked modified; from then on every read sees the new one."""
import ctypes
import enum
import gc
import sys
import sysconfig
import types

import pytest

from pelun_online_sdk.client import Client
from helpers import BACKENDS, record_backends

TypeReq = Client.TypeReq
# Free-threaded builds go without the module's cache: every read it makes is fresh.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Emptying the interpreter's type cache gave every class a new version tag
# before 3.11. From 3.11 the tags survive it, and a remembered value can then
# only come from the module's own cache.
TAGS_SURVIVE_CLEARING = sys.version_info >= (3, 11)

_set_item = ctypes.pythonapi.PyDict_SetItem
_set_item.argtypes, _set_item.restype = (ctypes.py_object,) * 3, ctypes.c_int
_type_modified = ctypes.pythonapi.PyType_Modified
_type_modified.argtypes, _type_modified.restype = (ctypes.py_object,), None


def write_unannounced(cls, name, value):
    """cls.name = value in the class's own namespace, with no word to the caches."""
    namespace, = gc.get_referents(cls.__dict__)  # the dict behind the mapping proxy
    assert type(namespace) is dict
    assert _set_item(namespace, name, value) == 0


def clear_interpreter_caches():
    (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()


@pytest.fixture
def backends(monkeypatch):
    return record_backends(monkeypatch)


OPERATIONS = {
    "ClientSession": lambda cls, member: cls.ClientSession(member),
    "create_boundary": lambda cls, member: cls.create_boundary(member, {}),
}
# The member the facade tests first, and what each operation then reaches.
FIRST = BACKENDS[0]
REACHED = {"ClientSession": (FIRST.cls, "ClientSession"), "create_boundary": (FIRST.bodies, "create_boundary")}


def _class_read():
    """cls.TypeReq, found on Client and then shadowed by members that select nothing."""
    sub = type("Sub", (Client,), {})
    return sub, TypeReq[FIRST.member], sub, "TypeReq", types.SimpleNamespace(**{r.member: r for r in BACKENDS})


def _enum_member_read():
    """TypeReq.<member> of an enumeration (whose metaclass had a __getattr__ up to 3.11)."""
    members = enum.Enum("TypeReq", [row.member for row in BACKENDS])
    return type("Sub", (Client,), {"TypeReq": members}), members[FIRST.member], members, FIRST.member, object()


def _plain_member_read():
    """TypeReq.<member> of a plain class."""
    members = type("TypeReq", (), {row.member: object() for row in BACKENDS})
    sub = type("Sub", (Client,), {"TypeReq": members})
    return sub, getattr(members, FIRST.member), members, FIRST.member, object()


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("read", [_class_read, _enum_member_read, _plain_member_read], ids=lambda r: r.__name__[1:])
def test_a_remembered_read_holds_until_the_class_is_marked_modified(backends, operation, read):
    # Where the module's cache is on and the version tags survive, the value
    # it kept is all that answers once the interpreter's cache is emptied.
    expected_after_clearing = REACHED[operation] if TAGS_SURVIVE_CLEARING and not FREE_THREADED else None
    # Without the GIL nothing is remembered for certain: the interpreter's
    # cache may or may not answer, and the module keeps none.
    expected_before_clearing = (REACHED[operation], None) if FREE_THREADED else (REACHED[operation],)
    sub, member, holder, name, replacement = read()
    call = lambda: OPERATIONS[operation](sub, member)  # noqa: E731
    for _ in range(3):
        assert call() == REACHED[operation]
    write_unannounced(holder, name, replacement)
    before_clearing = call()
    clear_interpreter_caches()
    after_clearing = call()
    _type_modified(holder)
    assert [call(), call()] == [None, None]  # never stale
    assert before_clearing in expected_before_clearing and after_clearing == expected_after_clearing


def _reached(operation, member):
    row = next(row for row in BACKENDS if row.member == member)
    return (row.cls if operation == "ClientSession" else row.bodies, operation)


# Fresh classes land at fresh addresses, so each round places the call's
# reads somewhere else in memory: a cache that placed them by address would
# lose one on some round (four reads in 64 slots collide about once in
# eleven rounds).
ROUNDS = 64


@pytest.mark.skipif(FREE_THREADED or not TAGS_SURVIVE_CLEARING,
                    reason="only where the module's cache is on and its entries outlive the interpreter's")
@pytest.mark.parametrize("operation", OPERATIONS)
def test_no_read_of_a_call_pushes_another_out(backends, operation):
    # The member tested last: the call reads cls.TypeReq for each member and
    # every member once. Each is then rewritten behind the caches' back to a
    # value that would change the outcome if read afresh: cls.TypeReq to one
    # whose members all select the first backend, an earlier member to the
    # selected one (its backend would win), the selected member to nothing.
    # With the interpreter's cache emptied, only what the module remembered
    # keeps the call where it went.
    selected = max((row.member for row in BACKENDS), key=lambda member: len(_reads_in_python(operation, member)))
    assert set(_reads_in_python(operation, selected)) == {"TypeReq"} | {row.member for row in BACKENDS}
    outcomes = []
    for _ in range(ROUNDS):
        members = type("TypeReq", (), {row.member: TypeReq[row.member] for row in BACKENDS})
        sub = type("Sub", (Client,), {"TypeReq": members})
        for _ in range(2):
            assert OPERATIONS[operation](sub, TypeReq[selected]) == _reached(operation, selected)
        write_unannounced(sub, "TypeReq", types.SimpleNamespace(**{r.member: TypeReq[selected] for r in BACKENDS}))
        for row in BACKENDS:
            write_unannounced(members, row.member, object() if row.member == selected else TypeReq[selected])
        clear_interpreter_caches()
        outcomes.append(OPERATIONS[operation](sub, TypeReq[selected]))
    assert outcomes == [_reached(operation, selected)] * ROUNDS


def _reads_in_python(operation, selected):
    """cls.TypeReq and a member for each comparison, in the order the plain
    Python facade makes them: one `if` per backend, or per builder with
    `or` between the members it builds for."""
    order = BACKENDS if operation == "ClientSession" else [
        row for builder in BACKENDS if builder.bodies == builder.cls for row in BACKENDS if row.bodies == builder.cls]
    reads = []
    for row in order:
        reads += ["TypeReq", row.member]
        if row.member == selected:
            return reads
    raise AssertionError(f"{selected} is never tested")


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("selected", [row.member for row in BACKENDS])
def test_a_metaclass_getattribute_runs_on_every_read(backends, operation, selected):
    reads = []

    class Counting(type):
        def __getattribute__(cls, name):
            reads.append(name)
            return super().__getattribute__(name)

    members = Counting("TypeReq", (), {row.member: TypeReq[row.member] for row in BACKENDS})
    sub = Counting("Sub", (Client,), {"TypeReq": members})
    per_call = []
    for _ in range(4):
        reads.clear()
        assert OPERATIONS[operation](sub, TypeReq[selected]) is not None
        per_call.append([name for name in reads if name != operation])  # sub.<operation> is the caller's read
    assert per_call == [_reads_in_python(operation, selected)] * 4


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
