"""Linux wheels for every supported CPython, made on this one machine.

    wheels.py build [--arch x86_64|aarch64] [--only 3.11 ...] [--python PATH ...]
    wheels.py test  [--arch x86_64|aarch64] [--only 3.11 ...] [--python PATH ...]

The system's g++ cannot make a wheel for older systems than its own: g++ 12's
libstdc++ headers reference glibc 2.32 symbols. zig c++ compiles against the
glibc 2.17 headers and symbol versions it ships, for x86_64 or aarch64 alike,
and links its own libc++ into the module; so each CPython needs nothing but
its headers here: pyenv's (3.8-3.13), the Debian unstable chroot's of
.ci/newer-pythons (3.14, 3.15), and those of any interpreter named with
--python (a free-threaded build, say). The link exports PyInit_client alone
(cmake/exports.map) and drops unused sections, so the module carries none of
libc++'s symbols and needs only libc, libpthread, libdl and the loader.

`build` makes a wheel for every CPython of RELEASE_VERSIONS (or those named
with --only), making the chroot first where 3.14 and 3.15 need its headers
(as .ci/newer-pythons does for its tests), and stops before compiling
anything, naming each version whose headers it cannot find: a fresh
machine gets every wheel or a reason.

It compiles each version in build/wheels/<tag>/ (a source is recompiled
only when it or a header it includes changed), packs the wheel with the
package's files and the metadata scikit-build-core writes for it, and keeps
it in dist/ only when `auditwheel repair` gives it the manylinux_2_17 tag,
`auditwheel show` agrees, the module exports PyInit_client alone, and
check-wheel-contents and twine check pass. It also writes the sdist.

`warm` only has zig build and cache its libc++ for the architecture, which
the first build on a machine otherwise waits for (.ci/run starts it early).

`test` installs each wheel of dist/ into a fresh venv of its own CPython
(the chroot's for 3.14 and 3.15) and runs, from the checkout, the whole
suite (3.8, 3.11, 3.15) or tests/smoke.py (the others) against it.
"""

import argparse
import base64
import concurrent.futures
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "wheels"
DIST = ROOT / "dist"
CHROOT = Path(os.environ.get("NEWER_PYTHONS_CHROOT", "/var/cache/pelun-online-sdk/sid-chroot"))
# Where aarch64 root file systems with Debian's CPython headers and
# interpreters may be (.ci/arm64-chroot --suite ...): unstable's 3.14 and
# 3.15, Debian 12's 3.11, Debian 11's 3.9. Their pyconfig.h is the one to
# compile those versions against for aarch64, and their interpreters run
# the aarch64 wheels.
ARM64_CHROOT = Path(os.environ.get("ARM64_CHROOT", "/var/cache/pelun-online-sdk/arm64-chroot"))
ARM64_ROOTS = {
    "sid": ARM64_CHROOT,
    "bookworm": Path("/var/cache/pelun-online-sdk/arm64-bookworm"),
    "bullseye": Path("/var/cache/pelun-online-sdk/arm64-bullseye"),
}


def arm64_pyconfig_dirs(python_dir):
    """The directories with an aarch64 pyconfig.h for python3.X, one per root that has it."""
    found = []
    for root in ARM64_ROOTS.values():
        candidate = root / "usr" / "include" / "aarch64-linux-gnu" / python_dir
        if (candidate / "pyconfig.h").exists():
            found.append(candidate)
    return found


def arm64_interpreter(version):
    """("arm64:<suite>", "python3.X") for the aarch64 root that has that CPython, or None."""
    for suite, root in ARM64_ROOTS.items():
        if (root / "usr" / "bin" / ("python" + version)).exists():
            return ("arm64:" + suite, "python" + version)
    return None
PACKAGE = "pelun_online_sdk"
GLIBC = "2.17"
JOBS = int(os.environ.get("JOBS", "2"))
# The wheels that run the whole suite; the others run tests/smoke.py.
SUITE_VERSIONS = {"3.8", "3.11", "3.15"}
# Every release has a wheel for each of these (keep in step with
# pyproject.toml's classifiers and cibuildwheel's `build`): `build` fails,
# naming the missing ones, rather than leave one out. Free-threaded ABIs
# are added where an interpreter is named with --python.
RELEASE_VERSIONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
# Newer than any CPython this machine has: their headers come from the
# Debian unstable chroot of .ci/newer-pythons, made on first use.
CHROOT_VERSIONS = ("3.14", "3.15")

