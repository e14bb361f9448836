"""HTTP/2 servers that keep the httpx client busy without answering: its requests end.

The server (servers.h2hostile) writes its hostile frames raw, and goes on
until the client hangs up; its record of each connection says whether the
client left, and how much it was sent. Plain httpx, held by the same
server, shows that what ends these requests is the client's own bound.
"""
import re
import socket
import time

import httpcore
import httpx
import pytest

import pelun_online_sdk.client as client
from pelun_online_sdk import _httpx_h2 as guard
from httpcore._backends.sync import SyncStream
from pelun_online_sdk.proxy import Proxy
from servers.h2hostile import H2Hostile

# The bounds as the README states them.
FLOOD_FRAMES = 10_000  # frames in a row with no progress
MIN_AVERAGE = 16  # bytes a DATA frame, on average ...
GRACE = 4096  # ... over more DATA frames than this
UPLOAD = 200_000  # more than the 65,535-byte windows a connection starts with


def body(total):
    return bytes(i % 256 for i in range(total))


def module_client(proxy_server=None, scheme=None):
    return client._httpx.ClientSession({}, scheme and Proxy("127.0.0.1", proxy_server.port, scheme))


def frame_counts(message):
    """{"PING": 5000, ...} from the "(5000 PING, 12 SETTINGS frames)" an error names."""
    listed = re.search(r"\(([^)]*) frames\)", message) or re.search(r"sent ([^:]*) frames meanwhile", message)
    assert listed, message
    return {kind: int(count) for count, kind in (item.split(" ") for item in listed.group(1).split(", "))}


@pytest.mark.parametrize("scheme", [None, "http", "socks5"])
def test_a_flood_of_ping_and_settings_ends_the_request(tls_ca_env, h2_hostile, proxy_server, scheme):
    # A read timeout far beyond the flood bound: the count ends it, not the clock.
    with module_client(proxy_server, scheme) as session:
        with pytest.raises(httpx.RemoteProtocolError) as caught:
            session.get(h2_hostile.url + "flood", timeout=60)
    message = str(caught.value)
    assert f"{FLOOD_FRAMES + 1} frames in a row" in message
    counts = frame_counts(message)
    assert set(counts) == {"PING", "SETTINGS"} and sum(counts.values()) == FLOOD_FRAMES + 1
    [served] = h2_hostile.wait(1)
    assert (served.path, served.ended_by) == ("/flood", "client")
    assert served.frames > FLOOD_FRAMES
    if scheme:
        assert proxy_server.wait_for_tunnel(h2_hostile.port, scheme)


def test_informational_answers_forever_end_the_request(tls_ca_env, h2_hostile):
    # 103 after 103, never the response: the first header blocks of a stream
    # count as progress, the flood after them does not.
    with module_client() as session:
        with pytest.raises(httpx.RemoteProtocolError) as caught:
            session.get(h2_hostile.url + "informational", timeout=60)
    assert frame_counts(str(caught.value)) == {"HEADERS": FLOOD_FRAMES + 1}
    [served] = h2_hostile.wait(1)
    assert (served.path, served.ended_by) == ("/informational", "client")
    assert served.frames > FLOOD_FRAMES


@pytest.mark.parametrize("path", ["empty-data", "padded-empty-data"])
def test_empty_data_frames_end_the_request(tls_ca_env, h2_hostile, path):
    # Padding is not data: frames of padding alone move nothing on either.
    with module_client() as session:
        with pytest.raises(httpx.RemoteProtocolError) as caught:
            session.get(h2_hostile.url + path, timeout=60)
    assert f"in {GRACE + 1} DATA frames of 0 bytes" in str(caught.value)
    [served] = h2_hostile.wait(1)
    assert (served.path, served.ended_by) == ("/" + path, "client")


@pytest.mark.parametrize("scheme", [None, "socks5"])
def test_an_upload_on_a_window_that_never_opens_times_out(tls_ca_env, h2_hostile, proxy_server, scheme):
    # The server pings every second, so no read ever waits the 2 s timeout;
    # the upload has made no progress for 2 s all the same.
    started = time.monotonic()
    with module_client(proxy_server, scheme) as session:
        with pytest.raises(httpx.ReadTimeout) as caught:
            session.post(h2_hostile.url + "stall-upload", content=b"u" * UPLOAD, timeout=2)
    waited = time.monotonic() - started
    message = str(caught.value)
    assert "made no progress for 2 s" in message
    assert frame_counts(message).get("PING", 0) >= 1
    assert waited >= 2
    [served] = h2_hostile.wait(1)
    assert (served.path, served.ended_by) == ("/stall-upload", "client")
    assert served.frames >= 2


