"""Instructions per call of each operation, counted by callgrind.

Usage: python bench/callgrind.py [--only TEXT]... [--sides native,python,cython] [--out DIR]
                                 [--layouts N]

The same operations as bench/run.py, for three sides: the native module, the
plain-Python twins (bench/twins.py) and the same twins compiled by Cython
(built by bench/build_peer.py; `make bench-cg` builds them first). Where
wall-clock rounds drift with the machine's load, instruction counts do not:
the numbers repeat from run to run within about one percent (dict probe
lengths in the interpreter differ a little from one process to the next).

How a row is counted. Each side runs in one process under
`valgrind --tool=callgrind --instr-atstart=no`, with PYTHONHASHSEED=0 (the
child is started with -s and no PYTHON* variable but that one, rather than
-I, which would ignore the seed too): the imports run uninstrumented
(fast), then instrumentation starts and every operation is run in a loop
of its own (bench/run.py's timers: timeit's template, or a coroutine on
one event loop for the asynchronous ones). The
counters are zeroed before and dumped after each loop by client requests
(module callgrind_marks). A loop of n calls and one of 2n calls differ by
exactly n calls: fixed costs (the timer, the client requests, entering the
loop) cancel, and cost(2n) - cost(n), divided by n, is the cost of one call
plus one turn of the loop. The turn of the loop is the harness: an empty
loop body, counted the same way on each side and subtracted. n is chosen
per operation and side from one counted call (after a first, uncounted
one), a power of two such that a loop holds at most about BUDGET
instructions; an operation past that in one call is counted as
cost(1) - cost(0). Before counting, each loop runs often enough for
CPython's specialising interpreter to settle (see warm_up).

The bytes under secrets come from a seeded generator in these runs (see
reseed), so rows with a random boundary repeat too, and all sides draw the
same characters.

Ratios native/cython and native/python: below 1 the native module does less
work. Rows marked `own` are the module's own work (binding, argument errors,
dispatch, a traceback entry; no library below): flagged where native is
above 0.50 of Cython, 0.45 for the rows that go through Client's dispatch.
The rest are library-bound: flagged above 1.00. A flag within NOISE of its
limit says so.

Layouts. Where the module's objects (its classes, its interned names) land
in memory depends on the hash seed (the order in which the imports fill
their dicts and sets, and so what they allocate when) and on what the
process made before the import. A cache that placed its entries by address
would make a row's cost depend on that luck. So the own rows are counted
again, native and Cython, under every layout of LAYOUTS: a hash seed, and a
number of bytes objects of one size made and kept before the module is
imported. The last table gives, for each own row, its worst layout (the
highest native/cython) with both counts, and the best ratio seen; the
limits above apply to the worst. --layouts N counts the first N layouts
only (1: the main table's alone).

The dump of each side's loop of 2n calls stays in DIR (build/bench-cg) as
SIDE-NN-<operation>.out, for callgrind_annotate: for example
    callgrind_annotate --inclusive=yes build/bench-cg/native-03-*.out | head -40
(its counts are for 2n calls, as SIDE.json records, plus the fixed costs
of one loop).
"""

import argparse
import asyncio
import gc
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
import warnings

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)



def make_ballast(spec):
    """`count` bytes objects of `size` bytes each, for spec "count:size"."""
    count, size = map(int, spec.split(":")) if spec else (0, 0)
    return [bytes(size) for _ in range(count)]


# In a child counting one layout (see LAYOUTS): made, and kept for the
# process's life, before the module under test and its libraries are
# imported, so that their objects land elsewhere.
_BALLAST = make_ballast(os.environ.get("BENCH_CG_BALLAST"))

from counted import read_summary  # noqa: E402
import run  # noqa: E402  (bench/run.py: the operations, the twins and their check)

BUDGET = 4_000_000  # instructions per loop of n calls
MAX_CALLS = 2_048  # n at most: the own-work rows need no more for exact counts
WARM_RUNS = 64  # runs of the loop's fixed part, and calls at most, before counting
NOISE = 0.01  # how far counts of the same row may differ between runs
OWN_LIMIT = 0.50  # native/cython at most, for the module's own work
DISPATCH_LIMIT = 0.45  # and for the own rows that go through Client's dispatch
LIBRARY_LIMIT = 1.00
SIDE_NAMES = ("native", "python", "cython")
HARNESS = (
    run.Case("(harness) empty loop body", "pass", lambda m: {}),
    run.Case("(harness) empty loop body, async", "pass", lambda m: {}, asynchronous=True),
)
HARNESS_INDICES = range(len(HARNESS))  # all_cases() puts them first


