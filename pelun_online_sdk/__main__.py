"""``python -m pelun_online_sdk``: the package's command line (see ``--help``)."""

from __future__ import annotations

if __name__ == "__main__":
    from pelun_online_sdk._cli.main import main

    raise SystemExit(main(prog="python -m pelun_online_sdk"))
