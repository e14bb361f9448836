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
import sysconfig

import pytest

PROGRAM = os.path.join(os.path.dirname(__file__), "exiting_program.py")
RUNS = 20

# Twenty runs of a heavy program each: slow under load or a sanitizer, never stuck.
pytestmark = [pytest.mark.skipif(not hasattr(os, "fork"), reason="the runs are forked processes"),
              pytest.mark.timeout(1200)]


def exit_statuses(group, side):
    """The exit statuses of RUNS programs, each a process of its own (see
    exiting_program.py); a signal as its negative number."""
    process = subprocess.run([sys.executable, "-I", PROGRAM, group, side, str(RUNS)],
                             capture_output=True, text=True, timeout=540)
    assert process.returncode == 0, process.stderr[-3000:]
    return json.loads(process.stdout.splitlines()[-1]), process.stderr


# Free-threaded CPython hands a contended lock of its own (the type lock,
# an object's) to a waiting thread that it may then hang at exit or leave
# behind at a fork: plain Python gets stuck there too, and the module is
# held to the plain-Python twin's rate instead of to none.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.parametrize("group", ["bodies", "fork"])
def test_exits_and_forks_as_plain_python_does(group):
    if FREE_THREADED:
        assert_fails_no_more_often_than_plain_python(group)
        return
    # No TLS and no library lock in the threads' calls: every run must end
    # with status 0 (in "fork", once a child forked meanwhile has called
    # every operation).
    statuses, stderr = exit_statuses(group, "module")
    assert statuses == [0] * RUNS, stderr[-3000:]


def one_sided_p(module_failures, twin_failures):
    """Fisher's exact test: the chance of the module failing this often or
    more if both programs failed at the same rate."""
    failures = module_failures + twin_failures
    total = math.comb(2 * RUNS, failures)
    return sum(math.comb(RUNS, k) * math.comb(RUNS, failures - k)
               for k in range(module_failures, min(failures, RUNS) + 1)) / total


def test_sessions_fail_at_exit_no_more_often_than_in_plain_python():
    # CPython itself now and then crashes at exit while daemon threads hold
    # TLS objects: the plain-Python twin shows how often, and the module
    # must add nothing to that rate.
    assert_fails_no_more_often_than_plain_python("sessions")


def assert_fails_no_more_often_than_plain_python(group):
    module, stderr = exit_statuses(group, "module")
    twin, _ = exit_statuses(group, "twin")
    module_failures = sum(status != 0 for status in module)
    twin_failures = sum(status != 0 for status in twin)
    print(f"failed of {RUNS}: module {module_failures} {module}, twin {twin_failures} {twin}")
    assert one_sided_p(module_failures, twin_failures) > 0.01, stderr[-3000:]
