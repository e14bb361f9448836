"""What the origins answer, shared so that HTTP/1.1 and HTTP/2 serve alike.

Paths:
  ``/cp1251``         Cyrillic text encoded as windows-1251, Content-Type
                      ``text/plain`` with no charset: the client has to guess.
  ``/status/<code>``  an empty-bodied answer with that status code.
  anything else       200, ``text/plain; charset=utf-8``, body ``ok``.
"""

from __future__ import annotations

# Long and varied enough that chardet settles on windows-1251 rather than
# another Cyrillic code page.
CP1251_TEXT = (
    "Привет, мир! Это проверка кодировки текста. "
    "Съешь же ещё этих мягких французских булок, да выпей чаю. "
) * 8

OK_BODY = b"ok"


def route(path: str) -> tuple[int, list[tuple[str, str]], bytes]:
    """(status, headers, body) for a request path (query string ignored)."""
    path = path.split("?", 1)[0]
    if path == "/cp1251":
        return 200, [("Content-Type", "text/plain")], CP1251_TEXT.encode("cp1251")
    if path.startswith("/status/"):
        try:
            status = int(path[len("/status/"):])
        except ValueError:
            status = 400
        if 200 <= status <= 599:
            return status, [("Content-Type", "text/plain; charset=utf-8")], b""
    return 200, [("Content-Type", "text/plain; charset=utf-8")], OK_BODY
