# Hardening: the sanitizer run, fuzzing, the soak test and the static checks.
#   make test-asan                 module and C++ suites built with ASan+UBSan; the whole pytest
#                                  suite against that module, then the GoogleTest binaries
#   make fuzz [FUZZ_SECONDS=60]    every fuzz target for FUZZ_SECONDS each, seeded from
#                                  fuzz/corpus/<target>; fails on any finding
#   make soak                      the soak test alone (pytest -m soak)
#   make lint                      the layer rule (scripts/check_layers.py), clang-tidy over src/
#                                  and clang-format --dry-run; fails on findings
#   make format                    rewrites the C++ sources in the checked-in style
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_PY_BUILD := $(BUILD)/asan-py
ASAN_CPP_BUILD := $(BUILD)/asan-cpp
ASAN_JOBS ?= 2
# The interpreter is not instrumented, so the runtimes that the module was
# linked against (GCC's) are loaded first, into every process of the run.
ASAN_PRELOAD = $(shell gcc -print-file-name=libasan.so):$(shell gcc -print-file-name=libubsan.so)
# CPython frees nothing at exit, so leak reports from the interpreter would be
# noise; allocations are routed through malloc so that misuse of Python
# objects is seen by ASan too; a huge allocation fails as it would without
# the sanitizer (the "out of memory" path is tested). pytest captures the
# standard streams of the whole process, and an abort would lose a report
# written there: reports go to files, printed afterwards.
ASAN_REPORTS := $(abspath $(ASAN_PY_BUILD))/reports
ASAN_PY_ENV = LD_PRELOAD=$(ASAN_PRELOAD) PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:log_path=$(ASAN_REPORTS)/asan \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan
# The C++ suites are plain programs: leaks count. The embedded interpreter
# keeps its default allocator here: its objects live in arenas LeakSanitizer
# does not scan, so what is reported is native memory of this project (under
# PYTHONMALLOC=malloc every string the interpreter interns and never frees
# at exit would be reported).
ASAN_CPP_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# pytest options of the sanitizer run. Left out: the sdist test, which builds a
# second module from scratch with the compilers running under the preloaded
# runtime (slow, and it tests packaging, not memory safety). The soak test
# skips only its RSS bound there (ASan keeps freed memory in quarantine on
# purpose, so RSS grows by tens of megabytes) and keeps the other checks.
ASAN_PYTEST_ARGS ?= -q -p no:cacheprovider \
  --deselect tests/python/test_packaging.py::test_sdist_builds_installs_and_imports

.PHONY: test-asan asan-venv asan-module asan-cpp-build asan-py-test asan-cpp-test

$(ASAN_VENV)/.stamp: requirements-dev.txt | setup
	rm -rf $(ASAN_VENV)
	$(PY) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q -r requirements-dev.txt
	touch $@

asan-venv: setup $(ASAN_VENV)/.stamp

# The installed module is inspected after the build: instrumented code calls
# into the ASan runtime (__asan_init), whichever compiler built it. The symbol
# listing is taken whole before it is searched: piped into a grep that stops
# at the first match, the listing's writer would be cut off by the closed pipe
# and, under pipefail, fail the test now and then. A module without the
# symbol is reported with what the loader and the CMake cache say.
ASAN_ORIGIN = cd / && $(abspath $(ASAN_PY)) -c 'import importlib.util as u; print(u.find_spec("velmora_trainer").origin)'
asan-module: asan-venv
	CXX=g++ CMAKE_BUILD_PARALLEL_LEVEL=$(ASAN_JOBS) $(ASAN_PY) -m pip install -q --no-build-isolation \
	  --force-reinstall --no-deps -C build-dir=$(ASAN_PY_BUILD) -C cmake.define.VELMORA_SANITIZE=ON \
	  -C cmake.build-type=RelWithDebInfo .
	@origin=$$($(ASAN_ORIGIN)); symbols=$$(nm -D --undefined-only "$$origin"); \
	if [[ "$$symbols" != *__asan_init* ]]; then \
	  echo "test-asan: the installed module $$origin is not instrumented with ASan" >&2; \
	  ldd "$$origin" >&2 || true; \
	  grep -E 'VELMORA_SANITIZE|CMAKE_CXX_COMPILER:' $(ASAN_PY_BUILD)/CMakeCache.txt >&2 || true; \
	  exit 1; \
	fi

