"""A refused allocation anywhere in a call of the module is a MemoryError,
never a SystemError or a crash, and the call works again afterwards.

allocation_sweep.py makes every public callable fail at each of its
allocations in turn (n = 0, 1, 2, ... until the call succeeds), cold and
warm, each attempt in a forked child of a fresh interpreter; see there for
how each ending is judged. Here its rows are checked: no row with a problem,
every public function of the module swept cold and warm, and allocations
really refused.

The suite sweeps the rows that reach every public function at a growing
sample of n (0 to 4, then each some 60 % above the last), and at every n
the warm rows whose calls are mostly the module's own work (the script's
--sample), which takes a minute or two. SWEEP_FULL=1 tries every n, and
SWEEP_ALL=1 adds every member, argument shape and route (the script's
--all); each makes the run tens of times as long (`make allocation-sweep`
prints the whole table).
"""
import json
import os
import subprocess
import sys

import pytest

import pelun_online_sdk.client as client

SWEEP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "allocation_sweep.py")
FULL = bool(os.environ.get("SWEEP_FULL") or os.environ.get("SWEEP_ALL"))
# Every attempt is a child of its own: the sample takes a minute or two on a
# loaded two-core machine, every n hours, and more under a sanitizer.
SWEEP_TIMEOUT = 4 * 3600 if FULL else 900


@pytest.fixture(scope="module")
def sweep():
    arguments = ["--json"] + (["--all"] if os.environ.get("SWEEP_ALL") else [])
    if not os.environ.get("SWEEP_FULL"):
        arguments.append("--sample")
    result = subprocess.run([sys.executable, "-I", SWEEP, *arguments], capture_output=True, text=True,
                            timeout=SWEEP_TIMEOUT, cwd=os.path.dirname(SWEEP))
    assert result.returncode == 0, result.stderr[-3000:]
    rows = [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]
    assert rows, result.stdout[-2000:] + result.stderr[-2000:]
    if "skip" in rows[0]:
        pytest.skip(rows[0]["skip"])
    return rows


def public_functions():
    """The qualified name of every function the module's classes hold: what
    a caller reaches without calling anything first."""
    function_type = type(vars(client.Client)["ClientSession"].__func__)
    found = set()
    for cls in vars(client).values():
        if isinstance(cls, type) and cls.__module__ == client.__name__:
            for member in vars(cls).values():
                function = getattr(member, "__func__", member)
                if type(function) is function_type:
                    found.add(function.__qualname__)
    return found


@pytest.mark.timeout(SWEEP_TIMEOUT + 60)
def test_every_refused_allocation_ends_in_memory_error_and_the_call_works_again(sweep):
    failing = [f"{row['case']} ({row['phase']}): " + "; ".join(row["problems"])
               for row in sweep if row["problems"]]
    assert not failing, "\n".join(failing)
    assert all(row["succeeded_at"] is not None for row in sweep)


def test_the_sweep_reaches_every_public_function_cold_and_warm(sweep):
    functions = public_functions()
    assert {"Client.ClientSession", "_httpx.ClientSession", "RequestsAdapter.init_poolmanager"} <= functions
    swept = {(row["covers"], row["phase"]) for row in sweep}
    missing = sorted({(f, phase) for f in functions for phase in ("cold", "warm")} - swept)
    assert not missing, missing
    # Functions made by a call (a Boundary's __init__, autodetect) and the
    # load itself, which has no warm state.
    assert {("_requests.create_boundary.<locals>.Boundary.__init__", "cold"),
            ("_httpx.ClientSession.<locals>.autodetect", "warm"), ("import", "cold")} <= swept


def test_the_sweep_refuses_allocations(sweep):
    # A sweep whose allocations were never refused would pass anything: the
    # calls that allocate are refused many times over before they succeed
    # (the load makes its hundreds of names, classes and functions; a
    # session, its adapters, pools and TLS context), and most refused
    # attempts end in MemoryError.
    rows = {(row["case"], row["phase"]): row for row in sweep}
    assert rows[("import pelun_online_sdk.client", "cold")]["succeeded_at"] > 500
    assert rows[("_requests.ClientSession(headers, proxy)", "warm")]["succeeded_at"] > 50
    refused = sum(row["attempts"] - 1 for row in sweep)
    memory_errors = sum(row["seen"].get("MemoryError", 0) for row in sweep)
    assert memory_errors > refused * 0.8, (memory_errors, refused)
