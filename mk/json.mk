# JSON document check: its GoogleTest suites on their own, the throughput bench
# against two validating peers, and a short differential fuzzing run.
#   make json-test                  the JSON cases of the C++ suites (both scanning paths)
#   make json-bench [JSON_BENCH_MIB=8 JSON_BENCH_ROUNDS=10]
#   make json-fuzz [FUZZ_SECONDS=60]  the JSON fuzz target seeded with the parsing suite
JSON_BUILD := $(BUILD)/json
JSON_SUITE := tests/data/json-test-suite/test_parsing
JSON_BENCH_MIB ?= 8
JSON_BENCH_ROUNDS ?= 10
FUZZ_SECONDS ?= 60

.PHONY: json-test json-bench json-fuzz

json-test: cpp-build
	$(BUILD)/cpp/velmora_cpp_tests --gtest_brief=1 --gtest_filter='Json*:ByteClass*'
	$(BUILD)/cpp/velmora_json_bytewise_tests --gtest_brief=1

json-bench: bench-configure
	$(PY) -m cmake --build $(BENCH_BUILD) -j $(JOBS) --target velmora_json_peers_bench
	$(BENCH_BUILD)/velmora_json_peers_bench $(JSON_BENCH_MIB) $(JSON_BENCH_ROUNDS)

json-fuzz: fuzz-build
	mkdir -p $(JSON_BUILD)/corpus
	cp -n $(JSON_SUITE)/*.json fuzz/corpus/json/* $(JSON_BUILD)/corpus/
	cd $(JSON_BUILD) && $(abspath $(FUZZ_BUILD))/velmora_fuzz_json -max_total_time=$(FUZZ_SECONDS) \
	  -max_len=4096 -dict=$(abspath fuzz/json_check.dict) -artifact_prefix=./ corpus

# The check against what a Python user would call (json.loads, orjson.loads)
# and against a memchr scan, on generated 1 MB and 20 MB inputs of four shapes.
#   make bench-json-python [JSON_PY_BENCH_ARGS='--sizes 1 --shapes strings']
JSON_PY_BENCH_ARGS ?=

.PHONY: bench-json-python

bench-json-python: bench-configure
	$(PY) -m cmake --build $(BENCH_BUILD) -j $(JOBS) --target velmora_json_throughput
	$(PY) bench/bench_json.py --driver $(BENCH_BUILD)/velmora_json_throughput $(JSON_PY_BENCH_ARGS)

# A large JSON file checked from disk (check_file) against pysimdjson's load of
# the same file, and the check's peak memory above the bare interpreter.
#   make bench-json-file [JSON_FILE_BENCH_ARGS='--speed-mb 100 --memory-mb 200']
JSON_FILE_BENCH_ARGS ?=

.PHONY: bench-json-file

bench-json-file: module
	$(PY) -m pip install -q pysimdjson
	$(PY) bench/bench_json_file.py $(JSON_FILE_BENCH_ARGS)
