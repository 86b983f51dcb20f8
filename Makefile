# Everything from a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
PYTHON39 ?= $(shell PYENV_VERSION=3.9.18 pyenv which python3.9 2>/dev/null || command -v python3.9)
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := .stamps
BUILD := build/dev
SOURCES := $(shell find src include cmake tests/cpp tests/support -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: all deps build module test test-cpp test-py test-python test-peers test-sanitize \
        windows-compile fuzz demo bench bench-smoke wheel test-wheel test-cronet-library ci clean \
        lint restyle

all: build

$(STAMPS)/apt: tools/ensure-apt.sh
	@mkdir -p $(STAMPS)
	tools/ensure-apt.sh
	@touch $@

$(STAMPS)/venv: requirements-test.txt | $(STAMPS)/apt
	@mkdir -p $(STAMPS)
	@test -x $(PY) || test -n "$(PYTHON39)" || { echo "make: no CPython 3.9 found (pyenv 3.9.18 or" \
	  "python3.9 on PATH); name one with PYTHON39=/path/to/python3.9" >&2; exit 2; }
	@test -x $(PY) || $(PYTHON39) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-test.txt
	@touch $@

deps: $(STAMPS)/apt $(STAMPS)/venv

# One CMake build serves the installed module and the C++ tests.
$(STAMPS)/build: $(SOURCES) $(STAMPS)/venv
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(PY) -m pip install -q --no-build-isolation --no-deps \
	  --config-settings=build-dir=$(BUILD) \
	  --config-settings=cmake.define.TARNWICK_TESTS=ON .
	@touch $@ $(STAMPS)/module

# The module alone, without the GoogleTest suites (most of a clean build's compile time).
$(STAMPS)/module: $(SOURCES) $(STAMPS)/venv
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(PY) -m pip install -q --no-build-isolation --no-deps \
	  --config-settings=build-dir=$(BUILD) \
	  --config-settings=cmake.define.TARNWICK_TESTS=OFF .
	@touch $@

module: $(STAMPS)/module

build: $(STAMPS)/build

test-cpp: build
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH ctest --test-dir $(BUILD) --output-on-failure -j2

# Four workers: the suite mostly waits on servers and timeouts, not on the CPU.
test-py: build
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider -n 4 --dist worksteal

test: test-cpp test-py

# The pytest suite under another CPython in its own venv and build directory:
# make test-python PYTHON=$$(PYENV_VERSION=3.13.0 pyenv which python3.13)
# PYTEST_ARGS picks files or tests (default: the whole suite).
PYTHON_NEWEST ?= $(shell PYENV_VERSION=3.13.0 pyenv which python3.13 2>/dev/null || command -v python3.13)
test-python: $(STAMPS)/apt
	@test -n "$(or $(PYTHON),$(PYTHON_NEWEST))" || { echo "make test-python: name the" \
	  "interpreter with PYTHON=/path/to/python3.X" >&2; exit 2; }
	tools/test-python.sh $(or $(PYTHON),$(PYTHON_NEWEST)) $(PYTEST_ARGS)

# requests' and httpx's own test suites (from their sdists) with the adapters underneath,
# offline in a private network namespace; expected failures in tests/peers/.
# PEER_SUITES=requests or httpx runs one of them.
test-peers: build
	PYTHON39=$(PYTHON39) tests/peers/run.sh $(or $(PEER_SUITES),all)

# ASan/UBSan build of module and library under the whole pytest suite, TSan over the C++ tests.
test-sanitize: $(STAMPS)/venv
	tools/sanitize.sh

# The core must at least configure, compile and link for 64-bit Windows.
windows-compile: $(STAMPS)/venv
	tools/check-windows-compile.sh

fuzz: $(STAMPS)/apt
	fuzz/run.sh $(or $(FUZZ_SECONDS),60)

bench: build
	bench/run.sh

bench-smoke: build
	bench/run.sh --smoke

# A manylinux wheel in dist/ with the shared libraries it needs inside (auditwheel),
# and the test that installs it into a fresh venv outside the source tree.
wheel: $(STAMPS)/venv
	tools/build-wheel.sh

test-wheel: wheel
	cd tests && TARNWICK_WHEEL="$$(ls $(CURDIR)/dist/tarnwick-*-cp39-cp39-manylinux_*.whl)" \
	  ../$(PY) -m pytest -q -p no:cacheprovider test_wheel.py

# A module built against another Cronet library (a renamed copy of ours) imports and works.
test-cronet-library: build
	tools/check-cronet-library.sh

# The tree's style: clang-format, clang-tidy (naming and a few fault checks) over
# the build's translation units, no .cc files or include guards. About 2 minutes.
lint: build
	tools/lint.py --build-dir $(BUILD) --jobs 2

# Converts the tree to that style (renames, #pragma once, clang-tidy's renames,
# clang-format), then builds; see the top of tools/restyle.py.
restyle: deps
	tools/restyle.py

# What CI runs (.ci/run).
ci: test lint test-python test-wheel test-cronet-library test-sanitize windows-compile fuzz bench-smoke

clean:
	rm -rf build dist $(STAMPS)

demo: module
	$(PY) examples/demo.py
