"""The transport an httpx client of pelun_online_sdk.client uses through a proxy.

With a proxy, httpx sends every request through a transport it makes for
that proxy, ahead of the client's own ``transport``, so HTTP/2 and the
connection retries set there would be lost. The client mounts this one for
all URLs instead: the same settings, and the proxy.

httpcore retries failed connections on direct routes only; its proxy pools
never hand ``retries`` to the connections they make. So the retries are made
here, around the request, for exactly the errors httpcore retries:
ConnectError and ConnectTimeout, raised while a connection is being
established (to the proxy, through its tunnel, or the TLS handshake with the
origin), before any byte of the request has been sent. Other errors,
including the proxy's own refusal (ProxyError), are not retried.

Its HTTP/2 connections are bounded as the direct transport's are (see
``_httpx_h2``): the proxy's pool connects through the same wrapped backend.
"""

import itertools
import time
from typing import Any, Iterator, Union

import httpx

from ._httpx_h2 import guard_transport

# httpcore's pacing of connection retries (0 s, 0.5 s, 1 s, 2 s, ...), kept
# here rather than imported from httpcore's private modules.
RETRIES_BACKOFF_FACTOR = 0.5


def exponential_backoff(factor: float) -> Iterator[float]:
    yield 0
    for n in itertools.count():
        yield factor * (2**n)


_CONNECTION_NOT_MADE = (httpx.ConnectError, httpx.ConnectTimeout)


class ProxyTransport(httpx.HTTPTransport):
    """An ``httpx.HTTPTransport`` through ``proxy`` whose ``retries`` hold on that route."""

    def __init__(self, *, proxy: Union[str, httpx.URL, httpx.Proxy], retries: Union[int, float] = 0,
                 **settings: Any) -> None:
        if isinstance(proxy, (str, httpx.URL)):
            # httpx before 0.26 takes only a Proxy object here.
            proxy = httpx.Proxy(proxy)
        super().__init__(proxy=proxy, retries=int(retries), **settings)
        self._connect_retries = retries
        # HTTP/2 through the proxy is bounded as it is on direct routes.
        guard_transport(self)

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        retries_left = self._connect_retries
        delays = exponential_backoff(RETRIES_BACKOFF_FACTOR)
        while True:
            try:
                return super().handle_request(request)
            except _CONNECTION_NOT_MADE:
                if retries_left <= 0:
                    raise
                retries_left -= 1
                time.sleep(next(delays))
