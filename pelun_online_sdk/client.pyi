"""Ready-configured HTTP clients and request bodies for requests, httpx and aiohttp.

Start from :class:`Client`: ``Client.ClientSession`` builds a session of the
library named by a ``Client.TypeReq`` member, ``Client.create_boundary`` a
multipart/form-data body for it.  Every call builds new objects and hands
them over: the caller owns them and closes the sessions.
"""

import enum
import ssl
from typing import Any, Dict, Iterable, Literal, Optional, Union, overload

import aiohttp
import httpx
import requests
from requests.adapters import HTTPAdapter

from .proxy import Proxy
from .utils import Report, VERSION_SDK as VERSION_SDK

CHIPER: str
"""The OpenSSL cipher list of :class:`RequestsAdapter`'s TLS context, ``:``-separated."""

__test__: Dict[Any, Any]

# requests_toolbelt ships no type information, so what callers use of its
# MultipartEncoder is described here.  The class exists for type checkers only.
class _MultipartEncoder:
    """requests_toolbelt's ``MultipartEncoder``: a multipart/form-data body read as a stream.

    Hand it to requests as ``data=`` (requests streams it through ``read``);
    for httpx pass ``content=encoder.to_string()``.  Reading consumes it: one
    encoder serves one request.
    """

    boundary_value: str
    """The boundary, as it appears in the ``Content-Type`` header."""
    boundary: str
    """The boundary line: ``--`` followed by ``boundary_value``."""
    encoding: str
    fields: Dict[str, Any]
    """The caller's own field dictionary, not a copy."""
    finished: bool
    @property
    def len(self) -> int:
        """Length of the whole body in bytes."""
    @property
    def content_type(self) -> str:
        """``multipart/form-data; boundary=...``."""
    def read(self, size: int = -1) -> bytes:
        """Read up to ``size`` bytes of the body (all that is left when negative)."""
    def to_string(self) -> bytes:
        """The rest of the body at once."""

class _RequestsBoundary(Report):
    """A multipart body for requests (or httpx) with its ``Content-Type`` header.

    Send both together: ``session.post(url, data=body.data, headers=body.headers)``.
    """

    headers: Dict[str, str]
    """``{"Content-Type": "multipart/form-data; boundary=..."}``: a new dict, the caller's."""
    data: _MultipartEncoder
    """The encoder over the caller's field dictionary."""
    def __init__(self, headers: Dict[str, str], data: _MultipartEncoder) -> None: ...

class _AiohttpBoundary(Report):
    """A multipart body for aiohttp with its ``Content-Type`` header.

    Send both together: ``session.post(url, data=body.data, headers=body.headers)``.
    """

    headers: Dict[str, str]
    """``{"Content-Type": "multipart/form-data; boundary=..."}``: a new dict, the caller's."""
    data: aiohttp.MultipartWriter
    """The writer, one part per field, in the dictionary's order."""
    def __init__(self, headers: Dict[str, str], data: aiohttp.MultipartWriter) -> None: ...

class _aiohttp:
    """aiohttp backend: sessions and form bodies.  Reached through :class:`Client`."""

    @staticmethod
    def create_urlencode(data: Dict[Any, Any]) -> str:
        """The form-urlencoded text of ``data`` (``urllib.parse.urlencode``); ``data`` is not changed."""
    @staticmethod
    def create_boundary(
        data: Dict[str, Any],
        prefix: Optional[str] = None,
        length: int = 51,
        boundary: Optional[str] = None,
        MD5: bool = False,
    ) -> _AiohttpBoundary:
        """Build an ``aiohttp.MultipartWriter`` over ``data``, as ``Client.create_boundary`` does for AIOHTTP.

        ``data`` is left as it is: converted values go into the writer only.
        """
    @staticmethod
    def ClientSession(
        extra_headers: Dict[str, str] = ..., proxy: Optional[Proxy] = None
    ) -> aiohttp.ClientSession:
        """Build an ``aiohttp.ClientSession``, as ``Client.ClientSession`` does for AIOHTTP.

        Call it inside a running event loop; the caller closes the session.
        """

class SSLContext(ssl.SSLContext):
    """SSLContext wrapper.

    An ``ssl.SSLContext`` that never offers ALPN: ``set_alpn_protocols`` does
    nothing.
    """

    def set_alpn_protocols(self, alpn_protocols: Iterable[str]) -> None:
        """Ignored: the context keeps offering no ALPN protocol."""

