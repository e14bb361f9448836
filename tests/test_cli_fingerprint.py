"""The ClientHello parser, JA3 and JA4 against published vectors, and `fingerprint` against the wire."""
import asyncio
import hashlib
import json
import re
import socket
import ssl
import subprocess
import sys
import threading
import time

import pytest

import pelun_online_sdk.client as client
from pelun_online_sdk._cli.clienthello import (ClientHello, ja3, ja3_string, ja4, ja4_r, parse_client_hello,
                                               read_client_hello)
from pelun_online_sdk.client import Client
from clienthello_vectors import JA3_EXAMPLES, VECTORS

TypeReq = Client.TypeReq


@pytest.mark.parametrize("vector", VECTORS, ids=[v["capture"] for v in VECTORS])
def test_published_vectors(vector):
    hello = parse_client_hello(vector["hello"])
    assert hello.server_name == vector["server_name"]
    assert (ja3_string(hello), ja3(hello)) == (vector["ja3"], vector["ja3_md5"])
    assert (ja4(hello), ja4_r(hello)) == (vector["ja4"], vector["ja4_r"])
    # Where the expected output follows an older ALPN rule, all but that part agrees.
    published = vector.get("published_ja4", vector["ja4"])
    assert ja4(hello)[:8] + ja4(hello)[10:] == published[:8] + published[10:]


def _hello(version=0x0303, ciphers=(), extensions=(), groups=(), point_formats=(), alpn=()):
    return ClientHello(version, list(ciphers), list(extensions), None, list(alpn), list(groups),
                       list(point_formats), [], [])


@pytest.mark.parametrize("text, md5", JA3_EXAMPLES)
def test_ja3_examples(text, md5):
    version, *lists = text.split(",")
    ciphers, extensions, groups, formats = ([int(n) for n in field.split("-") if n] for field in lists)
    hello = _hello(int(version), ciphers, extensions, groups, formats)
    assert (ja3_string(hello), ja3(hello)) == (text, md5)


def test_ja3_and_ja4_leave_grease_out():
    grease = [0x0A0A, 0x1A1A, 0xFAFA]
    plain = _hello(0x0303, [0x1301, 0x002F], [0, 10, 13], [29, 23], [0])
    greased = _hello(0x0303, grease[:1] + plain.ciphers, plain.extensions + grease[1:2], grease[2:] + plain.groups, [0])
    assert ja3_string(greased) == ja3_string(plain) == "771,4865-47,0-10-13,29-23,0"
    assert ja4(greased) == ja4(plain) and ja4(plain).startswith("t12d0203")


# The JA4 authors' examples for the ALPN part (technical_details/JA4.md, "ALPN Extension Value").
@pytest.mark.parametrize("first, expected", [
    (b"h2", "h2"), (b"http/1.1", "h1"), (b"h", "hh"), (b"", "00"),
    (b"\xab", "ab"), (b"\x20", "20"), (b"\xab\xcd", "ad"), (b"\x20\x61", "21"), (b"\x30\xab", "3b"),
    (b"\x61\x20", "60"), (b"\x30\x31\xab\xcd", "3d"), (b"\x30\xab\xcd\x31", "01"),
])
def test_ja4_alpn_part(first, expected):
    assert ja4(_hello(alpn=[first, b"h2"]))[8:10] == expected
    assert ja4(_hello())[8:10] == "00"


def test_malformed_hellos_are_refused_with_value_error():
    whole = VECTORS[0]["hello"]
    for end in range(len(whole)):
        with pytest.raises(ValueError):
            parse_client_hello(whole[:end])
    with pytest.raises(ValueError):
        parse_client_hello(b"\x02" + whole[1:])  # a ServerHello's type
    odd = bytearray(whole)
    odd[4 + 2 + 32 + 1 + whole[4 + 2 + 32] + 1] ^= 1  # an odd cipher list length
    with pytest.raises(ValueError):
        parse_client_hello(bytes(odd))


def _records(message, sizes):
    """``message`` cut into handshake records of the given sizes (the rest in the last)."""
    out, start = b"", 0
    for size in list(sizes) + [len(message)]:
        piece = message[start:start + size]
        out += b"\x16\x03\x01" + len(piece).to_bytes(2, "big") + piece
        start += size
        if start >= len(message):
            return out


@pytest.mark.parametrize("data, outcome", [
    (_records(VECTORS[0]["hello"], [3, 200]), VECTORS[0]["hello"]),
    (_records(VECTORS[0]["hello"], [3, 200]) + b"\x17\x03\x03\x00\x01x", VECTORS[0]["hello"]),
    (b"\x17\x03\x03\x00\x01x", ValueError),  # application data first
    (b"GET / HTTP/1.1\r\n\r\n", ValueError),
    (_records(VECTORS[0]["hello"], [100])[:150], ValueError),  # cut off, then closed
], ids=["split", "followed-by-more", "not-handshake", "plain-http", "closed-early"])
def test_reading_a_hello_from_a_socket(data, outcome):
    ours, theirs = socket.socketpair()
    with ours, theirs:
        def send():
            for start in range(0, len(data), 7):  # small writes: many reads on our side
                theirs.sendall(data[start:start + 7])
            theirs.shutdown(socket.SHUT_WR)
        sender = threading.Thread(target=send)
        sender.start()
        try:
            if outcome is ValueError:
                with pytest.raises(ValueError):
                    read_client_hello(ours, timeout=15)
            else:
                assert read_client_hello(ours, timeout=15) == outcome
        finally:
            sender.join(15)