@pytest.mark.parametrize(
    "size, total, delivered",
    [
        (16384, 1_000_000, True),  # what servers send
        (MIN_AVERAGE, MIN_AVERAGE * (GRACE + 1000), True),
        (MIN_AVERAGE - 1, (MIN_AVERAGE - 1) * (GRACE + 1000), False),
        (1, GRACE, True),  # a short body in tiny frames is not judged
        (1, 100_000, False),
    ],
)
def test_bodies_in_small_frames(tls_ca_env, h2_hostile, size, total, delivered):
    with module_client() as session:
        if delivered:
            response = session.get(h2_hostile.url + f"frames/{size}/{total}", timeout=60)
            assert response.http_version == "HTTP/2"
            assert response.content == body(total)
            return
        with pytest.raises(httpx.RemoteProtocolError) as caught:
            session.get(h2_hostile.url + f"frames/{size}/{total}", timeout=60)
    assert f"in {GRACE + 1} DATA frames of {(GRACE + 1) * size} bytes" in str(caught.value)
    assert f"less than {MIN_AVERAGE} bytes" in str(caught.value)


def test_an_upload_the_server_reads_arrives_whole(tls_ca_env, h2_origin):
    # Many times the windows the connection starts with: the client waits on
    # WINDOW_UPDATE frames (no progress) and its DATA frames are progress.
    upload = body(3_000_000)
    with module_client() as session:
        response = session.post(h2_origin.url + "upload", content=upload, timeout=30)
    assert response.status_code == 200 and response.http_version == "HTTP/2"
    seen = h2_origin.last
    assert seen.version == "HTTP/2" and seen.body == upload


def test_plain_httpx_is_held_until_the_server_gives_up(tls_ca):
    # The same stalled upload, against plain httpx with HTTP/2: no read waits
    # its timeout, so it ends only when the server closes the connection.
    server = H2Hostile(tls_ca, give_up_after=6, ping_every=0.25).start()
    try:
        with httpx.Client(http2=True, verify=tls_ca.client_context()) as plain:
            with pytest.raises(httpx.TransportError) as caught:
                plain.post(server.url + "stall-upload", content=b"u" * UPLOAD, timeout=2)
        [served] = server.wait(1)
    finally:
        server.stop()
    assert not isinstance(caught.value, httpx.TimeoutException)
    assert served.ended_by == "gave up"


# The frame scan itself, with small bounds: (max idle frames, DATA frames
# before the average is judged, least average DATA bytes, header blocks that
# are progress). Frames are written here from RFC 9113's layout.
BOUNDS = (3, 4, 16, 2)
PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


def frame(kind, payload=b"", flags=0, stream=1, pad=None):
    if pad is not None:
        payload, flags = bytes([pad]) + payload + bytes(pad), flags | 0x8
    return len(payload).to_bytes(3, "big") + bytes([kind, flags]) + stream.to_bytes(4, "big") + payload


def data(payload, **kw):
    return frame(0x0, payload, **kw)


PING, SETTINGS, WINDOW = frame(0x6, bytes(8), stream=0), frame(0x4, bytes(6), stream=0), frame(0x8, bytes(4))
HEADERS, END = frame(0x1, b"\x88"), 0x1
FLOOD = "HTTP/2 server sent 4 frames in a row that carry nothing of any response ({})"
SMALL = ("HTTP/2 server sent the response in 5 DATA frames of {} bytes in all; "
         "a body cut into frames of less than 16 bytes on average is refused")