class RequestsAdapter(HTTPAdapter):
    """A requests transport adapter whose connections use this module's TLS settings.

    Its pool manager gets a new :class:`SSLContext` with the cipher list
    :data:`CHIPER`, no ALPN and TLS session tickets allowed.  Takes the
    arguments of ``requests.adapters.HTTPAdapter``.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        """Build the pool manager (urllib3 ``PoolManager`` arguments) with a new TLS context."""
    def proxy_manager_for(self, proxy: str, **proxy_kwargs: Any) -> Any:
        """The pool manager for ``proxy``, whose connections use the adapter's TLS context too."""

class _requests:
    """requests backend: sessions and form bodies.  Reached through :class:`Client`."""

    @staticmethod
    def create_urlencode(data: Dict[Any, Any]) -> str:
        """The form-urlencoded text of ``data`` (``urllib.parse.urlencode``); ``data`` is not changed."""
    @staticmethod
    def create_boundary(
        data: Dict[str, Any],
        prefix: Optional[str] = None,
        length: int = 51,
        boundary: Optional[str] = None,
        MD5: bool = False,
    ) -> _RequestsBoundary:
        """Build a requests_toolbelt ``MultipartEncoder`` over ``data``, as ``Client.create_boundary`` does for REQUESTS.

        Rewrites ``data`` in place: each value is replaced by what is sent
        (numbers by their text, lists and dicts by their JSON text).
        """
    @staticmethod
    def ClientSession(
        extra_headers: Dict[str, str] = ..., proxy: Optional[Proxy] = None
    ) -> requests.Session:
        """Build a ``requests.Session``, as ``Client.ClientSession`` does for REQUESTS; the caller closes it."""

class _httpx:
    """httpx backend: sessions.  Reached through :class:`Client`."""

    @staticmethod
    def ClientSession(
        extra_headers: Dict[str, str] = ..., proxy: Optional[Proxy] = None
    ) -> httpx.Client:
        """Build an ``httpx.Client``, as ``Client.ClientSession`` does for HTTPX; the caller closes it."""

