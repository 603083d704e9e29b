# JSON document check: its GoogleTest suite on its own, the throughput bench
# against two validating peers, and a short differential fuzzing run.
#   make json-test                  build and run tests/cpp/test_json_check.cpp alone
#   make json-bench [JSON_BENCH_MIB=8 JSON_BENCH_ROUNDS=10]
#   make json-fuzz [FUZZ_SECONDS=60]
JSON_BUILD := $(BUILD)/json
JSON_SUITE := $(abspath ../shared/testdata/json-test-suite/test_parsing)
JSON_BENCH_MIB ?= 8
JSON_BENCH_ROUNDS ?= 10
FUZZ_SECONDS ?= 60
JSON_CXXFLAGS := -std=c++20 -Wall -Wextra -Isrc

.PHONY: json-test json-bench json-fuzz

json-test: setup
	mkdir -p $(JSON_BUILD)
	g++ $(JSON_CXXFLAGS) -O2 -DVELMORA_JSON_SUITE_DIR='"$(JSON_SUITE)"' src/documents/json/json_check.cpp \
	  src/text/utf8.cpp tests/cpp/test_json_check.cpp -lgtest -lgtest_main -pthread -o $(JSON_BUILD)/json_tests
	$(JSON_BUILD)/json_tests --gtest_brief=1

json-bench: setup
	mkdir -p $(JSON_BUILD)
	g++ $(JSON_CXXFLAGS) -O2 -DNDEBUG src/documents/json/json_check.cpp bench/json_check_bench.cpp \
	  -o $(JSON_BUILD)/json_bench
	$(JSON_BUILD)/json_bench $(JSON_BENCH_MIB) $(JSON_BENCH_ROUNDS)

json-fuzz: setup
	mkdir -p $(JSON_BUILD)/corpus
	cp -n $(JSON_SUITE)/*.json $(JSON_BUILD)/corpus/ 2>/dev/null || true
	$(CLANGXX) $(JSON_CXXFLAGS) -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
	  src/documents/json/json_check.cpp src/text/utf8.cpp fuzz/json_check_fuzz.cpp -o $(JSON_BUILD)/json_fuzz
	cd $(JSON_BUILD) && ./json_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	  -dict=$(abspath fuzz/json_check.dict) -artifact_prefix=./ corpus

# The check against what a Python user would call (json.loads, orjson.loads)
# and against a memchr scan, on generated 1 MB and 20 MB inputs of four shapes.
#   make bench-json-python [JSON_PY_BENCH_ARGS='--sizes 1 --shapes strings']
JSON_PY_BENCH_ARGS ?=

.PHONY: bench-json-python

bench-json-python: setup
	mkdir -p $(JSON_BUILD)
	g++ -O2 -DNDEBUG -std=c++20 -Isrc src/documents/json/json_check.cpp bench/json_throughput.cpp \
	  -o $(JSON_BUILD)/json_throughput
	$(PY) bench/bench_json.py --driver $(JSON_BUILD)/json_throughput $(JSON_PY_BENCH_ARGS)
