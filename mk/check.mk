# velmora_check: the configuration checks as a library, a command and a
# pre-commit hook (src/python/check).
#   make test-check    its tests (tests/check): parity with train_from_config, the
#                      command's formats, real pre-commit on a scratch repository
#   make bench-check   velmora-check against pre-commit-hooks' check-yaml + check-json
#                      and yamllint (key-duplicates only), whole processes, same run
#                      [BENCH_CHECK_ARGS="--files 300 --large 10000 --rounds 7"]
BENCH_CHECK_ARGS ?=

.PHONY: test-check bench-check check-peers

# The peers (pre-commit, pre-commit-hooks, yamllint) from PyPI, into .venv.
.venv/.check-peers-stamp: requirements-check.txt | setup
	$(PY) -m pip install -q -r requirements-check.txt
	cp requirements-check.txt $@

check-peers: setup .venv/.check-peers-stamp

test-check: module check-peers
	$(PY) -m pytest -q -p no:cacheprovider tests/check

bench-check: module check-peers
	$(PY) bench/bench_check.py $(BENCH_CHECK_ARGS)
