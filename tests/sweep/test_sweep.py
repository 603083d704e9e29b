"""velmora-sweep on each engine: settings as axes, checks before launch,
resume, retries, results as data, failures, Ctrl-C."""

import contextlib
import json
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

import velmora_check
from conftest import CONFIGS, ROOT, SWEEP, parse_table, results_match_table
from support.fake_cargo import expected_argv

ENGINES = ["local", "ray", "dask"]
PNG = b"\x89PNG\r\n\x1a\n"
SCHEMA = ROOT / "examples" / "trainer" / "config.schema.json"


@contextlib.contextmanager
def dask_cluster(env, monkeypatch):
    """A Dask cluster that is not the sweep's own (its workers see the fake cargo)."""
    import distributed

    for name in ("PATH", "FAKE_CARGO_RECORD"):
        monkeypatch.setenv(name, env[name])
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster:
        yield ["--address", cluster.scheduler_address]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def ray_head(env, monkeypatch):
    """A Ray cluster started apart (`ray start --head`) on loopback, with a
    token of its own; the sweep gets the same settings. Stopped through its
    own process (`--block`), which stops the services it started."""
    env.update(RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0", RAY_AUTH_MODE="token", RAY_AUTH_TOKEN=secrets.token_hex(16))
    port = free_port()
    temp = tempfile.mkdtemp(prefix="ray-", dir="/tmp")  # its sockets need a short path
    proc = subprocess.Popen(
        [Path(sys.executable).with_name("ray"), "start", "--head", "--block", "--node-ip-address", "127.0.0.1",
         "--port", str(port), "--dashboard-agent-listen-port", str(free_port()), "--include-dashboard", "false",
         "--num-cpus", "2", "--temp-dir", temp, "--disable-usage-stats"],
        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    started, output = threading.Event(), []

    def read():
        for line in proc.stdout:
            output.append(line)
            if "Ray runtime started" in line:
                started.set()

    threading.Thread(target=read, daemon=True).start()
    try:
        assert started.wait(120), "".join(output)[-3000:]
        yield ["--address", f"127.0.0.1:{port}"]
    finally:
        proc.terminate()
        try:
            proc.wait(60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(temp, ignore_errors=True)


@pytest.mark.parametrize("engine,cluster", [(e, None) for e in ENGINES] + [("dask", dask_cluster), ("ray", ray_head)],
                         ids=ENGINES + ["dask-address", "ray-address"])
def test_only_configs_that_pass_the_checks_launch(sweep, tmp_path, monkeypatch, engine, cluster):
    shutil.copy(CONFIGS / "broken_duplicate_key.yaml", tmp_path / "broken.yaml")
    (tmp_path / "latin1.json").write_bytes(b'{"optimizer": {"learning_rate": 0.8}, "name": "\xe9t\xe9"}')
    sweep.fake_cargo(finish=True)
    with cluster(sweep.env, monkeypatch) if cluster else contextlib.nullcontext(["--workers", 2]) as where:
        status, out, err = sweep.run(CONFIGS / "train.yaml", tmp_path / "broken.yaml", tmp_path / "latin1.json",
                                     "--set", "optimizer.learning_rate=0.5,0", "--schema", SCHEMA, "--retries", 1,
                                     "--seed", 7, "--steps", 3, "--engine", engine, *where)
    assert status == 1, err
    rows = parse_table(out)
    good, zero = "train-learning_rate0.5-seed7", "train-learning_rate0-seed7"
    broken = {f"{stem}-learning_rate{lr}-seed7": tmp_path / f"{stem}{suffix}"
              for stem, suffix in (("broken", ".yaml"), ("latin1", ".json")) for lr in ("0.5", "0")}
    assert {name: row["status"] for name, row in rows.items()} == {
        good: "ok", zero: "invalid", **dict.fromkeys(broken, "invalid")}
    # One launch: invalid configs are neither launched nor retried.
    config = sweep.out / good / "config.yaml"
    assert sweep.recorded() == [expected_argv(str(config), str(sweep.out / good), 3, 7)]
    base = (CONFIGS / "train.yaml").read_text(encoding="utf-8")
    assert config.read_text(encoding="utf-8") == base.replace("learning_rate: 0.8", "learning_rate: 0.5")
    # Each invalid point names the finding: the base's, or its own config's at the setting.
    for name, path in broken.items():
        assert f"\n  {name}: {velmora_check.check_file(path)}\n" in out
    finding = str(velmora_check.check_file(sweep.out / zero / "config.yaml", schema=SCHEMA))
    assert finding.startswith(f"{sweep.out / zero / 'config.yaml'}:18:18: ") and f"\n  {zero}: {finding}\n" in out
    results_match_table(sweep.out, out)
    assert (sweep.out / "results.txt").read_text(encoding="utf-8") in out
    assert f"loss curves: {sweep.out / 'loss_curves.png'}\n" in out
    assert (sweep.out / "loss_curves.png").read_bytes().startswith(PNG)


YAML_BASE = """\
# Base of the edits: comments, quoting and layout stay.
run:
  name: "disk"          # double-quoted
  tags: [example, synthetic]
model:
  layers:
    - width: 32   # first layer
      activation: tanh
    - width: 8
optimizer:
  learning_rate: 0.8
data: {dataset_size: 400, batch_size: 32}
"""
JSON_BASE = """\
{
    "run": {"name": "disk", "tags": ["example", "synthetic"]},
    "model": {
        "layers": [{"width": 32, "activation": "tanh"}, {"width": 8}]
    },
    "optimizer": {"learning_rate": 0.8},
    "data": {"dataset_size": 400, "batch_size": 32}
}
"""


def test_settings_are_edited_in_place(sweep, tmp_path):
    (tmp_path / "base.yaml").write_text(YAML_BASE, encoding="utf-8")
    (tmp_path / "base.json").write_text(JSON_BASE, encoding="utf-8")
    (tmp_path / "grid.yaml").write_text("# one axis\nrun.name: [mlp, '16']\n", encoding="utf-8")
    sweep.fake_cargo()
    status, out, err = sweep.run(tmp_path / "base.yaml", tmp_path / "base.json", "--grid", tmp_path / "grid.yaml",
                                 "--set", "model.layers[0].width=64,'16'", "--set", "optimizer.momentum=0.9",
                                 "--allow-new", "--seed", 1, "--steps", 1)
    assert status == 0, err
    runs = json.loads((sweep.out / "results.json").read_text(encoding="utf-8"))["runs"]
    # Values are typed as the config check types them: '16' is a string.
    assert sorted(json.dumps([r["config"], r["settings"]]) for r in runs) == sorted(
        json.dumps([config, {"run.name": name, "model.layers[0].width": width, "optimizer.momentum": 0.9}])
        for config in ("base.json", "base.yaml") for name in ("mlp", "16") for width in (64, "16"))
    assert len(sweep.recorded()) == 8
    spaced = lambda text: re.sub(r" +#", " #", text)  # noqa: E731 (a comment may move to stay after its value)
    for run in runs:
        name, width = run["settings"]["run.name"], run["settings"]["model.layers[0].width"]
        written = next(Path(run["dir"]).glob("config.*")).read_text(encoding="utf-8")
        if run["config"] == "base.yaml":
            expected = (YAML_BASE.replace('"disk"', f'"{name}"')
                        .replace("width: 32", "width: " + ("'16'" if width == "16" else str(width)))
                        .replace("learning_rate: 0.8\n", "learning_rate: 0.8\n  momentum: 0.9\n"))
            assert spaced(written) == spaced(expected)
        else:
            assert written == (JSON_BASE.replace('"disk"', f'"{name}"')
                               .replace('"width": 32', f'"width": {json.dumps(width)}')
                               .replace('"learning_rate": 0.8', '"learning_rate": 0.8, "momentum": 0.9'))


def test_resume_reruns_only_what_did_not_finish(sweep, tmp_path):
    fail = tmp_path / "fail"
    fail.touch()
    sweep.fake_cargo(finish=True, prelude=f'case " $* " in *" --seed 2 "*) [ -e "{fail}" ] && '
                                          'export FAKE_CARGO_EXIT=1 FAKE_CARGO_STDERR="diverged at step 2";; esac')
    grid = (CONFIGS / "train.yaml", "--set", "optimizer.learning_rate=0.1", "--seed", 1, 2)
    names = ["learning_rate0.1-seed1", "learning_rate0.1-seed2"]
    launched = lambda: sorted(argv[argv.index("--seed") + 1] for argv in sweep.recorded())  # noqa: E731
    status, out, err = sweep.run(*grid, "--steps", 3, "--retries", 1)
    assert status == 1, err
    rows = parse_table(out)
    assert [(rows[n]["status"], rows[n]["attempts"]) for n in names] == [("ok", "1"), ("failed", "2")]
    assert "\n    | diverged at step 2\n" in out.partition("errors:")[2]
    assert launched() == ["1", "2", "2"]
    results_match_table(sweep.out, out)

    fail.unlink()
    status, out, err = sweep.run(*grid, "--steps", 3, "--resume")
    assert status == 0, err
    rows = parse_table(out)
    assert [(rows[n]["status"], rows[n]["attempts"]) for n in names] == [("done", "1"), ("ok", "1")]
    assert rows[names[0]]["final loss"] == "0.250000" and launched() == ["1", "2", "2", "2"]
    # Other call arguments: every run starts again.
    status, out, err = sweep.run(*grid, "--steps", 4, "--resume")
    assert status == 0, err
    assert {row["status"] for row in parse_table(out).values()} == {"ok"} and len(launched()) == 6


def test_real_trainer_end_to_end(sweep):
    status, out, err = sweep.run(CONFIGS / "train.json", "--set", "optimizer.learning_rate=0.8,0.2",
                                 "--set", "model.hidden_size=4", "--seed", 3, "--steps", 40)
    assert status == 0, err
    rows = parse_table(out)
    assert sorted(rows) == ["learning_rate0.2-hidden_size4-seed3", "learning_rate0.8-hidden_size4-seed3"]
    for name, row in rows.items():
        lines = [json.loads(line) for line in (sweep.out / name / "metrics.jsonl").read_text().splitlines()]
        final = lines[-1]
        assert final["final"] is True and final["step"] == 40
        assert (row["status"], row["final loss"], row["accuracy"]) == (
            "ok", f"{final['loss']:.6f}", f"{final['accuracy']:.3f}")
        # The trainer ran with the settings of its grid point.
        log = (sweep.out / name / "train.log").read_text()
        assert "2-4-1 tanh network" in log and f"learning rate {row['optimizer.learning_rate']}\n" in log
        assert (sweep.out / name / "model.ckpt").is_file()


@pytest.mark.parametrize("engine", ENGINES)
def test_ctrl_c_stops_every_trainer(sweep, engine):
    # Seed 1 finishes at once; seeds 2 and 3 train until stopped; seed 4 waits for a worker.
    sweep.fake_cargo(slow_unless_seed=1)
    proc = sweep.start(CONFIGS / "train.yaml", "--set", "optimizer.learning_rate=0.1", "--seed", 1, 2, 3, 4,
                       "--steps", 5, "--retries", 2, "--engine", engine, "--workers", 2)
    deadline = time.monotonic() + 120
    while len(sweep.recorded()) < 3 and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err
    rows = {int(name.rpartition("seed")[2]): row for name, row in parse_table(out).items()}
    assert [(rows[seed]["status"], rows[seed]["attempts"]) for seed in (1, 2, 3, 4)] == [
        ("ok", "1"), ("cancelled", "1"), ("cancelled", "1"), ("not run", "-")]
    # The stopped runs reported back themselves: the cancellation reached their workers.
    assert rows[2]["time"] != "-" and rows[3]["time"] != "-"
    # A cancelled run is not retried.
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
    # --lr is --set optimizer.learning_rate=...
    assert {name: row["status"] for name, row in parse_table(out).items()} == dict.fromkeys(
        ["learning_rate0.1-seed1", "learning_rate0.1-seed2"], status)
    where = sweep.out / written if written else sweep.out
    assert f"sweep: cannot write {where}" in err and f": {reason}" in err
    assert len(sweep.recorded()) == (2 if fill_in_run else 0)
    assert "table: " not in out


@pytest.mark.parametrize("args, occupied, message", [
    (["--set", "optimizer.momentum=0.9"], False, "train.yaml: no setting optimizer.momentum (--allow-new adds it)"),
    (["--set", "model.hidden_size[0]=1"], False, "model.hidden_size is not a list: no model.hidden_size[0]"),
    (["--set", "optimizer.learning_rate=[0.1"], False, "'[0.1' is not a list of values"),
    (["--schema", CONFIGS / "missing.schema.json"], False, "--schema "),
    ([], True, "is not empty: it holds other files; choose another --out"),
    (["--resume"], True, "holds no sweep (sweep.json is missing)"),
], ids=["unknown-setting", "not-a-list", "bad-values", "bad-schema", "occupied-out", "resume-no-sweep"])
def test_a_bad_grid_starts_nothing(sweep, args, occupied, message):
    sweep.fake_cargo()
    if occupied:
        sweep.out.mkdir()
        (sweep.out / "notes.txt").write_text("mine\n", encoding="utf-8")
    status, out, err = sweep.run(CONFIGS / "train.yaml", "--set", "data.batch_size=8", *args, "--seed", 1,
                                 "--steps", 1)
    assert (status, out) == (2, "") and err.startswith("velmora-sweep: error: ") and message in err, err
    assert sweep.recorded() == []
    assert (sorted(os.listdir(sweep.out)) if sweep.out.exists() else []) == (["notes.txt"] if occupied else [])


def test_every_point_invalid_starts_nothing(sweep):
    sweep.fake_cargo()
    status, out, err = sweep.run(CONFIGS / "train.yaml", "--set", "data.batch_size=0,-1", "--schema", SCHEMA,
                                 "--seed", 1, "--steps", 1)
    assert status == 1, err
    assert {row["status"] for row in parse_table(out).values()} == {"invalid"} and sweep.recorded() == []


@pytest.mark.parametrize("command", [[str(SWEEP)], [sys.executable, "-m", "velmora_sweep"]], ids=["command", "-m"])
def test_both_entry_points_parse_the_command_line(tmp_path, command):
    result = subprocess.run([*command, str(CONFIGS / "train.yaml"), "--lr", "0.1", "--seed", "1", "--steps", "1",
                             "--out", str(tmp_path), "--address", "auto"], capture_output=True, text=True)
    assert result.returncode == 2
    assert result.stderr.startswith("usage: velmora-sweep ")
    assert "--address needs --engine ray or dask" in result.stderr
