"""velmora-sweep on each engine: the grid, failures, the table, Ctrl-C."""

import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import velmora_trainer
from conftest import CONFIGS, SWEEP, parse_table
from support.fake_cargo import expected_argv

ENGINES = ["local", "ray", "dask"]
PNG = b"\x89PNG\r\n\x1a\n"


@contextlib.contextmanager
def dask_cluster(env, monkeypatch):
    """A Dask cluster that is not the sweep's own (its workers see the fake cargo)."""
    import distributed

    for name in ("PATH", "FAKE_CARGO_RECORD"):
        monkeypatch.setenv(name, env[name])
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster:
        yield ["--address", cluster.scheduler_address]


@pytest.mark.parametrize("engine,attach", [(e, False) for e in ENGINES] + [("dask", True)],
                         ids=ENGINES + ["dask-address"])
def test_grid_with_a_broken_config(sweep, tmp_path, monkeypatch, engine, attach):
    shutil.copy(CONFIGS / "broken_duplicate_key.yaml", tmp_path / "broken.yaml")
    (tmp_path / "latin1.json").write_bytes(b'{"learning_rate": 0.8, "name": "\xe9t\xe9"}')
    sweep.fake_cargo()
    with dask_cluster(sweep.env, monkeypatch) if attach else contextlib.nullcontext(["--workers", 2]) as where:
        status, out, err = sweep.run(CONFIGS / "train.yaml", tmp_path / "broken.yaml", tmp_path / "latin1.json",
                                     "--lr", 0.5, 0.05, "--seed", 7, "--steps", 3, "--engine", engine, *where)
    assert status == 1, err
    rows = parse_table(out)
    good = [f"train-lr{lr}-seed7" for lr in ("0.5", "0.05")]
    broken = [f"{stem}-lr{lr}-seed7" for stem in ("broken", "latin1") for lr in ("0.5", "0.05")]
    assert {name: row["status"] for name, row in rows.items()} == {**dict.fromkeys(good, "ok"),
                                                                   **dict.fromkeys(broken, "failed")}
    base = (CONFIGS / "train.yaml").read_text(encoding="utf-8")
    for name, lr in zip(good, ("0.5", "0.05")):
        written = (sweep.out / name / "config.yaml").read_text(encoding="utf-8")
        assert written == base.replace("learning_rate: 0.8", f"learning_rate: {lr}")
    assert sorted(sweep.recorded()) == sorted(
        expected_argv(str(sweep.out / name / "config.yaml"), str(sweep.out / name), 3, 7) for name in good)
    for name in broken:  # the module's own message for the config the sweep wrote
        config = next((sweep.out / name).glob("config.*"))
        with pytest.raises((ValueError, OSError)) as error:
            velmora_trainer.train_from_config(str(config), str(tmp_path / "x"), 1, 1)
        assert f"\n  {name}: {error.type.__name__}: {error.value}\n" in out
    assert (sweep.out / "results.txt").read_text(encoding="utf-8") in out
    assert f"loss curves: {sweep.out / 'loss_curves.png'}\n" in out
    assert (sweep.out / "loss_curves.png").read_bytes().startswith(PNG)


def test_real_trainer_table_matches_metrics(sweep):
    status, out, err = sweep.run(CONFIGS / "train.json", "--lr", 0.8, 0.2, "--seed", 3, "--steps", 40)
    assert status == 0, err
    rows = parse_table(out)
    assert sorted(rows) == ["lr0.2-seed3", "lr0.8-seed3"]
    for name, row in rows.items():
        lines = [json.loads(line) for line in (sweep.out / name / "metrics.jsonl").read_text().splitlines()]
        final = lines[-1]
        assert final["final"] is True and final["step"] == 40
        assert (row["status"], row["final loss"], row["accuracy"]) == (
            "ok", f"{final['loss']:.6f}", f"{final['accuracy']:.3f}")
        # The trainer ran with the learning rate of its grid point.
        assert f"learning rate {row['lr']}\n" in (sweep.out / name / "train.log").read_text()
        assert (sweep.out / name / "model.ckpt").is_file()


