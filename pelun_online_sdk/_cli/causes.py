"""Why a request failed, told from the exception a library raised.

Each library wraps the error it met in its own exceptions, two or three
deep, and words it in its own way; their messages change between releases
and differ between libraries. What stays is the error at the bottom: the
``socket``, ``ssl`` and OS exceptions, and the types the libraries raise.
So a failure is classified from the exception types along its chain
(``__cause__``, ``__context__`` and the attributes the libraries keep the
original in), never from message text.
"""

from __future__ import annotations

import asyncio
import errno
import http
import http.client
import re
import socket
import ssl
from typing import Callable, Iterable, List, NamedTuple, Optional, Tuple, Type, cast

import aiohttp
import httpx
import requests
import urllib3.exceptions
from urllib3.util.ssl_match_hostname import CertificateError as HostnameMismatch


class Diagnosis(NamedTuple):
    """A failure in words. ``cause`` is one of CAUSES; ``hop`` is "proxy" or "origin".

    ``status`` is the HTTP status behind the failure where the client raised
    instead of returning it (a status its retry policy gave up on).
    """

    cause: str
    detail: str
    hint: str
    hop: str = "origin"
    status: Optional[int] = None


CAUSES = {
    "name-resolution": "name resolution",
    "connection-refused": "connection refused",
    "timeout": "timeout",
    "certificate": "certificate",
    "tls-mismatch": "TLS protocol or cipher mismatch",
    "proxy-refused": "proxy refused",
    "proxy-auth": "proxy authentication",
    "socks-error": "socks error",
    "http-status": "HTTP error status",
    "connection-closed": "connection closed",
    "unreachable": "target unreachable",
    "unsupported": "not supported by this client",
    "error": "other error",
}

# Where libraries keep the exception they wrapped, besides __cause__ and
# __context__: urllib3 (reason, original_error, args), aiohttp (os_error,
# certificate_error).
_LINKS = ("reason", "original_error", "os_error", "certificate_error")
_MAX_CHAIN = 64


def exception_chain(exc: BaseException) -> List[BaseException]:
    """``exc`` and every exception it wraps, outermost first, each once."""
    found: List[BaseException] = []
    queue = [exc]
    while queue and len(found) < _MAX_CHAIN:
        current = queue.pop(0)
        if any(current is seen for seen in found):
            continue
        found.append(current)
        queue.extend(_wrapped(current))
    return found


def _wrapped(exc: BaseException) -> Iterable[BaseException]:
    linked: List[object] = [exc.__cause__, exc.__context__, *exc.args]
    for name in _LINKS:
        try:
            linked.append(getattr(exc, name, None))
        except Exception:  # a property of a library's exception that fails: nothing linked there
            continue
    return [item for item in linked if isinstance(item, BaseException)]


def _first(chain: List[BaseException], kinds: Tuple[Type[BaseException], ...]) -> Optional[BaseException]:
    """The innermost exception of one of ``kinds``: the original error, not a library's
    wrapper of it (aiohttp's connector errors are ssl.SSLError subclasses themselves)."""
    return next((exc for exc in reversed(chain) if isinstance(exc, kinds)), None)


# X509_V_ERR_* codes of OpenSSL, as ssl.SSLCertVerificationError.verify_code carries them.
_UNTRUSTED = {2, 18, 19, 20, 21}
_WRONG_NAME = {62, 63, 64}
_CERT_WORDS = {10: ("expired", "past its end date",
                    "the server must renew its certificate; check this machine's clock too"),
               9: ("not yet valid", "before its start date",
                   "check this machine's clock and the certificate's start date"),
               23: ("revoked", "its issuer revoked it", "the server needs a new certificate")}
_TRUST_HINT = ("if you trust that CA, give it to the clients: SSL_CERT_FILE (httpx, aiohttp) "
               "and REQUESTS_CA_BUNDLE (requests) name a PEM bundle")


def certificate(chain: List[BaseException]) -> Optional[Diagnosis]:
    exc = _first(chain, (ssl.SSLCertVerificationError, HostnameMismatch))
    if exc is None:
        return None
    code = getattr(exc, "verify_code", None)
    # urllib3 checks host names itself where the context does not: its
    # CertificateError carries no verify code.
    if isinstance(exc, HostnameMismatch) or code in _WRONG_NAME:
        return Diagnosis("certificate", "wrong host name: it is not valid for the host in the URL",
                         "use a host name the certificate lists, or get a certificate for this one")
    if code in _UNTRUSTED:
        return Diagnosis("certificate", "untrusted issuer: no CA this client trusts signed it",
                         _TRUST_HINT)
    if isinstance(code, int) and code in _CERT_WORDS:
        kind, detail, hint = _CERT_WORDS[code]
        return Diagnosis("certificate", f"{kind}: {detail}", hint)
    return Diagnosis("certificate", f"it did not verify (OpenSSL code {code})",
                     "see the server's certificate chain, e.g. openssl s_client -connect HOST:PORT")


