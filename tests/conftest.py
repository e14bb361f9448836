import aiohttp

pytest_plugins = ["server_fixtures"]


def _release(version):
    return tuple(int("".join(c for c in part if c.isdigit()) or 0) for part in version.split(".")[:2])


def pytest_configure(config):
    # Every warning is an error (pyproject.toml), but one that depends on the
    # installed library is left out here. aiohttp before 3.12 returns from
    # ClientSession.close() while its TLS connections are still shutting down
    # (fixed in 3.12 by waiting for them): when asyncio.run ends first, asyncio
    # reports the socket and its transport as unclosed once they are
    # collected, in whichever later test that happens. Seen on Python 3.8,
    # whose newest aiohttp is 3.10, and with the oldest aiohttp of the range.
    if _release(aiohttp.__version__) < (3, 12):
        config.addinivalue_line("filterwarnings", "ignore:unclosed transport <_SelectorSocketTransport:ResourceWarning")
        # The same for TLS inside TLS (an https request through an https proxy).
        config.addinivalue_line("filterwarnings",
                                "ignore:unclosed transport <asyncio._SSLProtocolTransport:ResourceWarning")
        config.addinivalue_line("filterwarnings", "ignore:unclosed <socket.socket:ResourceWarning")
