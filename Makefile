# make test | demo | bench | format -- each sets up .venv on first use.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
# The package is built without isolation so that build/ stays valid between
# runs and a C++ change rebuilds only what it touches. Keep in step with
# [build-system] requires in pyproject.toml.
BUILD_DEPS := "scikit-build-core>=0.10" "pybind11>=3" cmake ninja
PIP := $(BIN)/python -m pip --disable-pip-version-check -q

.PHONY: test demo bench format install clean test-asan memcheck

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install $(BUILD_DEPS)
	touch $@

# pip always rebuilds a local project, so every run installs the current tree.
install: $(VENV)/.ready
	$(PIP) install --no-build-isolation ".[test,bench]"

# -I keeps the checkout off sys.path: the tests import the installed build.
# pytest's status 5 means nothing was collected, which is no failure.
test: install
	$(BIN)/python -I -m pytest tests || [ $$? -eq 5 ]

demo: install
	$(BIN)/python examples/demo.py

bench: install
	$(BIN)/python bench/run.py

format: $(VENV)/.ready
	$(PIP) install clang-format
	find src \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print0 | xargs -0 -r $(BIN)/clang-format -i

clean:
	rm -rf build $(VENV)

# The module built with AddressSanitizer and UBSan, in a venv of its own, and
# the whole suite run against it. The interpreter is not instrumented, so the
# sanitizer runtime is preloaded; PYTHONMALLOC=malloc lets it see Python
# objects freed too early. Leak detection stays off: the interpreter keeps
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
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -I -m pytest tests -p no:cacheprovider || [ $$? -eq 5 ]

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
	FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(BIN)/python -I -m pytest tests/test_fuzz.py -p no:cacheprovider -q

leakcheck: install
	LEAK_CALLS=$(LEAK_CALLS) $(BIN)/python -I -m pytest tests -p no:cacheprovider -q -k leak

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

# Instructions per call under callgrind: native, plain Python, Cython.
bench-cg: bench-peer
	$(BIN)/python -I bench/callgrind.py