# OpenSSL's reason codes (ssl.SSLError.reason): fixed identifiers, not prose.
_VERSION_REASONS = ("PROTOCOL_VERSION", "UNSUPPORTED_PROTOCOL", "NO_PROTOCOLS_AVAILABLE", "VERSION_TOO_LOW",
                    "VERSION_TOO_HIGH")
_NOT_TLS_REASONS = ("WRONG_VERSION_NUMBER", "HTTP_REQUEST", "PACKET_LENGTH_TOO_LONG", "RECORD_LENGTH_MISMATCH")
_CLOSED_KINDS = (ssl.SSLEOFError, ssl.SSLZeroReturnError, ssl.SSLSyscallError)
_MISMATCH_HINT = "`python -m pelun_online_sdk fingerprint` shows what each client offers"


def tls_mismatch(chain: List[BaseException]) -> Optional[Diagnosis]:
    exc = _first(chain, (ssl.SSLError,))
    if exc is None or isinstance(exc, (ssl.SSLCertVerificationError,) + _CLOSED_KINDS):
        return None
    return tls_failure(cast(ssl.SSLError, exc))


def tls_failure(exc: ssl.SSLError, hop: str = "origin") -> Diagnosis:
    """A handshake that failed for another reason than the certificate, by OpenSSL's reason code."""
    peer = "the proxy" if hop == "proxy" else "the server"
    reason = str(getattr(exc, "reason", None) or "")
    not_tls_hint = ("is it a plain HTTP proxy? then its URL begins with http://" if hop == "proxy" else
                    "is it plain HTTP? try http:// or the server's TLS port")
    if any(word in reason for word in _NOT_TLS_REASONS):
        return Diagnosis("tls-mismatch", f"{peer} does not speak TLS on this port ({reason})", not_tls_hint, hop)
    if "UNEXPECTED_EOF" in reason:
        # A TLS peer that refuses the hello answers with an alert; one that
        # closes without a word is most often a plain-text server (Windows
        # drops its error reply when it resets the connection).
        return Diagnosis("tls-mismatch", f"{peer} closed the connection in the TLS handshake: most likely "
                         f"{peer} does not speak TLS on this port ({reason})", not_tls_hint, hop)
    if any(word in reason for word in _VERSION_REASONS):
        return Diagnosis("tls-mismatch", f"no TLS version both sides accept ({reason})",
                         f"{peer} allows only TLS versions this client refuses (or the reverse); " + _MISMATCH_HINT,
                         hop)
    if "SIGALG" in reason:
        # An old version both sides allow, whose signatures (SHA-1) OpenSSL's security level refuses.
        return Diagnosis("tls-mismatch", f"no signature algorithm both sides accept ({reason})",
                         f"{peer} speaks only an old TLS version or signs with a hash this client refuses; "
                         + _MISMATCH_HINT, hop)
    return Diagnosis("tls-mismatch", f"the TLS handshake failed: no cipher suite or key exchange both sides accept "
                     f"({reason or type(exc).__name__})", _MISMATCH_HINT, hop)


def name_resolution(chain: List[BaseException]) -> Optional[Diagnosis]:
    if _first(chain, (socket.gaierror,)) is None:
        return None
    return Diagnosis("name-resolution", "the host name could not be resolved",
                     "check the host name, and this machine's DNS settings")


def connection_refused(chain: List[BaseException]) -> Optional[Diagnosis]:
    if _first(chain, (ConnectionRefusedError,)) is None:
        return None
    return Diagnosis("connection-refused", "the host refused the connection: nothing listens on that port",
                     "check the port in the URL, and that the server runs")


_TIMEOUTS: Tuple[Type[BaseException], ...] = (
    TimeoutError, socket.timeout, asyncio.TimeoutError, requests.exceptions.Timeout, httpx.TimeoutException,
    aiohttp.ServerTimeoutError, urllib3.exceptions.TimeoutError)
