"""Form bodies: urlencoded text and multipart bodies for requests and aiohttp."""
import collections
import hashlib
import re
import string
from urllib.parse import urlencode

import aiohttp
import pytest
from requests_toolbelt import MultipartEncoder

import pelun_online_sdk.client as client
from pelun_online_sdk.utils import Report
from helpers import assert_no_leak, swallowing

ALPHABET = set(string.ascii_letters + string.digits + "._-")
HEX32 = re.compile(r"[0-9a-f]{32}\Z")
BUILDERS = [client._requests.create_boundary, client._aiohttp.create_boundary]


def boundary_of(result):
    return result.headers["Content-Type"].split("boundary=")[1]


@pytest.mark.parametrize("build", BUILDERS)
@pytest.mark.parametrize("kwargs, check", [
    ({}, lambda b: HEX32.match(b)), ({"MD5": True}, lambda b: HEX32.match(b)),
    ({"length": 0}, lambda b: b == hashlib.md5(b"").hexdigest()),
    ({"prefix": "x"}, lambda b: b[:2] == "x-" and len(b) == 53 and set(b[2:]) <= ALPHABET),
    ({"prefix": ""}, lambda b: b[0] == "-" and len(b) == 52 and set(b[1:]) <= ALPHABET),
    ({"prefix": "x", "length": 0}, lambda b: b == "x-"), ({"prefix": "x", "length": 300}, lambda b: len(b) == 302),
    ({"prefix": "x", "length": -2**100}, lambda b: b == "x-"),
    ({"prefix": "x", "length": 0, "MD5": True}, lambda b: b == hashlib.md5(b"x-").hexdigest()),
    ({"boundary": "abc", "prefix": "x", "MD5": True}, lambda b: b == "abc"),
    ({"boundary": "", "prefix": "y", "length": 3}, lambda b: b[:2] == "y-" and len(b) == 5),
])
def test_boundary_forms(build, kwargs, check):
    assert check(boundary_of(build({"a": "b"}, **kwargs)))


def test_md5_without_prefix_hashes_the_hex_digest(monkeypatch):
    monkeypatch.setattr(client.secrets, "choice", lambda chars: "z")
    plain = boundary_of(client._requests.create_boundary({}, length=4))
    assert plain == hashlib.md5(b"zzzz").hexdigest()
    twice = boundary_of(client._requests.create_boundary({}, length=4, MD5=1))
    assert twice == hashlib.md5(plain.encode()).hexdigest()


def test_requests_body_normalises_the_callers_dict():
    fields = {"i": 5, "f": 1.5, "b": True, "l": [1, "x"], "d": {"k": None}, "s": "x", "n": None}
    result = client._requests.create_boundary(fields)
    assert fields == {
        "i": "5", "f": "1.5", "b": "True", "l": '[1, "x"]', "d": '{"k": null}', "s": "x", "n": None,
    }
    assert list(fields) == ["i", "f", "b", "l", "d", "s", "n"]
    assert isinstance(result.data, MultipartEncoder) and result.data.fields is fields
    assert result.headers == {"Content-Type": result.data.content_type}
    assert isinstance(result, Report) and type(result).__name__ == "Boundary"
    assert type(client._requests.create_boundary({})) is not type(result)  # a class of its own per call


def test_aiohttp_body_leaves_the_callers_dict_alone():
    fields = {"i": 5, "b": True, "l": [1], "d": {"k": 1}, "s": "x"}
    original = dict(fields)
    result = client._aiohttp.create_boundary(fields)
    writer = result.data
    assert fields == original and isinstance(writer, aiohttp.MultipartWriter)
    assert [part._value.decode() for part, _, _ in writer] == ["5", "True", "[1]", '{"k": 1}', "x"]
    assert [part.headers["Content-Disposition"] for part, _, _ in writer] == [f'form-data; name="{k}"' for k in fields]
    assert result.headers == {"Content-Type": writer.content_type}


