"""The library glue leaves the libraries as they are, and a library lacking what it reaches fails the load."""
import importlib.metadata
import json
import tempfile

import pytest

from helpers import HTTPX_PROXY_KEYWORD, run_python

# A program that knows nothing of the module: each library used plainly,
# direct and through each proxy, and each use's status or error.
PLAIN = """
import asyncio, json, sys, aiohttp, aiohttp_proxy, httpx, requests
origin, port = sys.argv[1:]

def plain(tag):
    async def aiohttp_get(url, proxy):
        connector = aiohttp_proxy.ProxyConnector.from_url(proxy) if proxy else None
        async with aiohttp.ClientSession(connector=connector, timeout=aiohttp.ClientTimeout(total=10)) as session:
            async with session.get(url) as response:
                return response.status
    uses = {"requests": lambda url, proxy: requests.get(url, proxies={"http": proxy}, timeout=10).status_code,
            "httpx": lambda url, proxy: httpx.get(url, timeout=10, **({%r: proxy} if proxy else {})).status_code,
            "aiohttp": lambda url, proxy: asyncio.run(aiohttp_get(url, proxy))}
    outcomes = []
    for scheme in ("direct", "http", "socks5"):
        for library, use in uses.items():
            try:
                proxy = None if scheme == "direct" else f"{scheme}://127.0.0.1:{port}"
                outcomes.append(use(f"{origin}{tag}/{library}-{scheme}", proxy))
            except Exception as error:
                outcomes.append(type(error).__name__)
    return outcomes
""" % HTTPX_PROXY_KEYWORD

# Beside the module: the libraries' namespaces and classes by identity, before
# the module and a request of each session, and after (a submodule imported
# since is bound in its package by the import system).
BESIDE = PLAIN + """
def snapshot():
    seen = {}
    for name, module in [item for item in sys.modules.items() if item[0].partition(".")[0] in %r]:
        for attribute, value in list(vars(module or object).items()):
            seen[name, attribute] = value
            members = vars(value).items() if isinstance(value, type) and value.__module__ == name else ()
            seen.update(((name, attribute, member), inner) for member, inner in list(members))
    return seen

plain("warm-up")
before = snapshot()
from pelun_online_sdk.client import Client
from pelun_online_sdk.proxy import Proxy
async def aiohttp_session(proxy):
    async with Client.ClientSession(Client.TypeReq.AIOHTTP, {}, proxy) as session:
        async with session.get(f"{origin}module/aiohttp") as response:
            assert response.status == 200
for proxy in (None, Proxy("127.0.0.1", int(port), "http"), Proxy("127.0.0.1", int(port), "socks5")):
    for kind in (Client.TypeReq.REQUESTS, Client.TypeReq.HTTPX):
        with Client.ClientSession(kind, {}, proxy) as session:
            assert session.get(f"{origin}module/{kind.name}", timeout=10).status_code == 200
    asyncio.run(aiohttp_session(proxy))
outcomes, after, modules = plain("plain"), snapshot(), {key[0] for key in before}
print(json.dumps([outcomes, sorted(repr(key) for key in set(before) | set(after) if key[0] in modules and
                                   before.get(key, plain) is not after.get(key, plain) and
                                   type(after.get(key)).__name__ != "module" and not key[-1].startswith("__"))]))
""" % (("requests", "urllib3", "httpx", "httpcore", "aiohttp", "aiohttp_proxy", "socks", "socksio"),)


def _plain_uses(origin, code, *args):
    """The script's output, and what the origin got from its plain uses: the method and headers as sent, by path."""
    result = run_python(code, args=args, cwd=tempfile.gettempdir())
    assert result.returncode == 0, result.stderr
    heads = sorted((r.path, r.method, r.headers) for r in origin.requests if r.path.startswith("/plain/"))
    origin.reset()
    return json.loads(result.stdout), heads


def test_libraries_used_plainly_beside_the_module_are_as_without_it(http_origin, proxy_server):
    args = (http_origin.url, str(proxy_server.port))
    fresh, fresh_heads = _plain_uses(http_origin, PLAIN + "print(json.dumps(plain('plain')))", *args)
    (outcomes, changed), heads = _plain_uses(http_origin, BESIDE, *args)
    # No class, function or attribute of the libraries was replaced or added,
    # and each plain use went, on the wire too, as in a fresh interpreter.
    assert changed == [] and (outcomes, heads) == (fresh, fresh_heads)
    assert len(heads) == fresh.count(200) >= 7


@pytest.mark.parametrize("library, setup, missing", [
    ("urllib3", "import urllib3.contrib.socks as s; s.SOCKSConnection.__init__ = lambda self: None",
     "SOCKSConnection._socks_options"),
    ("requests", "requests.models.PreparedRequest.__init__ = lambda self: None", "PreparedRequest._body_position"),
    ("aiohttp_proxy", "import aiohttp_proxy.proto as p; del p.Socks5SocketWrapper._socks_auth",
     "Socks5SocketWrapper._socks_auth"),
    ("httpcore", "import httpcore; httpcore.ConnectionPool.__init__ = lambda self: None",
     "ConnectionPool._network_backend"),
])
def test_a_library_without_a_private_hook_fails_the_load_naming_its_release(library, setup, missing):
    result = run_python(f"import requests.models\n{setup}\nimport pelun_online_sdk.client", cwd=tempfile.gettempdir())
    assert result.returncode == 1 and result.stderr.splitlines()[-1] == (
        f"ImportError: pelun_online_sdk.client cannot use {library} {importlib.metadata.version(library)}: "
        f"it has no {missing}, which the module's sessions rely on; install a release of {library} within "
        "the range pelun_online_sdk requires")
