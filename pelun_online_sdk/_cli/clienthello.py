"""A small TLS ClientHello parser, and the JA3 and JA4 fingerprints of what it parses.

Only what the fingerprints and the ``fingerprint`` command need is read; any
malformed or truncated input raises ValueError, never more.
"""

from __future__ import annotations

import hashlib
import socket
import time
from typing import Dict, List, NamedTuple, Optional, Tuple

EXT_SERVER_NAME = 0x0000
EXT_SUPPORTED_GROUPS = 0x000A
EXT_EC_POINT_FORMATS = 0x000B
EXT_SIGNATURE_ALGORITHMS = 0x000D
EXT_ALPN = 0x0010
EXT_SUPPORTED_VERSIONS = 0x002B

_HANDSHAKE_RECORD = 22
_CLIENT_HELLO = 1
# A ClientHello is a few hundred bytes; a peer sending far more is not sending one.
MAX_HELLO = 1 << 16


class ClientHello(NamedTuple):
    """The fields of a ClientHello the fingerprints are made of, GREASE values included."""

    version: int
    ciphers: List[int]
    extensions: List[int]
    server_name: Optional[str]
    alpn: List[bytes]
    groups: List[int]
    point_formats: List[int]
    signature_algorithms: List[int]
    supported_versions: List[int]


class _Reader:
    """Reads big-endian integers and length-prefixed vectors, refusing to run past the end."""

    def __init__(self, data: bytes) -> None:
        self._data = data
        self._pos = 0

    def take(self, count: int) -> bytes:
        end = self._pos + count
        if end > len(self._data):
            raise ValueError("truncated ClientHello")
        chunk = self._data[self._pos:end]
        self._pos = end
        return chunk

    def uint(self, size: int) -> int:
        return int.from_bytes(self.take(size), "big")

    def vector(self, length_size: int) -> "_Reader":
        return _Reader(self.take(self.uint(length_size)))

    def uints(self, size: int) -> List[int]:
        """The rest as a list of ``size``-byte integers."""
        rest = self.take(len(self._data) - self._pos)
        if len(rest) % size:
            raise ValueError("list length is not a multiple of its item size")
        return [int.from_bytes(rest[i:i + size], "big") for i in range(0, len(rest), size)]

    def at_end(self) -> bool:
        return self._pos >= len(self._data)


def is_grease(value: int) -> bool:
    """GREASE values (RFC 8701): 0x0A0A, 0x1A1A ... 0xFAFA."""
    return value & 0x0F0F == 0x0A0A and value >> 8 == value & 0xFF


def parse_client_hello(message: bytes) -> ClientHello:
    """Parse one handshake message (its 4-byte header included) that must be a ClientHello."""
    header = _Reader(message)
    if header.uint(1) != _CLIENT_HELLO:
        raise ValueError("not a ClientHello")
    body = header.vector(3)
    version = body.uint(2)
    body.take(32)  # random
    body.vector(1)  # legacy session id
    ciphers = body.vector(2).uints(2)
    body.vector(1)  # compression methods
    extensions: List[Tuple[int, bytes]] = []
    if not body.at_end():  # extensions are optional before TLS 1.3
        block = body.vector(2)
        while not block.at_end():
            kind = block.uint(2)
            extensions.append((kind, block.take(block.uint(2))))
    return _with_extensions(version, ciphers, extensions)


def _with_extensions(version: int, ciphers: List[int], extensions: List[Tuple[int, bytes]]) -> ClientHello:
    data: Dict[int, bytes] = {}
    for kind, payload in extensions:
        data.setdefault(kind, payload)
    return ClientHello(
        version=version,
        ciphers=ciphers,
        extensions=[kind for kind, _ in extensions],
        server_name=_server_name(data.get(EXT_SERVER_NAME)),
        alpn=_alpn(data.get(EXT_ALPN)),
        groups=_Reader(data[EXT_SUPPORTED_GROUPS]).vector(2).uints(2) if EXT_SUPPORTED_GROUPS in data else [],
        point_formats=_Reader(data[EXT_EC_POINT_FORMATS]).vector(1).uints(1) if EXT_EC_POINT_FORMATS in data else [],
        signature_algorithms=(_Reader(data[EXT_SIGNATURE_ALGORITHMS]).vector(2).uints(2)
                              if EXT_SIGNATURE_ALGORITHMS in data else []),
        supported_versions=(_Reader(data[EXT_SUPPORTED_VERSIONS]).vector(1).uints(2)
                            if EXT_SUPPORTED_VERSIONS in data else []),
    )


def _server_name(payload: Optional[bytes]) -> Optional[str]:
    if not payload:  # a server's empty echo, or absent
        return None
    names = _Reader(payload).vector(2)
    while not names.at_end():
        kind = names.uint(1)
        name = names.take(names.uint(2))
        if kind == 0:
            return name.decode("ascii", "replace")
    return None


