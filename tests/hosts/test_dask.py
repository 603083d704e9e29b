"""train_from_config on the worker of a real local Dask cluster."""

import time

import dask
import pytest
from distributed import Client, LocalCluster

import velmora_trainer


def train(config, index):
    started = time.monotonic()
    velmora_trainer.train_from_config(config, f"out{index}", 1, index)
    return started, time.monotonic()


@pytest.fixture
def client(trainer, monkeypatch, request):
    # The scheduler looks every 2 s for workers silent for longer than its
    # time-to-live (2 s, raised to 5 s for a cluster this small); a run takes
    # `request.param` seconds. The cluster's processes inherit PATH and T_*.
    monkeypatch.setenv("T_SECONDS", str(request.param))
    with dask.config.set({"distributed.scheduler.worker-ttl": "2s"}):
        with LocalCluster(n_workers=1, threads_per_worker=4, processes=True, dashboard_address=None) as cluster:
            with Client(cluster) as client:
                yield client


@pytest.mark.parametrize("client", [9], indirect=True)
def test_a_run_longer_than_the_worker_ttl_completes_once_and_the_worker_stays(client, trainer):
    workers = set(client.scheduler_info()["workers"])
    client.submit(train, str(trainer.directory / "c.json"), 0).result(timeout=60)
    assert len(trainer.starts()) == 1
    assert set(client.scheduler_info()["workers"]) == workers


@pytest.mark.parametrize("client", [3], indirect=True)
def test_runs_on_four_threads_of_one_worker_overlap(client, trainer):
    futures = [client.submit(train, str(trainer.directory / "c.json"), i, pure=False) for i in range(4)]
    spans = client.gather(futures)
    assert max(start for start, _ in spans) < min(end for _, end in spans)
    assert len(trainer.starts()) == 4
