"""The package's library glue: it changes nothing of the libraries beside the module's own sessions,
and a library that lacks what the glue reaches fails the load in one clear error."""
import importlib.metadata
import json
import tempfile

import pytest

from helpers import HTTPX_PROXY_KEYWORD, run_python

LIBRARIES = ("requests", "urllib3", "httpx", "httpcore", "aiohttp", "aiohttp_proxy", "socks", "socksio")

# One request of each library used plainly, direct and through a proxy, by a
# program that knows nothing of the module: each use's status, or its error.
PLAIN = """
import asyncio, json, sys
import aiohttp, aiohttp_proxy, httpx, requests

def plain(origin, http_proxy, socks5_proxy, tag):
    outcomes = []
    def outcome(label, use):
        try:
            outcomes.append([label, use()])
        except Exception as error:
            outcomes.append([label, type(error).__name__])
    def httpx_get(label, proxy=None):
        with httpx.Client(**({%(keyword)r: proxy} if proxy else {}), timeout=10) as session:
            return session.get(f"{origin}{tag}/{label}").status_code
    async def aiohttp_get(label, proxy=None):
        connector = aiohttp_proxy.ProxyConnector.from_url(proxy) if proxy else None
        async with aiohttp.ClientSession(connector=connector, timeout=aiohttp.ClientTimeout(total=10)) as session:
            async with session.get(f"{origin}{tag}/{label}") as response:
                return response.status
    for label, proxy in (("direct", None), ("http", http_proxy), ("socks5", socks5_proxy)):
        outcome("requests-" + label, lambda: requests.get(
            f"{origin}{tag}/requests-{label}", proxies={"http": proxy}, timeout=10).status_code)
        outcome("httpx-" + label, lambda: httpx_get("httpx-" + label, proxy))
        outcome("aiohttp-" + label, lambda: asyncio.run(aiohttp_get("aiohttp-" + label, proxy)))
    return outcomes
""" % {"keyword": HTTPX_PROXY_KEYWORD}

# Every library module's namespace and its classes' members, by identity.
SNAPSHOT = """
def snapshot():
    seen = {}
    for name, module in list(sys.modules.items()):
        if module is None or name.partition(".")[0] not in %(libraries)r:
            continue
        for attribute, value in list(vars(module).items()):
            seen[(name, attribute)] = value
            if isinstance(value, type) and value.__module__ == name:
                for member, inner in list(vars(value).items()):
                    seen[(name, attribute, member)] = inner
    return seen

def changes(before, after):
    # A submodule imported since is bound in its package: a library's own doing.
    modules = {key[0] for key in before}
    return sorted(repr(key) for key in set(before) | set(after) if key[0] in modules and
                  before.get(key, snapshot) is not after.get(key, snapshot) and
                  not type(after.get(key)).__name__ == "module" and not key[-1].startswith("__"))
""" % {"libraries": LIBRARIES}

# Beside the module: the plain uses once (the libraries' lazy imports done),
# then the module and a session of each kind, direct and through each proxy,
# each sending a request; then the plain uses again.
BESIDE = """
def module_sessions(origin, port):
    from pelun_online_sdk.client import Client
    from pelun_online_sdk.proxy import Proxy
    for proxy in (None, Proxy("127.0.0.1", port, "http"), Proxy("127.0.0.1", port, "socks5")):
        label = proxy.scheme if proxy else "direct"
        for kind in (Client.TypeReq.REQUESTS, Client.TypeReq.HTTPX):
            with Client.ClientSession(kind, {}, proxy) as session:
                assert session.get(f"{origin}module/{kind.name}-{label}", timeout=10).status_code == 200
        async def aiohttp_get():
            async with Client.ClientSession(Client.TypeReq.AIOHTTP, {}, proxy) as session:
                async with session.get(f"{origin}module/AIOHTTP-{label}") as response:
                    assert response.status == 200
        asyncio.run(aiohttp_get())

origin, port = sys.argv[1], int(sys.argv[2])
proxies = (f"http://127.0.0.1:{port}", f"socks5://127.0.0.1:{port}")
plain(origin, *proxies, "warm-up")
before = snapshot()
module_sessions(origin, port)
outcomes = plain(origin, *proxies, "plain")
print(json.dumps([outcomes, changes(before, snapshot())]))
"""


def _run(code, *args):
    # Away from the checkout, whose package folder lacks the built module.
    result = run_python(f"import sys; sys.argv[1:] = {list(args)!r}\n" + code, cwd=tempfile.gettempdir())
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def _plain_heads(origin):
    """What the origin got from the plain uses: by path, the method and the header lines as sent."""
    return sorted((r.path, r.method, r.headers) for r in origin.requests if r.path.startswith("/plain/"))


def test_libraries_used_plainly_beside_the_module_are_as_without_it(http_origin, proxy_server):
    args = (http_origin.url, str(proxy_server.port))
    fresh = _run(PLAIN + "print(json.dumps(plain(sys.argv[1], *%r, 'plain')))" % (
        (proxy_server.http_url, proxy_server.socks5_url),), *args)
    fresh_heads = _plain_heads(http_origin)
    http_origin.reset()
    outcomes, changed = _run(PLAIN + SNAPSHOT + BESIDE, *args)
    # No class, function or attribute of the libraries was replaced or added,
    assert changed == []
    # and each plain use went as in an interpreter that never loaded the module.
    assert outcomes == fresh and _plain_heads(http_origin) == fresh_heads
    assert len(fresh_heads) == sum(1 for _, outcome in fresh if outcome == 200) >= 7


# A library release without what the glue reaches: the load ends at once,
# naming the library, its release and what is missing.
@pytest.mark.parametrize("library, setup, missing", [
    ("urllib3", "import urllib3.contrib.socks as s; s.SOCKSConnection.__init__ = lambda self: None",
     "SOCKSConnection._socks_options"),
    ("requests", "requests.models.PreparedRequest.__init__ = lambda self: None", "PreparedRequest._body_position"),
    ("aiohttp_proxy", "import aiohttp_proxy.proto; del aiohttp_proxy.proto.Socks5SocketWrapper._socks_auth",
     "Socks5SocketWrapper._socks_auth"),
])
def test_a_library_without_a_private_hook_fails_the_load_naming_its_release(library, setup, missing):
    result = run_python(f"""
        import {library.partition("_")[0]}, {library}, requests.models
        {setup}
        import pelun_online_sdk.client
    """, cwd=tempfile.gettempdir())
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == (
        f"ImportError: pelun_online_sdk.client cannot use {library} {importlib.metadata.version(library)}: "
        f"it has no {missing}, which the module's sessions rely on; install a release of {library} within "
        "the range pelun_online_sdk requires")
