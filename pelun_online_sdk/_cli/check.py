"""``check``: one request per client, directly or through a proxy, and why it failed."""

from __future__ import annotations

import asyncio
import dataclasses
import socket
import ssl
import threading
import time
import urllib.request
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple
from urllib.parse import unquote, urlsplit

import aiohttp
import urllib3.exceptions
from urllib3.util.retry import Retry

from ..client import Client
from ..proxy import Proxy
from .causes import CAUSES, Diagnosis, diagnose, phrase, proxy_answer, status_diagnosis
from .output import Masker, Printer, Progress, masked_url, table
from .probe import check_proxy

CLIENTS = ("requests", "httpx", "aiohttp")


class TlsFacts(NamedTuple):
    version: Optional[str] = None
    cipher: Optional[str] = None
    alpn: Optional[str] = None
    subject: Optional[str] = None
    issuer: Optional[str] = None
    expires: Optional[str] = None


class Exchange(NamedTuple):
    """What a client got back."""

    status: int
    reason: str
    http_version: str
    tls: TlsFacts
    # Set by squid on the error pages it makes itself (what a proxy answers
    # for a plain http:// URL reaches the client as the response).
    squid_error: Optional[str] = None


class SetupFailed(Exception):
    """The library would not build a session for this proxy (httpx and socks4, say)."""


@dataclasses.dataclass
class Row:
    """One client's result, as printed and as its JSON record."""

    client: str
    url: str = ""
    proxy: Optional[str] = None  # its URL, the password masked
    ok: bool = False
    seconds: float = 0.0
    status: Optional[int] = None
    reason: Optional[str] = None
    http_version: Optional[str] = None
    tls_version: Optional[str] = None
    cipher: Optional[str] = None
    alpn: Optional[str] = None
    cert_subject: Optional[str] = None
    cert_issuer: Optional[str] = None
    cert_expires: Optional[str] = None
    cause: Optional[str] = None
    detail: Optional[str] = None
    hint: Optional[str] = None
    hop: Optional[str] = None
    error: Optional[str] = None


# Short names of the certificate fields a subject or issuer usually has.
_NAME_FIELDS = {"commonName": "CN", "organizationName": "O", "organizationalUnitName": "OU", "countryName": "C",
                "stateOrProvinceName": "ST", "localityName": "L"}


def _distinguished_name(rdns: Any) -> Optional[str]:
    if not rdns:
        return None
    return ", ".join(f"{_NAME_FIELDS.get(key, key)}={value}" for rdn in rdns for key, value in rdn)


def tls_facts(connection: Any) -> TlsFacts:
    """Version, cipher, ALPN and certificate of an ``ssl.SSLSocket``/``SSLObject`` (or None: plain HTTP)."""
    if connection is None or not hasattr(connection, "cipher"):
        return TlsFacts()
    cipher = connection.cipher()
    # A verified peer's certificate, decoded by the ssl module; {} where nothing was verified.
    cert: Dict[str, Any] = connection.getpeercert() or {}
    expires = None
    if cert.get("notAfter"):
        expires = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(ssl.cert_time_to_seconds(cert["notAfter"])))
    return TlsFacts(connection.version(), cipher[0] if cipher else None, connection.selected_alpn_protocol(),
                    _distinguished_name(cert.get("subject")), _distinguished_name(cert.get("issuer")), expires)


def _built(build: Callable[[], Any]) -> Any:
    try:
        return build()
    except Exception as exc:
        raise SetupFailed(f"{type(exc).__name__}: {exc}") from exc


_SQUID_ERROR = "X-Squid-Error"
_HTTP_VERSIONS = {9: "HTTP/0.9", 10: "HTTP/1.0", 11: "HTTP/1.1", 20: "HTTP/2"}


def fetch_with_requests(url: str, proxy: Optional[Proxy], timeout: float) -> Exchange:
    with _built(lambda: Client.ClientSession(Client.TypeReq.REQUESTS, {}, proxy)) as session:
        # Streamed, so that the connection (and its TLS socket) is still the response's to look at.
        with session.get(url, timeout=timeout, stream=True) as response:
            raw: Any = response.raw
            connection = getattr(raw, "connection", None)
            return Exchange(response.status_code, response.reason or "", _HTTP_VERSIONS.get(raw.version, "?"),
                            tls_facts(getattr(connection, "sock", None)), response.headers.get(_SQUID_ERROR))


def fetch_with_httpx(url: str, proxy: Optional[Proxy], timeout: float) -> Exchange:
    with _built(lambda: Client.ClientSession(Client.TypeReq.HTTPX, {}, proxy)) as client:
        with client.stream("GET", url, timeout=timeout) as response:
            stream = response.extensions.get("network_stream")
            connection = stream.get_extra_info("ssl_object") if stream is not None else None
            return Exchange(response.status_code, response.reason_phrase, response.http_version,
                            tls_facts(connection), response.headers.get(_SQUID_ERROR))


