"""Header checks of the package's clients: no header that could split a request leaves them.

A header name must be an RFC 9110 token, and a value must not hold CR, LF or
NUL: either would let a caller's (or a server's echoed) text end the header
early and write headers or a request of its own. requests lets NUL and names
with spaces through, and h2 sends whatever it is given, so the clients check
every request themselves, each raising its library's own error for a bad
header: requests' ``InvalidHeader``, httpx's ``LocalProtocolError``, and
``ValueError`` for aiohttp, as aiohttp's own check does. The session factories
apply the same rule to the headers they are built with.

The messages name the header and the character, never the value, which may
be a secret.

The module is imported by the module body where aiohttp's backend is
defined: httpx and requests are read when a check runs, so that an httpx or
requests that lacks a name fails the load where that library is used.
"""

from __future__ import annotations

import base64
import re
from typing import Any, Iterable, List, Optional, Tuple, Union

import aiohttp
import httpx
import requests

__all__ = [
    "header_fault", "check_requests_headers", "check_httpx_request", "CheckedClientRequest", "basic_credentials",
]

_Text = Union[str, bytes]

# RFC 9110, 5.6.2: token = 1*tchar.
_TCHARS = "!#$%&'*+.^_`|~0-9A-Za-z-"
_NOT_TOKEN = re.compile(f"[^{_TCHARS}]")
_NOT_TOKEN_BYTES = re.compile(f"[^{_TCHARS}]".encode())
_SPLITS_VALUE = re.compile("[\r\n\0]")
_SPLITS_VALUE_BYTES = re.compile(b"[\r\n\0]")


def _as_text(part: _Text) -> str:
    return part if isinstance(part, str) else part.decode("latin-1")


def _first_bad(text: _Text, pattern: "re.Pattern[str]", pattern_bytes: "re.Pattern[bytes]") -> Optional[str]:
    found = pattern.search(text) if isinstance(text, str) else pattern_bytes.search(text)
    return None if found is None else _as_text(found.group())


def header_fault(name: object, value: object) -> Optional[str]:
    """Why this header must not be sent, in words naming it; None when it may be.

    Names and values that are neither str nor bytes are left to the library,
    which has rules of its own for them.
    """
    if isinstance(name, (str, bytes)):
        if not name:
            return "Invalid header name '': a header name cannot be empty"
        bad = _first_bad(name, _NOT_TOKEN, _NOT_TOKEN_BYTES)
        if bad is not None:
            return f"Invalid header name {_as_text(name)!r}: {bad!r} is not allowed in a header name"
    if isinstance(value, (str, bytes)):
        bad = _first_bad(value, _SPLITS_VALUE, _SPLITS_VALUE_BYTES)
        if bad is not None:
            shown = _as_text(name) if isinstance(name, (str, bytes)) else name
            return f"Invalid value for header {shown!r}: {bad!r} is not allowed in a header value"
    return None


def first_fault(headers: Iterable[Tuple[Any, Any]]) -> Optional[str]:
    """The fault of the first header that must not be sent, or None.

    Every request runs this: all names and all values are searched at once
    when they are all text (or all bytes), and one by one only to name the
    header at fault, or when they are of mixed types.
    """
    pairs = tuple(headers)
    if not pairs:
        return None
    names, values = zip(*pairs)
    try:
        if isinstance(names[0], str):
            sent = "".join(values)
            clean = (all(names) and not _NOT_TOKEN.search("".join(names))
                     and "\r" not in sent and "\n" not in sent and "\0" not in sent)
        else:
            sent_bytes = b"".join(values)
            clean = (all(names) and not _NOT_TOKEN_BYTES.search(b"".join(names))
                     and b"\r" not in sent_bytes and b"\n" not in sent_bytes and b"\0" not in sent_bytes)
    except TypeError:  # mixed types, or values the libraries convert themselves
        clean = False
    if clean:
        return None
    for name, value in pairs:
        fault = header_fault(name, value)
        if fault is not None:
            return fault
    return None


def check_requests_headers(headers: Any) -> None:
    """Raises requests' ``InvalidHeader`` for the first header of a request that must not be sent."""
    # Its case-insensitive dict keeps (name as given, value) pairs in
    # ``_store``; reading them there spares a look-up per name.
    store: Any = getattr(headers, "_store", None)
    pairs: Iterable[Tuple[Any, Any]] = headers.items() if store is None else store.values()
    fault = first_fault(pairs)
    if fault is not None:
        raise requests.exceptions.InvalidHeader(fault)


# The last header list check_httpx_request passed, as a snapshot. A client
# sends the same headers request after request (its own, and Host, Accept
# and the like), so most requests find theirs equal to it and need no
# search. The snapshot holds tuples of bytes, which nothing can change: a
# header list equal to it is the one that passed, however the headers came
# to be (a client's headers changed in place, a request's own).
_passed_httpx_headers: Optional[List[Any]] = None


def check_httpx_request(request: httpx.Request) -> None:
    """An httpx request hook: ``LocalProtocolError`` before a bad header is sent.

    It sees every request the client sends, redirects included, over HTTP/1.1
    and HTTP/2 alike; h11 would refuse such a header on HTTP/1.1 itself, h2
    would send it.
    """
    global _passed_httpx_headers
    headers = request.headers
    # httpx keeps (name as given, lower-case name, value) triples of bytes;
    # comparing them spares building the (name, value) pairs of .raw.
    triples: Optional[List[Any]] = getattr(headers, "_list", None)
    if triples is None:
        fault = first_fault(headers.raw)
    elif triples == _passed_httpx_headers:
        return
    else:
        # The copy is what is checked and remembered: headers changed by
        # another thread meanwhile cannot be remembered as passed.
        snapshot = list(triples)
        fault = first_fault([(name, value) for name, _, value in snapshot])
        if fault is None:
            _passed_httpx_headers = snapshot
    if fault is not None:
        raise httpx.LocalProtocolError(fault, request=request)


class CheckedClientRequest(aiohttp.ClientRequest):
    """aiohttp's request, refusing a bad header the caller or the session gives.

    The check runs when the request is built, before any connection is made.
    """

    def update_headers(self, headers: Any) -> None:
        super().update_headers(headers)
        fault = first_fault(self.headers.items())
        if fault is not None:
            raise ValueError(fault)


def basic_credentials(username: str, password: str) -> str:
    """``Basic`` of the UTF-8 bytes of ``username:password`` (RFC 7617 with charset UTF-8,
    as httpx sends them; requests' own encodes Latin-1 and fails past it)."""
    token = base64.b64encode(f"{username}:{password}".encode("utf-8")).decode("ascii")
    return f"Basic {token}"