# Raised only once the connection was made and the request sent. aiohttp
# tells reads apart from 3.10 on; before, its ServerTimeoutError is both.
_READ_TIMEOUTS: Tuple[Type[BaseException], ...] = (
    requests.exceptions.ReadTimeout, urllib3.exceptions.ReadTimeoutError, httpx.ReadTimeout,
    *([aiohttp.SocketTimeoutError] if hasattr(aiohttp, "SocketTimeoutError") else []))


def timed_out(chain: List[BaseException], connected: Callable[[], Optional[bool]] = lambda: None,
              timeout: Optional[float] = None) -> Optional[Diagnosis]:
    """``connected`` tells whether a TCP connection to the target completes (None: not known).

    The libraries' types do not say it: httpx calls a stalled TLS handshake
    a connect timeout, urllib3 a dropped connection.
    """
    if _first(chain, _TIMEOUTS) is None:
        return None
    within = f" within {timeout:g} s" if timeout else " in time"
    accepted = True if _first(chain, _READ_TIMEOUTS) is not None else connected()
    if accepted:
        return Diagnosis("timeout", f"the host accepted the TCP connection, then sent nothing{within}: "
                         "no TLS handshake or no answer to the request",
                         "the server is up but stalled or overloaded, or the port is another service's "
                         "that waits for its own protocol; look at the server and its logs")
    if accepted is False:
        return Diagnosis("timeout", f"the TCP connection was never completed{within}: nothing answered at all",
                         "the host may drop packets (a firewall), be down, or have a full listen queue; "
                         "check the address and port")
    return Diagnosis("timeout", f"no answer{within}",
                     "the host may drop packets (a firewall) or be overloaded; a larger --timeout tells which")


def _retried_status(exc: BaseException) -> Optional[int]:
    """The status in urllib3's ResponseError.

    The one fact read from a message: urllib3 keeps the status nowhere
    else, and words it by a template of its own, which the pattern is made
    from.
    """
    template = getattr(urllib3.exceptions.ResponseError, "SPECIFIC_ERROR", None)
    if not isinstance(template, str) or "{status_code}" not in template:
        return None
    pattern = re.escape(template).replace(re.escape("{status_code}"), r"(\d{3})")
    found = re.search(pattern, str(exc))
    return int(found.group(1)) if found else None


def http_status_retried(chain: List[BaseException]) -> Optional[Diagnosis]:
    """requests' retry policy turns a status it retries into an error once the retries are spent."""
    exc = _first(chain, (urllib3.exceptions.ResponseError,))
    if exc is None:
        return None
    status = _retried_status(exc)
    answer = "a status the session retries" if status is None else f"{status} {phrase(status)}".rstrip()
    return Diagnosis("http-status", f"{answer} came back to every try, until the session's retry policy gave up",
                     "the server (or a proxy on the way) is failing or rate-limiting: try later, or look at its logs",
                     status=status)