def test_reading_a_hello_that_never_comes_times_out():
    ours, theirs = socket.socketpair()
    with ours, theirs:
        theirs.sendall(b"\x16\x03\x01\x00")
        with pytest.raises(TimeoutError):
            read_client_hello(ours, timeout=0.2)


def fingerprint(*options):
    done = subprocess.run([sys.executable, "-I", "-m", "pelun_online_sdk", "fingerprint", *options],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
    return done.stdout


@pytest.fixture
def sleeps(monkeypatch):
    """Retry pauses of the sessions, recorded instead of slept: the recorder refuses every handshake."""
    asked = []
    monkeypatch.setattr(time, "sleep", asked.append)
    return asked


def _session_hello(kind, recorder, host="localhost"):
    """The ClientHello a module session sends to the recorder, under a host name as the command uses."""
    url = f"https://{host}:{recorder.port}/"
    if kind is TypeReq.AIOHTTP:
        async def attempt():
            async with Client.ClientSession(kind, {}) as session:
                async with session.get(url):
                    pass
        return recorder.capture(attempt)
    with Client.ClientSession(kind, {}) as session:
        return recorder.capture(lambda: session.get(url, timeout=5))


def _openssl_offer(recorder):
    """The suites a plain context with the module's cipher list puts on the wire, as OpenSSL orders them."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.set_ciphers(client.CHIPER)

    def attempt():
        with socket.create_connection(("127.0.0.1", recorder.port), timeout=5) as sock:
            context.wrap_socket(sock, server_hostname="localhost")
    return recorder.capture(attempt).ciphers


def test_each_clients_hello_as_the_wire_shows_it(hello_recorder, sleeps):
    records = {record["client"]: record for record in map(json.loads, fingerprint("--json").splitlines())}
    assert list(records) == ["requests", "httpx", "aiohttp"]
    for kind in TypeReq:
        record, seen = records[kind.name.lower()], _session_hello(kind, hello_recorder)
        assert (record["cipher_ids"], record["extension_ids"]) == (seen.cipher_ids, seen.extensions)
        assert record["ciphers"] == seen.ciphers and record["server_name"] == seen.server_name == "localhost"
        assert record["alpn"] == (seen.alpn or [])
        alpn = seen.alpn[0][0] + seen.alpn[0][-1] if seen.alpn else "00"
        assert record["ja4"].startswith(f"t13d{len(seen.cipher_ids):02d}{len(seen.extensions):02d}{alpn}_")
        sorted_suites = ",".join(f"{suite:04x}" for suite in sorted(seen.cipher_ids))
        assert record["ja4"].split("_")[1] == hashlib.sha256(sorted_suites.encode()).hexdigest()[:12]
        assert record["ja3"].startswith(",".join([str(seen.legacy_version), "-".join(map(str, seen.cipher_ids)),
                                                  "-".join(map(str, seen.extensions))]) + ",")
        # To an IP address: no server name, so one extension fewer, and JA4 says "i".
        by_address, seen = record["ip_target"], _session_hello(kind, hello_recorder, "127.0.0.1")
        assert by_address["server_name"] is seen.server_name is None and 0 not in seen.extensions
        assert by_address["ja4"].startswith(f"t13i{len(seen.cipher_ids):02d}{len(seen.extensions):02d}{alpn}_")
        assert by_address["ja3"].split(",")[2] == "-".join(map(str, seen.extensions))
        assert by_address["extensions_left_out"] == ["server_name"]
    # The requests session: the module's cipher list in OpenSSL's order for it, and no ALPN.
    assert records["requests"]["ciphers"] == _openssl_offer(hello_recorder)
    assert records["requests"]["alpn"] == [] and 16 not in records["requests"]["extension_ids"]
    # httpx: HTTP/2 is on, so h2 is offered beside http/1.1.
    assert sorted(records["httpx"]["alpn"]) == ["h2", "http/1.1"]


def test_text_output_names_who_chose_what():
    out = fingerprint("--client", "requests")
    lines = out.splitlines()
    assert lines[0] == "requests"
    labels = [line.split()[0] for line in lines[1:] if not line.startswith(" " * 4)]
    assert labels == ["server", "JA3", "JA3", "JA4", "ciphers", "extensions", "ALPN", "groups", "chosen", "to"]
    assert re.search(r"^  server name +localhost \(SNI; sent to https://localhost:\d+/\)$", out, re.M)
    assert re.search(r"^  ALPN +none$", out, re.M)
    assert re.search(r"^  to an IP address https://127\.0\.0\.1:\d+/ gets no server name", out, re.M)
    assert "(pelun_online_sdk.client.CHIPER)" in out.replace("\n", " ").replace("  ", " ")
