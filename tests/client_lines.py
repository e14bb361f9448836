"""Where the module's parts stand in its source file, `pelun_online_sdk\\client.py`,
as the module documents them: the line of every import, class statement and
constant of its body, of every function's `def`, and of each statement a
traceback entry can point at.

These are the expected values of the tests, written out by hand. The module
keeps its own copy of each number next to the code it describes; a number
changed on one side only fails the tests that compare the two.
"""
import collections

FILENAME = "pelun_online_sdk\\client.py"

# The imports of the module body, by the module as the statement names it.
IMPORTS = {
    "enum": 1,  # from enum import Enum, auto
    "json": 2,
    "secrets": 3,
    "ssl": 4,
    "string": 5,
    "typing": 6,  # from typing import Any, Dict, Iterable, Union
    "urllib.parse": 7,  # from urllib.parse import urlencode
    "Cryptodome.Hash": 8,  # from Cryptodome.Hash import MD5 as HashMD5
    "aiohttp": 10,
    "aiohttp_proxy": 11,  # from aiohttp_proxy import ProxyConnector
    "chardet": 12,
    "httpx": 13,
    "requests.adapters": 14,  # from requests.adapters import HTTPAdapter
    "requests": 15,
    "requests_toolbelt": 16,  # from requests_toolbelt import MultipartEncoder
    "urllib3": 17,  # from urllib3 import PoolManager, Retry as __retry__
    ".utils": 19,  # from .utils import Report, VERSION_SDK
    ".proxy": 20,  # from .proxy import Proxy
}

# The module's own statements, in body order: class statements and the
# cipher list. `__test__ = {}` follows the last.
STATEMENTS = [
    (22, "_aiohttp"),
    (66, "CHIPER"),
    (114, "SSLContext"),
    (122, "RequestsAdapter"),
    (142, "_requests"),
    (195, "_httpx"),
    (210, "Client"),
]

Function = collections.namedtuple("Function", "line statements")

# Every function by qualified name: the line of its `def`, and the line of
# each of its statements that a traceback entry can point at, by a label
# that reads as the statement. Lines are the file's, not offsets.
FUNCTIONS = {
    # class _aiohttp: (22)
    "_aiohttp.create_urlencode": Function(24, {
        "return urlencode(data)": 25,
    }),
    "_aiohttp.create_boundary": Function(28, {
        "class Boundary(Report)": 30,
        "if not boundary": 36,
        "chars = ...": 37,
        "boundary = prefix-random": 38,
        "boundary = md5(random)": 40,
        "if MD5: boundary = md5(boundary)": 42,
        "with aiohttp.MultipartWriter(...) as MPData": 44,
        "for key, value in data.items()": 45,
        "value = json.dumps(value)": 46,
        "value = str(value)": 47,
        "part = MPData.append(value)": 48,
        "part.set_content_disposition(...)": 49,
        "return Boundary(...)": 50,
    }),
    "_aiohttp.create_boundary.<locals>.Boundary.__init__": Function(31, {
        "super().__init__()": 32,
        "self.headers = headers": 33,
        "self.data = data": 34,
    }),
    "_aiohttp.ClientSession": Function(53, {
        "headers = {}": 54,
        "for k, v in extra_headers": 55,
        "User-Agent": 58,
        "if proxy and proxy.toString": 61,
        "return aiohttp.ClientSession(..., connector=...)": 62,
        "return aiohttp.ClientSession(headers=headers)": 63,
    }),
    # CHIPER = ... (66)
    # class SSLContext(ssl.SSLContext): (114)
    "SSLContext.set_alpn_protocols": Function(117, {}),
    # class RequestsAdapter(HTTPAdapter): (122)
    "RequestsAdapter.__init__": Function(124, {
        "super().__init__(*args, **kwargs)": 125,
    }),
    "RequestsAdapter.init_poolmanager": Function(129, {
        "context = SSLContext()": 135,
        "context.set_ciphers(CHIPER)": 136,
        "context.options &= ~ssl.OP_NO_TICKET": 139,
        "self.poolmanager = PoolManager(...)": 140,
    }),
    # class _requests: (142)
    "_requests.create_urlencode": Function(144, {
        "return urlencode(data)": 145,
    }),
    "_requests.create_boundary": Function(148, {
        "class Boundary(Report)": 150,
        "if not boundary": 156,
        "chars = ...": 157,
        "boundary = prefix-random": 158,
        "boundary = md5(random)": 160,
        "if MD5: boundary = md5(boundary)": 162,
        "for key, value in data.items()": 164,
        "value = json.dumps(value)": 165,
        "value = str(value)": 166,
        "data.update(**{key: value})": 167,
        "MPData = MultipartEncoder(...)": 168,
        "return Boundary(...)": 169,
    }),
    "_requests.create_boundary.<locals>.Boundary.__init__": Function(151, {
        "super().__init__()": 152,
        "self.headers = headers": 153,
        "self.data = data": 154,
    }),
    "_requests.ClientSession": Function(172, {
        "class ClientSession(requests.Session)": 173,
        "class Retry": 175,
        "Session = ClientSession()": 179,
        "adapter = RequestsAdapter(max_retries=Retry())": 180,
        "Session.mount(scheme, adapter)": 182,
        "headers = {}": 183,
        "for k, v in extra_headers": 184,
        "User-Agent": 187,
        "Session.headers.update(**headers)": 189,
        "Session.proxies = ...": 190,
    }),
    "_requests.ClientSession.<locals>.Retry.__new__": Function(176, {
        "return __retry__(...)": 177,
    }),
    # class _httpx: (195)
    "_httpx.ClientSession": Function(197, {
        "class ClientSession(httpx.Client)": 198,
        "def autodetect(content)": 200,
        "headers = {}": 202,
        "for k, v in extra_headers": 203,
        "User-Agent": 206,
        "return ClientSession(...)": 208,
    }),
    "_httpx.ClientSession.<locals>.autodetect": Function(200, {
        "return chardet.detect(content)['encoding']": 201,
    }),
    # class Client: (210), class TypeReq(Enum): (212)
    "Client.ClientSession": Function(218, {
        "if TypeReq == cls.TypeReq.AIOHTTP": 219,
        "return _aiohttp.ClientSession(...)": 220,
        "if TypeReq == cls.TypeReq.REQUESTS": 221,
        "return _requests.ClientSession(...)": 222,
        "if TypeReq == cls.TypeReq.HTTPX": 223,
        "return _httpx.ClientSession(...)": 224,
    }),
    "Client.create_boundary": Function(227, {
        "if TypeReq == cls.TypeReq.AIOHTTP": 228,
        "return _aiohttp.create_boundary(...)": 229,
        "if TypeReq == cls.TypeReq.REQUESTS or ... HTTPX": 230,
        "return _requests.create_boundary(...)": 231,
    }),
}


def def_line(qualname):
    """The line of the function's `def`."""
    return FUNCTIONS[qualname].line


def statement_line(qualname, label):
    """The line of the function's statement that `label` names."""
    return FUNCTIONS[qualname].statements[label]
