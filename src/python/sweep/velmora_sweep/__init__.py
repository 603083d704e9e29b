"""Grids of velmora_trainer runs on this machine, a Ray cluster or a Dask cluster.

The command is ``velmora-sweep`` (or ``python -m velmora_sweep``); its engines
need the ``sweep`` extra: ``pip install 'velmora_trainer[sweep]'``. The grid's
settings and the editing of configs live in ``velmora_sweep.settings``, the
driver and the engines in ``velmora_sweep.sweep``, which cluster workers import
by name: every worker needs velmora_trainer installed, as it does for the runs
themselves.
"""
