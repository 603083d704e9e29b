# YAML document check: its GoogleTest suites alone, the libFuzzer run, and the
# bench (throughput and peak memory through train_from_config, against
# libyaml's event loop and PyYAML's CSafeLoader).
#   make yaml-test                                    the YAML cases of the C++ suite
#   make fuzz-yaml [FUZZ_SECONDS=60]                  (mk/hardening.mk) fails on any finding
#   make bench-yaml [YAML_BENCH_ARGS='--sizes 1 --rounds 9']
YAML_BENCH_ARGS ?=

.PHONY: yaml-test bench-yaml

yaml-test: cpp-build
	$(BUILD)/cpp/velmora_cpp_tests --gtest_brief=1 --gtest_filter='Yaml*:*/Yaml*'

bench-yaml: bench-configure module
	$(PY) -m cmake --build $(BENCH_BUILD) -j $(JOBS) --target velmora_yaml_bench
	$(PY) bench/yaml_bench.py --driver $(BENCH_BUILD)/velmora_yaml_bench $(YAML_BENCH_ARGS)
