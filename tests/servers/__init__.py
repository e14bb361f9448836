"""Local servers for the test suite.

Everything here listens on 127.0.0.1 only, on ephemeral ports, and runs in
daemon threads (or, for the proxy, a child process) that the fixtures in
``servers.fixtures`` start and stop.  Tests talk to these servers with the
real requests, httpx and aiohttp clients and assert on what arrived.
"""

from .content import CP1251_TEXT

__all__ = ["CP1251_TEXT"]
