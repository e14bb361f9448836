"""A program exits as plain Python exits while daemon threads are inside the
module. Before 3.14 the interpreter ends such threads with pthread_exit, a
forced unwind through the module's C++ frames; from 3.14 it parks them.
Each run is a process of its own that exits as programs do
(exiting_program.py)."""
import json
import math
import os
import subprocess
import sys

import pytest

PROGRAM = os.path.join(os.path.dirname(__file__), "exiting_program.py")
RUNS = 20

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="the runs are forked processes")


def exit_statuses(group, side):
    """The exit statuses of RUNS programs, each a process of its own (see
    exiting_program.py); a signal as its negative number."""
    process = subprocess.run([sys.executable, "-I", PROGRAM, group, side, str(RUNS)],
                             capture_output=True, text=True, timeout=300)
    assert process.returncode == 0, process.stderr[-3000:]
    return json.loads(process.stdout.splitlines()[-1]), process.stderr


def test_body_operations_never_stop_an_exit():
    statuses, stderr = exit_statuses("bodies", "module")
    assert statuses == [0] * RUNS, stderr[-3000:]


def one_sided_p(module_failures, plain_failures):
    """Fisher's exact test: the chance of the module failing this often or
    more if both programs failed at the same rate."""
    failures = module_failures + plain_failures
    total = math.comb(2 * RUNS, failures)
    return sum(math.comb(RUNS, k) * math.comb(RUNS, failures - k)
               for k in range(module_failures, min(failures, RUNS) + 1)) / total


def test_sessions_fail_no_more_often_at_exit_than_the_plain_libraries():
    # CPython itself now and then crashes at exit while daemon threads hold
    # TLS objects (the plain program shows how often): the module must add
    # nothing to that rate.
    module, stderr = exit_statuses("sessions", "module")
    plain, _ = exit_statuses("sessions", "plain")
    module_failures = sum(status != 0 for status in module)
    plain_failures = sum(status != 0 for status in plain)
    print(f"failed exits of {RUNS}: module {module_failures} {module}, plain {plain_failures} {plain}")
    assert one_sided_p(module_failures, plain_failures) > 0.01, stderr[-3000:]
