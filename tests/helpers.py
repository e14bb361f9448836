"""Shared test helpers: the backends, leak checks and fresh interpreters."""
import collections
import gc
import inspect
import os
import subprocess
import sys
import textwrap

import httpx

Backend = collections.namedtuple("Backend", "member value cls bodies")

# The backends, one row each, in the order Client's methods test their
# members: the Client.TypeReq member that selects it (.member, .value), its
# class's name in the module (.cls) and the class whose create_boundary
# builds its multipart bodies (.bodies). httpx sends the requests body whole.
BACKENDS = [
    Backend("AIOHTTP", 3, "_aiohttp", "_aiohttp"),
    Backend("REQUESTS", 1, "_requests", "_requests"),
    Backend("HTTPX", 2, "_httpx", "_requests"),
]

# The keyword httpx.Client takes a proxy URL by, as the module decides it when
# it loads: `proxy` from httpx 0.26 on (0.26 and 0.27 deprecate `proxies`,
# 0.28 dropped it), `proxies` before.
HTTPX_PROXY_KEYWORD = "proxy" if "proxy" in inspect.signature(httpx.Client).parameters else "proxies"


class Recorder:
    """Stands in for a backend class and records the calls it gets."""

    def __init__(self, name):
        self.name, self.calls = name, []

    def __getattr__(self, operation):
        def record(*args, **kwargs):
            self.calls.append((operation, args, kwargs))
            return (self.name, operation)

        return record


def record_backends(monkeypatch):
    """Every backend class of the module replaced by a Recorder, for one test."""
    recorders = {row.cls: Recorder(row.cls) for row in BACKENDS}
    for name, recorder in recorders.items():
        monkeypatch.setattr("pelun_online_sdk.client." + name, recorder)
    return recorders


def settled_blocks():
    """Allocated blocks once a collection frees nothing more. A free-threaded
    build releases part of what one collection frees only at the next (memory
    other threads might still be reading), so a single collection leaves a
    swing of a thousand blocks or more that depends on the calls before it."""
    blocks = sys.getallocatedblocks()
    for _ in range(5):
        gc.collect()
        previous, blocks = blocks, sys.getallocatedblocks()
        if blocks >= previous:
            break
    return blocks


def allocated_growth(action, calls=3000, warmup=300):
    """Blocks still allocated after `calls` more calls of `action` (after a warm-up)."""
    for _ in range(warmup):
        action()
    before = settled_blocks()
    for _ in range(calls):
        action()
    return settled_blocks() - before


def swallowing(action, expected=Exception):
    """`action` with its expected exception caught, for leak checks of error paths."""

    def run():
        try:
            action()
        except expected:
            pass

    return run


# `make leakcheck` runs the per-call leak checks (those of 1,000 calls or
# more) with at least this many calls; checks whose calls are slow (an httpx
# client loads its CA bundle) or loop themselves keep their own counts.
MIN_CALLS = int(os.environ.get("LEAK_CALLS", "0"))


# CPython counts blocks only in its own allocator: under PYTHONMALLOC=malloc
# (the AddressSanitizer run) it reports 0 whatever is allocated, and there
# only the reference counts can be checked; `make test` counts the blocks.
BLOCKS_COUNTED = sys.getallocatedblocks() > 0


def assert_no_leak(action, *arguments, calls=3000, slack=None, warmup=None):
    """The action, success or error path, leaves nothing behind: allocated
    blocks stay flat and the arguments' reference counts are unchanged."""
    if calls >= 1000:
        calls = max(calls, MIN_CALLS)
    counts = [sys.getrefcount(a) for a in arguments]
    if BLOCKS_COUNTED:
        _assert_blocks_flat(action, calls, slack, warmup)
    else:
        for _ in range(min(calls, 100)):
            action()
    assert [sys.getrefcount(a) for a in arguments] == counts


def _assert_blocks_flat(action, calls, slack, warmup):
    # Slack for interpreter caches; a leak of even one block per call over
    # thousands of calls is far above it.
    slack = max(calls // 20, 50) if slack is None else slack
    # The local servers' threads allocate now and then while a check runs: a
    # real leak shows on every try, that background noise does not.
    for _ in range(3):
        growth = allocated_growth(action, calls, warmup=warmup or min(300, max(calls // 4, 3)))
        if growth < slack:
            break
    assert growth < slack, f"{growth} blocks leaked over {calls} calls"


def _wine_release():
    """The Wine release this Windows CPython runs under; None elsewhere."""
    if sys.platform != "win32":
        return None
    import ctypes

    try:
        get = ctypes.CDLL("ntdll").wine_get_version
    except AttributeError:  # Windows itself
        return None
    get.restype = ctypes.c_char_p
    return get().decode()


WINE = _wine_release()


def run_python(code, *, args=(), env=None, cwd=None):
    """Runs `code` in a fresh interpreter (`args` in its sys.argv); returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True, text=True, timeout=120, env=env, cwd=cwd,
    )
