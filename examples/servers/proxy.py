"""A real HTTP + SOCKS4 + SOCKS5 proxy (pproxy) run as a child process.

pproxy's verbose log has one line per tunnel it opens, e.g.
``socks5 127.0.0.1:40112 -> 127.0.0.1:38555``; those lines are parsed so a
test can tell that its request really went through the proxy, and how.

pproxy prints that line before it connects to the target, so by the time a
client has heard anything back the line is in the pipe; but a thread reads
the pipe, and a test that looked at once could miss it. ``sync()`` waits
until everything the proxy printed so far has been read: it opens one more
tunnel of its own (to a port that refuses, so nothing is carried) and waits
for that line, which the pipe can only deliver after the earlier ones.
"""

from __future__ import annotations

import base64
import re
import socket
import subprocess
import sys
import threading
from dataclasses import dataclass

from ._util import LOCALHOST, Log, end_process, free_port, snapshot_of, start_thread, wait_for_port

# pproxy's main() takes the loop from asyncio.get_event_loop(), which stopped
# making one for the main thread in Python 3.14; given one, it runs anywhere.
_LAUNCH = (
    "import asyncio, sys; from pproxy.server import main; "
    "asyncio.set_event_loop(asyncio.new_event_loop()); sys.argv[0] = 'pproxy'; main()"
)


def pproxy_command(*arguments: str, python: str = sys.executable) -> list[str]:
    """The command line of ``pproxy ARGUMENTS`` run by ``python``, unbuffered."""
    return [python, "-u", "-c", _LAUNCH, *arguments]

_TUNNEL = re.compile(r"^(?P<proto>\w+) (?P<client>\S+):(?P<cport>\d+) -> (?P<host>\S+):(?P<port>\d+)\s*$")


@dataclass(frozen=True)
class Tunnel:
    """One connection the proxy made on a client's behalf.

    ``protocol`` is ``"http"`` (CONNECT and absolute-form requests alike),
    ``"socks4"`` or ``"socks5"``; ``target_host``/``target_port`` is where
    the client asked to go; ``client_port`` the client's source port.
    """

    protocol: str
    client_port: int
    target_host: str
    target_port: int


