"""Ready-configured HTTP clients and request bodies for requests, httpx and aiohttp."""
import enum
import ssl
from typing import Any, Dict, Iterable, Optional, Union

import aiohttp
import httpx
import requests
from requests.adapters import HTTPAdapter
from requests_toolbelt import MultipartEncoder

from .proxy import Proxy
from .utils import Report, VERSION_SDK as VERSION_SDK

CHIPER: str
__test__: Dict[Any, Any]

class _aiohttp:
    @staticmethod
    def create_urlencode(data: dict) -> str: ...
    @staticmethod
    def create_boundary(
        data: dict, prefix: Optional[str] = None, length: int = 51,
        boundary: Optional[str] = None, MD5: bool = False,
    ) -> Optional[_AiohttpBoundary]: ...
    @staticmethod
    def ClientSession(
        extra_headers: Dict[str, str] = {}, proxy: Union[Proxy, None] = None
    ) -> aiohttp.ClientSession: ...

class SSLContext(ssl.SSLContext):
    def set_alpn_protocols(self, alpn_protocols: Iterable[str]) -> None: ...

class RequestsAdapter(HTTPAdapter):
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None: ...
    def proxy_manager_for(self, proxy: str, **proxy_kwargs: Any) -> Any: ...

class _requests:
    @staticmethod
    def create_urlencode(data: dict) -> str: ...
    @staticmethod
    def create_boundary(
        data: dict, prefix: Optional[str] = None, length: int = 51,
        boundary: Optional[str] = None, MD5: bool = False,
    ) -> _RequestsBoundary: ...
    @staticmethod
    def ClientSession(
        extra_headers: Dict[str, str] = {}, proxy: Union[Proxy, None] = None
    ) -> requests.Session: ...

class _httpx:
    @staticmethod
    def ClientSession(
        extra_headers: Dict[str, str] = {}, proxy: Union[Proxy, None] = None
    ) -> httpx.Client: ...

class Client:
    class TypeReq(enum.Enum):
        REQUESTS = 1
        HTTPX = 2
        AIOHTTP = 3
    @classmethod
    def ClientSession(
        cls, TypeReq: Any, extra_headers: Dict[str, str] = {}, proxy: Union[Proxy, None] = None
    ) -> Union[requests.Session, httpx.Client, aiohttp.ClientSession, None]: ...
    @classmethod
    def create_boundary(
        cls, TypeReq: Any, data: dict, prefix: Optional[str] = None, length: int = 51,
        boundary: Optional[str] = None, MD5: bool = False,
    ) -> Union[_RequestsBoundary, _AiohttpBoundary, None]: ...

# The classes of create_boundary's results: made anew on every call, so
# they exist for type checkers only.
class _RequestsBoundary(Report):
    headers: Dict[str, str]
    data: MultipartEncoder
    def __init__(self, headers: Dict[str, str], data: MultipartEncoder) -> None: ...

class _AiohttpBoundary(Report):
    headers: Dict[str, str]
    data: aiohttp.MultipartWriter
    def __init__(self, headers: Dict[str, str], data: aiohttp.MultipartWriter) -> None: ...
