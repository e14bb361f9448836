"""squid, run as a child process: a real proxy's refusals, each with its own status.

It answers CONNECT to a host of ``BLOCKED_DOMAIN`` with 403 (an access
rule), to a port where nothing listens with 503, and to a name it cannot
resolve with 500. Its resolver is pointed at a loopback address where no
server listens, so no name ever resolves and no query leaves the machine.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile

from ._util import LOCALHOST, end_process, free_port, wait_for_port

BLOCKED_DOMAIN = "blocked.invalid"
# squid takes no port 0, so it binds one that was free a moment ago.
_CONFIG = """\
http_port {host}:{port}
pid_filename none
cache_log {log}
access_log none
cache deny all
pinger_enable off
dns_nameservers 127.83.81.68
dns_timeout 2 seconds
dns_retransmit_interval 1 seconds
shutdown_lifetime 0 seconds
acl blocked dstdomain .{blocked}
http_access deny blocked
http_access allow all
"""


def squid_binary() -> str | None:
    """squid's path; it sits in /usr/sbin, which a user's PATH may lack."""
    return shutil.which("squid", path=os.environ.get("PATH", "") + os.pathsep + "/usr/sbin")


def _unsanitized_environment() -> dict:
    """The environment without the sanitizer runtime a test run may preload:
    squid itself trips ASan's checks and aborts before it listens."""
    unwanted = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    return {name: value for name, value in os.environ.items() if name not in unwanted}


class SquidProxy:
    def __init__(self) -> None:
        self._proc: subprocess.Popen | None = None
        self._dir = tempfile.TemporaryDirectory(prefix="squid-")
        self._log = os.path.join(self._dir.name, "cache.log")
        self.port = 0

    @property
    def url(self) -> str:
        return f"{LOCALHOST}:{self.port}"

    def start(self, attempts: int = 3) -> "SquidProxy":
        binary = squid_binary()
        if binary is None:
            raise RuntimeError("squid is not installed")
        # squid drops root for its own user, which must be able to write its log.
        os.chmod(self._dir.name, 0o777)
        for _ in range(attempts):
            self.port = free_port()
            config = os.path.join(self._dir.name, "squid.conf")
            with open(config, "w") as file:
                file.write(_CONFIG.format(host=LOCALHOST, port=self.port, log=self._log, blocked=BLOCKED_DOMAIN))
            # -N: in the foreground, the child itself; -n: a service name of its own beside any other squid.
            self._proc = subprocess.Popen([binary, "-N", "-f", config, "-n", f"test{self.port}"],
                                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL, env=_unsanitized_environment())
            try:
                wait_for_port(self.port, 30, alive=lambda: self._proc.poll() is None)
                return self
            except (TimeoutError, RuntimeError):
                self._stop_process()
        log = ""
        if os.path.exists(self._log):
            with open(self._log, errors="replace") as file:
                log = file.read()
        self.stop()
        raise RuntimeError(f"squid did not start; its log: {log[-2000:]}")

    def _stop_process(self) -> None:
        proc, self._proc = self._proc, None
        if proc is not None:
            end_process(proc, 10)

    def stop(self) -> None:
        self._stop_process()
        self._dir.cleanup()


__all__ = ["BLOCKED_DOMAIN", "SquidProxy", "squid_binary"]