class ProxyServer:
    """pproxy listening on one 127.0.0.1 port for http, socks4 and socks5 alike.

    URLs for clients: ``http_url``, ``socks5_url``, ``socks4_url``.
    ``tunnels_to(port)`` lists the ``Tunnel``s to a port that the proxy
    opened before the call; ``wait_for_tunnel`` waits for one that may still
    be due. ``log`` holds every output line (for failure messages).
    """

    def __init__(self, python: str = sys.executable, credentials: tuple[str, str] | None = None) -> None:
        """``credentials`` (user, password) makes every protocol demand them.

        pproxy compares ``user:password`` as one string, so either may hold
        any character but a newline; the user name must not start with ``#``
        (pproxy would read the rest as a file name).
        """
        self._python = python
        self._credentials = credentials
        self._tunnels = Log()
        self._markers = Log()
        self._lines = Log()
        self._proc: subprocess.Popen | None = None
        self._reader: threading.Thread | None = None
        # Bound but not listening: the port is this server's alone and every
        # connection to it is refused, so a sync() tunnel carries nothing.
        self._marker_target: socket.socket | None = None
        self._marker_port = 0
        self.port = 0

    @property
    def http_url(self) -> str:
        return f"http://{LOCALHOST}:{self.port}"

    @property
    def socks5_url(self) -> str:
        return f"socks5://{LOCALHOST}:{self.port}"

    @property
    def socks4_url(self) -> str:
        return f"socks4://{LOCALHOST}:{self.port}"

    tunnels = snapshot_of("_tunnels", "The ``Tunnel``s read from the log so far, in log order.")
    log = snapshot_of("_lines", "Every line the proxy printed, for failure messages.")

    def reset(self) -> None:
        """Forget the tunnels, including any an earlier test's clients opened
        whose lines are still on their way."""
        self.sync()
        self._tunnels.clear()

    def tunnels_to(self, port: int) -> list[Tunnel]:
        """The tunnels to ``port``, every one the proxy opened before this call included."""
        self.sync()
        return [t for t in self.tunnels if t.target_port == port]

    def wait_for_tunnel(self, port: int, protocol: str | None = None,
                        timeout: float = 15.0) -> Tunnel:
        """The first tunnel to ``port`` (and of ``protocol``, if given); waits for it to be logged."""
        def first(tunnels):
            return next((t for t in tunnels if t.target_port == port and protocol in (None, t.protocol)), None)

        try:
            return self._tunnels.wait_until(first, timeout, f"{protocol or 'proxy'} tunnel to port {port}")
        except TimeoutError as exc:
            raise TimeoutError(f"{exc}; proxy log: {self.log}") from None

    def sync(self, timeout: float = 15.0) -> None:
        """Returns once every line the proxy printed before the call has been read."""
        target = self._marker_port
        with socket.create_connection((LOCALHOST, self.port), timeout=timeout) as sock:
            client_port = sock.getsockname()[1]
            request = f"CONNECT {LOCALHOST}:{target} HTTP/1.1\r\nHost: {LOCALHOST}:{target}\r\n"
            if self._credentials is not None:
                token = base64.b64encode(":".join(self._credentials).encode()).decode()
                request += f"Proxy-Authorization: Basic {token}\r\n"
            sock.sendall((request + "\r\n").encode())
            try:
                self._markers.wait_until(
                    lambda markers: next((m for m in markers if m.client_port == client_port), None), timeout,
                    f"line of the proxy's tunnel from port {client_port} to port {target}")
            except TimeoutError as exc:
                raise TimeoutError(f"{exc}; proxy log: {self.log}") from None

    def start(self, attempts: int = 3) -> "ProxyServer":
        last_error: Exception | None = None
        if self._marker_target is None:
            self._marker_target = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self._marker_target.bind((LOCALHOST, 0))
            self._marker_port = self._marker_target.getsockname()[1]
        for _ in range(attempts):
            # pproxy binds the port itself; if another process took it in
            # between, the child exits and we try another port.
            self.port = free_port()
            listen = f"http+socks4+socks5://{LOCALHOST}:{self.port}"
            options = []
            if self._credentials is not None:
                listen += "#" + ":".join(self._credentials)
                # Otherwise pproxy lets an address in without credentials
                # for a month once it has authenticated.
                options = ["--auth", "0"]
            self._proc = subprocess.Popen(
                pproxy_command("-v", "-l", listen, *options, python=self._python),
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                text=True, encoding="utf-8", errors="replace",
            )
            self._reader = start_thread(self._read, self._proc, name="proxy-log")
            try:
                wait_for_port(self.port, 30, alive=lambda: self._proc.poll() is None)
                return self
            except (TimeoutError, RuntimeError) as exc:
                last_error = exc
                self._stop_process()
        self.stop()
        raise RuntimeError(f"proxy did not start: {last_error}; output: {self.log}")

    def _read(self, proc: subprocess.Popen) -> None:
        for line in proc.stdout:
            line = line.rstrip("\n")
            self._lines.add(line)
            match = _TUNNEL.match(line)
            if match:
                tunnel = Tunnel(match["proto"], int(match["cport"]), match["host"], int(match["port"]))
                (self._markers if tunnel.target_port == self._marker_port else self._tunnels).add(tunnel)

    def stop(self) -> None:
        self._stop_process()
        if self._marker_target is not None:
            self._marker_target.close()
            self._marker_target = None

    def _stop_process(self) -> None:
        proc, self._proc = self._proc, None
        if proc is None:
            return
        end_process(proc)
        if self._reader is not None:
            self._reader.join(5)
        proc.stdout.close()
