"""Mutation run: does the suite notice a wrong number, message or default?

Changes each line number, each error message and each default of the C++
sources, one at a time, rebuilds the module and runs the tests that should
notice (stopping at the first failure), then reports how many changes were
made, how many failed at least one test, and lists the others. A change that
makes a test hang is caught too, but counted apart: each test is stopped after
--test-timeout seconds and the tests of one change after --timeout. Only the
changed file recompiles; the test that caught a change in the previous run's
report runs first, alone.

    .venv/bin/python tools/mutate.py            # every change (a few hours on two busy cores)
    .venv/bin/python tools/mutate.py --list     # the changes it would make, nothing built
    .venv/bin/python tools/mutate.py -k CHIPER  # only changes whose description has this text
    .venv/bin/python tools/mutate.py --tests tests/test_binding.py  # other tests for every change
    .venv/bin/python tools/mutate.py --all-of line message --every 3  # those, and a third of the rest

It needs the checkout's venv (`make install`) for the compiler tools and the
test dependencies, and works in build/mutate/ only: a copy of the sources and
tests as they are when it starts, a build tree of its own (so a change
recompiles one file and relinks), and a venv with the checkout venv's
packages linked in and the mutated module in place of the installed one.
The checkout itself is never modified. Not part of `make test` or CI: it takes
hours, and it tests the tests.
"""
import argparse
import collections
import fcntl
import filecmp
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build", "mutate")
TREE = os.path.join(WORK, "tree")
BUILD = os.path.join(WORK, "build")
VENV = os.path.join(WORK, "venv")
# The sources, and the tests as they stand when the run starts (edits made
# while it runs do not change its verdicts).
COPIED = ["src", "cmake", "CMakeLists.txt", "tests", "examples", "bench", "pyproject.toml"]

Mutation = collections.namedtuple("Mutation", "kind path start end old new tests")

# The tests each kind of change should fail, most likely first (the run stops at the first failure).
LINES = ["test_statement_lines.py", "test_declarations.py", "test_module_load.py", "test_binding.py"]
MESSAGES = ["test_binding.py", "test_module_load.py", "test_safety.py", "test_declarations.py", "test_bodies.py",
            "test_facade.py", "test_sessions.py", "test_header_checks.py"]
# Where the messages of a source are checked, when that is known: those tests first.
MESSAGES_OF = {
    os.path.join("native", "class_statement.cpp"): ["test_safety.py"],
    os.path.join("native", "function.cpp"): ["test_declarations.py"],
    os.path.join("native", "globals.cpp"): ["test_facade.py", "test_bodies.py"],
    os.path.join("native", "imports.cpp"): ["test_module_load.py"],
    os.path.join("native", "module_def.cpp"): ["test_module_load.py"],
    os.path.join("native", "state.cpp"): ["test_module_load.py"],
    os.path.join("native", "values.cpp"): ["test_bodies.py", "test_safety.py"],
    os.path.join("client", "requests_adapter.cpp"): ["test_module_load.py"],
    os.path.join("client", "form_bodies.cpp"): ["test_bodies.py"],
}

# Changes no test can notice, and why: each is listed as such in the report.
# Keyed by the file and the old text, or by the file and a fragment of the
# changed line where the old text repeats in the file.
UNREACHABLE = {
    ("src/client/form_bodies.hpp", "8"): "`if not boundary` tests an exact str or None: it can neither fail "
                                         "nor allocate, so no traceback ever shows its line",
    ("src/native/binding.cpp", "object"): "no parameter test refuses a value as not an `object`",
    ("src/native/py.cpp", "error return without exception set"): "the runtime's own invariant: every "
                                                                  "PythonError is thrown with an error set",
    ("src/native/py.cpp", "unknown C++ exception"): "the runtime's own invariant: nothing but PythonError and "
                                                   "the standard exceptions is thrown",
    ("src/native/module_def.cpp", "this interpreter keeps no state for extensions"):
        "PyInterpreterState_GetDict() fails only when the interpreter cannot allocate its dict",
    ("src/native/function.cpp", "function of a released module"):
        "the collector clears a function only once nothing reachable refers to it, finalisers having run",
    # CPython's "%.200s" cut of a name: only a foreign type's name can be that long; the module's own
    # function and parameter names, and the type names it expects, are all far shorter.
    ("src/native/messages.cpp", "text(function, 200)"): "cuts only the module's own function names, all short",
    ("src/native/messages.cpp", "text(parameter, 200)"): "cuts only the module's own parameter names, all short",
    ("src/native/messages.cpp", "text(expected, 200)"): "cuts only the type names the module expects, all short",
}
# Messages of one range of CPython versions, [first, stop): the run's
# interpreter may not reach them (None: no bound on that side).
VERSIONED = {
    ("src/native/module_def.cpp", "Interpreter change detected - this module can only be loaded into one "):
        (None, (3, 12)),
    ("src/native/module_def.cpp", "%s must be imported by the main interpreter before any other"):
        ((3, 12), None),
}


