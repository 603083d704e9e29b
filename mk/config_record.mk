# TrainerConfig: its benchmark and its generated Unicode escape table.
#   make bench-config         TrainerConfig against a slots dataclass, as ratios
#   make unicode-table        regenerate src/text/unicode_escape_table.cpp
#   make unicode-table-check  fail when the committed table is out of date
.PHONY: bench-config unicode-table unicode-table-check

bench-config: module
	$(PY) bench/bench_trainer_config.py

unicode-table: setup
	$(PY) scripts/gen_unicode_escape_table.py

unicode-table-check: setup
	$(PY) scripts/gen_unicode_escape_table.py --check
