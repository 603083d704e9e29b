# Sweeps of the example trainer on a process pool, Ray or Dask (velmora-sweep,
# src/python/sweep/velmora_sweep).
#   make demo-sweep   a 2 x 2 grid over two nested settings on a local Ray cluster:
#                     table, CSV and loss-curve PNG
#   make test-sweep   the sweep's tests (tests/sweep), every engine
SWEEP_OUT ?= $(BUILD)/demo-sweep

.PHONY: sweep-setup demo-sweep test-sweep

# The distribution (the modules and the velmora-sweep command) and the optional
# dependencies of the sweep (pyproject's extra).
sweep-setup: setup
	$(PY) -m pip install -q --no-build-isolation -C build-dir=$(BUILD)/py '.[sweep]'

demo-sweep: sweep-setup trainer-build
	rm -rf $(SWEEP_OUT)
	.venv/bin/velmora-sweep examples/configs/train.yaml --set optimizer.learning_rate=0.8,0.2 \
	  --set model.hidden_size=4,16 --seed 1 --steps 300 --engine ray --out $(SWEEP_OUT)
	@echo; cat $(SWEEP_OUT)/results.csv

test-sweep: sweep-setup trainer-build
	$(PY) -m pytest -q tests/sweep
