# Two entry points for a newcomer: `make demo` (the main job) and `make test` (every test).
# Both find a CPython 3.12+, make a virtual environment under .venv/, install what the build and
# the tests need, install GoogleTest with apt-get when it is missing, and build incrementally.
# Afterwards the environment's python imports tavlok and _tavlok from the build (see use-build).

# PYTHON is passed on by hand: make before 4.4 does not export command-line variables to $(shell).
PYTHON_FOUND := $(shell PYTHON='$(PYTHON)' tools/find-python.sh)
ifeq ($(PYTHON_FOUND),)
$(error no CPython 3.12 or later found; set PYTHON=/path/to/python3.12)
endif
PYTAG := $(notdir $(PYTHON_FOUND))
VENV := .venv/$(PYTAG)
VPY := $(VENV)/bin/python
BUILD := build/$(PYTAG)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
export PYTHONPATH := $(CURDIR)/$(BUILD):$(CURDIR)/python

.PHONY: all build stub demo test test-cpp test-python test-sanitize test-valgrind test-wheel \
	test-integration bench train train-venv wheel deps browser-deps clean

all: build

$(VENV)/.stamp: tools/requirements-dev.txt tools/requirements-env.txt
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

# $(call use-build,DIR[,PYTHON]): the environment of PYTHON (the project's by default) imports
# _tavlok and tavlok from the build in DIR from now on, through a .pth file in its site-packages
# that names DIR and python/. `make build` (so every test target) and `make demo` call it: the
# environment follows the build made last. The training and integration environments get the
# same file for the build of `make build`.
use-build = $(or $(2),$(VPY)) -c 'import sys, sysconfig; \
  open(sysconfig.get_path("purelib") + "/tavlok-build.pth", "w").write("\n".join(sys.argv[1:]) + "\n")' \
  $(CURDIR)/$(1) $(CURDIR)/python

build: $(BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(BUILD)
	@$(call use-build,$(BUILD))

# The build writes tavlok._core's type stub with nanobind's stubgen; this copies it over the one in
# the tree, which test_extensions.py checks against the built module.
stub: build
	cp $(BUILD)/tavlok/_core.pyi python/tavlok/_core.pyi

test-cpp: build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure

test-python: build
	$(VPY) -m pytest -q tests/python

# Every suite runs, each to its end even when an earlier one failed; then one line per suite and a
# verdict, and the run fails if any suite failed. A suite is a make target: add new ones here.
TEST_SUITES := test-cpp test-python test-sanitize test-valgrind test-wheel docs

test:
	@tools/run-suites.sh "$(MAKE)" $(TEST_SUITES)

# The documentation site, from docs/ and the docstrings (read from the sources, nothing built),
# into build/site. Strict: any warning fails it, and mkdocs.yml makes a broken link or anchor, a
# page missing from the nav or an object the API reference cannot find a warning. External
# links are not fetched.
.PHONY: docs
docs: $(VENV)/.stamp
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict --quiet

# The same engine tests and the whole Python suite again, on a build with AddressSanitizer and
# UndefinedBehaviorSanitizer that stops at the first report. The interpreter itself is not
# instrumented, so the ASan runtime must be preloaded for the extension to load, and the C++
# runtime with it: ASan finds the real __cxa_throw when it starts, and the interpreter does not
# load libstdc++ by itself, so without it the first exception we throw aborts the process. Leak
# detection is off because what the interpreter still holds at exit is not ours
# (test_lifetime.py watches our own growth). The build is pinned to g++ so that the preloaded
# runtimes are the ones it links. A report ends the process at once, while pytest holds file
# descriptor 2: reports go to files that the recipe shows when the run fails, and pytest's output
# is unbuffered and verbose so that the last line names the test that was running.
ASAN_BUILD := build/asan-$(PYTAG)
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)