async def _aiohttp_exchange(url: str, proxy: Optional[Proxy], timeout: float) -> Exchange:
    # The session must be made inside the running loop.
    async with _built(lambda: Client.ClientSession(Client.TypeReq.AIOHTTP, {}, proxy)) as session:
        async with session.get(url, timeout=aiohttp.ClientTimeout(total=timeout)) as response:
            connection = _aiohttp_ssl_object(response)
            version = f"HTTP/{response.version.major}.{response.version.minor}" if response.version else "?"
            return Exchange(response.status, response.reason or "", version, tls_facts(connection),
                            response.headers.get(_SQUID_ERROR))


def _aiohttp_ssl_object(response: aiohttp.ClientResponse) -> Any:
    # aiohttp hands a connection back to its pool as soon as a short body has
    # arrived whole, before the caller sees the response; the protocol it
    # keeps (a private attribute, hence the care) still has the transport.
    holder: Any = response.connection or getattr(response, "_protocol", None)
    transport = getattr(holder, "transport", None)
    return transport.get_extra_info("ssl_object") if transport is not None else None


def fetch_with_aiohttp(url: str, proxy: Optional[Proxy], timeout: float) -> Exchange:
    return asyncio.run(_aiohttp_exchange(url, proxy, timeout))


FETCHERS: Dict[str, Callable[[str, Optional[Proxy], float], Exchange]] = {
    "requests": fetch_with_requests, "httpx": fetch_with_httpx, "aiohttp": fetch_with_aiohttp}


def target_of(url: str) -> Tuple[str, int]:
    parts = urlsplit(url)
    return parts.hostname or "", parts.port or (443 if parts.scheme == "https" else 80)


def check_one(client: str, url: str, proxy: Optional[Proxy], timeout: float) -> Row:
    row = Row(client, masked_url(url), shown_proxy(proxy))
    route = Route(proxy, url, timeout)
    start = time.monotonic()
    try:
        _answered(row, FETCHERS[client](url, proxy, timeout), route)
    except SetupFailed as exc:
        # Nothing was sent: this client cannot speak to this kind of proxy.
        _failed(row, Diagnosis("unsupported", f"{client} could not be set up with this proxy: {exc}",
                               "see the README's known limits of the libraries; another client may work",
                               "proxy"), exc)
    except Exception as exc:
        _failed(row, diagnose(exc, route.proxy_fault, route.connected, timeout), exc)
    row.seconds = round(time.monotonic() - start, 3)
    # Library messages may quote the credentials; the rest of the row is the command's own.
    mask = Masker(_credentials_in(url), (proxy.username, proxy.password) if proxy is not None else (None, None))
    row.detail, row.hint, row.error = mask(row.detail), mask(row.hint), mask(row.error)
    return row


def _credentials_in(url: str) -> Tuple[Optional[str], Optional[str]]:
    parts = urlsplit(url)
    return (unquote(parts.username) if parts.username is not None else None,
            unquote(parts.password) if parts.password is not None else None)


def shown_proxy(proxy: Optional[Proxy]) -> Optional[str]:
    """The proxy's URL as printed: its password masked, rebuilt from its parts."""
    if proxy is None:
        return None
    if proxy.password is None:
        return proxy.toString
    head, _, tail = Proxy(proxy.host, proxy.port, proxy.scheme, proxy.username).toString.partition("@")
    return f"{head}:***@{tail}"


class Route:
    """How the target is reached, asked once more when a client failed: the proxy hop, and the TCP connection."""

    def __init__(self, proxy: Optional[Proxy], url: str, timeout: float) -> None:
        self.proxy = proxy
        self._host, self._port = target_of(url)
        # An http(s) proxy forwards a plain http:// request without a tunnel.
        self.tunnel = urlsplit(url).scheme == "https" or (proxy is not None and proxy.scheme.startswith("socks"))
        self._timeout = timeout
        self._verdict: Optional[Tuple[Optional[Diagnosis]]] = None

    def proxy_fault(self) -> Optional[Diagnosis]:
        """Why the proxy would not carry the request, or None (no proxy, or it opened the tunnel)."""
        if self.proxy is None:
            return None
        if self._verdict is None:
            try:
                found = check_proxy(self.proxy, self._host, self._port, self._timeout, self.tunnel)
            except Exception:  # the check is a second opinion: without it the library's error still speaks
                found = None
            self._verdict = (found,)
        return self._verdict[0]

    def connected(self) -> Optional[bool]:
        """Whether a TCP connection to the target completes; None where that cannot be told."""
        if self.proxy is not None:
            # The proxy opened the tunnel: it connected to the target.
            return True if self.tunnel and self.proxy_fault() is None else None
        if any(name in urllib.request.getproxies() for name in ("http", "https", "all")):
            return None  # the clients may have gone through a proxy of the environment
        try:
            with socket.create_connection((self._host, self._port), timeout=self._timeout):
                return True
        except socket.timeout:
            return False
        except OSError:
            return None


def _failed(row: Row, diagnosis: Diagnosis, exc: BaseException) -> None:
    row.cause, row.detail, row.hint, row.hop = diagnosis[:4]
    if diagnosis.status is not None:
        row.status, row.reason = diagnosis.status, phrase(diagnosis.status) or None
    cause = exc.__cause__ if isinstance(exc, SetupFailed) and exc.__cause__ is not None else exc
    row.error = f"{type(cause).__module__}.{type(cause).__qualname__}: {cause}"


