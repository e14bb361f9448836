"""What the commands print: text, JSON lines and the progress line, and how credentials are masked in them."""

from __future__ import annotations

import base64
import json
import shutil
import sys
import threading
import time
from typing import Any, Dict, Iterable, List, Mapping, Optional, TextIO, Tuple
from urllib.parse import quote, urlsplit, urlunsplit

MASK = "***"


def masked_url(url: str) -> str:
    """``url`` with the password of its user information replaced, the rest as it was.

    Rebuilt from the URL's parts: nothing outside the user information is
    touched, whatever the password looks like.
    """
    try:
        parts = urlsplit(url)
        if parts.password is None:
            return url
    except ValueError:  # not a URL that can be taken apart: nothing in it is known to be a password
        return url
    userinfo, _, hostinfo = parts.netloc.rpartition("@")
    user = userinfo.partition(":")[0]
    return urlunsplit(parts._replace(netloc=f"{user}:{MASK}@{hostinfo}"))


class Masker:
    """Takes credentials (the proxy's, the URL's) out of what the libraries say.

    A library's message may quote the proxy URL, the Basic token or the
    credentials' repr (aiohttp puts some of them into its errors). Only
    those renderings are replaced, each whole: ``user:password@`` as each
    library spells a URL, ``Basic TOKEN`` and ``password='...'``. Text that
    merely holds the password's characters elsewhere (a number, a word of
    the output) is left alone, so the output neither breaks nor tells the
    password by what it masks.
    """

    def __init__(self, *credentials: Tuple[Optional[str], Optional[str]]) -> None:
        """``credentials``: (user, password) pairs, a proxy's and an origin's."""
        self._forms: Dict[str, str] = {}
        for username, password in credentials:
            if username is not None and password:
                self._add(username, password)

    def _add(self, username: str, password: str) -> None:
        for user, secret in _spellings(username, password):
            self._forms[f"{user}:{secret}@"] = f"{user}:{MASK}@"
        for encoding in ("utf-8", "latin-1"):
            try:
                token = base64.b64encode(f"{username}:{password}".encode(encoding)).decode("ascii")
            except UnicodeEncodeError:
                continue
            self._forms[f"Basic {token}"] = f"Basic {MASK}"
        self._forms[f"password={password!r}"] = f"password='{MASK}'"

    def __call__(self, text: Optional[str]) -> Optional[str]:
        if text is None:
            return None
        # Longest first, so that a spelling that contains another goes whole.
        for form in sorted(self._forms, key=len, reverse=True):
            text = text.replace(form, self._forms[form])
        return text


def _spellings(username: str, password: str) -> List[Tuple[str, str]]:
    """``(user, password)`` as each library writes them in a URL: as typed, and percent-quoted."""
    pairs = {(username, password), (quote(username, safe=""), quote(password, safe=""))}
    url = f"http://{quote(username, safe='')}:{quote(password, safe='')}@h"
    try:
        import yarl  # aiohttp's URLs

        parsed = yarl.URL(url)
        pairs.add((parsed.raw_user or "", parsed.raw_password or ""))
    except Exception:  # a release that quotes differently still gets the other spellings
        pass
    try:
        import httpx

        user, _, secret = httpx.URL(url).userinfo.decode("ascii").partition(":")
        pairs.add((user, secret))
    except Exception:
        pass
    return sorted(pairs)


class Printer:
    """Writes lines to stdout (results) and stderr (messages and progress)."""

    def __init__(self, out: Optional[TextIO] = None, err: Optional[TextIO] = None) -> None:
        self.out = out or sys.stdout
        self.err = err or sys.stderr

    def line(self, text: str = "") -> None:
        self.out.write(text + "\n")
        self.out.flush()

    def json_line(self, record: Mapping[str, Any]) -> None:
        self.line(json.dumps(record, ensure_ascii=False))

    def message(self, text: str) -> None:
        self.err.write(text + "\n")
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
            text = f"waiting for {waiting}: {elapsed:.0f} s. {self._note}".rstrip()
            # Cut to the terminal's width: a wrapped line could not be rewritten in place.
            width = shutil.get_terminal_size().columns - 1
            self._printer.err.write("\r\x1b[K" + text[:width])
            self._printer.err.flush()