def all_cases():
    return list(HARNESS) + list(run.cases())


def limit_of(case):
    if not case.own:
        return LIBRARY_LIMIT
    return DISPATCH_LIMIT if "Client." in case.label else OWN_LIMIT


class Layout:
    """A hash seed, and `count` bytes objects of `size` bytes made before the imports."""

    def __init__(self, seed, count, size):
        self.seed, self.count, self.size = seed, count, size

    @property
    def label(self):
        made = f"{self.count} x {self.size} B before" if self.count else "nothing before"
        return f"seed {self.seed}, {made}"

    @property
    def tag(self):
        return f"s{self.seed}-{self.count}x{self.size}"


# The first is the main table's. Small objects (pymalloc's pools) and large
# ones (the C heap, where classes live) move different things.
LAYOUTS = [Layout(seed, count, size)
           for count, size in ((0, 0), (1000, 40), (120, 2000)) for seed in (0, 1, 2, 3)]


def slug(text):
    return re.sub(r"[^A-Za-z0-9]+", "-", text).strip("-")[:60]


# ------------------------------------------------------------- the child


class Counter:
    """Counts a piece of work with zero/dump client requests, one dump file each."""

    def __init__(self, out_dir, side):
        if run.PEER_DIR not in sys.path:
            sys.path.insert(0, run.PEER_DIR)
        import callgrind_marks

        if not callgrind_marks.on_valgrind():
            raise SystemExit("bench/callgrind.py --child runs under valgrind only")
        self.marks = callgrind_marks
        self.base = os.path.join(out_dir, f"{side}.{os.getpid()}")
        self.dumps = 0
        self.marks.start()

    def count(self, work, keep_as=None):
        reseed()
        gc.collect()
        self.marks.zero()
        work()
        self.marks.dump("bench")
        self.dumps += 1
        path = f"{self.base}.{self.dumps}"
        total = read_summary(path)
        if keep_as:
            os.replace(path, keep_as)
        else:
            os.remove(path)
        return total


def reseed():
    """Restart the byte source under secrets from one seed.

    secrets.choice draws by rejection sampling, so the number of draws a
    random boundary takes depends on the bytes drawn. SystemRandom reads its
    bytes through random._urandom; fed from a seeded generator instead,
    every side draws the same bytes and every loop repeats exactly. (What it
    replaces is mostly a system call, which callgrind does not count.)
    """
    random._urandom = random.Random(0x5EED).randbytes


def warm_up(measure, calls):
    """Run the loop's fixed part and the operation until their code is specialised.

    CPython 3.11 quickens a code object after a few runs and specialises each
    instruction after some dozens more. Code that runs once per loop (the
    timer, the event loop's run_until_complete) would otherwise still be
    specialising between the loop of n calls and the one of 2n, and the
    difference of the two would carry that change.
    """
    for _ in range(WARM_RUNS):
        measure(0)
    if calls:
        measure(min(calls, WARM_RUNS))