asan-cpp-build: asan-venv
	CXX=g++ $(ASAN_PY) -m cmake -S . -B $(ASAN_CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_SANITIZE=ON -DVELMORA_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(ASAN_PY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(ASAN_VENV)/bin/ninja) >/dev/null
	$(ASAN_PY) -m cmake --build $(ASAN_CPP_BUILD) -j $(ASAN_JOBS)

asan-py-test: asan-module
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	@# A refused 4 TiB allocation (the out-of-memory test) leaves a warning
	@# there too; errors are what fail the run.
	@status=0; env $(ASAN_PY_ENV) $(ASAN_PY) -m pytest $(ASAN_PYTEST_ARGS) tests/python || status=$$?; \
	if compgen -G '$(ASAN_REPORTS)/*' >/dev/null; then cat $(ASAN_REPORTS)/*; fi; \
	if grep -qlE 'ERROR: |runtime error:' $(ASAN_REPORTS)/* 2>/dev/null; then \
	  echo "test-asan: sanitizer reports above (kept in $(ASAN_REPORTS))" >&2; status=1; fi; \
	exit $$status

# Every GoogleTest binary the build registers (add_test), one after the other.
asan-cpp-test: asan-cpp-build
	env $(ASAN_CPP_ENV) $(ASAN_VENV)/bin/ctest --test-dir $(ASAN_CPP_BUILD) --output-on-failure

test-asan: asan-py-test asan-cpp-test

# --- fuzzing -----------------------------------------------------------------
# The fuzz targets (velmora_fuzz_<target>) are built by CMake with clang,
# libFuzzer, ASan and UBSan into build/fuzz; each runs from a copy of its seed
# corpus in build/fuzz-<target> (new inputs land in the copy, the checked-in
# seeds stay as they are). A crash, a sanitizer report, a leak or a timeout
# fails the run and leaves the input in build/fuzz-<target>/.
FUZZ_SECONDS ?= 60
FUZZ_BUILD := $(BUILD)/fuzz
FUZZ_JOBS ?= 2
FUZZ_TARGETS := json utf8 yaml
# Extra libFuzzer options of each target.
FUZZ_OPT_json := -max_len=4096 -dict=$(abspath fuzz/json_check.dict)
FUZZ_OPT_utf8 := -max_len=1024
FUZZ_OPT_yaml := -max_len=4096 -dict=$(abspath fuzz/yaml_check.dict)

.PHONY: fuzz fuzz-build $(addprefix fuzz-,$(FUZZ_TARGETS))

fuzz: $(addprefix fuzz-,$(FUZZ_TARGETS))

fuzz-build: setup
	$(call cmake_configure,$(FUZZ_BUILD),-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=$(CLANGXX) \
	  -DVELMORA_FUZZ=ON -DVELMORA_BUILD_MODULE=OFF)
	$(PY) -m cmake --build $(FUZZ_BUILD) -j $(FUZZ_JOBS) --target $(addprefix velmora_fuzz_,$(FUZZ_TARGETS))

$(addprefix fuzz-,$(FUZZ_TARGETS)): fuzz-%: fuzz-build
	@test -d fuzz/corpus/$* || { echo "fuzz: no seed corpus fuzz/corpus/$*" >&2; exit 1; }
	mkdir -p $(BUILD)/fuzz-$*/corpus
	cp -n fuzz/corpus/$*/* $(BUILD)/fuzz-$*/corpus/
	@echo "fuzz-$*: $(FUZZ_SECONDS) s (log: $(BUILD)/fuzz-$*/fuzz.log)"
	@cd $(BUILD)/fuzz-$* && if ASAN_OPTIONS=detect_leaks=1 $(abspath $(FUZZ_BUILD))/velmora_fuzz_$* \
	  -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 $(FUZZ_OPT_$*) \
	  -artifact_prefix=./ corpus >fuzz.log 2>&1; then \
	  grep -E '^stat::(number_of_executed_units|new_units_added)' fuzz.log; \
	else tail -n 60 fuzz.log; ls -1 crash-* leak-* timeout-* oom-* 2>/dev/null; \
	  echo "fuzz-$*: FAILED (the input is in $(BUILD)/fuzz-$*/)" >&2; exit 1; fi

# --- soak ----------------------------------------------------------------------
.PHONY: soak

soak: module
	$(PY) -m pytest -q -rP -m soak tests/python

# --- static checks -------------------------------------------------------------
LINT_BUILD := $(BUILD)/lint
# Sources clang-tidy sees: the POSIX build (windows.cpp needs the Windows headers).
# CPython 3.13's headers pick their atomics by asking for a builtin that clang 14
# has but does not report; the define names the choice they would make.
LINT_TIDY_SOURCES = $(filter-out src/platform/windows.cpp,$(shell find src -name '*.cpp' -o -name '*.cc'))
# Generated tables (first line "// Generated ...") keep their generator's layout:
# the generators' --check modes compare them byte for byte.
LINT_FORMAT_SOURCES = $(shell for f in $$(find src tests/cpp fuzz bench -name '*.cpp' -o -name '*.cc' \
  -o -name '*.hpp' | sort); do head -n 1 $$f | grep -q '^// Generated' || echo $$f; done)

.PHONY: lint lint-tidy lint-format format

$(LINT_BUILD)/compile_commands.json: setup CMakeLists.txt
	$(call cmake_configure,$(LINT_BUILD),-DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DCMAKE_CXX_COMPILER=$(CLANGXX) -DVELMORA_BUILD_TESTS=ON)

lint-tidy: $(LINT_BUILD)/compile_commands.json
	printf '%s\n' $(LINT_TIDY_SOURCES) | xargs -P 2 -n 4 $(CLANG_TIDY) -p $(LINT_BUILD) --quiet \
	  --extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1

lint-format:
	$(CLANG_FORMAT) --dry-run --Werror $(LINT_FORMAT_SOURCES)

# Both halves run; either one's findings fail the target.
lint: $(LINT_BUILD)/compile_commands.json
	@status=0; $(MAKE) --no-print-directory layers || status=1; \
	$(MAKE) --no-print-directory lint-tidy || status=1; \
	$(MAKE) --no-print-directory lint-format || status=1; \
	if [ $$status != 0 ]; then echo "lint: FAILED (findings above)" >&2; fi; exit $$status

format:
	$(CLANG_FORMAT) -i $(LINT_FORMAT_SOURCES)
