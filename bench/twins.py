"""The client module's operations written as plain Python.

Each class mirrors its native namesake in pelun_online_sdk.client: the same
signatures, defaults, exact-type argument tests, module-level names and
results, so that bench/run.py can time the two against each other and tell
what the native build saves over the obvious Python.
"""

from __future__ import annotations

from enum import Enum, auto
import inspect
import json
import secrets
import ssl
import string
import sys
from typing import Any, Dict, Iterable, Union
from urllib.parse import urlencode
from Cryptodome.Hash import MD5 as HashMD5

import aiohttp
from aiohttp_proxy import ProxyConnector
import chardet
import httpx
from requests.adapters import HTTPAdapter
import requests
from requests_toolbelt import MultipartEncoder
from urllib3 import PoolManager, Retry as __retry__

from pelun_online_sdk.utils import Report, VERSION_SDK
from pelun_online_sdk.proxy import Proxy
from pelun_online_sdk._headers import CheckedClientRequest, check_httpx_request, header_fault
from pelun_online_sdk._httpx_h2 import guard_transport
from pelun_online_sdk._requests_adapter import MEMBERS as _ADAPTER_MEMBERS


def _refuse(name, expected, value):
    # The wording of the native argument test, so a refused call reads alike.
    raise TypeError(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
        % (name, expected, type(value).__name__)
    )


def _check_boundary_args(data, prefix, length, boundary):
    # The body builders' exact-type argument tests, in the native order, so
    # the first wrong argument is the one named.
    if type(data) is not dict:
        _refuse("data", "dict", data)
    if prefix is not None and type(prefix) is not str:
        _refuse("prefix", "str", prefix)
    if type(length) is not int:
        _refuse("length", "int", length)
    if boundary is not None and type(boundary) is not str:
        _refuse("boundary", "str", boundary)


def _expect_str(boundary):
    # A boundary is a str (or None): a rebound HashMD5 could give anything.
    if boundary is not None and type(boundary) is not str:
        raise TypeError("Expected %s, got %.200s" % ("str", type(boundary).__name__))
    return boundary


def _random_boundary(prefix, length, MD5):
    # `length` random characters after "prefix-", or their MD5 when there is
    # no prefix; MD5 hashes the result once more.
    chars = string.ascii_letters + string.digits + "._-"
    if prefix is not None:
        boundary = _expect_str(
            "{}-{}".format(prefix, "".join(secrets.choice(chars) for _ in range(length)))
        )
    else:
        boundary = _expect_str(
            HashMD5.new(
                "{}".format("".join(secrets.choice(chars) for _ in range(length))).encode()
            ).hexdigest()
        )
    if MD5:
        boundary = _expect_str(HashMD5.new(boundary.encode()).hexdigest())
    return boundary


def _session_headers(extra_headers):
    # The sessions' header rule: the caller's headers with lower-cased names
    # (a later duplicate wins), plus the SDK's User-Agent unless one is given.
    headers = {}
    if extra_headers:
        for k, v in zip(extra_headers.keys(), extra_headers.values()):
            headers.update(**{k.lower(): v})
    if not headers.get("User-Agent".lower()):
        headers.update(**{"User-Agent".lower(): "Pelun-Online/{}".format(VERSION_SDK)})
    # No header that could split a request reaches a library.
    for name, value in list(headers.items()):
        fault = header_fault(name, value)
        if fault is not None:
            raise ValueError(fault)
    return headers


class _aiohttp:
    @staticmethod
    def create_urlencode(data: dict):
        if type(data) is not dict:
            _refuse("data", "dict", data)
        return urlencode(data)

    @staticmethod
    def create_boundary(
        data: dict, prefix: str = None, length: int = 51, boundary: str = None, MD5: bool = False
    ):
        _check_boundary_args(data, prefix, length, boundary)

        class Boundary(Report):
            def __init__(self, headers: Dict[str, str], data: aiohttp.MultipartWriter) -> None:
                if type(headers) is not dict:
                    _refuse("headers", "dict", headers)
                super().__init__()
                self.headers = headers
                self.data = data

        if not boundary:
            boundary = _random_boundary(prefix, length, MD5)
        with aiohttp.MultipartWriter("form-data", boundary=boundary) as MPData:
            for key, value in data.items():
                if isinstance(value, (dict, list)):
                    value = json.dumps(value)
                if isinstance(value, (int, float)):
                    value = str(value)
                part = MPData.append(value)
                part.set_content_disposition("form-data", name=key)
            return Boundary(headers={"Content-Type": MPData.content_type}, data=MPData)

    @staticmethod
    def ClientSession(extra_headers: Dict[str, str] = {}, proxy: Union[Proxy, None] = None):
        if type(extra_headers) is not dict:
            _refuse("extra_headers", "dict", extra_headers)
        headers = _session_headers(extra_headers)
        if proxy and proxy.toString:
            return aiohttp.ClientSession(
                headers=headers, connector=ProxyConnector().from_url(proxy.toString),
                request_class=CheckedClientRequest,
            )
        return aiohttp.ClientSession(headers=headers, request_class=CheckedClientRequest)