def child(args):
    warnings.simplefilter("ignore")
    module = dict(run.SIDES).get(args.side)
    if module is None:
        raise SystemExit(f"side {args.side} is not available (is the Cython peer built?)")
    counter = Counter(args.out, args.side)
    loop = asyncio.new_event_loop()
    results = []
    cases = all_cases()
    try:
        for index in args.cases:
            case = cases[index]
            measure = case.timer(module, loop)
            measure(1)  # a first call may import, or fill caches, on either side
            # The loop's fixed part (an event loop's turn for the asynchronous
            # ones) would make a cheap call look dear: leave it out.
            first = counter.count(lambda: measure(1)) - counter.count(lambda: measure(0))
            if first > BUDGET:
                # One call is past the budget: two have run already, and
                # the loop's fixed part is counted on its own.
                low, high = 0, 1
                warm_up(measure, 0)
            else:
                # A power of two, so that a first call a little dearer or
                # cheaper than last time does not change the loop.
                low = 1 << (max(1, min(MAX_CALLS, BUDGET // max(first, 1))).bit_length() - 1)
                high = 2 * low
                warm_up(measure, low)
            low_count = counter.count(lambda: measure(low))
            keep = (os.path.join(args.out, f"{args.side}-{index:02d}-{slug(case.label)}.out")
                    if args.keep_dumps else None)
            high_count = counter.count(lambda: measure(high), keep_as=keep)
            results.append({"case": index, "per_call": (high_count - low_count) / (high - low),
                            "calls": high})
    finally:
        loop.close()
    with open(args.results, "w") as out:
        json.dump(results, out)
    return 0


# ------------------------------------------------------------ the parent


def child_environment(layout):
    """The environment of a child counting under `layout`: -I would ignore
    PYTHONHASHSEED, so the child runs with -s and without any other PYTHON*
    variable (PYTHONPATH, PYTHONMALLOC...) of the caller's."""
    env = {name: value for name, value in os.environ.items() if not name.startswith("PYTHON")}
    env["PYTHONHASHSEED"] = str(layout.seed)
    env["BENCH_CG_BALLAST"] = f"{layout.count}:{layout.size}"
    return env


def run_side(side, indices, out_dir, layout, keep_dumps):
    results = os.path.join(out_dir, f"{side}.json" if keep_dumps else f"{side}.{layout.tag}.json")
    if os.path.exists(results):
        os.remove(results)
    command = [
        "valgrind", "--tool=callgrind", "--instr-atstart=no",
        f"--callgrind-out-file={os.path.join(out_dir, side)}.%p",
        sys.executable, "-s", os.path.abspath(__file__), "--child", "--side", side,
        "--out", out_dir, "--results", results, "--cases", ",".join(map(str, indices)),
    ] + (["--keep-dumps"] if keep_dumps else [])
    env = child_environment(layout)
    started = time.perf_counter()
    completed = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    elapsed = time.perf_counter() - started
    for name in os.listdir(out_dir):  # what ran after the last loop, counted at exit
        if name.startswith(f"{side}.") and name[len(side) + 1:].isdigit():
            os.remove(os.path.join(out_dir, name))
    if completed.returncode != 0 or not os.path.exists(results):
        sys.stderr.write(completed.stdout[-4000:])
        raise SystemExit(f"callgrind run of the {side} side failed (status {completed.returncode})")
    with open(results) as source:
        rows = json.load(source)
    return {row["case"]: row["per_call"] for row in rows}, elapsed


def ratio(a, b):
    return f"{a / b:.3f}" if a is not None and b else "-"


def parent(args):
    warnings.simplefilter("ignore")
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed")
    sides = [side for side in args.sides.split(",") if side]
    available = dict(run.SIDES)
    missing = [side for side in sides if side not in available]
    if missing:
        raise SystemExit(f"not available: {', '.join(missing)} (the Cython peer is built by `make bench-cg`)")
    try:
        run.check_twins()
    except run.Mismatch as error:
        print(f"twin mismatch, nothing counted: {error}", file=sys.stderr)
        return 1

    cases = all_cases()
    harness = {case.asynchronous: index for index, case in enumerate(cases) if case in HARNESS}
    wanted = [index for index, case in enumerate(cases)
              if case in HARNESS or not args.only
              or any(text.lower() in case.label.lower() for text in args.only)]
    os.makedirs(args.out, exist_ok=True)
    for stale in os.listdir(args.out):
        if stale.startswith(tuple(f"{side}{mark}" for side in SIDE_NAMES for mark in "-.")):
            os.remove(os.path.join(args.out, stale))

    main_layout = LAYOUTS[0]
    print(f"Python {sys.version.split()[0]}, {run.native.__file__}")
    print(f"instructions per call (callgrind), harness subtracted; {main_layout.label}; "
          f"sides: {', '.join(sides)}")
    counts, seconds = {}, {}
    for side in sides:
        counts[side], seconds[side] = run_side(side, wanted, args.out, main_layout, keep_dumps=True)

    def net(counted, side, index):
        if side not in counted:
            return None
        return counted[side][index] - counted[side][harness[cases[index].asynchronous]]

    print("harness (one turn of an empty loop): " + ", ".join(
        f"{side} {counts[side][harness[False]]:.0f} sync / {counts[side][harness[True]]:.0f} async"
        for side in sides))
    print()
    header = (f"{'operation':<48} {'kind':<4} {'native':>11} {'python':>11} {'cython':>11}"
              f" {'nat/cy':>7} {'nat/py':>7}")
    print(header)
    print("-" * len(header))
    flagged = []
    for index in wanted:
        case = cases[index]
        if case in HARNESS:
            continue
        native, python, cython = (net(counts, side, index) for side in SIDE_NAMES)
        flag, over = flag_of(native, cython, limit_of(case))
        if over:
            flagged.append(case.label)
        cells = " ".join(f"{value:>11,.0f}" if value is not None else f"{'-':>11}"
                         for value in (native, python, cython))
        print(f"{case.label:<48} {'own' if case.own else 'lib':<4} {cells}"
              f" {ratio(native, cython):>7} {ratio(native, python):>7}{flag}")
    print()
    print(f"{len(flagged)} rows above their limit by more than the noise ({NOISE:.0%}; own work "
          f"{OWN_LIMIT:.2f} of Cython, dispatch {DISPATCH_LIMIT:.2f}, library-bound {LIBRARY_LIMIT:.2f}); "
          + ", ".join(f"{side} {seconds[side]:.0f} s" for side in sides)
          + f"; dumps in {args.out}")

    own = [index for index in wanted if cases[index].own]
    layouts = LAYOUTS[:max(1, args.layouts)]
    if own and len(layouts) > 1 and {"native", "cython"} <= set(sides):
        sweep_layouts(args, cases, own, layouts, {main_layout.tag: counts}, net)
    return 0


def flag_of(native, cython, limit):
    """A row's flag (none, over the limit, or over it within the noise), and
    whether it is over by more than the noise."""
    if native is None or not cython or native / cython <= limit:
        return "", False
    if native / cython > limit * (1 + NOISE):
        return f"  > {limit:.2f}", True
    return f"  > {limit:.2f} within noise", False


def sweep_layouts(args, cases, own, layouts, counted, net):
    """The own rows under every layout: the worst (highest native/cython) of each."""
    print()
    print(f"The own rows under {len(layouts)} layouts (native and cython; "
          f"about {len(layouts) - 1} minutes more):")
    indices = sorted(set(HARNESS_INDICES) | set(own))
    for number, layout in enumerate(layouts[1:], start=2):
        started = time.perf_counter()
        counted[layout.tag] = {side: run_side(side, indices, args.out, layout, keep_dumps=False)[0]
                               for side in ("native", "cython")}
        print(f"  layout {number}/{len(layouts)} ({layout.label}) counted in "
              f"{time.perf_counter() - started:.0f} s", flush=True)
    rows = {}
    for index in own:
        per_layout = []
        for layout in layouts:
            native, cython = (net(counted[layout.tag], side, index) for side in ("native", "cython"))
            per_layout.append((native / cython, native, cython, layout))
        rows[cases[index].label] = per_layout
    with open(os.path.join(args.out, "layouts.json"), "w") as out:
        json.dump({label: [{"layout": layout.label, "native": native, "cython": cython}
                           for _, native, cython, layout in per_layout]
                   for label, per_layout in rows.items()}, out, indent=1)
    print()
    header = (f"{'operation (worst layout)':<48} {'native':>9} {'cython':>9} {'nat/cy':>7} {'best':>7}"
              f"  {'layout':<34}")
    print(header)
    print("-" * len(header))
    flagged = []
    for index in own:
        label = cases[index].label
        worst_ratio, native, cython, layout = max(rows[label], key=lambda row: row[0])
        best_ratio = min(row[0] for row in rows[label])
        flag, over = flag_of(native, cython, limit_of(cases[index]))
        if over:
            flagged.append(label)
        print(f"{label:<48} {native:>9,.0f} {cython:>9,.0f} {worst_ratio:>7.3f} {best_ratio:>7.3f}"
              f"  {layout.label:<34}{flag}")
    print()
    print(f"{len(flagged)} own rows above their limit in their worst layout by more than the noise; "
          f"every layout's counts in {os.path.join(args.out, 'layouts.json')}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", action="append", default=[],
                        help="count only the operations whose label contains this text (repeatable: any of them)")
    parser.add_argument("--sides", default=",".join(SIDE_NAMES))
    parser.add_argument("--out", default=os.path.join(os.path.dirname(_HERE), "build", "bench-cg"))
    parser.add_argument("--layouts", type=int, default=len(LAYOUTS),
                        help=f"count the own rows under the first N layouts (1 to {len(LAYOUTS)})")
    parser.add_argument("--keep-dumps", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--side", help=argparse.SUPPRESS)
    parser.add_argument("--results", help=argparse.SUPPRESS)
    parser.add_argument("--cases", type=lambda text: [int(part) for part in text.split(",")],
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    args.out = os.path.abspath(args.out)
    return child(args) if args.child else parent(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
