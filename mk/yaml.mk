# YAML document check: its GoogleTest suites alone, the libFuzzer run, and the
# throughput bench against libyaml's event loop and PyYAML's CSafeLoader.
#   make yaml-test                                    build and run tests/cpp/test_yaml_*.cpp
#   make fuzz-yaml [FUZZ_SECONDS=60]                  fails on any finding
#   make bench-yaml [YAML_BENCH_ARGS='--sizes 1 --rounds 9']
YAML_BUILD := $(BUILD)/yaml
YAML_SOURCES := $(wildcard src/documents/yaml/*.cpp) src/text/quoted_text.cpp src/text/unicode_escape_table.cpp
YAML_CXXFLAGS := -std=c++20 -Wall -Wextra -Isrc
FUZZ_SECONDS ?= 60
YAML_BENCH_ARGS ?=

.PHONY: yaml-test fuzz-yaml bench-yaml

yaml-test:
	mkdir -p $(YAML_BUILD)
	g++ $(YAML_CXXFLAGS) -DVELMORA_YAML_COUNTERS -O2 $(YAML_SOURCES) $(wildcard tests/cpp/test_yaml_*.cpp) \
	  -lyaml -lgtest -lgtest_main -pthread -o $(YAML_BUILD)/yaml_tests
	$(YAML_BUILD)/yaml_tests --gtest_brief=1

# mk/hardening.mk runs every fuzz target (fuzz-yaml among them) the same way;
# this recipe stands in when that file is absent. New inputs go to the build
# folder; fuzz/corpus/yaml holds the seeds.
ifeq ($(filter yaml,$(FUZZ_TARGETS)),)
fuzz-yaml:
	mkdir -p $(YAML_BUILD)/fuzz-corpus
	$(CLANGXX) $(YAML_CXXFLAGS) -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
	  $(YAML_SOURCES) fuzz/yaml_check_fuzz.cpp -lyaml -o $(YAML_BUILD)/yaml_fuzz
	$(YAML_BUILD)/yaml_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
	  -dict=fuzz/yaml_check.dict -artifact_prefix=$(YAML_BUILD)/ $(YAML_BUILD)/fuzz-corpus fuzz/corpus/yaml
endif

bench-yaml: setup
	mkdir -p $(YAML_BUILD)
	g++ $(YAML_CXXFLAGS) -O2 -DNDEBUG $(YAML_SOURCES) bench/yaml_bench.cpp -lyaml -o $(YAML_BUILD)/yaml_bench
	$(PY) bench/yaml_bench.py --driver $(YAML_BUILD)/yaml_bench $(YAML_BENCH_ARGS)