# The cipher list, a copy as every other value here.
CHIPER = ":".join([
    "TLS_AES_256_GCM_SHA384", "TLS_CHACHA20_POLY1305_SHA256", "TLS_AES_128_GCM_SHA256",
    "ECDHE-ECDSA-AES256-GCM-SHA384", "ECDHE-RSA-AES256-GCM-SHA384",
    "ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-RSA-AES128-GCM-SHA256",
    "ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-RSA-CHACHA20-POLY1305", "DHE-RSA-AES256-GCM-SHA384",
    "DHE-RSA-AES128-GCM-SHA256", "DHE-RSA-CHACHA20-POLY1305", "ECDHE-ECDSA-AES256-CCM8",
    "ECDHE-ECDSA-AES256-CCM", "ECDHE-ECDSA-AES128-CCM8", "ECDHE-ECDSA-AES128-CCM",
    "ECDHE-ECDSA-AES256-SHA384", "ECDHE-RSA-AES256-SHA384", "ECDHE-ECDSA-AES128-SHA256",
    "ECDHE-RSA-AES128-SHA256", "ECDHE-ECDSA-AES256-SHA", "ECDHE-RSA-AES256-SHA",
    "ECDHE-ECDSA-AES128-SHA", "ECDHE-RSA-AES128-SHA", "DHE-RSA-AES256-CCM8", "DHE-RSA-AES256-CCM",
    "DHE-RSA-AES128-CCM8", "DHE-RSA-AES128-CCM", "DHE-RSA-AES256-SHA256", "DHE-RSA-AES128-SHA256",
    "DHE-RSA-AES256-SHA", "DHE-RSA-AES128-SHA", "AES256-GCM-SHA384", "AES128-GCM-SHA256",
    "AES256-CCM8", "AES256-CCM", "AES128-CCM8", "AES128-CCM", "AES256-SHA256", "AES128-SHA256",
    "AES256-SHA", "AES128-SHA", "RC4-SHA",
])

class SSLContext(ssl.SSLContext):
    """SSLContext wrapper."""

    def set_alpn_protocols(self, alpn_protocols: Iterable[str]) -> None:
        """
        ALPN headers cause Google to return 403 Bad Authentication.
        """


class RequestsAdapter(HTTPAdapter):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        """
        Secure settings from ssl.create_default_context(), but without
        ssl.OP_NO_TICKET which causes Google to return 403 Bad
        Authentication.
        """
        if sys.version_info >= (3, 10):
            # ssl.SSLContext() is deprecated there: a client context with
            # the no-argument call's check_hostname and verify_mode.
            context = SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        else:
            context = SSLContext()
        context.hostname_checks_common_name = False
        context.set_ciphers(CHIPER)
        context.options &= ~ssl.OP_NO_TICKET
        # requests passes (connections, maxsize) positionally; PoolManager's
        # second positional is `headers`, so name them as requests' own
        # adapter does, exactly as the native adapter does.
        if len(args) > 3:
            raise TypeError(
                "init_poolmanager() takes at most 4 positional arguments (%d given)" % (len(args) + 1)
            )
        self.poolmanager = PoolManager(
            **dict(zip(("num_pools", "maxsize", "block"), args)), ssl_context=context, **kwargs
        )


# The members the native adapter takes from the package, the same here.
for _name, _member in _ADAPTER_MEMBERS.items():
    setattr(RequestsAdapter, _name, _member)


