"""The members ``RequestsAdapter`` takes from Python, so that the package's
requests session is never less safe than plain requests.

The adapter's class is built in C++ (its ``__init__`` and ``init_poolmanager``:
the module's TLS context) and takes ``MEMBERS`` as its own when the module
loads; each member's docstring says what it corrects in requests'
``HTTPAdapter``.
"""

import contextvars
import logging
import ssl
from typing import Any, Dict, Mapping, NoReturn, Optional, Tuple, cast
from urllib.parse import unquote, urlsplit

from requests.adapters import HTTPAdapter
from requests.models import PreparedRequest
import requests.adapters
import urllib3
from requests.utils import select_proxy
from urllib3.contrib.socks import SOCKSProxyManager
from urllib3.exceptions import (
    ConnectTimeoutError,
    InvalidHeader,
    MaxRetryError,
    ProtocolError,
    ProxyError,
    ReadTimeoutError,
    RequestError,
    ResponseError,
    SSLError,
)
from urllib3.util.retry import Retry
from urllib3.util.ssl_match_hostname import CertificateError

from ._headers import basic_credentials, check_requests_headers
from ._hooks import require
from ._requests_proxy import bound_handshakes

__all__ = ["MEMBERS", "RETRY_WAIT_BUDGET", "RetryDeclinedError"]

# Where requests records a body's start, and urllib3 a socks proxy's credentials.
require(requests, {PreparedRequest: ["_body_position"]})
require(urllib3, {SOCKSProxyManager: ["_socks_options"]})

_log = logging.getLogger(__name__)

# --- Proxies ---------------------------------------------------------------------------------


def _url_credentials(url: str) -> Tuple[Optional[str], Optional[str]]:
    """The user name and password of a proxy URL, decoded once; a user name
    without a password has the empty password (requests' reader drops both)."""
    parts = urlsplit(url)
    if parts.username is None:
        return None, None
    return unquote(parts.username), unquote(parts.password or "")


def proxy_manager_for(self: HTTPAdapter, proxy: str, **proxy_kwargs: Any) -> Any:
    """The pool manager of connections through ``proxy``, with the adapter's own TLS context.

    requests builds these here, not in ``init_poolmanager``, so they would get
    urllib3's default context (ALPN offered, other ciphers, no tickets): a
    connection through an http or socks proxy makes the same offer as a
    direct one; an ``ssl_context`` the caller passes wins. A socks4 URL with
    a user id and no password keeps its user id (requests drops credentials
    without a password). Its connections end their handshake with the proxy
    within the connect timeout (see ``_requests_proxy``).
    """
    kwargs = {"ssl_context": self.poolmanager.connection_pool_kw.get("ssl_context"), **proxy_kwargs}
    manager = bound_handshakes(HTTPAdapter.proxy_manager_for(self, proxy, **kwargs))
    socks = manager.connection_pool_kw.get("_socks_options")
    if socks is not None and not socks.get("username"):
        socks["username"], socks["password"] = _url_credentials(proxy)
    return manager


def proxy_headers(self: HTTPAdapter, proxy: str) -> Dict[str, str]:
    """The Proxy-Authorization of an http proxy: Basic of the credentials' UTF-8 bytes, as
    httpx and aiohttp send them (requests' own takes Latin-1, and fails past it)."""
    username, password = _url_credentials(proxy)
    return {} if username is None else {"Proxy-Authorization": basic_credentials(username, password or "")}


# --- TLS settings per verification setting --------------------------------------------

# The pool keys that decide what a connection trusts and presents.
_SETTING = ("cert_reqs", "ca_certs", "ca_cert_dir", "cert_file", "key_file")
_DEFAULT_SETTING = ("CERT_REQUIRED", None, None, None, None)
_CONTEXTS = "_tls_contexts"


def _context_like(base: ssl.SSLContext) -> ssl.SSLContext:
    """A new context with the TLS settings of ``base`` (so the same ClientHello) and no trust yet."""
    context = type(base)(base.protocol)
    # Off first: verify_mode cannot be CERT_NONE while it is on. urllib3 sets
    # each connection's verify mode and matches host names itself.
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.options = base.options
    context.verify_flags = base.verify_flags
    context.minimum_version = base.minimum_version
    context.maximum_version = base.maximum_version
    context.post_handshake_auth = base.post_handshake_auth
    context.hostname_checks_common_name = base.hostname_checks_common_name
    context.set_ciphers(":".join(cipher["name"] for cipher in base.get_ciphers()))
    return context