# The flags CMakeLists.txt gives a Release build, with sections split so that
# the link can drop what nothing calls. Keep the two in step.
CXXFLAGS = [
    "-std=c++17", "-O3", "-DNDEBUG", "-fPIC",
    "-fvisibility=hidden", "-fvisibility-inlines-hidden",
    "-ffunction-sections", "-fdata-sections",
    "-Wall", "-Wextra", "-Werror",
    "-DPYBIND11_SIMPLE_GIL_MANAGEMENT",
    # The runtime defines the entry point, PyInit_<this name>.
    "-DNATIVE_MODULE_NAME=client",
    # A thread ended by glibc's pthread_exit passes the module's frames, as
    # CMakeLists.txt has it (src/native/personality.cpp).
    "-DNATIVE_PASS_FORCED_UNWIND",
]
LDFLAGS = [
    "-shared", "-Wl,--version-script=" + str(ROOT / "cmake" / "exports.map"),
    "-Wl,--gc-sections", "-Wl,-O1", "-s", "-Wl,--wrap=__gxx_personality_v0",
]
SOURCES = sorted(
    str(p.relative_to(ROOT))
    for pattern in ("src/native/*.cpp", "src/client/*.cpp", "src/client/backends/*.cpp")
    for p in ROOT.glob(pattern)
)


def say(message):
    print("==> " + message, flush=True)


def note(message):
    print("    " + message, flush=True)


def minutes(seconds):
    seconds = int(seconds)
    return "%dm%02ds" % divmod(seconds, 60) if seconds >= 60 else "%ds" % seconds


class Target:
    """One CPython ABI on one architecture."""

    def __init__(self, version, threaded, arch, include, origin, interpreter):
        self.version = version  # "3.9"
        self.threaded = threaded  # free-threaded ABI (cp314t)
        self.arch = arch
        self.include = Path(include)  # the directory with Python.h
        self.origin = origin  # where the headers come from, for the log
        self.interpreter = interpreter  # ("host", path) or ("chroot", name)

    @property
    def nodot(self):
        return self.version.replace(".", "")

    @property
    def abi(self):
        return "cp" + self.nodot + ("t" if self.threaded else "")

    @property
    def label(self):
        return self.version + ("t" if self.threaded else "")

    @property
    def name(self):
        return "%s-%s" % (self.abi, self.arch)

    @property
    def ext_suffix(self):
        return ".cpython-%s%s-%s-linux-gnu.so" % (self.nodot, "t" if self.threaded else "", self.arch)

    @property
    def zig_target(self):
        return "%s-linux-gnu.%s" % (self.arch, GLIBC)


PROBE = """import sys, sysconfig
print(sys.implementation.name, "%d.%d" % sys.version_info[:2],
      int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))), sysconfig.get_paths()["include"])"""