def _version_range(versions):
    first, stop = versions
    return f"from {first[0]}.{first[1]} only" if first else f"before {stop[0]}.{stop[1]} only"


def _unreached_on(mutation, version):
    """Whether a message of VERSIONED lies outside the run's CPython (a tuple)."""
    versions = VERSIONED.get((mutation.path, mutation.old))
    if not versions:
        return False
    first, stop = versions
    return bool(first and version < first or stop and version >= stop)


# When nothing says which tests can see a change: the fast files that compare
# the module with its twin and with the tests' own tables.
FAST = ["test_statement_lines.py", "test_declarations.py", "test_binding.py", "test_bodies.py", "test_facade.py",
        "test_sessions.py", "test_module_load.py", "test_safety.py"]
DEFAULTS = ["test_declarations.py", "test_sessions.py", "test_bodies.py", "test_binding.py", "test_facade.py"]

STRING = r'"((?:[^"\\\n]|\\.)*)"'


# ------------------------------------------------------------------ what changes


def _sources(base):
    for folder, _, names in os.walk(os.path.join(base, "src")):
        for name in sorted(names):
            if name.endswith((".cpp", ".hpp")):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as source:
                    yield os.path.relpath(path, base), source.read()


def _code_only(text):
    """The text with comments blanked out (string literals kept), offsets unchanged."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(lambda m: m.group() if m.group()[0] in "\"'" else " " * len(m.group()), text)


def _number(kind, path, match, group, tests, step=1):
    value = match.group(group)
    return Mutation(kind, path, match.start(group), match.end(group), value, str(int(value) + step), tests)


def _text(kind, path, match, group, tests):
    """A string literal's text with a character put in front: every part of a
    message is compared whole somewhere, or the change survives. In front,
    because a part may be cut to its width ("at least", 8 bytes) and an added
    last character would be cut away with it."""
    value = match.group(group)
    if kind == "message":
        tests = MESSAGES_OF.get(os.path.relpath(path, "src"), []) + [t for t in tests if t not in
                                                                     MESSAGES_OF.get(os.path.relpath(path, "src"), [])]
    return Mutation(kind, path, match.start(group), match.end(group), value, "~" + value, tests)


def _replace(kind, path, match, new, tests, group=0):
    return Mutation(kind, path, match.start(group), match.end(group), match.group(group), new, tests)


def line_numbers(path, code):
    # Each function's `def` line.
    for match in re.finditer(r'\bconstexpr\s+Def\s+k\w+Def\s*\{\s*"[^"]+"\s*,\s*(\d+)\s*\}', code):
        yield _number("line", path, match, 1, LINES)
    # The lines of statements, counted from the `def`.
    for table in re.finditer(r"\benum\s+\w+Line\s*:\s*int\s*\{([^}]*)\}", code):
        for entry in re.finditer(r"\bk\w+\s*=\s*(\d+)", table.group(1)):
            start = table.start(1) + entry.start(1)
            value = entry.group(1)
            yield Mutation("line", path, start, start + len(value), value, str(int(value) + 1), LINES)
    if path.endswith(os.path.join("client", "module.cpp")):
        for match in re.finditer(r"\bbody\.(?:import|from)\(\s*(\d+)\s*,", code):
            yield _number("line", path, match, 1, ["test_module_load.py"])
        for match in re.finditer(r'\{\s*(\d+)\s*,\s*"\w+"\s*,\s*\w+\s*\}', code):
            yield _number("line", path, match, 1, ["test_module_load.py"])
    if path.endswith(os.path.join("client", "backends.cpp")):
        # Each backend's row: its member's value (the order of TypeReq) and its class's line.
        rows = list(re.finditer(r"\{\s*k\w+\s*,\s*(\d+)\s*,\s*k\w+\s*,\s*(\d+)\s*,", code))
        for match in rows:
            yield _number("line", path, match, 2, ["test_module_load.py"])
        # The members are numbered in the order of these values, ties in the
        # table's order: a value moved by one can leave the order as it was, so
        # two rows swap theirs.
        for a, b in zip(rows, rows[1:] + rows[:1]):
            first, second = sorted((a, b), key=lambda row: row.start())
            between = code[first.end(1):second.start(1)]
            yield Mutation("order", path, first.start(1), second.end(1), code[first.start(1):second.end(1)],
                           second.group(1) + between + first.group(1), DEFAULTS + ["test_facade.py"])


def messages(path, code):
    # The interpreter's error calls with a literal message.
    for match in re.finditer(r"\b(?:PyErr_SetString|PyErr_Format|raise_error)\(\s*PyExc_\w+\s*,\s*" + STRING, code):
        yield _text("message", path, match, 1, MESSAGES)
    for match in re.finditer(r"\bPyUnicode_FromFormat\(\s*" + STRING, code):
        if " " in match.group(1):  # a message or a repr, not a dotted name
            yield _text("message", path, match, 1, MESSAGES)
    # Messages kept as names of the module (the header checks).
    for match in re.finditer(r"\bconst\s+Name\s+k\w*Message\(\s*" + STRING + r"\s*\)", code):
        yield _text("message", path, match, 1, ["test_header_checks.py"])
    # The type a value was expected to have.
    for match in re.finditer(r"\braise_expected\(\s*" + STRING, code):
        yield _text("message", path, match, 1, MESSAGES)
    if path.endswith(os.path.join("native", "messages.cpp")):
        # The parts argument binding assembles its messages from.
        for match in re.finditer(r"\.(?:text|unicode_around)\([^()]*?" + STRING, code):
            yield _text("message", path, match, 1, ["test_binding.py"])
        for match in re.finditer(r"\.(?:text|foreign_text)\([^()\"]*?,\s*(\d+)\)", code):
            yield _number("message", path, match, 1, ["test_binding.py"], step=-1)
    if path.endswith(os.path.join("native", "binding.cpp")):
        for match in re.finditer(r'(?:=|\?|:|return)\s*' + STRING, code):
            yield _text("message", path, match, 1, ["test_binding.py"])


def defaults(path, code):
    for match in re.finditer(r"\bDefault::integer\((\d+)\)", code):
        yield _number("default", path, match, 1, DEFAULTS)
    for match in re.finditer(r"\bDefault::(new_dict|none|false_value)\(\)", code):
        other = {"new_dict": "none", "none": "false_value", "false_value": "none"}[match.group(1)]
        yield _replace("default", path, match, other, DEFAULTS, group=1)
    if path.endswith(os.path.join("backends", "requests.cpp")):
        # The retry policy: total, the statuses retried, the backoff factor.
        statuses = re.search(r"\{(\s*\d+(?:\s*,\s*\d+)*\s*)\}\)", code)
        for match in re.finditer(r"\d+", statuses.group(1)):
            start = statuses.start(1) + match.start()
            yield Mutation("default", path, start, start + len(match.group()), match.group(),
                           str(int(match.group()) + 1), ["test_sessions.py"])
        for match in re.finditer(r"Keyword\{k(?:Total|BackoffFactor),\s*py::int_\((\d+)\)\}", code):
            yield _number("default", path, match, 1, ["test_sessions.py"])
    if path.endswith(os.path.join("backends", "httpx.cpp")):
        for match in re.finditer(r"py::bool_\((true|false)\)|py::float_\((\d+)\.0\)", code):
            group = 1 if match.group(1) else 2
            new = {"true": "false", "false": "true"}.get(match.group(group)) or str(int(match.group(group)) + 1)
            yield _replace("default", path, match, new, ["test_sessions.py", "test_async_wire.py"], group=group)
    if path.endswith(os.path.join("client", "session_factories.cpp")):
        for match in re.finditer(r'\bconst\s+Name\s+k(?:UserAgent|AgentTemplate)\(' + STRING, code):
            yield _text("default", path, match, 1, ["test_sessions.py", "test_header_checks.py"])
    if path.endswith(os.path.join("client", "form_bodies.cpp")):
        # What a boundary and a body are made of.
        for match in re.finditer(r'\bconst\s+Name\s+k(?:ExtraChars|Hyphen|ContentTypeHeader)\(' + STRING, code):
            yield _text("default", path, match, 1, ["test_bodies.py"])
    if path.endswith(os.path.join("client", "requests_adapter.cpp")):
        ciphers = re.search(r"\bkCiphers\[\]\s*=\s*\{(.*?)\};", code, re.S)
        entries = list(re.finditer(STRING, ciphers.group(1)))
        first, middle, last = entries[0], entries[len(entries) // 2], entries[-1]
        base = ciphers.start(1)
        tests = ["test_requests_wire.py", "test_declarations.py"]
        for entry, what in [(first, "first"), (last, "last")]:
            start = base + entry.start(1)
            yield Mutation("default", path, start, start + len(entry.group(1)), entry.group(1),
                           entry.group(1) + "-X", tests)
        # One cipher left out, two swapped.
        start = base + middle.start()
        yield Mutation("default", path, start, base + middle.end() + 1, middle.group() + ",", "", tests)
        a, b = entries[1], entries[2]
        yield Mutation("default", path, base + a.start(), base + b.end(), ciphers.group(1)[a.start():b.end()],
                       b.group() + "," + ciphers.group(1)[a.end() + 1:b.start()] + a.group(), tests)
        for match in re.finditer(r'\bconst\s+Name\s+kSeparator\(' + STRING, code):
            yield _replace("default", path, match, ",", tests, group=1)
        # The context's settings: no host name check of its own, none against the common name.
        for match in re.finditer(r"py::bool_\((false)\)", code):
            yield _replace("default", path, match, "true", ["test_requests_wire.py", "test_trust.py"], group=1)


def mutations(originals):
    found = []
    for path, text in originals.items():
        code = _code_only(text)
        for generate in (line_numbers, messages, defaults):
            found += generate(path, code)
    # Unique places (a message may match two patterns), grouped by file so
    # that each file is recompiled once per change and once when restored.
    # The runtime's files first (their messages are the most often missed by
    # the tests), the headers last (a change there recompiles their includers).
    unique = {(m.path, m.start, m.end): m for m in found}
    return sorted(unique.values(), key=lambda m: (m.path.endswith(".hpp"), not m.path.startswith(
        os.path.join("src", "native")), m.path, m.start))


def describe(mutation, text):
    line = text.count("\n", 0, mutation.start) + 1
    old, new = (" ".join(text.split()) for text in (mutation.old, mutation.new))
    if len(old) > 60:  # a span of rows: its two ends tell the change
        old, new = f"{old[:12]}...{old[-12:]}", f"{new[:12]}...{new[-12:]}"
    return f"{mutation.kind:8} {mutation.path}:{line}: {old!r} -> {new!r}"


# ------------------------------------------------------------------ build and test


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def sync_tree():
    """The checkout's sources copied into TREE; unchanged files keep their times."""
    for name in COPIED:
        source, target = os.path.join(ROOT, name), os.path.join(TREE, name)
        if os.path.isfile(source):
            if not os.path.exists(target) or not filecmp.cmp(source, target, shallow=False):
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copy2(source, target)
            continue
        for folder, folders, files in os.walk(source):
            folders[:] = [f for f in folders if f not in ("__pycache__", ".hypothesis")]
            for file in files:
                relative = os.path.relpath(os.path.join(folder, file), ROOT)
                src, dst = os.path.join(ROOT, relative), os.path.join(TREE, relative)
                if not os.path.exists(dst) or not filecmp.cmp(src, dst, shallow=False):
                    os.makedirs(os.path.dirname(dst), exist_ok=True)
                    shutil.copy2(src, dst)


