"""A real HTTP + SOCKS4 + SOCKS5 proxy (pproxy) run as a child process.

pproxy's verbose log has one line per tunnel it opens, e.g.
``socks5 127.0.0.1:40112 -> 127.0.0.1:38555``; those lines are parsed so a
test can tell that its request really went through the proxy, and how.
"""

from __future__ import annotations

import re
import subprocess
import sys
import threading
import time
from dataclasses import dataclass

from ._util import LOCALHOST, Log, free_port, snapshot_of, start_thread, wait_for_port

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
    ``tunnels`` lists ``Tunnel`` records; ``wait_for_tunnel`` waits for one to
    a given port. ``log`` holds every output line (for failure messages).
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
        self._lines = Log()
        self._proc: subprocess.Popen | None = None
        self._reader: threading.Thread | None = None
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

    tunnels = snapshot_of("_tunnels", "The ``Tunnel``s logged so far, in log order.")
    log = snapshot_of("_lines", "Every line the proxy printed, for failure messages.")

    def reset(self) -> None:
        self._tunnels.clear()

    def tunnels_to(self, port: int) -> list[Tunnel]:
        return [t for t in self.tunnels if t.target_port == port]

    def wait_for_tunnel(self, port: int, protocol: str | None = None,
                        timeout: float = 5.0) -> Tunnel:
        """The first tunnel to ``port`` (and of ``protocol``, if given); waits for it to be logged."""
        seen = 0
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                items = self._tunnels.wait(seen + 1, max(left, 0.0), "proxy tunnels")
            except TimeoutError:
                raise TimeoutError(
                    f"no {protocol or 'proxy'} tunnel to port {port} within {timeout}s; "
                    f"proxy log: {self.log}"
                ) from None
            for tunnel in items:
                if tunnel.target_port == port and protocol in (None, tunnel.protocol):
                    return tunnel
            seen = len(items)

    def start(self, attempts: int = 3) -> "ProxyServer":
        last_error: Exception | None = None
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
                [self._python, "-u", "-m", "pproxy", "-v", "-l", listen, *options],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                text=True, encoding="utf-8", errors="replace",
            )
            self._reader = start_thread(self._read, self._proc, name="proxy-log")
            try:
                wait_for_port(self.port, 15, alive=lambda: self._proc.poll() is None)
                return self
            except (TimeoutError, RuntimeError) as exc:
                last_error = exc
                self.stop()
        raise RuntimeError(f"proxy did not start: {last_error}; output: {self.log}")

    def _read(self, proc: subprocess.Popen) -> None:
        for line in proc.stdout:
            line = line.rstrip("\n")
            self._lines.add(line)
            match = _TUNNEL.match(line)
            if match:
                self._tunnels.add(Tunnel(match["proto"], int(match["cport"]),
                                         match["host"], int(match["port"])))

    def stop(self) -> None:
        proc, self._proc = self._proc, None
        if proc is None:
            return
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(5)
        if self._reader is not None:
            self._reader.join(5)
        proc.stdout.close()