test-sanitize: $(VENV)/.stamp | deps
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY) -DCMAKE_CXX_COMPILER=g++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVLOK_SANITIZE=address,undefined -DTAVLOK_EXAMPLES=OFF
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	$(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure
	rm -rf $(ASAN_BUILD)/reports && mkdir -p $(ASAN_BUILD)/reports
	PYTHONPATH=$(CURDIR)/$(ASAN_BUILD):$(CURDIR)/python LD_PRELOAD="$(ASAN_PRELOAD)" \
	  ASAN_OPTIONS=detect_leaks=0:log_path=$(CURDIR)/$(ASAN_BUILD)/reports/asan \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_BUILD)/reports/ubsan \
	  PYTHONUNBUFFERED=1 $(VPY) -m pytest -v tests/python || { cat $(ASAN_BUILD)/reports/* 2>/dev/null; exit 1; }

# The engine tests under valgrind's memcheck, on the optimised code that ships: any invalid access,
# use of an uninitialised value or leak fails the run. Quiet, so that it prints only what it finds.
test-valgrind: build
	@command -v valgrind >/dev/null || { \
	  echo "installing valgrind"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq valgrind >/dev/null; }
	valgrind -q --error-exitcode=1 --leak-check=full $(BUILD)/engine_tests --gtest_brief=1

# The PettingZoo environment driven by TorchRL and Tianshou, and the replay and play page driven in
# headless Chromium by Selenium, in a virtual environment of its own (PyTorch brings several GB, so
# neither `make test` nor CI builds it). The extension is the one `make build` made for the same
# interpreter. The browser tests keep their screenshots in build/artifacts/.
INTEGRATION_VENV ?= .venv/integration-$(PYTAG)

$(INTEGRATION_VENV)/.stamp: tools/requirements-dev.txt tools/requirements-env.txt \
  tools/requirements-train.txt tools/requirements-integration.txt
	$(PYTHON_FOUND) -m venv $(INTEGRATION_VENV)
	$(INTEGRATION_VENV)/bin/python -m pip install --quiet --disable-pip-version-check \
	  -r tools/requirements-dev.txt -r tools/requirements-integration.txt
	touch $@

browser-deps:
	@command -v chromium >/dev/null && command -v chromedriver >/dev/null || { \
	  echo "installing chromium and chromium-driver"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq chromium chromium-driver >/dev/null; }

test-integration: build $(INTEGRATION_VENV)/.stamp browser-deps
	@$(call use-build,$(BUILD),$(INTEGRATION_VENV)/bin/python)
	BROWSER_ARTIFACTS=$(CURDIR)/build/artifacts \
	  $(INTEGRATION_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/integration

# The reference training runs of docs/training.md, in an environment of their own with only what
# examples/train.py needs: the package's requirements (requirements-env.txt) and PyTorch,
# matplotlib and tqdm (requirements-train.txt), and the build's .pth, so that
# `$(TRAIN_VENV)/bin/python examples/train.py` runs as the page says. TRAIN_POLICY picks the
# policy (conv or scorer); TRAIN_STEPS, when set, the learner env-steps (the policy's default
# otherwise); TRAIN_ARGS any other options. The curve, plot, figures and weights go to TRAIN_OUT.
TRAIN_VENV ?= .venv/train-$(PYTAG)
TRAIN_POLICY ?= conv
TRAIN_OUT ?= build/train

$(TRAIN_VENV)/.stamp: tools/requirements-env.txt tools/requirements-train.txt
	@echo "making $(TRAIN_VENV): numpy, gymnasium, pettingzoo, and torch, matplotlib, tqdm"
	@echo "(torch from PyPI brings its CUDA runtime wheels: about 6 GB, 5 minutes to install)"
	$(PYTHON_FOUND) -m venv $(TRAIN_VENV)
	$(TRAIN_VENV)/bin/python -m pip install --quiet --disable-pip-version-check \
	  -r tools/requirements-env.txt -r tools/requirements-train.txt
	touch $@

train-venv: build $(TRAIN_VENV)/.stamp
	@$(call use-build,$(BUILD),$(TRAIN_VENV)/bin/python)

train: train-venv
	@echo "training the $(TRAIN_POLICY) policy against three greedy bots: about 30 minutes on two" \
	  "cores; the curve, plot and policy go to $(TRAIN_OUT) at every evaluation"
	$(TRAIN_VENV)/bin/python examples/train.py --policy $(TRAIN_POLICY) \
	  $(if $(TRAIN_STEPS),--env-steps $(TRAIN_STEPS)) --out $(TRAIN_OUT) $(TRAIN_ARGS)

# The main job: four seeded random agents play a whole game through the Python module, and the
# board and scores are shown. SEED=n picks another game. It needs only the Python extensions: a
# build of its own without the engine tests (so without GoogleTest) and the example programs.
DEMO_BUILD := build/demo-$(PYTAG)

demo: $(VENV)/.stamp
	$(VENV)/bin/cmake -S . -B $(DEMO_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY) -DTAVLOK_TESTS=OFF -DTAVLOK_EXAMPLES=OFF
	$(VENV)/bin/cmake --build $(DEMO_BUILD) --target _tavlok _core
	@$(call use-build,$(DEMO_BUILD))
	PYTHONPATH=$(CURDIR)/$(DEMO_BUILD):$(CURDIR)/python $(VPY) -m tavlok play --seed $(or $(SEED),1)

# A wheel for this interpreter, built as `pip install .` builds it (scikit-build-core in an isolated
# environment from the package index, from scratch: a new environment makes it drop its CMake
# cache), then repaired by auditwheel into dist/ as a manylinux wheel: its tag names the oldest glibc and C++
# runtime it runs with, and a library outside the manylinux set would be copied into it. The wheel
# is for one CPython version (cp312, cp313, ...): _tavlok is written against the full C API.
CPTAG := $(shell $(PYTHON_FOUND) -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
WHEEL_BUILD := build/wheel-$(PYTAG)

wheel: $(VENV)/.stamp
	rm -rf $(WHEEL_BUILD)/raw dist/tavlok-*-$(CPTAG)-*.whl
	env -u PYTHONPATH $(VPY) -m pip wheel . --no-deps --quiet -w $(WHEEL_BUILD)/raw
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel repair -w dist \
	  $(WHEEL_BUILD)/raw/tavlok-*.whl
	@ls dist/tavlok-*-$(CPTAG)-*.whl

# The repaired wheel installed into a fresh environment with no compiler to be found, and a game
# played with it (tests/wheel/play_installed.py).
test-wheel: wheel
	env -u PYTHONPATH tools/test-wheel.sh $(PYTHON_FOUND) $(WHEEL_BUILD)/check dist/tavlok-*-$(CPTAG)-*.whl

BENCH_BUILD := build/bench-$(PYTAG)

bench: $(VENV)/.stamp
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY) -DTAVLOK_BENCH=ON -DTAVLOK_TESTS=OFF -DTAVLOK_EXAMPLES=OFF
	$(VENV)/bin/cmake --build $(BENCH_BUILD)
	$(BENCH_BUILD)/engine_bench
	$(BENCH_BUILD)/vector_bench
	$(BENCH_BUILD)/search_bench
	$(BENCH_BUILD)/mcts_bench
	PYTHONPATH=$(CURDIR)/$(BENCH_BUILD):$(CURDIR)/python $(VPY) bench/python_bench.py
	PYTHONPATH=$(CURDIR)/$(BENCH_BUILD):$(CURDIR)/python $(VPY) bench/vector_bench.py
	PYTHONPATH=$(CURDIR)/$(BENCH_BUILD):$(CURDIR)/python $(VPY) bench/binding_bench.py

clean:
	rm -rf build dist .venv