def _alpn(payload: Optional[bytes]) -> List[bytes]:
    if payload is None:
        return []
    protocols = _Reader(payload).vector(2)
    offered: List[bytes] = []
    while not protocols.at_end():
        offered.append(protocols.take(protocols.uint(1)))
    return offered


def read_client_hello(sock: socket.socket, timeout: float) -> bytes:
    """The first handshake message a client sends on ``sock``, joined from its TLS records.

    A ClientHello may be split over several records and TCP segments.
    Raises ValueError for anything that is not TLS handshake data,
    TimeoutError when it does not arrive whole within ``timeout`` seconds.
    """
    deadline = time.monotonic() + timeout
    buffer = b""
    message = b""
    while True:
        while len(buffer) >= 5:
            if buffer[0] != _HANDSHAKE_RECORD:
                raise ValueError("the client did not start a TLS handshake")
            end = 5 + int.from_bytes(buffer[3:5], "big")
            if len(buffer) < end:
                break
            message, buffer = message + buffer[5:end], buffer[end:]
            if len(message) >= 4:
                need = 4 + int.from_bytes(message[1:4], "big")
                if len(message) >= need:
                    return message[:need]
        if len(buffer) + len(message) > MAX_HELLO:
            raise ValueError("no ClientHello within the first 64 KiB")
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("no whole ClientHello arrived")
        sock.settimeout(left)
        try:
            chunk = sock.recv(16384)
        except socket.timeout:  # not yet TimeoutError itself before 3.10
            raise TimeoutError("no whole ClientHello arrived") from None
        if not chunk:
            raise ValueError("the client closed the connection before its ClientHello was complete")
        buffer += chunk


def _dashed(values: List[int]) -> str:
    return "-".join(str(value) for value in values if not is_grease(value))


def ja3_string(hello: ClientHello) -> str:
    """SSLVersion,Ciphers,Extensions,EllipticCurves,EllipticCurvePointFormats in decimal, GREASE left out."""
    return ",".join([str(hello.version), _dashed(hello.ciphers), _dashed(hello.extensions),
                     _dashed(hello.groups), _dashed(hello.point_formats)])


def ja3(hello: ClientHello) -> str:
    """The MD5 of the JA3 string, in hex."""
    # Not a security use: MD5 is what the fingerprint is defined with.
    return hashlib.md5(ja3_string(hello).encode("ascii")).hexdigest()


_JA4_VERSIONS = {0x0304: "13", 0x0303: "12", 0x0302: "11", 0x0301: "10", 0x0300: "s3", 0x0002: "s2",
                 0xFEFF: "d1", 0xFEFD: "d2", 0xFEFC: "d3"}
_NO_VALUES = "000000000000"


def _ja4_version(hello: ClientHello) -> str:
    offered = [v for v in hello.supported_versions if not is_grease(v)]
    return _JA4_VERSIONS.get(max(offered) if offered else hello.version, "00")


def _ja4_alpn(hello: ClientHello) -> str:
    if not hello.alpn or not hello.alpn[0]:
        return "00"
    first = hello.alpn[0]
    ends = first[:1] + first[-1:]
    if all(chr(c).isascii() and chr(c).isalnum() for c in ends):
        return ends.decode("ascii")
    # Not printable: the first and last hex digits of the whole value stand in.
    digits = first.hex()
    return digits[0] + digits[-1]


def _hex_list(values: List[int]) -> str:
    return ",".join(f"{value:04x}" for value in values)


def ja4_parts(hello: ClientHello) -> Tuple[str, str, str]:
    """JA4 before hashing: the prefix, the sorted cipher list, and the sorted extensions with the signature algorithms."""
    ciphers = sorted(c for c in hello.ciphers if not is_grease(c))
    extensions = [e for e in hello.extensions if not is_grease(e)]
    prefix = "t{}{}{:02d}{:02d}{}".format(
        _ja4_version(hello), "d" if EXT_SERVER_NAME in extensions else "i",
        min(len(ciphers), 99), min(len(extensions), 99), _ja4_alpn(hello))
    # SNI and ALPN are already in the prefix: left out, the hash stays the
    # same whether a client goes to a name or an address, or changes ALPN.
    hashed = sorted(e for e in extensions if e not in (EXT_SERVER_NAME, EXT_ALPN))
    tail = _hex_list(hashed)
    algorithms = [a for a in hello.signature_algorithms if not is_grease(a)]
    if hashed and algorithms:
        tail += "_" + _hex_list(algorithms)
    return prefix, _hex_list(ciphers), tail if hashed else ""


def _sha12(text: str) -> str:
    return hashlib.sha256(text.encode("ascii")).hexdigest()[:12] if text else _NO_VALUES


def ja4(hello: ClientHello) -> str:
    prefix, ciphers, extensions = ja4_parts(hello)
    return f"{prefix}_{_sha12(ciphers)}_{_sha12(extensions)}"


def ja4_r(hello: ClientHello) -> str:
    """JA4 with its lists shown instead of hashed."""
    return "_".join(ja4_parts(hello))
