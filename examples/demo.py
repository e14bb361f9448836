"""What the three clients of pelun_online_sdk.client look like on the wire.

Starts local servers on 127.0.0.1 (an HTTPS origin with a throwaway CA, an
HTTP/2 origin, an aiohttp form server and a pproxy HTTP proxy), gets a client
of each library from Client.ClientSession, once directly and once through the
proxy, sends a GET and a multipart POST built by Client.create_boundary with
each, and prints what the servers saw.
"""

import asyncio
import inspect
import os
import sys
import tempfile
from pathlib import Path

# The local servers are shared with the test suite.
sys.path.insert(0, str(Path(__file__).resolve().parent))

from servers.certs import TlsCA  # noqa: E402
from servers.forms import FormOrigin  # noqa: E402
from servers.h2origin import H2Origin  # noqa: E402
from servers.origin import RecordingOrigin  # noqa: E402
from servers.proxy import ProxyServer  # noqa: E402

import pelun_online_sdk.client as client  # noqa: E402
from pelun_online_sdk.client import Client  # noqa: E402
from pelun_online_sdk.proxy import Proxy  # noqa: E402

TypeReq = Client.TypeReq
HEADERS = {"X-Demo": "1"}
FIELDS = {"n": 5, "flag": True, "tags": ["a", "b"], "text": "hi"}

INTRO = f"""\
pelun_online_sdk.client on the wire, as local servers saw it.
Each client comes from Client.ClientSession(TypeReq, {HEADERS}, proxy), made once
without a proxy and once with an HTTP proxy (pproxy). Each one sends
  GET  over TLS: requests and aiohttp to an HTTP/1.1 origin that accepts ALPN
       http/1.1, httpx to an HTTP/2 origin that accepts h2 and http/1.1;
  POST of Client.create_boundary(TypeReq, fields) to an aiohttp form server,
       fields = {FIELDS}.
ALPN is what the handshake settled on; "none" means the client offered none.
"""


API = ["Client.ClientSession", "Client.create_boundary", "_requests.ClientSession",
       "_requests.create_boundary", "_requests.create_urlencode", "_httpx.ClientSession",
       "_aiohttp.ClientSession", "_aiohttp.create_boundary", "_aiohttp.create_urlencode",
       "SSLContext.set_alpn_protocols", "RequestsAdapter.__init__", "RequestsAdapter.init_poolmanager",
       "RequestsAdapter.proxy_manager_for"]


def print_api():
    print("The module's callables, as inspect.signature reads them:")
    for dotted in API:
        owner, name = dotted.split(".")
        print(f"  {dotted}{inspect.signature(getattr(getattr(client, owner), name))}")
    members = ", ".join(f"{member.name}={member.value}" for member in TypeReq)
    print(f"  Client.TypeReq: {members}; CHIPER: {client.CHIPER.count(':') + 1} cipher names\n")


def body(kind):
    # The requests builder writes normalised values back into the dict it is given.
    return Client.create_boundary(kind, dict(FIELDS))


def with_requests(proxy, get_url, form_url, ca):
    with Client.ClientSession(TypeReq.REQUESTS, HEADERS, proxy) as session:
        session.get(get_url, verify=ca.ca_path).raise_for_status()
        form = body(TypeReq.REQUESTS)
        session.post(form_url, data=form.data, headers=form.headers).raise_for_status()


def with_httpx(proxy, get_url, form_url, ca):
    # httpx builds its TLS context when the client is made, trusting SSL_CERT_FILE.
    with Client.ClientSession(TypeReq.HTTPX, HEADERS, proxy) as client:
        client.get(get_url).raise_for_status()
        form = body(TypeReq.HTTPX)
        client.post(form_url, content=form.data.to_string(), headers=form.headers).raise_for_status()


def with_aiohttp(proxy, get_url, form_url, ca):
    async def exchange():
        # An aiohttp session has to be made inside a running event loop.
        async with Client.ClientSession(TypeReq.AIOHTTP, HEADERS, proxy) as session:
            async with session.get(get_url, ssl=ca.client_context()) as response:
                response.raise_for_status()
            form = body(TypeReq.AIOHTTP)
            async with session.post(form_url, data=form.data, headers=form.headers) as response:
                response.raise_for_status()
        # aiohttp closes TLS connections in the background; its shutdown advice is
        # a short pause before the loop ends, or they are reported as unclosed.
        await asyncio.sleep(0.25)

    asyncio.run(asyncio.wait_for(exchange(), 30))


def carried(proxy_server, ports):
    """Whether the proxy opened a tunnel to each port (tunnels_to reads its log up to now)."""
    return all(proxy_server.tunnels_to(port) for port in ports)


def main():
    rows = []
    with tempfile.TemporaryDirectory(prefix="pelun-demo-") as tmp:
        ca = TlsCA(tmp)
        os.environ["SSL_CERT_FILE"] = ca.ca_path
        https = RecordingOrigin(ca.server_context(alpn=["http/1.1"]))
        servers = [https, H2Origin(ca), FormOrigin(), ProxyServer()]
        started = []
        try:
            for server in servers:
                started.append(server.start())
            _, h2, form, proxy_server = servers
            plans = [("requests", with_requests, https), ("httpx", with_httpx, h2),
                     ("aiohttp", with_aiohttp, https)]
            for library, send, origin in plans:
                for proxy in (None, Proxy("127.0.0.1", proxy_server.port)):
                    for server in (origin, form, proxy_server):
                        server.reset()
                    send(proxy, origin.url, form.url, ca)
                    get, post = origin.last, form.last
                    if post.error:
                        raise RuntimeError(f"form server could not parse the {library} body: {post.error}")
                    via = carried(proxy_server, (origin.port, form.port))
                    rows.append((library, "proxy" if proxy else "direct", get.version,
                                 (get.tls or {}).get("alpn") or "none", get.header("user-agent"),
                                 get.header("x-demo"), "yes" if via else "no",
                                 " ".join(f"{k}={v}" for k, v in post.fields)))
        finally:
            for server in reversed(started):
                server.stop()
            os.environ.pop("SSL_CERT_FILE", None)

    titles = ("library", "route", "HTTP", "ALPN", "user-agent", "x-demo", "proxy saw both",
              "form fields parsed")
    widths = [max(len(str(row[i])) for row in rows + [titles]) for i in range(len(titles))]
    print_api()
    print(INTRO)
    for row in [titles, ["-" * w for w in widths], *rows]:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
