# Everything from a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
PYTHON39 ?= $(shell PYENV_VERSION=3.9.18 pyenv which python3.9 2>/dev/null || command -v python3.9)
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := .stamps
BUILD := build/dev
SOURCES := $(shell find src include tests/cpp -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: all deps build test test-cpp test-py test-peers test-sanitize windows-compile fuzz demo bench bench-smoke ci clean

all: build

$(STAMPS)/apt: tools/ensure-apt.sh
	@mkdir -p $(STAMPS)
	tools/ensure-apt.sh
	@touch $@

$(STAMPS)/venv: requirements-test.txt | $(STAMPS)/apt
	@mkdir -p $(STAMPS)
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
	@touch $@

build: $(STAMPS)/build

test-cpp: build
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH ctest --test-dir $(BUILD) --output-on-failure -j2

# Four workers: the suite mostly waits on servers and timeouts, not on the CPU.
test-py: build
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider -n 4 --dist worksteal

test: test-cpp test-py

# requests' and httpx's own test suites (from their sdists) with the adapters underneath,
# offline in a private network namespace; expected failures in tests/peers/.
# PEER_SUITES=requests or httpx runs one of them.
test-peers: build
	PYTHON39=$(PYTHON39) tests/peers/run.sh $(or $(PEER_SUITES),all)

# ASan/UBSan build of module and library under the whole pytest suite, TSan over the C++ tests.
test-sanitize: $(STAMPS)/venv
	tools/sanitize.sh

# The core must at least compile for 64-bit Windows.
windows-compile: $(STAMPS)/apt
	tools/check-windows-compile.sh

fuzz: $(STAMPS)/apt
	fuzz/run.sh $(or $(FUZZ_SECONDS),60)

bench: build
	bench/run.sh

bench-smoke: build
	bench/run.sh --smoke

# What CI runs after `make test`.
ci: test test-sanitize windows-compile fuzz bench-smoke

clean:
	rm -rf build $(STAMPS)

demo: build
	$(PY) examples/demo.py
