"""Local servers for the demonstration and the test suite.

Everything here listens on 127.0.0.1 only, on ephemeral ports, and runs in
daemon threads (or, for the proxy, a child process) that the demo and the
test fixtures start and stop.  Clients talk to these servers with the real
requests, httpx and aiohttp libraries, and the servers record what arrived.
"""

from .content import CP1251_TEXT

__all__ = ["CP1251_TEXT"]