class Client:
    """The entry point: sessions and multipart bodies for the library named by a ``TypeReq`` member."""

    class TypeReq(enum.Enum):
        """The HTTP library to build for.

        A plain enumeration: a member equals only itself, so neither its value
        (``1``) nor its name (``"REQUESTS"``) selects anything.
        """

        REQUESTS = 1
        """requests, with urllib3 and requests_toolbelt."""
        HTTPX = 2
        """httpx (bodies are built as for requests)."""
        AIOHTTP = 3
        """aiohttp, with aiohttp_proxy."""

    # The members are matched first; the last overload takes any other object,
    # as the runtime does, and returns None.  That it also accepts a member is
    # the overlap the checkers are told to ignore.
    @overload
    @classmethod
    def ClientSession(  # type: ignore[overload-overlap]
        cls,
        TypeReq: Literal[Client.TypeReq.REQUESTS],
        extra_headers: Dict[str, str] = ...,
        proxy: Optional[Proxy] = None,
    ) -> requests.Session:
        """Build a new ``requests.Session``, ready to use.

        It retries up to three times (backoff factor 2), also on the statuses
        429, 500, 502, 503 and 504, and its connections use
        :class:`RequestsAdapter`'s TLS settings.  Its headers are ``extra_headers`` with the
        names lower-cased, plus the package's User-Agent unless one is given;
        ``proxy`` serves both http and https.  ``extra_headers`` is read, not
        kept, and must be a ``dict``.

        The caller owns the session and closes it: ``with ... as session:``.
        """
    @overload
    @classmethod
    def ClientSession(  # type: ignore[overload-overlap]
        cls,
        TypeReq: Literal[Client.TypeReq.HTTPX],
        extra_headers: Dict[str, str] = ...,
        proxy: Optional[Proxy] = None,
    ) -> httpx.Client:
        """Build a new ``httpx.Client``, ready to use.

        It speaks HTTP/2 where the server offers it, retries failed
        connections three times and guesses the encoding of a response
        without a charset.  Its headers are ``extra_headers`` with the names
        lower-cased, plus the package's User-Agent unless one is given.
        ``extra_headers`` is read, not kept, and must be a ``dict``.

        The caller owns the client and closes it: ``with ... as client:``.
        """
    @overload
    @classmethod
    def ClientSession(  # type: ignore[overload-overlap]
        cls,
        TypeReq: Literal[Client.TypeReq.AIOHTTP],
        extra_headers: Dict[str, str] = ...,
        proxy: Optional[Proxy] = None,
    ) -> aiohttp.ClientSession:
        """Build a new ``aiohttp.ClientSession``; call it inside a running event loop.

        Its headers are ``extra_headers`` with the names lower-cased, plus the
        package's User-Agent unless one is given; with a ``proxy`` it connects
        through an aiohttp_proxy connector.  ``extra_headers`` is read, not
        kept, and must be a ``dict``.

        The caller owns the session (and its connector) and closes it:
        ``async with ... as session:``.
        """
    @overload
    @classmethod
    def ClientSession(  # type: ignore[overload-overlap]
        cls,
        TypeReq: Client.TypeReq,
        extra_headers: Dict[str, str] = ...,
        proxy: Optional[Proxy] = None,
    ) -> Union[requests.Session, httpx.Client, aiohttp.ClientSession]:
        """Build a new session of the library ``TypeReq`` names; the caller closes it."""
    @overload
    @classmethod
    def ClientSession(
        cls,
        TypeReq: object,
        extra_headers: Dict[str, str] = ...,
        proxy: Optional[Proxy] = None,
    ) -> None:
        """Anything but a ``Client.TypeReq`` member builds nothing: the result is ``None``."""
    @overload
    @classmethod
    def create_boundary(  # type: ignore[overload-overlap]
        cls,
        TypeReq: Literal[Client.TypeReq.REQUESTS, Client.TypeReq.HTTPX],
        data: Dict[str, Any],
        prefix: Optional[str] = None,
        length: int = 51,
        boundary: Optional[str] = None,
        MD5: bool = False,
    ) -> _RequestsBoundary:
        """Build a multipart/form-data body for requests or httpx: a requests_toolbelt ``MultipartEncoder``.

        ``data`` maps field names to values: text, bytes, a file tuple
        ``(filename, file[, content_type])``, or a number, list or dict.
        It is rewritten in place: each value is replaced by what is sent
        (numbers by their text, lists and dicts by their JSON text), and the
        encoder keeps the dictionary itself.

        The boundary is ``boundary`` when one is given; otherwise it is made
        from ``length`` random characters: ``prefix-<random>`` with a
        ``prefix``, else their MD5 hex digest, hashed (again) with ``MD5``.

        Send ``body.data`` with ``body.headers``; the caller owns both.
        """
    @overload
    @classmethod
    def create_boundary(  # type: ignore[overload-overlap]
        cls,
        TypeReq: Literal[Client.TypeReq.AIOHTTP],
        data: Dict[str, Any],
        prefix: Optional[str] = None,
        length: int = 51,
        boundary: Optional[str] = None,
        MD5: bool = False,
    ) -> _AiohttpBoundary:
        """Build a multipart/form-data body for aiohttp: an ``aiohttp.MultipartWriter``.

        ``data`` maps field names to values: text, bytes, a file object, or a
        number, list or dict (sent as text or JSON text).  It is left as it
        is.

        The boundary is ``boundary`` when one is given; otherwise it is made
        from ``length`` random characters: ``prefix-<random>`` with a
        ``prefix``, else their MD5 hex digest, hashed (again) with ``MD5``.

        Send ``body.data`` with ``body.headers``; the caller owns both.
        """
    @overload
    @classmethod
    def create_boundary(  # type: ignore[overload-overlap]
        cls,
        TypeReq: Client.TypeReq,
        data: Dict[str, Any],
        prefix: Optional[str] = None,
        length: int = 51,
        boundary: Optional[str] = None,
        MD5: bool = False,
    ) -> Union[_RequestsBoundary, _AiohttpBoundary]:
        """Build a multipart body for the library ``TypeReq`` names.

        For requests and httpx it rewrites ``data`` in place (values become
        the text that is sent).
        """
    @overload
    @classmethod
    def create_boundary(
        cls,
        TypeReq: object,
        data: Dict[str, Any],
        prefix: Optional[str] = None,
        length: int = 51,
        boundary: Optional[str] = None,
        MD5: bool = False,
    ) -> None:
        """Anything but a ``Client.TypeReq`` member builds nothing: the result is ``None``."""
