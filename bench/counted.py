"""What the callgrind counts of bench/wire.py and bench/clients.py share: a
child run under callgrind, which prints its counts as JSON, and the table."""
import json
import os
import subprocess
import sys
import tempfile


def read_summary(path):
    """The instruction count of one callgrind dump."""
    with open(path) as dump:
        for line in dump:
            if line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError(f"no summary line in {path}")


def count_in_child(script, tag):
    """Runs `script --count-child OUT_DIR` under callgrind (instrumented only
    where the child turns it on): its last line of output, as JSON, or None
    when it failed (its error output printed)."""
    with tempfile.TemporaryDirectory() as out_dir:
        command = ["valgrind", "--tool=callgrind", "--instr-atstart=no",
                   f"--callgrind-out-file={out_dir}/{tag}.%p", sys.executable, "-I", os.path.abspath(script),
                   "--count-child", out_dir]
        done = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        if done.returncode != 0:
            print(done.stderr[-3000:], file=sys.stderr)
            return None
        return json.loads(done.stdout.strip().splitlines()[-1])


def print_counts(title, label, results):
    """One row per label: the module's count, plain's, and their ratio."""
    width = max([len(label)] + [len(row) for row in results])
    print(title + "\n")
    header = f"{label:<{width}} {'module':>12} {'plain':>12} {'module/plain':>13}"
    print(header + "\n" + "-" * len(header))
    for row, sides in results.items():
        print(f"{row:<{width}} {sides['module']:>12,.0f} {sides['plain']:>12,.0f} "
              f"{sides['module'] / sides['plain']:>13.3f}")
