"""``fingerprint``: each client's ClientHello, caught by a loopback listener, and its JA3 and JA4."""

from __future__ import annotations

import socket
import ssl
import textwrap
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from .check import FETCHERS
from .clienthello import ClientHello, is_grease, ja3, ja3_string, ja4, ja4_r, read_client_hello
from .output import Printer, wrapped

# The listener sends this fatal alert (handshake_failure) after the hello, so
# that a client stops at once instead of waiting for a ServerHello.
_ALERT = b"\x15\x03\x03\x00\x02\x02\x28"
# A name, not an address: clients send SNI for names only, as they would to a
# real server. Each client is also sent to the address, to show what a
# target given as an IP address looks like: no server name.
HOST = "localhost"
ADDRESS = "127.0.0.1"
# Width of the labels of the text output.
LABEL = 17

# Which parts of each client's offer the module chooses, and which come from
# the library and OpenSSL as they are.
ORIGINS = {
    "requests": ("the module's own choice: the cipher suites and their order (pelun_online_sdk.client.CHIPER), "
                 "no ALPN, session tickets allowed; the rest (extensions, groups, signature algorithms, "
                 "versions): {openssl}'s defaults"),
    "httpx": ("the module's own choice: HTTP/2 turned on, hence h2 in ALPN (after http/1.1, in httpx's order); "
              "the rest: httpx's and {openssl}'s defaults"),
    "aiohttp": "the module's own choice: none; all of it, ALPN included: aiohttp's and {openssl}'s defaults",
}

_EXTENSIONS = {
    0: "server_name", 1: "max_fragment_length", 5: "status_request", 10: "supported_groups",
    11: "ec_point_formats", 13: "signature_algorithms", 15: "heartbeat", 16: "alpn",
    18: "signed_certificate_timestamp", 21: "padding", 22: "encrypt_then_mac", 23: "extended_master_secret",
    27: "compress_certificate", 28: "record_size_limit", 34: "delegated_credentials", 35: "session_ticket",
    41: "pre_shared_key", 42: "early_data", 43: "supported_versions", 44: "cookie",
    45: "psk_key_exchange_modes", 49: "post_handshake_auth", 50: "signature_algorithms_cert", 51: "key_share",
    57: "quic_transport_parameters", 17513: "application_settings", 65037: "encrypted_client_hello",
    65281: "renegotiation_info"}
_GROUPS = {
    23: "secp256r1", 24: "secp384r1", 25: "secp521r1", 29: "x25519", 30: "x448", 256: "ffdhe2048",
    257: "ffdhe3072", 258: "ffdhe4096", 259: "ffdhe6144", 260: "ffdhe8192", 4588: "X25519MLKEM768"}
_SIGNALS = {0x00FF: "TLS_EMPTY_RENEGOTIATION_INFO_SCSV", 0x5600: "TLS_FALLBACK_SCSV"}


_CIPHER_NAMES: Dict[int, str] = {}


def _cipher_names() -> Dict[int, str]:
    """Suite id -> name, for every suite the linked OpenSSL knows (read once)."""
    if not _CIPHER_NAMES:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.set_ciphers("ALL:COMPLEMENTOFALL:@SECLEVEL=0")
        # OpenSSL's ids carry 0x0300 over the two bytes on the wire.
        _CIPHER_NAMES.update({entry["id"] & 0xFFFF: entry["name"] for entry in context.get_ciphers()})
        _CIPHER_NAMES.update(_SIGNALS)
    return _CIPHER_NAMES


def _named(value: int, names: Dict[int, str]) -> str:
    if is_grease(value):
        return f"GREASE 0x{value:04x}"
    return names.get(value, f"0x{value:04x}")


def cipher_name(suite: int) -> str:
    return _named(suite, _cipher_names())


class HelloListener:
    """A loopback listener that keeps the first ClientHello sent to it and refuses every handshake."""

    def __init__(self, timeout: float, host: str = HOST) -> None:
        self._timeout = timeout
        self.host = host
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(8)
        self.port: int = self._sock.getsockname()[1]
        self.hello: Optional[bytes] = None
        self.problem: Optional[str] = None
        self.arrived = threading.Event()
        threading.Thread(target=self._serve, name="hello-listener", daemon=True).start()

    @property
    def url(self) -> str:
        return f"https://{self.host}:{self.port}/"

    def _serve(self) -> None:
        while True:
            try:
                conn, _ = self._sock.accept()
            except OSError:  # closed: the command is done
                return
            with conn:
                self._record(conn)

    def _record(self, conn: socket.socket) -> None:
        try:
            message = read_client_hello(conn, self._timeout)
            conn.sendall(_ALERT)
        except (OSError, ValueError) as exc:
            message, self.problem = None, self.problem or f"{type(exc).__name__}: {exc}"
        if message is not None and self.hello is None:
            self.hello = message
        self.arrived.set()

    def close(self) -> None:
        self._sock.close()