def _context_for(adapter: HTTPAdapter, pool_kwargs: Mapping[str, Any]) -> ssl.SSLContext:
    setting = tuple(pool_kwargs.get(key) for key in _SETTING)
    base: ssl.SSLContext = adapter.poolmanager.connection_pool_kw["ssl_context"]
    contexts: Dict[Tuple[Any, ...], ssl.SSLContext] = vars(adapter).setdefault(_CONTEXTS, {})
    context = contexts.get(setting)
    if setting == _DEFAULT_SETTING:
        if context is not base:
            # requests before 2.33 loads no CA for verify=True when the pool
            # manager has a context of its own: without the default bundle
            # every verified request would fail.
            base.load_verify_locations(requests.adapters.DEFAULT_CA_BUNDLE_PATH)
            contexts[setting] = base
        return base
    if context is None:
        # Two threads may both make one: setdefault keeps the first for both.
        context = contexts.setdefault(setting, _context_like(base))
    return context


def build_connection_pool_key_attributes(
    self: HTTPAdapter, request: PreparedRequest, verify: Any, cert: Any = None
) -> Tuple[Any, Any]:
    """requests' pool key, with a TLS context of its own for each verification setting.

    urllib3 sets a connection's verify mode on its pool's context and loads a
    request's ``verify=`` bundle into it; with one context for every pool, a CA
    passed for one request stayed trusted for the next, and a ``verify=False``
    request in one thread could switch verification off under a verified one
    in another. The default setting (``verify=True``) keeps the adapter's own
    context; the others (verify mode, CA file or folder, client certificate)
    get a new context with the same TLS settings.
    """
    host_params, pool_kwargs = HTTPAdapter.build_connection_pool_key_attributes(self, request, verify, cert)
    # An http request too: an https proxy takes it over TLS (urllib3 drops
    # the context from a pool that speaks no TLS).
    if "ssl_context" not in pool_kwargs:
        pool_kwargs["ssl_context"] = _context_for(self, pool_kwargs)
    return host_params, pool_kwargs


def cert_verify(self: HTTPAdapter, conn: Any, url: str, verify: Any, cert: Any) -> None:
    """requests' verification settings for ``conn``, which an http request that an
    ``https://`` proxy forwards gets as an https one does: it travels in TLS to the proxy."""
    # requests verifies what an https URL reaches and switches verification
    # off for every other: an http request that an https proxy forwards then
    # went over TLS to a proxy whose certificate nobody checked. It is the
    # pool's scheme that says whether TLS is spoken.
    verify_as: Any = cast(Any, HTTPAdapter).cert_verify  # requests leaves it unannotated
    verify_as(self, conn, "https://" if getattr(conn, "scheme", None) == "https" else url, verify, cert)


# --- Headers ------------------------------------------------------------------------------


def _reaches_proxy(url: str, proxy: Optional[str]) -> bool:
    """Whether the request itself goes to an http(s) proxy, which forwards it
    (plain http through such a proxy); otherwise its headers reach the origin."""
    if not proxy or not url.lower().startswith("http:"):
        return False
    return not proxy.lower().startswith("socks")


def add_headers(self: HTTPAdapter, request: PreparedRequest, **kwargs: Any) -> None:
    """No header that is not a token, or whose value holds CR, LF or NUL, leaves the session.

    ``Proxy-Authorization``, meant for the next proxy alone, reaches no origin
    (requests adds it after a redirect to an ``http://`` URL whatever the
    proxy, socks included).
    """
    HTTPAdapter.add_headers(self, request, **kwargs)
    headers = request.headers
    if "Proxy-Authorization" in headers and not _reaches_proxy(
        request.url or "", select_proxy(request.url or "", kwargs.get("proxies"))
    ):
        del headers["Proxy-Authorization"]
    check_requests_headers(headers)


# --- Retries and redirects ---------------------------------------------------------------


class RetryDeclinedError(MaxRetryError):
    """The retry policy would have sent the request again, but it could not be sent safely.

    ``reason`` is the error of the attempt made, as in ``MaxRetryError``;
    requests turns this into the exception it raises for that reason.
    """

    def __init__(self, pool: Any, url: Optional[str], reason: Optional[Exception] = None, why: str = "") -> None:
        self.reason = reason
        self.why = why
        RequestError.__init__(self, pool, url or "", f"{why} (Caused by {reason!r})")

    def __reduce__(self) -> Any:
        return self.__class__, (None, self.url, self.reason, self.why)