class _requests:
    @staticmethod
    def create_urlencode(data: dict):
        if type(data) is not dict:
            _refuse("data", "dict", data)
        return urlencode(data)

    @staticmethod
    def create_boundary(
        data: dict, prefix: str = None, length: int = 51, boundary: str = None, MD5: bool = False
    ):
        _check_boundary_args(data, prefix, length, boundary)

        class Boundary(Report):
            def __init__(self, headers: Dict[str, str], data: MultipartEncoder) -> None:
                if type(headers) is not dict:
                    _refuse("headers", "dict", headers)
                super().__init__()
                self.headers = headers
                self.data = data

        if not boundary:
            boundary = _random_boundary(prefix, length, MD5)
        for key, value in data.items():
            if isinstance(value, (dict, list)):
                value = json.dumps(value)
            if isinstance(value, (int, float)):
                value = str(value)
            data.update(**{key: value})
        MPData = MultipartEncoder(fields=data, boundary=boundary)
        return Boundary(headers={"Content-Type": MPData.content_type}, data=MPData)

    @staticmethod
    def ClientSession(extra_headers: Dict[str, str] = {}, proxy: Union[Proxy, None] = None):
        if type(extra_headers) is not dict:
            _refuse("extra_headers", "dict", extra_headers)

        class ClientSession(requests.Session):
            pass

        class Retry:
            def __new__(cls) -> "__retry__":
                return __retry__(
                    total=3, status_forcelist=[104, 429, 500, 502, 503, 504], backoff_factor=2
                )

        Session = ClientSession()
        adapter = RequestsAdapter(max_retries=Retry())
        for scheme in ("http://", "https://"):
            Session.mount(scheme, adapter)
        headers = _session_headers(extra_headers)
        Session.headers.update(**headers)
        Session.proxies = {"http": proxy.toString, "https": proxy.toString} if proxy else {}
        return Session


# As the module decides when it loads: `proxy` from httpx 0.26 on, `proxies` before.
_PROXY_KEYWORD = "proxy" if "proxy" in inspect.signature(httpx.Client).parameters else "proxies"


class _httpx:
    @staticmethod
    def ClientSession(extra_headers: Dict[str, str] = {}, proxy: Union[Proxy, None] = None):
        if type(extra_headers) is not dict:
            _refuse("extra_headers", "dict", extra_headers)

        class ClientSession(httpx.Client):
            pass

        def autodetect(content):
            return chardet.detect(content).get("encoding")

        headers = _session_headers(extra_headers)
        url = proxy.toString if proxy else None
        keywords = {
            "http2": True,
            _PROXY_KEYWORD: url,
            "headers": headers,
            "default_encoding": autodetect,
            "transport": guard_transport(httpx.HTTPTransport(http2=True, retries=3.0)),
        }
        if url:
            # The proxy's route keeps the transport's settings, as the module's does.
            from pelun_online_sdk._httpx_proxy import ProxyTransport

            keywords["mounts"] = {"all://": ProxyTransport(http2=True, retries=3.0, proxy=url)}
        keywords["event_hooks"] = {"request": [check_httpx_request]}
        return ClientSession(**keywords)


class Client:
    class TypeReq(Enum):
        REQUESTS = auto()
        HTTPX = auto()
        AIOHTTP = auto()

    @classmethod
    def ClientSession(
        cls, TypeReq: TypeReq, extra_headers: Dict[str, str] = {}, proxy: Union[Proxy, None] = None
    ):
        if type(extra_headers) is not dict:
            _refuse("extra_headers", "dict", extra_headers)
        if TypeReq == cls.TypeReq.AIOHTTP:
            return _aiohttp.ClientSession(extra_headers, proxy)
        if TypeReq == cls.TypeReq.REQUESTS:
            return _requests.ClientSession(extra_headers, proxy)
        if TypeReq == cls.TypeReq.HTTPX:
            return _httpx.ClientSession(extra_headers, proxy)
        return None

    @classmethod
    def create_boundary(
        cls,
        TypeReq: TypeReq,
        data: dict,
        prefix: str = None,
        length: int = 51,
        boundary: str = None,
        MD5: bool = False,
    ):
        _check_boundary_args(data, prefix, length, boundary)
        if TypeReq == cls.TypeReq.AIOHTTP:
            return _aiohttp.create_boundary(data, prefix, length, boundary, MD5)
        if TypeReq == cls.TypeReq.REQUESTS or TypeReq == cls.TypeReq.HTTPX:
            return _requests.create_boundary(data, prefix, length, boundary, MD5)
        return None


__test__ = {}