def phrase(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return ""


# What squid names its own error pages by (its X-Squid-Error header): fixed
# identifiers, and the OS error number where it has one. CONNECT to a name
# that does not resolve is ERR_CANNOT_FORWARD in squid 5, ERR_DNS_FAIL elsewhere.
_SQUID_NO_ADDRESS = ("ERR_DNS_FAIL", "ERR_CANNOT_FORWARD")
_SQUID_UNREACHABLE = ("ERR_CONNECT_FAIL", "ERR_READ_ERROR")


def proxy_answer(status: int, reason: str, request: str, squid_error: Optional[str] = None) -> Diagnosis:
    """Why a proxy answered ``request`` (``CONNECT host:port``, say) with ``status``: from squid's
    error code where it sent one, else from the status as proxies use it."""
    said = f"the proxy answered {status} {reason}".rstrip() + f" to {request}"
    code, _, number = (squid_error or "").partition(" ")
    if code:
        said += f" ({code})"
    os_error = int(number) if number.strip().isdigit() else 0
    if code in _SQUID_NO_ADDRESS or (not code and status == 500):
        return Diagnosis("name-resolution", f"the proxy found no address for the target's name: {said}",
                         "check the host name in the URL; the proxy resolves it, with its own DNS settings")
    if code == "ERR_READ_TIMEOUT" or (code == "ERR_CONNECT_FAIL" and os_error == errno.ETIMEDOUT) or \
            (not code and status == 504):
        return Diagnosis("timeout", f"the proxy's connection to the target timed out: {said}",
                         "the target may drop packets (a firewall) or be down")
    if (code == "ERR_CONNECT_FAIL" and os_error == errno.ECONNREFUSED) or (not code and status == 503):
        return Diagnosis("connection-refused", f"the target refused the proxy's connection: {said}",
                         "check the port in the URL, and that the server runs")
    if code in _SQUID_UNREACHABLE or (not code and status == 502):
        return Diagnosis("unreachable", f"the proxy could not reach the target: {said}",
                         "check the host and port in the URL, and the proxy's route to them")
    if code == "ERR_ACCESS_DENIED" or status == 403:
        return Diagnosis("proxy-refused", f"the proxy's access rules refuse it: {said}",
                         "the proxy will not take this target (or port): check its access rules", "proxy")
    return Diagnosis("proxy-refused", f"the proxy refused it: {said}", "look at the proxy's logs for why", "proxy")


_PROXY_KINDS: Tuple[Type[BaseException], ...] = (
    requests.exceptions.ProxyError, urllib3.exceptions.ProxyError, httpx.ProxyError,
    aiohttp.ClientHttpProxyError, aiohttp.ClientProxyConnectionError)
# PySocks (requests), socksio (httpx) and aiohttp_proxy ship no type
# information; their exceptions are known by the module that defines them.
_SOCKS_MODULES = ("socks", "socksio", "aiohttp_proxy")


def proxy_rejection(chain: List[BaseException]) -> Optional[Diagnosis]:
    """A proxy's refusal that the direct check of the proxy could not reproduce."""
    for exc in chain:
        if isinstance(exc, aiohttp.ClientHttpProxyError) and exc.status == 407:
            return Diagnosis("proxy-auth", "the proxy wants (other) credentials: 407 Proxy Authentication Required",
                             "put the right user and password in the proxy URL", "proxy")
    # A socks library's error may be wrapped in the HTTP library's proxy error (httpx's ProxyError).
    socks = next((exc for exc in chain if type(exc).__module__.split(".")[0] in _SOCKS_MODULES), None)
    if socks is not None:
        return Diagnosis("socks-error", f"the socks proxy refused the request ({type(socks).__name__})",
                         "check the proxy's rules and credentials", "proxy")
    refusal = _first(chain, _PROXY_KINDS)
    if refusal is not None:
        return Diagnosis("proxy-refused", f"the proxy refused the request ({type(refusal).__name__})",
                         "check the proxy's rules for this target", "proxy")
    return None


_CLOSED: Tuple[Type[BaseException], ...] = (
    ConnectionResetError, ConnectionAbortedError, BrokenPipeError, http.client.RemoteDisconnected,
    httpx.RemoteProtocolError, aiohttp.ServerDisconnectedError) + _CLOSED_KINDS


def connection_closed(chain: List[BaseException]) -> Optional[Diagnosis]:
    exc = _first(chain, _CLOSED)
    if exc is None:
        return None
    during = " during the TLS handshake" if isinstance(exc, _CLOSED_KINDS) else ""
    return Diagnosis("connection-closed", f"the other end closed the connection{during} without an answer",
                     "the server (or a proxy on the way) dropped the request: look at its logs")


Check = Callable[[List[BaseException]], Optional[Diagnosis]]
CHECKS: Tuple[Check, ...] = (certificate, tls_mismatch, http_status_retried, name_resolution, connection_refused)
LAST_CHECKS: Tuple[Check, ...] = (proxy_rejection, connection_closed)


def diagnose(exc: BaseException, proxy_fault: Optional[Callable[[], Optional[Diagnosis]]] = None,
             connected: Callable[[], Optional[bool]] = lambda: None, timeout: Optional[float] = None) -> Diagnosis:
    """The cause of ``exc``.

    ``proxy_fault`` asks the proxy directly, when one was used; its verdict
    comes first, since no error of the origin's can arise where the proxy
    hop fails (and a TLS error, say, looks the same from either hop).
    ``connected`` tells whether the target accepts a TCP connection.
    """
    if proxy_fault is not None:
        found = proxy_fault()
        if found is not None:
            return found
    chain = exception_chain(exc)
    checks: Tuple[Check, ...] = (*CHECKS, lambda chain: timed_out(chain, connected, timeout), *LAST_CHECKS)
    for check in checks:
        found = check(chain)
        if found is not None:
            return found
    return Diagnosis("error", f"{type(exc).__name__}: {exc}", "run again with --json for the whole record")


def status_diagnosis(status: int, reason: str) -> Diagnosis:
    side = "the server" if status < 500 else "the server (or a gateway on the way)"
    return Diagnosis("http-status", f"{side} answered {status} {reason}".rstrip(),
                     "the request arrived: the answer is the server's" if status != 407 else
                     "the proxy wants credentials: put them in the proxy URL")