def capture(clients: List[str], timeout: float) -> Dict[Tuple[str, str], HelloListener]:
    """Each client's first ClientHello to ``HOST`` and to ``ADDRESS``, each to a listener of its own.

    The requests session retries a refused handshake for about 12 s; only
    the first hello matters, so the command does not wait for the retries:
    the client's thread is left to end with the process.
    """
    listeners = {(client, host): HelloListener(timeout, host) for client in clients for host in (HOST, ADDRESS)}
    for (client, _), listener in listeners.items():
        threading.Thread(target=_attempt, args=(client, listener.url, timeout), name=f"hello-{client}",
                         daemon=True).start()
    deadline = time.monotonic() + timeout
    for listener in listeners.values():
        listener.arrived.wait(max(0.0, deadline - time.monotonic()))
    return listeners


def _attempt(client: str, url: str, timeout: float) -> None:
    try:
        FETCHERS[client](url, None, timeout)
    except Exception:  # the handshake is refused on purpose
        pass


def describe(client: str, hello: ClientHello, url: str, by_address: Optional[ClientHello] = None,
             address_url: str = "") -> Dict[str, Any]:
    """The JSON record of one client's ClientHello, and of the one it sends to an IP address."""
    record: Dict[str, Any] = {
        "client": client,
        "url": url,
        "server_name": hello.server_name,
        "ja3": ja3_string(hello),
        "ja3_md5": ja3(hello),
        "ja4": ja4(hello),
        "ja4_r": ja4_r(hello),
        "ciphers": [cipher_name(suite) for suite in hello.ciphers],
        "cipher_ids": hello.ciphers,
        "extensions": [_named(kind, _EXTENSIONS) for kind in hello.extensions],
        "extension_ids": hello.extensions,
        "alpn": [protocol.decode("ascii", "backslashreplace") for protocol in hello.alpn],
        "groups": [_named(group, _GROUPS) for group in hello.groups],
        "group_ids": hello.groups,
        "chosen_by": ORIGINS[client].format(openssl=" ".join(ssl.OPENSSL_VERSION.split()[:2])),
        "ip_target": None,
    }
    if by_address is not None:
        left_out = [kind for kind in hello.extensions if kind not in by_address.extensions and not is_grease(kind)]
        record["ip_target"] = {
            "url": address_url, "server_name": by_address.server_name, "ja3": ja3_string(by_address),
            "ja3_md5": ja3(by_address), "ja4": ja4(by_address), "ja4_r": ja4_r(by_address),
            "extensions_left_out": [_named(kind, _EXTENSIONS) for kind in left_out]}
    return record


def print_record(printer: Printer, record: Dict[str, Any]) -> None:
    printer.line(record["client"])
    printer.line(f"  {'server name':<{LABEL}}{record['server_name'] or 'none'} (SNI; sent to {record['url']})")
    printer.line(f"  {'JA3':<{LABEL}}{record['ja3']}")
    printer.line(f"  {'JA3 MD5':<{LABEL}}{record['ja3_md5']}")
    printer.line(f"  {'JA4':<{LABEL}}{record['ja4']}")
    ids = record["cipher_ids"]
    for line in wrapped(f"ciphers ({len(ids)})", record["ciphers"], indent=LABEL + 2):
        printer.line(line)
    named = [f"{name} ({kind})" for name, kind in zip(record["extensions"], record["extension_ids"])]
    for line in wrapped(f"extensions ({len(named)})", named, indent=LABEL + 2):
        printer.line(line)
    printer.line(f"  {'ALPN':<{LABEL}}{', '.join(record['alpn']) or 'none'}")
    groups = [f"{name} ({group})" for name, group in zip(record["groups"], record["group_ids"])]
    for line in wrapped("groups", groups, indent=LABEL + 2):
        printer.line(line)
    _labelled(printer, "chosen by", record["chosen_by"])
    _labelled(printer, "to an IP address", _address_note(record))


def _labelled(printer: Printer, label: str, text: str) -> None:
    for n, line in enumerate(textwrap.wrap(text, 100 - LABEL - 2)):
        printer.line(f"  {label if n == 0 else '':<{LABEL}}{line}")


def _address_note(record: Dict[str, Any]) -> str:
    """What changes when the target is an IP address, from the hello the client sent to one."""
    other = record["ip_target"]
    if other is None:
        return "its ClientHello to an IP address was not caught"
    sent = (f"the server name {other['server_name']}" if other["server_name"] else
            "no server name (SNI is sent for host names only)")
    without = f" without {', '.join(other['extensions_left_out'])}" if other["extensions_left_out"] else ""
    note = (f"{other['url']} gets {sent}; that ClientHello{without} has JA3 MD5 {other['ja3_md5']} "
            f"and JA4 {other['ja4']}")
    if record["ja4"][3] == "d" and other["ja4"][3] == "i":
        note += " (JA4's d, for a domain name, becomes i, for an IP address)"
    return note
