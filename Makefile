# make test | demo | bench | format -- each sets up .venv on first use.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
# The package is built without isolation so that build/ stays valid between
# runs and a C++ change rebuilds only what it touches. Keep in step with
# [build-system] requires in pyproject.toml.
BUILD_DEPS := "scikit-build-core>=0.10" "pybind11>=3" cmake ninja
PIP := $(BIN)/python -m pip --disable-pip-version-check -q

.PHONY: test demo bench format install clean

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