def _nothing_sent(error: Exception) -> bool:
    """Errors raised before any byte of the request was written: the
    connection could not be made, or the server's certificate was refused."""
    if isinstance(error, ProxyError):
        # urllib3 also reports a connection to a proxy that dropped after the
        # request went through as a ProxyError: only its cause tells.
        error = error.original_error
    if isinstance(error, ConnectTimeoutError):  # NewConnectionError included
        return True
    cause = error.args[0] if isinstance(error, SSLError) and error.args else None
    return isinstance(cause, (ssl.SSLCertVerificationError, CertificateError))


# The longest the session waits, in seconds, across one request's retries:
# the sleeps that Retry-After asks for and the policy's backoff together.
RETRY_WAIT_BUDGET = 120.0


class _GuardedRetry(Retry):
    """The adapter's policy for one request: never sent again where it cannot
    be, and never kept waiting longer than ``RETRY_WAIT_BUDGET`` in all.

    Each ``send`` gets a copy of its own (and urllib3 a new one at each step),
    so what one request's policy learns never reaches another's.
    """

    why = ""  # why a request that was sent may not be sent again; empty when it may
    waited = 0.0  # what this request's retries have slept, this one's sleep included

    def new(self, **kw: Any) -> "_GuardedRetry":
        retry = super().new(**kw)
        retry.why, retry.waited = self.why, self.waited
        return retry

    def get_retry_after(self, response: Any) -> Optional[float]:
        # urllib3 would raise from its sleep on these, and the caller would
        # lose the response. An unreadable Retry-After tells no wait; a date
        # past what the platform's clock can hold is later than any budget
        # (increment gives its response back before anything sleeps on it).
        try:
            return super().get_retry_after(response)
        except (InvalidHeader, ValueError):
            return None
        except OverflowError:
            return float("inf")

    def increment(self, method: Optional[str] = None, url: Optional[str] = None, response: Any = None,
                  error: Optional[Exception] = None, _pool: Any = None, _stacktrace: Any = None) -> "_GuardedRetry":
        retry = super().increment(method, url, response, error, _pool, _stacktrace)
        if error is not None and self.why and not _nothing_sent(error):
            if isinstance(error, ReadTimeoutError):
                raise ReadTimeoutError(_pool, url or "", f"{self.why} (Caused by {error!r})") from error
            if isinstance(error, ProtocolError):
                raise ProtocolError(f"{self.why} (Caused by {error!r})") from error
            raise RetryDeclinedError(_pool, url, error, self.why) from error
        # What urllib3's sleep is about to wait: the response's Retry-After
        # when it asks for a wait, the backoff otherwise.
        wait = None
        if response is not None and retry.respect_retry_after_header:
            wait = retry.get_retry_after(response)
            if wait is None and response.headers.get("Retry-After") and \
                    response.status not in (self.status_forcelist or ()):
                # Retried for its Retry-After alone (413, 429, 503), which
                # cannot be read: as if it had none, the status is not retried.
                self._give_back(response, url, _pool, "its Retry-After cannot be read")
        if wait:
            if self.waited + wait > RETRY_WAIT_BUDGET:
                self._give_back(response, url, _pool,
                                f"Retry-After asks for {wait:.0f} s, past the session's wait budget")
        else:
            wait = retry.get_backoff_time()
        retry.waited = self.waited + wait
        return retry

    def _give_back(self, response: Any, url: Optional[str], pool: Any, why: str) -> NoReturn:
        """Ends the retries with this response, which urlopen returns to the caller unread."""
        _log.debug("Not retrying %s after %s: %s (%.0f s waited already, %.0f s at most)",
                   url, response.status, why, self.waited, RETRY_WAIT_BUDGET)
        # urlopen returns the response instead of raising when the policy
        # whose increment raised says so; this one serves this request alone.
        self.raise_on_status = False
        raise MaxRetryError(pool, url or "", ResponseError(why))


class _OneShotBodyRetry(_GuardedRetry):
    """The policy of a request whose body the first attempt read: the caller
    gets the first response, whatever its status, as from plain requests."""

    def is_retry(self, method: str, status_code: int, has_retry_after: bool = False) -> bool:
        return False


def _replayable(request: PreparedRequest) -> bool:
    body: Any = request.body  # typed as text, but any file-like object or iterable is sent
    if body is None or isinstance(body, (bytes, str, bytearray, memoryview)):
        return True
    # requests records where a file-like body starts when it can tell; urllib3
    # and requests seek back there before sending it again.
    position = getattr(request, "_body_position", None)
    return isinstance(position, int) and callable(getattr(body, "seek", None))


# requests' own marker for a body whose start could not be recorded: its
# redirect code then refuses to send the body again (UnrewindableBodyError).
_UNREWINDABLE = object()