@pytest.mark.parametrize("engine", ENGINES)
def test_ctrl_c_stops_every_trainer(sweep, engine):
    # Seed 1 finishes at once; seeds 2 and 3 train until stopped; seed 4 waits for a worker.
    sweep.fake_cargo(slow_unless_seed=1)
    proc = sweep.start(CONFIGS / "train.yaml", "--lr", 0.1, "--seed", 1, 2, 3, 4, "--steps", 5,
                       "--engine", engine, "--workers", 2)
    deadline = time.monotonic() + 120
    while len(sweep.recorded()) < 3 and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err
    rows = parse_table(out)
    assert [rows[f"lr0.1-seed{seed}"]["status"] for seed in (1, 2, 3, 4)] == ["ok", "cancelled", "cancelled",
                                                                            "not run"]
    # The stopped runs reported back themselves: the cancellation reached their workers.
    assert rows["lr0.1-seed2"]["time"] != "-" and rows["lr0.1-seed3"]["time"] != "-"
    assert sorted(argv[argv.index("--seed") + 1] for argv in sweep.recorded()) == ["1", "2", "3"]
    assert (sweep.out / "loss_curves.png").is_file()


def on_own_disk(disk, options, setup=""):
    """The command prefix that runs the sweep in a mount namespace of its own,
    on a small tmpfs mounted at `disk` (mounted with `options`, then `setup` run)."""
    user = [] if os.geteuid() == 0 else ["--map-root-user"]
    script = f'mount -t tmpfs -o {options} velmora "$0" || exit 99\n{setup}\nexec "$@"'
    return ["unshare", *user, "--mount", "--propagation", "private", "sh", "-c", script, str(disk)]


FILL = 'cat /dev/zero > "{disk}/fill" 2>/dev/null'


@pytest.mark.parametrize("options, setup, fill_in_run, reason, status, written", [
    ("ro,size=1m", "", False, "Read-only file system", "not run", ""),
    ("size=1m", FILL, False, "No space left on device", "not run", ""),
    # The disk fills while the runs train: they succeed, their table cannot be saved.
    ("size=1m", "", True, "No space left on device", "ok", "results.txt"),
], ids=["read-only", "full", "fills-while-running"])
def test_an_unwritable_out_still_prints_the_table(sweep, tmp_path, options, setup, fill_in_run, reason, status,
                                                 written):
    disk = tmp_path / "disk"
    disk.mkdir()
    prefix = on_own_disk(disk, options, setup.format(disk=disk))
    probe = subprocess.run([*prefix, "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"no tmpfs in a mount namespace of its own here: {probe.stderr.strip()}")
    sweep.out = disk / "out"
    sweep.fake_cargo(prelude=FILL.format(disk=disk) if fill_in_run else "")
    code, out, err = sweep.run(CONFIGS / "train.yaml", "--lr", 0.1, "--seed", 1, 2, "--steps", 2, "--workers", 1,
                               prefix=prefix)
    assert code == 1 and "Traceback" not in err, err
    assert {name: row["status"] for name, row in parse_table(out).items()} == dict.fromkeys(
        ["lr0.1-seed1", "lr0.1-seed2"], status)
    where = sweep.out / written if written else sweep.out
    assert f"sweep: cannot write {where}" in err and f": {reason}" in err
    assert len(sweep.recorded()) == (2 if fill_in_run else 0)
    assert "table: " not in out


@pytest.mark.parametrize("command", [[str(SWEEP)], [sys.executable, "-m", "velmora_sweep"]], ids=["command", "-m"])
def test_both_entry_points_parse_the_command_line(tmp_path, command):
    result = subprocess.run([*command, str(CONFIGS / "train.yaml"), "--lr", "0.1", "--seed", "1", "--steps", "1",
                             "--out", str(tmp_path), "--address", "auto"], capture_output=True, text=True)
    assert result.returncode == 2
    assert result.stderr.startswith("usage: velmora-sweep ")
    assert "--address needs --engine ray or dask" in result.stderr
