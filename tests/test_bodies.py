"""Form bodies: urlencoded text and multipart bodies for requests and aiohttp."""
import hashlib
import json
import re
import string
from collections import OrderedDict
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
@pytest.mark.parametrize(
    "kwargs, check",
    [
        ({}, lambda b: HEX32.match(b)),
        ({"length": 0}, lambda b: b == hashlib.md5(b"").hexdigest()),
        ({"length": -5}, lambda b: b == hashlib.md5(b"").hexdigest()),
        ({"MD5": True}, lambda b: HEX32.match(b)),
        ({"prefix": "x"}, lambda b: b[:2] == "x-" and len(b) == 53 and set(b[2:]) <= ALPHABET),
        ({"prefix": ""}, lambda b: b[0] == "-" and len(b) == 52 and set(b[1:]) <= ALPHABET),
        ({"prefix": "x", "length": 0}, lambda b: b == "x-"),
        ({"prefix": "x", "length": 300}, lambda b: len(b) == 302),
        ({"prefix": "x", "length": -2**100}, lambda b: b == "x-"),
        ({"prefix": "x", "length": 0, "MD5": True}, lambda b: b == hashlib.md5(b"x-").hexdigest()),
        ({"boundary": "abc", "prefix": "x", "MD5": True}, lambda b: b == "abc"),
        ({"boundary": "", "prefix": "y", "length": 3}, lambda b: b[:2] == "y-" and len(b) == 5),
    ],
)
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


def test_aiohttp_body_leaves_the_callers_dict_alone():
    fields = {"i": 5, "b": True, "l": [1], "d": {"k": 1}, "s": "x"}
    original = dict(fields)
    result = client._aiohttp.create_boundary(fields)
    assert fields == original
    writer = result.data
    assert isinstance(writer, aiohttp.MultipartWriter)
    texts = [part._value.decode() for part, _, _ in writer]
    assert texts == ["5", "True", "[1]", '{"k": 1}', "x"]
    names = [part.headers["Content-Disposition"] for part, _, _ in writer]
    assert names == [f'form-data; name="{k}"' for k in fields]
    assert result.headers == {"Content-Type": writer.content_type}


def test_each_call_makes_its_own_result_class():
    first, second = (client._requests.create_boundary({}) for _ in range(2))
    assert type(first) is not type(second)
    assert type(first).__qualname__ == "_requests.create_boundary.<locals>.Boundary"
    assert type(first).__init__.__annotations__ == {
        "headers": "Dict[str, str]", "data": "MultipartEncoder", "return": "None"}


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
    with pytest.raises(TypeError, match=r"expected dict, got collections.OrderedDict\)$"):
        client._requests.create_urlencode(OrderedDict())


def test_non_string_key_fails_after_earlier_keys_are_normalised():
    fields = {"a": 1, 2: 3, "c": 4}
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        client._requests.create_boundary(fields)
    assert fields == {"a": "1", 2: 3, "c": 4}


def test_dict_growing_during_the_walk(monkeypatch):
    fields = {"a": 1, "b": [1], "c": 2}

    def dumps(value, original=json.dumps):
        fields["new"] = 1
        return original(value)

    monkeypatch.setattr(client.json, "dumps", dumps)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        client._requests.create_boundary(fields)
    assert fields["a"] == "1"


class Writer(aiohttp.MultipartWriter):
    exits = []
    swallow = False

    def __exit__(self, *exc_info):
        Writer.exits.append(exc_info)
        return Writer.swallow


@pytest.mark.parametrize("swallow", [False, True])
def test_aiohttp_writer_exit_sees_every_way_out(monkeypatch, swallow):
    monkeypatch.setattr(client.aiohttp, "MultipartWriter", Writer)
    monkeypatch.setattr(Writer, "swallow", swallow)
    Writer.exits.clear()
    assert client._aiohttp.create_boundary({}) is not None
    assert Writer.exits == [(None, None, None)]
    fields = {"ok": "x", "bad": [object()]}
    if swallow:
        assert client._aiohttp.create_boundary(fields) is None
    else:
        with pytest.raises(TypeError, match="not JSON serializable"):
            client._aiohttp.create_boundary(fields)
    kind, value, traceback = Writer.exits[-1]
    assert kind is TypeError and isinstance(value, TypeError) and traceback is not None


def test_aiohttp_exit_that_raises_replaces_the_error(monkeypatch):
    class Failing(aiohttp.MultipartWriter):
        def __exit__(self, *exc_info):
            raise KeyError("exit")

    monkeypatch.setattr(client.aiohttp, "MultipartWriter", Failing)
    with pytest.raises(KeyError) as caught:
        client._aiohttp.create_boundary({"bad": {1j}})
    assert isinstance(caught.value.__context__, TypeError)


def test_hashmd5_returning_a_non_str_is_refused(monkeypatch):
    class Digest:
        def hexdigest(self):
            return b"bytes"

    monkeypatch.setattr(client.HashMD5, "new", lambda data: Digest())
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        client._requests.create_boundary({})


@pytest.mark.parametrize("build", BUILDERS)
def test_bodies_do_not_leak(build):
    fields = {"a": 1, "b": "x"}
    assert_no_leak(lambda: build(dict(fields), "p", 10), fields, calls=2000)
    bad = {"a": {1j}}
    assert_no_leak(swallowing(lambda: build(bad)), bad, calls=2000)
    assert_no_leak(swallowing(lambda: build(None)), calls=2000)


def test_urlencode_and_swallowed_errors_do_not_leak(monkeypatch):
    fields = {"a": "1 2"}
    assert_no_leak(lambda: client._aiohttp.create_urlencode(fields), fields)
    assert_no_leak(swallowing(lambda: client._requests.create_urlencode(None)))

    class Swallowing(aiohttp.MultipartWriter):
        def __exit__(self, *exc_info):
            return True

    monkeypatch.setattr(client.aiohttp, "MultipartWriter", Swallowing)
    bad = {"a": {1j}}
    assert_no_leak(lambda: client._aiohttp.create_boundary(bad, boundary="b"), bad, calls=2000)