def _answered(row: Row, exchange: Exchange, route: Route) -> None:
    row.status, row.reason, row.http_version = exchange.status, exchange.reason, exchange.http_version
    tls = exchange.tls
    row.tls_version, row.cipher, row.alpn = tls.version, tls.cipher, tls.alpn
    row.cert_subject, row.cert_issuer, row.cert_expires = tls.subject, tls.issuer, tls.expires
    row.ok = exchange.status < 400
    if row.ok:
        return
    proxy = route.proxy
    if exchange.status == 407 and proxy is not None:
        diagnosis = Diagnosis("proxy-auth", f"the proxy answered 407 {exchange.reason}".rstrip(),
                              "check the credentials in the proxy URL", "proxy")
    elif exchange.squid_error and proxy is not None and not route.tunnel:
        # The proxy's own error page, for a request it forwards itself.
        diagnosis = proxy_answer(exchange.status, exchange.reason, f"GET {row.url}", exchange.squid_error)
    else:
        diagnosis = status_diagnosis(exchange.status, exchange.reason)
    row.cause, row.detail, row.hint, row.hop = diagnosis[:4]


def retry_note() -> str:
    """How long the requests session's own retry policy makes a failing host take, from the policy itself."""
    try:
        with Client.ClientSession(Client.TypeReq.REQUESTS, {}) as session:
            retry = getattr(session.get_adapter("https://"), "max_retries", None)
    except Exception:
        return ""
    if not isinstance(retry, Retry):
        return ""
    waits = _backoff_waits(retry)
    if not waits:
        return ""
    pauses = [f"{wait:g}" for wait in waits]
    spaced = ", ".join(pauses[:-1]) + " and " + pauses[-1] if len(pauses) > 1 else pauses[0]
    return (f"A failing host keeps requests about {sum(waits):g} s longer ({len(waits) + 1} tries, "
            f"{spaced} s apart: its session's retry policy).")


def _backoff_waits(retry: Retry) -> List[float]:
    """The pauses urllib3 makes between tries of a connection that keeps failing."""
    waits: List[float] = []
    try:
        for _ in range(20):
            retry = retry.increment("GET", "/", error=urllib3.exceptions.ConnectTimeoutError("probe"))
            waits.append(retry.get_backoff_time())
    except urllib3.exceptions.MaxRetryError:
        pass
    return waits


def run_checks(clients: List[str], url: str, proxy: Optional[Proxy], timeout: float,
               progress: Progress) -> List[Row]:
    """Every client at once, each in a thread: a slow one does not hold the others up."""
    rows: Dict[str, Row] = {}

    def work(client: str) -> None:
        rows[client] = check_one(client, url, proxy, timeout)
        progress.finished(client)

    threads = [threading.Thread(target=work, args=(client,), name=f"check-{client}", daemon=True)
               for client in clients]
    progress.start(clients)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            while thread.is_alive():
                thread.join(0.2)
    finally:
        progress.stop()
    return [rows[client] for client in clients]


def print_rows(printer: Printer, rows: List[Row], as_json: bool) -> None:
    if as_json:
        for row in rows:
            printer.json_line(dataclasses.asdict(row))
        return
    header = ["CLIENT", "RESULT", "STATUS", "HTTP", "TLS", "CIPHER", "ALPN", "TIME"]
    lines = table([header] + [_cells(row) for row in rows])
    printer.line(lines[0])
    for row, line in zip(rows, lines[1:]):
        printer.line(line)
        for extra in _details(row):
            printer.line(" " * 10 + extra)


def _cells(row: Row) -> List[str]:
    status = f"{row.status} {row.reason or ''}".rstrip() if row.status is not None else "-"
    alpn = row.alpn or ("none" if row.tls_version else "-")
    return [row.client, "ok" if row.ok else "FAILED", status, row.http_version or "-", row.tls_version or "-",
            row.cipher or "-", alpn, f"{row.seconds:.2f} s"]


def _details(row: Row) -> List[str]:
    lines: List[str] = []
    if row.cert_subject or row.cert_issuer:
        lines.append(f"certificate  subject {row.cert_subject or '?'}; issuer {row.cert_issuer or '?'}; "
                     f"expires {row.cert_expires or '?'}")
    if row.cause is not None:
        where = f" (at the {row.hop})" if row.hop else ""
        lines.append(f"cause        {CAUSES.get(row.cause, row.cause)}{where}: {row.detail}")
        lines.append(f"hint         {row.hint}")
    return lines


def describe(url: str, proxy: Optional[Proxy], timeout: float) -> str:
    """The first line of the text output: what is checked, and how."""
    if proxy is not None:
        route = f"through {shown_proxy(proxy)}"
    elif any(name in urllib.request.getproxies() for name in ("http", "https", "all")):
        route = "with no --proxy, but the environment names proxies, which the clients may use"
    else:
        route = "directly"
    return f"GET {masked_url(url)} {route}, timeout {timeout:g} s"