def configure(python):
    if os.path.exists(os.path.join(BUILD, "build.ninja")):
        return
    bin_dir = os.path.dirname(python)
    pybind11_dir = run([python, "-m", "pybind11", "--cmakedir"], check=True).stdout.strip()
    result = run([os.path.join(bin_dir, "cmake"), "-S", TREE, "-B", BUILD, "-G", "Ninja",
                  "-DCMAKE_BUILD_TYPE=Release", f"-DCMAKE_MAKE_PROGRAM={os.path.join(bin_dir, 'ninja')}",
                  f"-DPython_EXECUTABLE={python}", f"-Dpybind11_DIR={pybind11_dir}"])
    if result.returncode:
        sys.exit("cmake failed:\n" + result.stdout[-3000:] + result.stderr[-3000:])


def make_venv(python):
    """A venv whose site-packages holds the package with the mutated module and,
    linked, everything else the checkout's venv has installed."""
    def purelib(interpreter):
        return run([interpreter, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                   check=True).stdout.strip()

    theirs = purelib(python)
    if not os.path.exists(os.path.join(VENV, "bin", "python")):
        run([python, "-m", "venv", "--without-pip", VENV], check=True)
    ours = purelib(os.path.join(VENV, "bin", "python"))
    for name in os.listdir(theirs):
        link = os.path.join(ours, name)
        if name.startswith("pelun_online_sdk") or name == "__pycache__" or os.path.lexists(link):
            continue
        os.symlink(os.path.join(theirs, name), link)
    package = os.path.join(ours, "pelun_online_sdk")
    shutil.rmtree(package, ignore_errors=True)
    shutil.copytree(os.path.join(ROOT, "pelun_online_sdk"), package,
                    ignore=shutil.ignore_patterns("__pycache__"))
    return package


def build(bin_dir, package):
    """Builds the module; True when it built and was put in place."""
    result = run([os.path.join(bin_dir, "ninja"), "-C", BUILD])
    if result.returncode:
        return False, result.stdout[-3000:]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    built = os.path.join(BUILD, "client" + suffix)
    staged = os.path.join(package, ".client.tmp")
    shutil.copy2(built, staged)
    os.replace(staged, os.path.join(package, "client" + suffix))
    return True, ""


Outcome = collections.namedtuple("Outcome", "status failed timed_out")


def run_tests(targets, test_timeout, timeout):
    """Runs the test files or node ids, stopping at the first failure.

    Bounded twice: pytest-timeout fails a test that runs longer than
    `test_timeout` seconds (a change that makes a call hang), and the whole
    run is killed, with every process it started, after `timeout` seconds.
    Either way the change made a test fail to finish: caught, by timeout."""
    command = [os.path.join(VENV, "bin", "python"), "-I", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
               "--timeout", str(test_timeout), *targets]
    process = subprocess.Popen(command, cwd=TREE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return Outcome(124, "the tests of the change (killed after %d s)" % timeout, True), output
    finally:
        # Servers a test started in processes of their own go with it.
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    failed = re.findall(r"^(?:FAILED|ERROR) (.+?)(?: - |$)", output, re.M)
    timed_out = "+++ Timeout +++" in output or "Failed: Timeout" in output
    return Outcome(process.returncode, failed[0] if failed else None, timed_out), output


def previous_catches(path):
    """What caught each change in an earlier report: that test runs first."""
    catches = {}
    if os.path.exists(path):
        with open(path, encoding="utf-8") as report:
            for line in report:
                match = re.match(r"\[[^]]*\] (.*): caught (?:by timeout )?by (tests/.+)$", line.rstrip("\n"))
                if match:
                    catches[match.group(1).split(" -> ")[0]] = match.group(2)
    return catches


def unreachable_reason(mutation, text):
    reason = UNREACHABLE.get((mutation.path, mutation.old))
    if reason is None:
        line_start = text.rfind("\n", 0, mutation.start) + 1
        line_end = text.find("\n", mutation.end)
        line = text[line_start:line_end]
        column = mutation.start - line_start
        for (path, fragment), why in UNREACHABLE.items():
            at = line.find(fragment) if path == mutation.path else -1
            if at >= 0 and at <= column < at + len(fragment):
                return why
    return reason


def choose(found, originals, only, kinds, every):
    """The changes to make: those matching `only`, of `kinds`; of the other
    kinds one in `every`, evenly spread (a systematic sample)."""
    chosen, others = [], 0
    for mutation in found:
        if only and only not in describe(mutation, originals[mutation.path]):
            continue
        if kinds and mutation.kind not in kinds:
            others += 1
            if (others - 1) % every:
                continue
        chosen.append(mutation)
    return chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", action="store_true", help="list the changes and stop")
    parser.add_argument("-k", dest="only", help="only changes whose description contains this text")
    parser.add_argument("--tests", nargs="+", help="test files to run for every change (tests/...)")
    parser.add_argument("--python", default=os.path.join(ROOT, ".venv", "bin", "python"),
                        help="the venv interpreter with the build tools and test dependencies")
    parser.add_argument("--test-timeout", type=int, default=120,
                        help="seconds one test may run before it counts as hanging")
    parser.add_argument("--timeout", type=int, default=600, help="seconds for all the tests of one change")
    parser.add_argument("--all-of", nargs="+", metavar="KIND", choices=["line", "message", "default", "order"],
                        help="every change of these kinds, and a sample of the others (see --every)")
    parser.add_argument("--every", type=int, default=1, help="with --all-of: one change in this many of the others")
    parser.add_argument("--resume", action="store_true",
                        help="skip the changes the newest earlier report has a verdict on")
    parser.add_argument("--skip-unreachable", action="store_true",
                        help="skip the changes listed as unreachable from a test, with their reason")
    parser.add_argument("--skip-baseline", action="store_true",
                        help="trust that the unchanged module passes the tests (the suite was just run)")
    args = parser.parse_args()

    def chosen_in(originals):
        return choose(mutations(originals), originals, args.only, args.all_of, max(args.every, 1))

    if args.list:
        originals = dict(_sources(ROOT))
        chosen = chosen_in(originals)
        for mutation in chosen:
            print(describe(mutation, originals[mutation.path]))
        print(f"{len(chosen)} changes")
        return 0
    if not os.path.exists(args.python):
        sys.exit(f"{args.python} is missing: run `make install` first")
    os.makedirs(WORK, exist_ok=True)
    # One run at a time: a second would copy the sources over the first's change.
    lock = open(os.path.join(WORK, "lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        sys.exit(f"another run is using {WORK}")
    sync_tree()
    originals = dict(_sources(TREE))
    chosen = chosen_in(originals)
    present = set(os.listdir(os.path.join(TREE, "tests")))

    def tests_of(mutation):
        files = [os.path.basename(t) for t in args.tests] if args.tests else (mutation.tests or FAST)
        return [os.path.join("tests", f) for f in files if f in present]

    bin_dir = os.path.dirname(args.python)
    configure(args.python)
    package = make_venv(args.python)
    version = tuple(int(part) for part in run(
        [os.path.join(VENV, "bin", "python"), "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
        check=True).stdout.split("."))
    # Earlier reports are kept (report-1.txt, ...): what caught a change in any
    # of them runs first, the newest report's answer winning.
    report_path = os.path.join(WORK, "report.txt")
    earlier = sorted((name for name in os.listdir(WORK) if re.fullmatch(r"report-\d+\.txt", name)),
                     key=lambda name: int(name[7:-4]))
    if os.path.exists(report_path):
        earlier.append(f"report-{len(earlier) + 1}.txt")
        os.replace(report_path, os.path.join(WORK, earlier[-1]))
    hints = {}
    for name in earlier:
        hints.update(previous_catches(os.path.join(WORK, name)))
    if args.resume and earlier:
        with open(os.path.join(WORK, earlier[-1]), encoding="utf-8") as last:
            done = {m.group(1).split(" -> ")[0] for m in re.finditer(r"^\[[^]]*\] (.*?): (?:caught|survived|SURVIVED|did not build)",
                                                                    last.read(), re.M)}
        chosen = [m for m in chosen if describe(m, originals[m.path]).split(" -> ")[0] not in done]
    if args.skip_unreachable:
        chosen = [m for m in chosen if not unreachable_reason(m, originals[m.path])
                  and not _unreached_on(m, version)]

    started = time.monotonic()
    print("==> building the unchanged module", flush=True)
    built, log = build(bin_dir, package)
    if not built:
        sys.exit("the unchanged sources do not build:\n" + log)
    if not args.skip_baseline:
        print("==> baseline: the unchanged module against every test file a change may run", flush=True)
        every = sorted({t for m in chosen for t in tests_of(m)})
        outcome, output = run_tests(every, args.test_timeout, args.timeout * 3)
        if outcome.status:
            sys.exit("the unchanged module fails its tests:\n" + output[-5000:])

    report = open(report_path, "w", encoding="utf-8")
    caught, by_timeout, survived, unbuilt = [], [], [], []
    explained, current = 0, None
    print(f"==> {len(chosen)} changes", flush=True)
    try:
        for index, mutation in enumerate(chosen, 1):
            current = os.path.join(TREE, mutation.path)
            text = originals[mutation.path]
            with open(current, "w", encoding="utf-8") as source:
                source.write(text[:mutation.start] + mutation.new + text[mutation.end:])
            what = describe(mutation, text)
            built, log = build(bin_dir, package)
            if not built:
                unbuilt.append(what)
                outcome_text = "did not build"
            else:
                # The test that caught this change last time first, alone: most
                # changes are settled by it in seconds. Then every file that can see it.
                outcome = None
                hint = hints.get(what.split(" -> ")[0])
                if hint and not args.tests:
                    outcome, _ = run_tests([hint], args.test_timeout, args.timeout)
                    if outcome.status in (0, 4, 5):  # passed, or that test is gone
                        outcome = None
                if outcome is None:
                    outcome, _ = run_tests(tests_of(mutation), args.test_timeout, args.timeout)
                if outcome.timed_out:
                    by_timeout.append(what)
                    outcome_text = f"caught by timeout by {outcome.failed}"
                elif outcome.status not in (0, 5):
                    caught.append(what)
                    outcome_text = "caught by " + (outcome.failed or f"exit status {outcome.status}")
                else:
                    reason = unreachable_reason(mutation, text)
                    if _unreached_on(mutation, version):
                        versions = _version_range(VERSIONED[(mutation.path, mutation.old)])
                        reason = f"reached {versions}, not on CPython {version[0]}.{version[1]}"
                    survived.append(what + (f" ({reason})" if reason else ""))
                    explained += bool(reason)
                    outcome_text = "survived: " + reason if reason else "SURVIVED"
            with open(current, "w", encoding="utf-8") as source:
                source.write(text)
            current = None
            minutes = (time.monotonic() - started) / 60
            line = f"[{index}/{len(chosen)} {minutes:.0f} min] {what}: {outcome_text}"
            print(line, flush=True)
            report.write(line + "\n")
            report.flush()
    finally:
        if current:  # interrupted: the copy gets its original text back
            with open(current, "w", encoding="utf-8") as source:
                source.write(originals[os.path.relpath(current, TREE)])
    minutes = (time.monotonic() - started) / 60
    summary = (f"{len(chosen)} changes made in {minutes:.0f} min: {len(caught) + len(by_timeout)} failed at least "
               f"one test ({len(by_timeout)} of them by a timeout), {len(survived)} survived ({explained} of them "
               f"unreachable from a test, with the reason)")
    if unbuilt:
        summary += f", {len(unbuilt)} did not build"
    lines = [summary] + ["survived: " + what for what in survived] + [
        "did not build: " + what for what in unbuilt] + ["caught by timeout: " + what for what in by_timeout]
    for line in lines:
        print(line)
        report.write(line + "\n")
    report.close()
    return 1 if len(survived) > explained or unbuilt else 0


if __name__ == "__main__":
    sys.exit(main())
