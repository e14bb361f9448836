"""Reading a peer's message of known length from a socket.

The proxy probe reads proxies' replies with it, and the local servers of the
demonstration and the tests read their clients' messages with it too: they
import it from here, so that the installed package needs nothing beside it.
"""

import socket


class PeerClosed(ConnectionError):
    """The peer hung up before the whole message arrived."""


def receive_exactly(sock: socket.socket, count: int) -> bytes:
    """The next ``count`` bytes from ``sock``, however many reads they take."""
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise PeerClosed(f"the peer hung up after {len(data)} of {count} bytes")
        data += chunk
    return data