# (what passes, in turns: ("server" or "client", bytes); the first refusal, or
# whether any call reported progress; the frames since the last progress)
SCANS = [
    ([("server", PING + PING + SETTINGS)], False, "2 PING, 1 SETTINGS frames"),
    ([("server", PING + data(b"x" * 40) + WINDOW)], True, "1 WINDOW_UPDATE frames"),
    ([("server", frame(0xA, b"?") + frame(0x42, stream=0))], False, "1 type 0xa, 1 type 0x42 frames"),
    # Padding is no data; an empty frame that ends its stream is progress.
    ([("server", data(b"", pad=7) + data(b"ab", pad=0))], True, "nothing"),
    ([("server", data(b"", pad=7) + data(b"", pad=3))], False, "2 DATA frames"),
    ([("server", data(b"", flags=END))], True, "nothing"),
    ([("server", PING * 4)], FLOOD.format("4 PING frames"), "4 PING frames"),
    ([("server", PING * 2 + SETTINGS + frame(0x0, stream=3))], FLOOD.format("2 PING, 1 DATA, 1 SETTINGS frames"),
     "2 PING, 1 DATA, 1 SETTINGS frames"),
    # Progress either way starts the count again.
    ([("server", PING * 3 + HEADERS + PING * 3)], True, "3 PING frames"),
    ([("server", PING * 3), ("client", PREFACE + SETTINGS + HEADERS), ("server", PING * 3)], True,
     "3 PING frames"),
    ([("server", PING * 3), ("client", PREFACE + SETTINGS + WINDOW + data(b"")), ("server", PING)],
     FLOOD.format("4 PING frames"), "4 PING frames"),
    # Past the first header blocks of a stream, more are not progress; a new stream's are.
    ([("server", HEADERS * 2 + frame(0x9) + frame(0x1, stream=3))], True, "nothing"),
    ([("server", HEADERS * 3 + frame(0x9))], True, "1 HEADERS, 1 CONTINUATION frames"),
    ([("server", HEADERS * 2 + frame(0x3, bytes(4)) + HEADERS)], True, "nothing"),
    # Bodies: judged past four frames, on each stream apart; a stream that ended starts afresh.
    ([("server", data(b"x") * 4 + data(b"x" * 200))], True, "nothing"),
    ([("server", data(b"x") * 5)], SMALL.format(5), "nothing"),
    ([("server", data(b"x", pad=40) * 5)], SMALL.format(5), "nothing"),
    ([("server", (data(b"x") + data(b"x", stream=3)) * 3 + data(b"x", flags=END) + data(b"x") * 4
       + data(b"x", stream=3))], True, "nothing"),
    # A refusal stays.
    ([("server", data(b"x") * 5), ("server", data(b"x" * 100))], SMALL.format(5), "nothing"),
]


@pytest.mark.parametrize("turns, outcome, idle", SCANS)
def test_the_frame_scan_reads_frames_cut_anywhere(turns, outcome, idle):
    # Every turn cut into pieces of every size, as reads and writes may come.
    longest = max(len(chunk) for _, chunk in turns)
    for size in range(1, longest + 1):
        counts = guard._new_connection(*BOUNDS)
        seen = []
        for way, chunk in turns:
            scan = guard._from_server if way == "server" else guard._from_client
            seen += [scan(counts, chunk[start:start + size]) for start in range(0, len(chunk), size)]
        refusals = [result for result in seen if isinstance(result, str)]
        assert (refusals[0] if refusals else True in seen) == outcome, size
        assert guard._idle_frames(counts) == idle, size



class _OtherStream(SyncStream):
    """httpcore's socket stream under another class: the guard reads it through its read."""


@pytest.mark.parametrize("kind", [SyncStream, _OtherStream])
def test_a_guarded_stream_reads_and_fails_as_httpcore_s_own(kind, monkeypatch):
    # httpcore's stream over the same kind of socket is the oracle of each
    # outcome that is not the guard's own.
    monkeypatch.setattr(guard, "MAX_IDLE_FRAMES", BOUNDS[0])
    ours, theirs = socket.socketpair()
    with ours, theirs:
        stream = guard._HTTP2Stream(kind(ours))
        stream.write(b"")  # h2's usual nothing to send
        stream.write(PREFACE + HEADERS)  # a request starts: progress
        assert theirs.recv(100) == PREFACE + HEADERS
        theirs.sendall(PING * 2)
        assert stream.read(100, None) == PING * 2
        # Silence: the wait ends as a stall, httpcore's timeout its hidden context.
        with pytest.raises(httpcore.ReadTimeout, match=r"^HTTP/2 server made no progress for 0.2 s \(the read "
                           r"timeout\): it sent 2 PING frames meanwhile$") as caught:
            stream.read(100, 0.2)
        assert caught.value.__suppress_context__ and type(caught.value.__context__) is httpcore.ReadTimeout
        # Past a bound: refused, and at every read after, which reads nothing more.
        theirs.sendall(PING * 2)
        with pytest.raises(httpcore.RemoteProtocolError, match=re.escape(FLOOD.format("4 PING frames"))):
            stream.read(100, 5)
        theirs.sendall(HEADERS)
        with pytest.raises(httpcore.RemoteProtocolError, match=re.escape(FLOOD.format("4 PING frames"))):
            stream.read(100, 5)
        assert ours.recv(100) == HEADERS
    # A socket that fails: httpcore's error, message and cause.
    with pytest.raises(httpcore.ReadError) as caught:
        guard._HTTP2Stream(kind(ours)).read(100, 5)
    with pytest.raises(httpcore.ReadError) as plain:
        SyncStream(ours).read(100, 5)
    assert str(caught.value) == str(plain.value)
    assert type(caught.value.__cause__) is type(plain.value.__cause__)
