# velmora_trainer: set-up, build and tests.
#   make demo   set up, build, run a real training request with the example trainer
#   make test   set up, build, run every test suite
#   make check  the daily loop: build, layer rule, C++ and Python suites (no wine, no cargo)
# Every binary is built by CMake (CMakeLists.txt holds every source list); the
# fragments in mk/ configure build folders, build targets and run them.
SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
PY := .venv/bin/python
BUILD := build
JOBS ?= $(shell nproc)
# cargo installed by rustup lives here; make it visible to the tests and the demo.
export PATH := $(HOME)/.cargo/bin:$(PATH)

# clang tools: the versioned ones of Debian 12, else the release's default.
tool = $(or $(firstword $(foreach c,$(1),$(shell command -v $(c) 2>/dev/null))),$(lastword $(1)))
CLANGXX := $(call tool,clang++-14 clang++)
CLANG_TIDY := $(call tool,clang-tidy-14 clang-tidy)
CLANG_FORMAT := $(call tool,clang-format-14 clang-format)

.PHONY: setup build module cpp-build cpp-test py-test test check layers bench-configure demo clean

# $(call cmake_configure,<build folder>,<options>): a Ninja build folder with the
# tools of .venv.
cmake_configure = $(PY) -m cmake -S . -B $(1) -G Ninja --no-warn-unused-cli -DPython_EXECUTABLE=$(abspath $(PY)) \
  -DCMAKE_MAKE_PROGRAM=$(abspath .venv/bin/ninja) $(2) >/dev/null
CTEST := .venv/bin/ctest

setup:
	bash scripts/setup.sh

# The extension module, installed into .venv (incremental: build dir is kept).
module: setup
	@echo "building the module"; start=$$SECONDS; quiet=; [ -t 1 ] || quiet=-q; \
	  $(PY) -m pip install $$quiet --no-build-isolation -C build-dir=$(BUILD)/py .; \
	  echo "building the module: done in $$((SECONDS - start)) s"

# The C++ cores and their GoogleTest suites.
cpp-build: setup
	$(call cmake_configure,$(BUILD)/cpp,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=ON)
	$(PY) -m cmake --build $(BUILD)/cpp -j $(JOBS)

# The benchmarks' C++ drivers (optimised as the module is); the bench-* targets
# build the one they run.
BENCH_BUILD := $(BUILD)/bench
bench-configure: setup
	$(call cmake_configure,$(BENCH_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_MODULE=OFF -DVELMORA_BUILD_BENCH=ON)

build: module cpp-build

cpp-test: cpp-build
	$(CTEST) --test-dir $(BUILD)/cpp --output-on-failure -j $(JOBS)

py-test: module
	$(PY) -m pytest -q tests/python

test: layers cpp-test py-test trainer-test test-windows

# No root, no wine, no network once set up.
check: layers cpp-test py-test

# Dependencies between the folders of src/ run only downward; Python.h only in src/python.
layers: setup
	$(PY) scripts/check_layers.py

demo: module
	$(PY) examples/quickstart.py

clean:
	rm -rf $(BUILD)

# Subsystem fragments (fuzzing, benchmarks, platform suites, ...).
include mk/*.mk
