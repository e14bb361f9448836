"""Small helpers shared by the servers: listening sockets, waits, threads, records."""

from __future__ import annotations

import socket
import subprocess
import threading
import time

LOCALHOST = "127.0.0.1"
# Larger request bodies are refused: no test sends one, and a runaway client
# must not fill the memory of the process running the suite.
MAX_BODY = 32 << 20


def listen_socket(backlog: int = 64) -> socket.socket:
    """A TCP socket listening on an ephemeral port of 127.0.0.1."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((LOCALHOST, 0))
    sock.listen(backlog)
    return sock


def free_port() -> int:
    """A port that was free a moment ago (for servers that must bind it themselves)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind((LOCALHOST, 0))
        return sock.getsockname()[1]


def wait_for_port(port: int, timeout: float = 10.0, alive=lambda: True) -> None:
    """Wait until 127.0.0.1:port accepts a connection.

    ``alive`` lets the caller give up early when the server process died.
    """
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not alive():
            raise RuntimeError(f"server for port {port} stopped before it listened")
        try:
            with socket.create_connection((LOCALHOST, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise TimeoutError(f"nothing accepted connections on {LOCALHOST}:{port} within {timeout}s")


class Log:
    """A thread-safe list of records that a test can wait on."""

    def __init__(self) -> None:
        self._items: list = []
        self._cond = threading.Condition()

    def add(self, item) -> None:
        with self._cond:
            self._items.append(item)
            self._cond.notify_all()

    def snapshot(self) -> list:
        with self._cond:
            return list(self._items)

    def clear(self) -> None:
        with self._cond:
            self._items.clear()

    def wait(self, count: int = 1, timeout: float = 15.0, what: str = "records") -> list:
        """Return the records once at least ``count`` have arrived."""
        try:
            return self.wait_until(lambda items: items if len(items) >= count else None, timeout, what)
        except TimeoutError:
            raise TimeoutError(f"expected {count} {what}, got {len(self)} within {timeout}s") from None

    def wait_until(self, test, timeout: float = 15.0, what: str = "record"):
        """``test(records)`` once it is not None, tried again as each record arrives."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                result = test(list(self._items))
                if result is not None:
                    return result
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"no {what} within {timeout}s")
                self._cond.wait(left)

    def __len__(self) -> int:
        with self._cond:
            return len(self._items)


def end_process(proc: subprocess.Popen, timeout: float = 5.0) -> None:
    """Terminate a child server, killing it if it will not go."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout)


def start_thread(target, *args, name: str, **kwargs) -> threading.Thread:
    """Start ``target(*args, **kwargs)`` in a daemon thread.

    Daemon, so that a server a failed test or demo never stopped cannot keep
    the interpreter from exiting.
    """
    thread = threading.Thread(target=target, args=args, kwargs=kwargs, name=name, daemon=True)
    thread.start()
    return thread


def snapshot_of(log_attr: str, doc: str | None = None) -> property:
    """A read-only property: a copy of what the ``Log`` in ``self.<log_attr>`` holds now."""
    return property(lambda self: getattr(self, log_attr).snapshot(), doc=doc)


class Recording:
    """The record-keeping API of the origins, as the tests and the demo use it.

    A server keeps each request it saw in ``self._log`` and names its
    ``scheme``; ``url`` ends in ``/``, ``requests`` lists the records in
    arrival order, ``last`` is the newest one, ``wait`` waits for some and
    ``reset`` forgets them (between tests, say).
    """

    scheme = "http"

    def __init__(self) -> None:
        self._log = Log()
        self.port = 0

    @property
    def url(self) -> str:
        return f"{self.scheme}://{LOCALHOST}:{self.port}/"

    requests = snapshot_of("_log", "The recorded requests, in arrival order.")

    @property
    def last(self):
        """The newest request. The origins record a request before they answer
        it; a first one not yet recorded is waited for (15 s at most)."""
        try:
            return self._log.wait(1, 15.0, "requests")[-1]
        except TimeoutError:
            raise AssertionError(f"no request reached {self.url}{self._failure_note()}") from None

    def wait(self, count: int = 1, timeout: float = 15.0) -> list:
        return self._log.wait(count, timeout, "requests")

    def reset(self) -> None:
        self._log.clear()

    def _failure_note(self) -> str:
        """Appended to ``last``'s complaint; a server that logs failed connections lists them."""
        return ""


class ThreadGroup:
    """Daemon threads started for connections, so stop() can join them all."""

    def __init__(self) -> None:
        self._threads: list[threading.Thread] = []
        self._lock = threading.Lock()

    def start(self, target, *args, name: str = "server-conn") -> threading.Thread:
        thread = threading.Thread(target=target, args=args, name=name, daemon=True)
        with self._lock:
            self._threads = [t for t in self._threads if t.is_alive()]
            self._threads.append(thread)
        thread.start()
        return thread

    def join(self, timeout: float = 5.0) -> None:
        deadline = time.monotonic() + timeout
        with self._lock:
            threads = list(self._threads)
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))


class ConnectionSet:
    """Open connection sockets, so that stopping a server can cut idle keep-alives."""

    def __init__(self) -> None:
        self._socks: set = set()
        self._lock = threading.Lock()

    def add(self, sock) -> None:
        with self._lock:
            self._socks.add(sock)

    def discard(self, sock) -> None:
        with self._lock:
            self._socks.discard(sock)

    def shutdown_all(self) -> None:
        with self._lock:
            socks = list(self._socks)
        for sock in socks:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
