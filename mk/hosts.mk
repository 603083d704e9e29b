# train_from_config where users run it: a real Jupyter kernel and a real local
# Dask cluster (tests/hosts). Installs their packages into .venv first.
#   make test-hosts
.PHONY: test-hosts hosts-venv

.venv/.hosts-stamp: requirements-hosts.txt | setup
	$(PY) -m pip install -q -r requirements-hosts.txt
	cp requirements-hosts.txt $@

hosts-venv: setup .venv/.hosts-stamp

test-hosts: module hosts-venv
	$(PY) -m pytest -q -p no:cacheprovider tests/hosts
