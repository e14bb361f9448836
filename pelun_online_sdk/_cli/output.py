"""What the commands print: redacted text, JSON lines and the progress line."""

from __future__ import annotations

import base64
import json
import re
import shutil
import sys
import threading
import time
from typing import Any, Callable, Iterable, List, Mapping, Optional, Set, TextIO
from urllib.parse import quote

# user:password@ in any URL: the password is masked wherever a URL is shown.
_USERINFO = re.compile(r"(?P<head>//[^/@:\s]*):[^/@\s]*@")
MASK = "***"


class Redactor:
    """Masks secrets in every line the commands print.

    The proxy password can reach a message through a library (aiohttp puts
    the proxy URL, credentials and all, into some of its errors), so masking
    happens at the one place output is written, not where messages are made.
    """

    def __init__(self, username: Optional[str] = None, password: Optional[str] = None) -> None:
        forms: Set[str] = set()
        if password:
            # As typed, and as the libraries quote it in the URLs they show.
            forms |= {password, quote(password, safe=""), quote(password), quote(password, safe="!$&'()*+,;=:")}
            if username:
                forms.add(base64.b64encode(f"{username}:{password}".encode()).decode("ascii"))
        # Longest first, so that a form containing another is masked whole.
        self._forms = sorted(forms, key=len, reverse=True)

    def __call__(self, text: str) -> str:
        # The known password first: a raw one may hold '@' or '/', which would
        # end the URL pattern's match inside it and leave the rest shown.
        for form in self._forms:
            text = text.replace(form, MASK)
        return _USERINFO.sub(lambda m: f"{m.group('head')}:{MASK}@", text)


class Printer:
    """Writes redacted lines to stdout (results) and stderr (messages and progress)."""

    def __init__(self, redact: Callable[[str], str], out: Optional[TextIO] = None,
                 err: Optional[TextIO] = None) -> None:
        self.redact = redact
        self.out = out or sys.stdout
        self.err = err or sys.stderr

    def line(self, text: str = "") -> None:
        self.out.write(self.redact(text) + "\n")
        self.out.flush()

    def json_line(self, record: Mapping[str, Any]) -> None:
        self.line(json.dumps(record, ensure_ascii=False))

    def message(self, text: str) -> None:
        self.err.write(self.redact(text) + "\n")
        self.err.flush()


def table(rows: List[List[str]]) -> List[str]:
    """Rows as left-aligned columns two spaces apart (the last column left ragged)."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]


def wrapped(label: str, items: Iterable[str], width: int = 100, indent: int = 14) -> List[str]:
    """``label`` then the items comma-separated, wrapped onto indented lines."""
    lines: List[str] = []
    current = f"  {label}".ljust(indent)
    first = True
    for item in items:
        if not first and len(current) + 2 + len(item) > width:
            lines.append(current + ",")
            current = " " * indent + item
        else:
            current += item if first else ", " + item
        first = False
    lines.append(current)
    return lines


class Progress:
    """A line on stderr while clients wait: who is still waiting and for how long.

    On a terminal the line is rewritten in place twice a second and erased at
    the end; elsewhere (a pipe, a log file, a CI job) it is written once, so
    that a log is not filled with carriage returns.
    """

    def __init__(self, printer: Printer, note: str) -> None:
        self._printer = printer
        self._note = note
        self._tty = printer.err.isatty()
        self._waiting: List[str] = []
        self._lock = threading.Lock()
        self._done = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._start = 0.0

    def start(self, clients: List[str]) -> None:
        self._waiting = list(clients)
        self._start = time.monotonic()
        if not self._tty:
            self._printer.message(f"waiting for {', '.join(clients)}... {self._note}".rstrip())
            return
        self._thread = threading.Thread(target=self._run, name="progress", daemon=True)
        self._thread.start()

    def finished(self, client: str) -> None:
        with self._lock:
            if client in self._waiting:
                self._waiting.remove(client)

    def stop(self) -> None:
        self._done.set()
        if self._thread is not None:
            self._thread.join()
            self._printer.err.write("\r\x1b[K")
            self._printer.err.flush()

    def _run(self) -> None:
        while not self._done.wait(0.5):
            with self._lock:
                waiting = ", ".join(self._waiting)
            elapsed = time.monotonic() - self._start
            text = self._printer.redact(f"waiting for {waiting}: {elapsed:.0f} s. {self._note}".rstrip())
            # Cut to the terminal's width: a wrapped line could not be rewritten in place.
            width = shutil.get_terminal_size().columns - 1
            self._printer.err.write("\r\x1b[K" + text[:width])
            self._printer.err.flush()