def test_rebound_report_becomes_the_next_base(monkeypatch):
    class Other:
        pass

    monkeypatch.setattr(client, "Report", Other)
    assert type(client._aiohttp.create_boundary({})).__bases__ == (Other,)
    monkeypatch.delattr(client, "Report")
    with pytest.raises(NameError, match="^name 'Report' is not defined$"):
        client._requests.create_boundary({"a": 1})


def test_urlencode_matches_the_library():
    fields = {"a": "1 2", "b": ["x", "y"], "c": 3}
    for build in (client._requests.create_urlencode, client._aiohttp.create_urlencode):
        assert build(fields) == urlencode(fields)
    assert fields == {"a": "1 2", "b": ["x", "y"], "c": 3}


def test_errors_mid_walk_leave_earlier_fields_normalised(monkeypatch):
    fields = {"a": 1, 2: 3, "c": 4}
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        client._requests.create_boundary(fields)
    assert fields == {"a": "1", 2: 3, "c": 4}
    fields = {"a": 1, "b": [1], "c": 2}
    dumps = client.json.dumps
    monkeypatch.setattr(client.json, "dumps", lambda value: fields.update(new=1) or dumps(value))
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        client._requests.create_boundary(fields)
    assert fields["a"] == "1"


class Writer(aiohttp.MultipartWriter):
    exits = []
    outcome = False  # what __exit__ returns, or raises if an exception

    def __exit__(self, *exc_info):
        Writer.exits.append(exc_info)
        if isinstance(Writer.outcome, Exception):
            raise Writer.outcome
        return Writer.outcome


@pytest.mark.parametrize("outcome", [False, True, KeyError("exit")], ids=["propagate", "swallow", "raise"])
def test_aiohttp_writer_exit_sees_every_way_out(monkeypatch, outcome):
    monkeypatch.setattr(client.aiohttp, "MultipartWriter", Writer)
    monkeypatch.setattr(Writer, "exits", [])
    monkeypatch.setattr(Writer, "outcome", outcome)
    if not isinstance(outcome, Exception):
        assert client._aiohttp.create_boundary({}) is not None and Writer.exits == [(None, None, None)]
    fields = {"ok": "x", "bad": [object()]}
    if outcome is True:
        assert client._aiohttp.create_boundary(fields) is None
    else:
        with pytest.raises(type(outcome) if outcome else TypeError, match="exit" if outcome else "not JSON") as caught:
            client._aiohttp.create_boundary(fields)
        assert not outcome or isinstance(caught.value.__context__, TypeError)  # the raising exit replaces it
    kind, value, traceback = Writer.exits[-1]
    assert kind is TypeError and isinstance(value, TypeError) and traceback is not None


def test_hashmd5_returning_a_non_str_is_refused(monkeypatch):
    class Digest:
        def hexdigest(self):
            return b"bytes"

    monkeypatch.setattr(client.HashMD5, "new", lambda data: Digest())
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        client._requests.create_boundary({})


@pytest.mark.parametrize("backend", [client._requests, client._aiohttp], ids=["requests", "aiohttp"])
def test_bodies_do_not_leak(backend, monkeypatch):
    fields, bad = {"a": 1, "b": "x"}, {"a": {1j}}
    assert_no_leak(lambda: backend.create_boundary(dict(fields), "p", 10), fields, calls=2000)
    assert_no_leak(swallowing(lambda: backend.create_boundary(bad)), bad, calls=2000)
    assert_no_leak(swallowing(lambda: backend.create_boundary(None)), calls=2000)
    assert_no_leak(lambda: backend.create_urlencode(fields), fields)
    assert_no_leak(swallowing(lambda: backend.create_urlencode(None)))
    if backend is client._aiohttp:  # an error the writer's __exit__ swallows
        monkeypatch.setattr(client.aiohttp, "MultipartWriter", Writer)
        monkeypatch.setattr(Writer, "outcome", True)
        monkeypatch.setattr(Writer, "exits", collections.deque(maxlen=1))
        assert_no_leak(lambda: client._aiohttp.create_boundary(bad, boundary="b"), bad, calls=2000)
