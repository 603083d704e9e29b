# velmora_trainer: set-up, build and tests.
#   make demo   set up, build, run a real training request with the example trainer
#   make test   set up, build, run every test suite
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

.PHONY: setup build module cpp-build cpp-test py-test test demo clean

setup:
	bash scripts/setup.sh

# The extension module, installed into .venv (incremental: build dir is kept).
module: setup
	$(PY) -m pip install -q --no-build-isolation -C build-dir=$(BUILD)/py .

# The C++ cores and their GoogleTest suites.
cpp-build: setup
	$(PY) -m cmake -S . -B $(BUILD)/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath .venv/bin/ninja) >/dev/null
	$(PY) -m cmake --build $(BUILD)/cpp -j $(JOBS)

build: module cpp-build

cpp-test: cpp-build
	$(BUILD)/cpp/velmora_cpp_tests --gtest_brief=1
	$(BUILD)/cpp/velmora_embedded_tests --gtest_brief=1
	$(BUILD)/cpp/velmora_json_bytewise_tests --gtest_brief=1

py-test: module
	$(PY) -m pytest -q tests/python

test: cpp-test py-test trainer-test test-windows

demo: module
	$(PY) examples/quickstart.py

clean:
	rm -rf $(BUILD)

# Subsystem fragments (fuzzing, benchmarks, platform suites, ...).
-include mk/*.mk