def _guarded(policy: Any, request: PreparedRequest, replayable: bool) -> Optional[_GuardedRetry]:
    """The policy urllib3 sees for this request, or None to leave the adapter's as it is."""
    if type(policy) is not Retry:  # a caller's own policy class decides for itself
        return None
    method = (request.method or "").upper()
    kind = _GuardedRetry if replayable else _OneShotBodyRetry
    guarded = kind.__new__(kind)
    guarded.__dict__.update(vars(policy))
    if policy.allowed_methods and method not in policy.allowed_methods:
        guarded.why = f"Not retried: the {method} request may already have been processed by the server"
    elif not replayable:
        guarded.why = (f"Not retried: the request body ({type(request.body).__name__}) is a one-shot "
                       "stream that the first attempt read, so it cannot be sent again")
    return guarded


# (adapter, the policy it uses for the request it is sending) in this thread or task.
_SENDING: "contextvars.ContextVar[Optional[Tuple[HTTPAdapter, Retry]]]" = contextvars.ContextVar(
    "pelun_online_sdk_requests_policy", default=None
)


def _get_max_retries(self: HTTPAdapter) -> Any:
    """The retry policy of the adapter (urllib3's Retry).

    It stays the policy the session was built with; only urllib3, within one
    ``send``, sees the guarded copy: a request that cannot be sent again is
    never re-sent, and the waits between retries stay within the budget.
    """
    sending = _SENDING.get()
    if sending is not None and sending[0] is self:
        return sending[1]
    return vars(self)["max_retries"]


def _set_max_retries(self: HTTPAdapter, policy: Any) -> None:
    vars(self)["max_retries"] = policy


# A send through both halves: Session.send calls send here, which hands
# requests' HTTPAdapter.send the guarded policy as max_retries; that takes its
# pool by build_connection_pool_key_attributes here, from the pool manager the
# C++ init_poolmanager made (or proxy_manager_for here), checks the headers by
# add_headers here, and urllib3 sends and retries.
def send(self: HTTPAdapter, request: PreparedRequest, *args: Any, **kwargs: Any) -> Any:
    """requests' send, under a retry policy that never sends a request again that cannot be sent again.

    A one-shot body (a ``MultipartEncoder``, a generator, a file that cannot
    be rewound) is read by the first attempt, so a second would declare its
    length and send nothing; and a request whose method is not idempotent
    (POST, PATCH) may already have been processed once its connection was
    open. Such a request is re-sent only when the error came before anything
    was sent (a connection that could not be made, a certificate refused);
    otherwise the caller gets the first response or the first error, as with
    plain requests, and an error says why it was not retried.

    The waits between retries stay within ``RETRY_WAIT_BUDGET`` seconds, the
    policy's backoff included: urllib3 sleeps for whatever ``Retry-After``
    asks (a day, or until a date decades away), outside the caller's
    ``timeout=``. Past the budget the caller gets the response at once, as
    plain requests returns it, with its ``Retry-After`` for the caller to act
    on. An unreadable ``Retry-After`` counts as absent (urllib3 would raise
    ``InvalidHeader`` and lose the response). A policy of the caller's own
    class, not urllib3's ``Retry``, is used as it is.
    """
    replayable = _replayable(request)
    if not replayable and getattr(request, "_body_position", None) is None:
        request._body_position = _UNREWINDABLE  # type: ignore[attr-defined]
    guarded = _guarded(vars(self).get("max_retries"), request, replayable)
    if guarded is None:
        return HTTPAdapter.send(self, request, *args, **kwargs)
    token = _SENDING.set((self, guarded))
    try:
        return HTTPAdapter.send(self, request, *args, **kwargs)
    finally:
        _SENDING.reset(token)


def _member(name: str, member: Any) -> Any:
    """``member`` (a function, or a property's) named as the adapter's class names what is written in it."""
    functions: Tuple[Any, ...] = (member.fget, member.fset) if isinstance(member, property) else (member,)
    for function in functions:
        function.__name__, function.__qualname__ = name, f"RequestsAdapter.{name}"
    return member


# The members the adapter's class takes, in this order.
MEMBERS: Dict[str, Any] = {
    name: _member(name, member) for name, member in [
        ("proxy_manager_for", proxy_manager_for),
        ("build_connection_pool_key_attributes", build_connection_pool_key_attributes),
        ("cert_verify", cert_verify),
        ("proxy_headers", proxy_headers),
        ("add_headers", add_headers),
        ("max_retries", property(_get_max_retries, _set_max_retries)),
        ("send", send),
    ]
}
