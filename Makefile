# Two entry points for a newcomer: `make demo` (the main job) and `make test` (every test).
# Both find a CPython 3.12+, make a virtual environment under .venv/, install what the build and
# the tests need, install GoogleTest with apt-get when it is missing, and build incrementally.

PYTHON_FOUND := $(shell tools/find-python.sh)
ifeq ($(PYTHON_FOUND),)
$(error no CPython 3.12 or later found; set PYTHON=/path/to/python3.12)
endif
PYTAG := $(notdir $(PYTHON_FOUND))
VENV := .venv/$(PYTAG)
VPY := $(VENV)/bin/python
BUILD := build/$(PYTAG)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
export PYTHONPATH := $(CURDIR)/$(BUILD):$(CURDIR)/python

.PHONY: all build demo test test-cpp test-python bench deps clean

all: build

$(VENV)/.stamp: tools/requirements-dev.txt
	$(PYTHON_FOUND) -m venv $(VENV)
	$(VPY) -m pip install --quiet --disable-pip-version-check -r tools/requirements-dev.txt
	touch $@

deps:
	@[ -f /usr/include/gtest/gtest.h ] || { \
	  echo "installing GoogleTest (libgtest-dev)"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libgtest-dev >/dev/null; }

$(BUILD)/build.ninja: $(VENV)/.stamp | deps
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY)

build: $(BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(BUILD)

test-cpp: build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure

test-python: build
	$(VPY) -m pytest -q tests/python

test: test-cpp test-python

demo: build
	$(BUILD)/tavlok_figures
	$(BUILD)/tavlok_play $(or $(SEED),1)

BENCH_BUILD := build/bench-$(PYTAG)

bench: $(VENV)/.stamp
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY) -DTAVLOK_BENCH=ON -DTAVLOK_TESTS=OFF -DTAVLOK_EXAMPLES=OFF
	$(VENV)/bin/cmake --build $(BENCH_BUILD)
	$(BENCH_BUILD)/engine_bench
	@if [ -f bench/python_bench.py ]; then PYTHONPATH=$(CURDIR)/$(BENCH_BUILD):$(CURDIR)/python $(VPY) bench/python_bench.py; fi

clean:
	rm -rf build .venv