def probe(python):
    try:
        out = subprocess.run([python, "-c", PROBE], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    impl, version, threaded, include = out.split(None, 3)
    if impl != "cpython" or not Path(include.strip(), "Python.h").exists():
        return None
    return version, threaded == "1", include.strip()


def pyenv_pythons():
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return []
    pythons = glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3"))
    release = re.compile(r"versions/(\d+)\.(\d+)\.(\d+)/")
    return sorted((p for p in pythons if release.search(p)),
                  key=lambda p: tuple(map(int, release.search(p).groups())))


def find_targets(arch, extra_pythons, only):
    """Every version with headers on this machine, newest patch release of each."""
    found = {}
    for python in pyenv_pythons() + list(extra_pythons):
        info = probe(python)
        if not info:
            continue
        version, threaded, include = info
        if tuple(map(int, version.split("."))) < (3, 8):
            continue
        key = version + ("t" if threaded else "")
        # pyenv's versions are sorted by name: a later one of the same minor
        # version replaces an earlier one only when its patch release is newer.
        found[key] = Target(version, threaded, arch, include, python, ("host", python))
        # An interpreter named with --python adds an ABI the module may not
        # build for yet (the free-threaded one): its failure to compile is
        # reported, not fatal.
        found[key].optional = python in extra_pythons
    for minor in ("3.14", "3.15"):
        include = CHROOT / "usr" / "include" / ("python" + minor)
        if minor not in found and (include / "Python.h").exists():
            found[minor] = Target(minor, False, arch, include, "Debian unstable chroot", ("chroot", "python" + minor))
            found[minor].optional = False
    targets = sorted(found.values(), key=lambda t: (tuple(map(int, t.version.split("."))), t.threaded))
    if only:
        targets = [t for t in targets if t.label in only]
    return targets


def find_targets_making_chroot(arch, extra_pythons, only, wanted):
    """find_targets, once the chroot of .ci/newer-pythons is made (or
    refreshed, when a week old) where a version of `wanted` needs it."""
    targets = find_targets(arch, extra_pythons, only)
    on_host = {t.label for t in targets if t.interpreter[0] == "host"}
    needed = [version for version in CHROOT_VERSIONS if version in wanted and version not in on_host]
    if needed:
        say("CPython %s: headers from the Debian unstable chroot in %s" % (", ".join(needed), CHROOT))
        if subprocess.run([str(ROOT / ".ci" / "newer-pythons"), "ensure"]).returncode != 0:
            raise SystemExit("no headers for CPython %s: no such interpreter here, and .ci/newer-pythons "
                             "could not make the chroot that has them in %s (its messages are above)"
                             % (", ".join(needed), CHROOT))
        targets = find_targets(arch, extra_pythons, only)
    return targets


def where_headers_come_from(label):
    if label.endswith("t"):
        return "a free-threaded python%s named with --python (FT_PYTHONS)" % label
    if label in CHROOT_VERSIONS:
        return "%s, made by .ci/newer-pythons" % (CHROOT / "usr" / "include" / ("python" + label))
    return "pyenv's CPython %s: pyenv install %s" % (label, label)


# Cross builds for a version with no aarch64 headers here use the x86_64
# pyconfig.h. Compared for 3.14, the two differ in HAVE_GCC_ASM_FOR_X87/X64
# (which only declare CPython's own x87 helpers), HAVE_USABLE_WCHAR_T (which
# only decides whether <wchar.h> is included), the support tier and the HACL
# vector flags (CPython's own build): nothing that changes the module's code.
X86_PYCONFIG = "%s: compiled against the x86_64 pyconfig.h (no aarch64 one here; see X86_PYCONFIG)"


def include_dirs(target):
    """The -isystem directories for a target's Python headers.

    Debian's pyconfig.h only includes <TRIPLET/python3.X/pyconfig.h>; adding
    the whole /usr/include for it would bring that system's glibc headers in
    instead of zig's. A directory of our own holds links to exactly the two
    directories needed.
    """
    python_dir = target.include.name  # python3.14
    # Made afresh each run, but with the old files' times where nothing
    # changed: the objects' dependency lists name these paths.
    overlay = BUILD / target.name / "include"
    previous = overlay.with_name("include.old")
    if previous.exists():
        shutil.rmtree(previous)
    if overlay.exists():
        overlay.rename(previous)
    overlay.mkdir(parents=True)
    (overlay / python_dir).symlink_to(target.include)
    triplet = "%s-linux-gnu" % target.arch
    wrapper = "<%s/%s/pyconfig.h>" % (triplet, python_dir)
    own = arm64_pyconfig_dirs(python_dir) if target.arch == "aarch64" and not target.threaded else []
    if wrapper in (target.include / "pyconfig.h").read_text(errors="replace"):
        candidates = own + [target.include.parent / triplet / python_dir]
        host = target.include.parent / "x86_64-linux-gnu" / python_dir
        for candidate in candidates + [host]:
            if (candidate / "pyconfig.h").exists():
                (overlay / triplet).mkdir()
                (overlay / triplet / python_dir).symlink_to(candidate)
                if candidate == host and target.arch != "x86_64":
                    note(X86_PYCONFIG % target.label)
                break
    elif own:
        # Headers of an x86_64 build (pyenv's) whose pyconfig.h an aarch64
        # one of the same minor version replaces: Python.h includes it by a
        # quoted name, so it must sit beside Python.h. The other headers
        # depend only on the version.
        (overlay / python_dir).unlink()
        (overlay / python_dir).mkdir()
        for entry in target.include.iterdir():
            if entry.name != "pyconfig.h":
                (overlay / python_dir / entry.name).symlink_to(entry)
        (overlay / python_dir / "pyconfig.h").symlink_to(own[0] / "pyconfig.h")
        note("%s: aarch64 pyconfig.h from %s" % (target.label, own[0]))
    elif target.arch != "x86_64":
        note(X86_PYCONFIG % target.label)
    # Python.h of 3.8-3.10 includes <crypt.h> where the building system had
    # it; zig's glibc headers have none (libcrypt is no longer glibc's). The
    # module never calls crypt(): a declaration serves.
    if "<crypt.h>" in (target.include / "Python.h").read_text(errors="replace"):
        (overlay / "crypt.h").write_text(
            "#pragma once\n#ifdef __cplusplus\nextern \"C\" {\n#endif\n"
            "char *crypt(const char *key, const char *salt);\n"
            "#ifdef __cplusplus\n}\n#endif\n")
    for path in overlay.rglob("*"):
        old = previous / path.relative_to(overlay)
        if path.is_file() and not path.is_symlink() and old.is_file() and old.read_bytes() == path.read_bytes():
            stat = old.stat()
            os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    if previous.exists():
        shutil.rmtree(previous)
    return [str(overlay / python_dir), str(overlay)]


def zig_path():
    import ziglang  # installed in the build's own venv by the Makefile

    return str(Path(ziglang.__file__).parent / "zig")


# pybind11 3.1 dropped 3.8: that version gets the headers of the last
# release that supports it, as pip gives its venv in `make test`.
PYBIND11_FOR = {"3.8": "pybind11>=3,<3.1"}


def pybind11_include(target):
    requirement = PYBIND11_FOR.get(target.version)
    if requirement is None:
        import pybind11

        return pybind11.get_include()
    where = BUILD / ("pybind11-" + target.version)
    if not (where / "pybind11" / "include").exists():
        note("pybind11 headers for %s: %s" % (target.version, requirement))
        code, output = run_quiet([sys.executable, "-m", "pip", "-q", "--disable-pip-version-check", "install",
                                  "--no-deps", "--target", str(where), requirement])
        if code != 0:
            raise SystemExit(output)
    return str(where / "pybind11" / "include")


def run_quiet(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    return result.returncode, result.stdout + result.stderr


def warm_zig_runtime(zig, arch):
    """Links a tiny C++ library once, so that zig builds its libc++ for the
    target before the module's link needs it, and says how far it got."""
    target = "%s-linux-gnu.%s" % (arch, GLIBC)
    work = BUILD / ("runtime-" + arch)
    work.mkdir(parents=True, exist_ok=True)
    source = work / "probe.cpp"
    source.write_text('#include <string>\nextern "C" int probe(const char* s) { return int(std::string(s).size()); }\n')
    say("zig's libc++ for %s: at once when zig has it cached (~/.cache/zig), "
        "about 3-6 minutes on 2 cores the first time" % target)
    started = time.monotonic()
    process = subprocess.Popen([zig, "c++", "-target", target, "-O3", "-fPIC", str(source), "-o", str(work / "probe.so")]
                               + [f for f in LDFLAGS if "version-script" not in f],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    while True:
        try:
            output = process.communicate(timeout=30)[0]
            break
        except subprocess.TimeoutExpired:
            note("building zig's libc++: %s so far (about 3-6 minutes in all)" % minutes(time.monotonic() - started))
    if process.returncode != 0:
        print(output)
        raise SystemExit("zig could not link C++ for %s" % target)
    note("ready after %s" % minutes(time.monotonic() - started))


def stale(source, obj):
    """Whether obj is missing or older than its source or a header it read."""
    depfile = obj.with_suffix(".d")
    if not obj.exists() or not depfile.exists():
        return True
    text = depfile.read_text().replace("\\\n", " ")
    deps = text.split(":", 1)[1].split() if ":" in text else []
    built = obj.stat().st_mtime
    return any(not os.path.exists(d) or os.path.getmtime(d) > built for d in deps + [str(ROOT / source)])


def compile_target(zig, target, pybind):
    """Compiles the module for one target; returns the path of the .so."""
    work = BUILD / target.name
    objects = work / "obj"
    objects.mkdir(parents=True, exist_ok=True)
    flags = ["-target", target.zig_target] + CXXFLAGS + ["-I", str(ROOT / "src"), "-isystem", pybind]
    if target.arch == "x86_64":
        # As CMakeLists.txt: the per-thread state read through TLS descriptors.
        flags.append("-mtls-dialect=gnu2")
    for directory in include_dirs(target):
        flags += ["-isystem", directory]
    # A change of flags or headers' origin rebuilds everything.
    key = [flags, str(target.include.resolve()), zig]
    if target.arch != "x86_64":
        # Which pyconfig.h the cross build took (its own or x86_64's).
        key.append(sorted(str(path.resolve()) for path in (work / "include").rglob("*")))
    fingerprint = hashlib.sha256(json.dumps(key).encode()).hexdigest()
    stamp = work / "flags.sha256"
    if not stamp.exists() or stamp.read_text() != fingerprint:
        shutil.rmtree(objects)
        objects.mkdir()
        stamp.write_text(fingerprint)

    jobs = []
    for source in SOURCES:
        obj = objects / (source.replace("/", "_")[:-4] + ".o")
        if stale(source, obj):
            jobs.append((source, obj))
    done = [0]
    lock = threading.Lock()
    started = time.monotonic()

    def build(job):
        source, obj = job
        code, output = run_quiet([zig, "c++"] + flags + ["-MD", "-MF", str(obj.with_suffix(".d")),
                                                         "-c", str(ROOT / source), "-o", str(obj)])
        with lock:
            done[0] += 1
            print("    [%d/%d] %s %s (%s)" % (done[0], len(jobs), target.label, source,
                                             minutes(time.monotonic() - started)), flush=True)
            if output.strip():
                print(output, flush=True)
        if code != 0:
            if obj.exists():
                obj.unlink()
            raise RuntimeError("%s did not compile for %s" % (source, target.label))

    if jobs:
        say("CPython %s (%s, headers from %s): compiling %d of %d sources, %d at a time"
            % (target.label, target.zig_target, target.origin, len(jobs), len(SOURCES), JOBS))
        # Every source gets its turn even after one fails (map would cancel
        # the rest), so that the next run recompiles only what failed.
        with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:
            futures = [pool.submit(build, job) for job in jobs]
        errors = [future.exception() for future in futures if future.exception()]
        if errors:
            raise errors[0]
    module = work / ("client" + target.ext_suffix)
    all_objects = sorted(objects.glob("*.o"))
    if jobs or not module.exists() or module.stat().st_mtime < max(o.stat().st_mtime for o in all_objects):
        code, output = run_quiet([zig, "c++", "-target", target.zig_target, "-O3"] + LDFLAGS
                                 + [str(o) for o in all_objects] + ["-o", str(module)])
        if code != 0:
            print(output)
            raise RuntimeError("the module did not link for %s" % target.label)
    return module


def record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "sha256=" + digest


def metadata_dir():
    """The .dist-info scikit-build-core writes for the project (METADATA,
    entry_points.txt and the licence files), made once per run."""
    out = BUILD / "metadata"
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    code = "import sys, scikit_build_core.build as b; print(b.prepare_metadata_for_build_wheel(sys.argv[1]))"
    result = subprocess.run([sys.executable, "-c", code, str(out)], cwd=ROOT, capture_output=True, text=True)
    if result.returncode != 0:
        print(result.stdout + result.stderr)
        raise SystemExit("scikit-build-core could not write the metadata")
    return out / result.stdout.strip().splitlines()[-1]


def package_files():
    for path in sorted((ROOT / PACKAGE).rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".so", ".pyc", ".pyd"):
            yield path


def pack(target, module, dist_info, out_dir):
    """A linux_<arch> wheel of the package with the module built for target."""
    tag = "%s-%s-linux_%s" % ("cp" + target.nodot, target.abi, target.arch)
    return pack_wheel(tag, "client" + target.ext_suffix, module, dist_info, out_dir)


def pack_wheel(tag, module_name, module, dist_info, out_dir):
    """A wheel tagged tag of the package's files, with module as module_name."""
    name, version = dist_info.name[: -len(".dist-info")].rsplit("-", 1)
    wheel = out_dir / ("%s-%s-%s.whl" % (name, version, tag))
    entries = []
    for path in package_files():
        entries.append((path.relative_to(ROOT).as_posix(), path.read_bytes(), 0o644))
    entries.append(("%s/%s" % (PACKAGE, module_name), module.read_bytes(), 0o755))
    info = dist_info.name
    # Every file the build backend wrote (METADATA, entry_points.txt with the
    # console script, the licences); WHEEL and RECORD are this wheel's own.
    for path in sorted(dist_info.rglob("*")):
        if path.is_file() and path.name not in ("WHEEL", "RECORD"):
            entries.append((info + "/" + path.relative_to(dist_info).as_posix(), path.read_bytes(), 0o644))
    wheel_file = "Wheel-Version: 1.0\nGenerator: pelun_online_sdk .ci/wheels.py (zig c++)\n" \
                 "Root-Is-Purelib: false\nTag: %s\n" % tag
    entries.append((info + "/WHEEL", wheel_file.encode(), 0o644))
    record = "".join("%s,%s,%d\n" % (n, record_hash(d), len(d)) for n, d, _ in entries) + info + "/RECORD,,\n"
    entries.append((info + "/RECORD", record.encode(), 0o644))
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for entry_name, data, mode in entries:
            item = zipfile.ZipInfo(entry_name, date_time=(1980, 1, 1, 0, 0, 0))
            item.external_attr = (0o100000 | mode) << 16
            item.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(item, data)
    return wheel


def exported_symbols(data):
    """The symbols a shared object defines in its dynamic symbol table."""
    from elftools.elf.elffile import ELFFile  # auditwheel's dependency
    import io

    elf = ELFFile(io.BytesIO(data))
    table = elf.get_section_by_name(".dynsym")
    return sorted(
        s.name for s in table.iter_symbols()
        if s.name and s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
    )


def check_wheel(wheel, arch):
    """Problems found in a repaired wheel, and the glibc floor auditwheel states."""
    bin_dir = Path(sys.executable).parent
    problems = []
    env = dict(os.environ, PATH=str(bin_dir) + os.pathsep + os.environ.get("PATH", ""))
    code, shown = run_quiet([str(bin_dir / "auditwheel"), "show", str(wheel)], env=env)
    # "This constrains the platform tag to ..." names the floor the symbols
    # set; where that is the architecture's oldest policy (2_17 for aarch64)
    # only the tag the wheel is consistent with is named.
    flat = " ".join(shown.split())
    match = (re.search(r'constrains the platform tag to "manylinux_(\d+)_(\d+)_' + arch, flat)
             or re.search(r'consistent with the following platform tag: "manylinux_(\d+)_(\d+)_' + arch, flat))
    floor = "manylinux_%s_%s" % match.groups() if match else "?"
    if code != 0 or not match or (int(match.group(1)), int(match.group(2))) > (2, 17):
        problems.append("auditwheel show: " + " ".join(shown.split()))
    with zipfile.ZipFile(wheel) as archive:
        modules = [n for n in archive.namelist() if n.endswith(".so")]
        for module in modules:
            exports = exported_symbols(archive.read(module))
            if exports != ["PyInit_client"]:
                problems.append("%s exports %s" % (module, ", ".join(exports[:12])))
    if len(modules) != 1:
        problems.append("the wheel holds %d modules" % len(modules))
    code, output = run_quiet([str(bin_dir / "check-wheel-contents"), str(wheel)])
    if code != 0:
        problems.append("check-wheel-contents: " + output.strip())
    code, output = run_quiet([str(bin_dir / "twine"), "check", "--strict", str(wheel)])
    if code != 0:
        problems.append("twine check: " + output.strip())
    return problems, floor


def build_sdist(stage):
    code = "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))"
    result = subprocess.run([sys.executable, "-c", code, str(stage)], cwd=ROOT, capture_output=True, text=True)
    if result.returncode != 0:
        print(result.stdout + result.stderr)
        raise SystemExit("scikit-build-core could not make the sdist")
    sdist = stage / result.stdout.strip().splitlines()[-1]
    code, output = run_quiet([str(Path(sys.executable).parent / "twine"), "check", "--strict", str(sdist)])
    if code != 0:
        raise SystemExit("twine check failed on the sdist:\n" + output)
    return sdist


def command_build(args):
    started = time.monotonic()
    wanted = args.only or RELEASE_VERSIONS
    targets = find_targets_making_chroot(args.arch, args.python, args.only, wanted)
    found = {t.label for t in targets}
    missing = [label for label in wanted if label not in found]
    if missing:
        raise SystemExit("no headers for CPython %s, and a release has a wheel for each of %s "
                         "(WHEELS=... limits the versions). Where the headers come from:\n%s"
                         % (", ".join(missing), ", ".join(RELEASE_VERSIONS),
                            "\n".join("    %-6s %s" % (label, where_headers_come_from(label)) for label in missing)))
    say("%s wheels for CPython %s" % (args.arch, ", ".join(t.label for t in targets)))
    zig = zig_path()
    warm_zig_runtime(zig, args.arch)
    dist_info = metadata_dir()
    stage = BUILD / "stage"
    DIST.mkdir(exist_ok=True)
    rows, failed, skipped = [], [], []
    for target in targets:
        target_started = time.monotonic()
        if stage.exists():
            shutil.rmtree(stage)
        (stage / "repaired").mkdir(parents=True)
        try:
            module = compile_target(zig, target, pybind11_include(target))
        except RuntimeError as error:
            (skipped if target.optional else failed).append("%s: %s" % (target.label, error))
            continue
        raw = pack(target, module, dist_info, stage)
        bin_dir = Path(sys.executable).parent
        env = dict(os.environ, PATH=str(bin_dir) + os.pathsep + os.environ.get("PATH", ""))
        # auditwheel names only the machine's own architecture's policies;
        # for another, it picks the policy itself and `show` checks the floor.
        plat = "manylinux_2_17_" + args.arch if args.arch == os.uname().machine else "auto"
        code, output = run_quiet([str(bin_dir / "auditwheel"), "repair", "--plat", plat,
                                  "-w", str(stage / "repaired"), str(raw)], env=env)
        repaired = sorted((stage / "repaired").glob("*.whl"))
        if code != 0 or len(repaired) != 1:
            failed.append("%s: auditwheel repair: %s" % (target.label, " ".join(output.split())[-600:]))
            continue
        wheel = repaired[0]
        problems, floor = check_wheel(wheel, args.arch)
        if problems:
            failed.append("%s: %s" % (target.label, "; ".join(problems)))
            continue
        for old in DIST.glob("%s-*-cp%s-%s-*%s.whl" % (PACKAGE, target.nodot, target.abi, args.arch)):
            old.unlink()
        kept = DIST / wheel.name
        shutil.move(str(wheel), str(kept))
        rows.append((target.label, kept.name, kept.stat().st_size, floor))
        note("kept dist/%s (%d kB, %s) after %s" % (kept.name, kept.stat().st_size // 1024, floor,
                                                    minutes(time.monotonic() - target_started)))
    if not args.no_sdist:
        if stage.exists():
            shutil.rmtree(stage)
        stage.mkdir(parents=True)
        sdist = build_sdist(stage)
        for old in DIST.glob("%s-*.tar.gz" % PACKAGE):
            old.unlink()
        shutil.move(str(sdist), str(DIST / sdist.name))
        note("kept dist/%s" % sdist.name)
    say("wheels in dist/ (checked: auditwheel, exports, check-wheel-contents, twine) after %s"
        % minutes(time.monotonic() - started))
    for label, name, size, floor in rows:
        print("    %-6s %-75s %4d kB  %s" % (label, name, size // 1024, floor))
    if skipped:
        say("not built (optional, the compiler's messages are above):")
        for line in skipped:
            print("    " + line)
    if failed:
        say("FAILED, not kept:")
        for line in failed:
            print("    " + line)
        raise SystemExit(1)


# --- test -------------------------------------------------------------------

def in_chroot(kind, *command):
    if kind.startswith("arm64:"):
        return [str(ROOT / ".ci" / "arm64-chroot"), "--suite", kind.split(":", 1)[1], "run"] + list(command)
    return [str(ROOT / ".ci" / "newer-pythons"), "run"] + list(command)


def command_test(args):
    def version_order(wheel):
        abi = wheel.name.split("-")[3]
        return int(abi[3:].rstrip("t")), abi.endswith("t")

    wheels = sorted(DIST.glob("%s-*%s.whl" % (PACKAGE, args.arch)), key=version_order)
    # The chroot's interpreters run the 3.14 and 3.15 wheels.
    labels = ["%s.%s" % (abi[2], abi[3:]) for abi in (wheel.name.split("-")[3] for wheel in wheels)]
    targets = {t.label: t for t in find_targets_making_chroot(args.arch, args.python, args.only,
                                                               args.only or labels)}
    results, status = [], 0
    for wheel in wheels:
        abi = wheel.name.split("-")[3]  # cp39, cp314t
        label = "%s.%s%s" % (abi[2], abi[3:].rstrip("t"), "t" if abi.endswith("t") else "")
        if args.only and label not in args.only:
            continue
        target = targets.get(label)
        if target is not None and args.arch == "aarch64":
            # Only the aarch64 root's own interpreters run aarch64 wheels here,
            # under qemu: the smoke test is what that speed allows.
            target.interpreter = None if target.threaded else arm64_interpreter(target.version)
        if target is None or target.interpreter is None:
            results.append("%-6s no %s interpreter here: not tested" % (label, args.arch))
            continue
        suite = label in SUITE_VERSIONS and args.arch == "x86_64"
        started = time.monotonic()
        venv = BUILD / "test" / target.name
        if venv.exists():
            shutil.rmtree(venv)
        venv.parent.mkdir(parents=True, exist_ok=True)
        rel_wheel = os.path.relpath(wheel, ROOT)
        constraints = ["-c", ".ci/py3.8-constraints.txt"] if label == "3.8" else []
        requirement = rel_wheel + ("[test]" if suite else "")
        requirements = [rel_wheel, requirement] + constraints
        if suite:
            # tests/typing imports typing_extensions, which the test extra
            # does not name; below 3.15 the dependencies bring it anyway.
            requirements.insert(2, "typing_extensions")
        # The venv's own pip, as old as its CPython's, must install the wheel
        # (metadata 2.4 and its tags); a current pip then brings the
        # dependencies, as `make test` does: old ones can backtrack for long
        # through package indexes that list only the newest releases.
        script = " && ".join([
            'python=$1; venv=$2; wheel=$3; shift 3',
            '"$python" -m venv "$venv"',
            '"$venv/bin/python" -m pip -q --disable-pip-version-check install --no-deps "$wheel"',
            '"$venv/bin/python" -m pip -q --disable-pip-version-check install --upgrade pip',
            '"$venv/bin/python" -m pip -q --disable-pip-version-check install "$@"',
            # The installed module, not the checkout's folder, is under test.
            '"$venv/bin/python" -I -c "import sys, pelun_online_sdk.client as c; '
            'assert c.__file__.startswith(sys.prefix), c.__file__; print(\'    imports \' + c.__file__)"',
            # The console script comes from the wheel's entry_points.txt.
            '"$venv/bin/pelun-online-sdk" --help >/dev/null',
            ('"$venv/bin/python" -I -m pytest tests -p no:cacheprovider -q -n 2' if suite
             else '"$venv/bin/python" -I tests/smoke.py'),
        ])
        venv_rel = os.path.relpath(venv, ROOT)
        if target.interpreter[0] == "host":
            command = ["sh", "-c", script, "sh", target.interpreter[1], venv_rel] + requirements
        else:
            command = in_chroot(target.interpreter[0], "sh", "-c", script, "sh", target.interpreter[1], venv_rel,
                                *requirements)
        say("CPython %s: %s against %s in a fresh venv" % (label, "the whole suite" if suite else "tests/smoke.py",
                                                           wheel.name))
        # A free-threaded wheel is tested as it is meant to run: with the GIL
        # off, which importing a module that declares itself safe keeps.
        env = dict(os.environ, PYTHON_GIL="0") if target.threaded else None
        code = subprocess.run(command, cwd=ROOT, env=env).returncode
        outcome = "passed" if code == 0 else "FAILED"
        status = status or code
        results.append("%-6s %-10s %-6s in %s" % (label, "suite" if suite else "smoke", outcome,
                                                  minutes(time.monotonic() - started)))
    if not results:
        raise SystemExit("no wheel in dist/ to test")
    say("wheels-test")
    for line in results:
        print("    " + line)
    return 1 if status else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=["build", "test", "warm"])
    parser.add_argument("--arch", default="x86_64", choices=["x86_64", "aarch64"])
    parser.add_argument("--only", action="append", default=[], help="a version (3.11, 3.14t); repeatable")
    parser.add_argument("--python", action="append", default=[],
                        help="another interpreter whose headers to build for (a free-threaded one)")
    parser.add_argument("--no-sdist", action="store_true")
    args = parser.parse_args()
    args.only = [v for item in args.only for v in item.split()]
    if args.command == "build":
        command_build(args)
        return 0
    if args.command == "warm":
        warm_zig_runtime(zig_path(), args.arch)
        return 0
    return command_test(args)


if __name__ == "__main__":
    sys.exit(main())
