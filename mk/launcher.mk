# Launcher: train_from_config's pipeline, the trainer launch, the POSIX platform layer.
#   make launcher-test    its GoogleTest suites and its pytest suites
#   make bench-launch     launch overhead vs subprocess.run, 100 MB read + UTF-8 check vs
#                         read().decode() [BENCH_LAUNCH_ARGS="--calls 200 --rounds 5 --megabytes 100"]
BENCH_LAUNCH_ARGS ?=
LAUNCHER_GTEST_FILTER := Utf8*:LaunchArguments*:LaunchStatus*:PosixPlatform*:Pipeline*:ConfigRead*

.PHONY: launcher-test bench-launch

launcher-test: cpp-build module
	$(BUILD)/cpp/velmora_cpp_tests --gtest_brief=1 --gtest_filter='$(LAUNCHER_GTEST_FILTER)'
	$(PY) -m pytest -q tests/python/test_launch.py tests/python/test_pipeline.py

bench-launch: module
	$(PY) bench/bench_launch.py $(BENCH_LAUNCH_ARGS)
