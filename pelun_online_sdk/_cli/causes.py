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
import http.client
import socket
import ssl
from typing import Callable, Iterable, List, NamedTuple, Optional, Tuple, Type

import aiohttp
import httpx
import requests
import urllib3.exceptions
from urllib3.util.ssl_match_hostname import CertificateError as HostnameMismatch


class Diagnosis(NamedTuple):
    """A failure in words. ``cause`` is one of CAUSES; ``hop`` is "proxy" or "origin"."""

    cause: str
    detail: str
    hint: str
    hop: str = "origin"


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
    reason = str(getattr(exc, "reason", None) or "")
    if any(word in reason for word in _NOT_TLS_REASONS):
        return Diagnosis("tls-mismatch", f"the server does not speak TLS on this port ({reason})",
                         "is it plain HTTP? try http:// or the server's TLS port")
    if any(word in reason for word in _VERSION_REASONS):
        return Diagnosis("tls-mismatch", f"no TLS version both sides accept ({reason})",
                         "the server allows only TLS versions this client refuses (or the reverse); " + _MISMATCH_HINT)
    if "SIGALG" in reason:
        # An old version both sides allow, whose signatures (SHA-1) OpenSSL's security level refuses.
        return Diagnosis("tls-mismatch", f"no signature algorithm both sides accept ({reason})",
                         "the server speaks only an old TLS version or signs with a hash this client refuses; "
                         + _MISMATCH_HINT)
    return Diagnosis("tls-mismatch", f"the TLS handshake failed: no cipher suite or key exchange both sides accept "
                     f"({reason or type(exc).__name__})", _MISMATCH_HINT)


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


def timed_out(chain: List[BaseException]) -> Optional[Diagnosis]:
    if _first(chain, _TIMEOUTS) is None:
        return None
    return Diagnosis("timeout", "no answer in time",
                     "the host may drop packets (a firewall) or be overloaded; a larger --timeout tells which")


def http_status_retried(chain: List[BaseException]) -> Optional[Diagnosis]:
    """requests' retry policy turns a status it retries into an error once the retries are spent."""
    if _first(chain, (urllib3.exceptions.ResponseError,)) is None:
        return None
    return Diagnosis("http-status", "the server kept answering with a status the session retries "
                     "(429, 500, 502, 503 or 504) until its retries were spent",
                     "the server is failing or rate-limiting: try later, or look at its logs")


_PROXY_KINDS: Tuple[Type[BaseException], ...] = (
    requests.exceptions.ProxyError, urllib3.exceptions.ProxyError, httpx.ProxyError,
    aiohttp.ClientHttpProxyError, aiohttp.ClientProxyConnectionError)
# PySocks (requests) and aiohttp_proxy ship no type information; their
# exceptions are known by the module that defines them.
_SOCKS_MODULES = ("socks", "aiohttp_proxy")


def proxy_rejection(chain: List[BaseException]) -> Optional[Diagnosis]:
    """A proxy's refusal that the direct check of the proxy could not reproduce."""
    for exc in chain:
        if isinstance(exc, aiohttp.ClientHttpProxyError) and exc.status == 407:
            return Diagnosis("proxy-auth", "the proxy wants (other) credentials: 407 Proxy Authentication Required",
                             "put the right user and password in the proxy URL", "proxy")
        if isinstance(exc, _PROXY_KINDS):
            return Diagnosis("proxy-refused", f"the proxy refused the request ({type(exc).__name__})",
                             "check the proxy's rules for this target", "proxy")
        if type(exc).__module__.split(".")[0] in _SOCKS_MODULES:
            return Diagnosis("socks-error", f"the socks proxy refused the request ({type(exc).__name__})",
                             "check the proxy's rules and credentials", "proxy")
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
# Certificate and TLS errors first: they are the origin's even through a proxy.
BEFORE_PROXY: Tuple[Check, ...] = (certificate, tls_mismatch, http_status_retried)
AFTER_PROXY: Tuple[Check, ...] = (name_resolution, connection_refused, timed_out, proxy_rejection,
                                  connection_closed)


def diagnose(exc: BaseException, check_proxy: Optional[Callable[[], Optional[Diagnosis]]] = None) -> Diagnosis:
    """The cause of ``exc``. ``check_proxy`` asks the proxy directly, when one was used."""
    chain = exception_chain(exc)
    for check in BEFORE_PROXY:
        found = check(chain)
        if found is not None:
            return found
    if check_proxy is not None:
        found = check_proxy()
        if found is not None:
            return found
    for check in AFTER_PROXY:
        found = check(chain)
        if found is not None:
            return found
    return Diagnosis("error", f"{type(exc).__name__}: {exc}", "run again with --json for the whole record")


def status_diagnosis(status: int, reason: str) -> Diagnosis:
    side = "the server" if status < 500 else "the server (or a gateway on the way)"
    return Diagnosis("http-status", f"{side} answered {status} {reason}".rstrip(),
                     "the request arrived: the answer is the server's" if status != 407 else
                     "the proxy wants credentials: put them in the proxy URL")
