"""Runs the velmora-sweep command as a user would, and checks that it leaves no process behind."""

import csv
import ctypes
import json
import os
import subprocess
import sys
import time
from multiprocessing import resource_tracker
from pathlib import Path

import psutil
import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from support import fake_cargo  # noqa: E402

# The command installed beside the interpreter that runs the tests.
SWEEP = Path(sys.executable).with_name("velmora-sweep")
CONFIGS = ROOT / "examples" / "configs"
PR_SET_CHILD_SUBREAPER = 36
# The metrics.jsonl of a training that ran to its end, in the run's --output-dir.
FINISH = """
prev=; for arg in "$@"; do [ "$prev" = --output-dir ] && dir=$arg; prev=$arg; done
[ -z "$FAKE_CARGO_EXIT" ] && printf '%s\\n' '{"step": 0, "loss": 0.5, "accuracy": 0.5}' \\
  '{"final": true, "step": 3, "loss": 0.25, "accuracy": 0.75}' > "$dir/metrics.jsonl"
"""
BASELINE = set()


@pytest.fixture(scope="session", autouse=True)
def subreaper():
    """Makes this process the reaper of orphans, so that a process the sweep
    leaves behind (trainer, worker, cluster service) becomes our child."""
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0, os.strerror(ctypes.get_errno())
    # This process's own helper, which a cluster started here would start later.
    resource_tracker.ensure_running()
    BASELINE.update(child.pid for child in psutil.Process().children())


def leftovers(timeout=30.0):
    """The command lines of processes still running under this one once the
    sweep has ended (cluster services get `timeout` seconds to wind down).
    Whatever is left is killed, so that one failure does not leak into the next test."""
    deadline = time.monotonic() + timeout
    while True:
        alive = []
        for child in psutil.Process().children(recursive=True):
            if child.pid in BASELINE:
                continue
            try:
                if child.status() == psutil.STATUS_ZOMBIE:
                    os.waitpid(child.pid, os.WNOHANG)
                else:
                    alive.append(child)
            except (psutil.NoSuchProcess, ChildProcessError):
                pass
        if not alive or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    names = []
    for child in alive:
        try:
            names.append(" ".join(child.cmdline())[:200])
            child.kill()
        except psutil.NoSuchProcess:
            pass
    return names


class Sweep:
    def __init__(self, tmp_path):
        self.tmp = tmp_path
        self.out = tmp_path / "out"
        self.record = tmp_path / "cargo-runs.jsonl"
        self.env = dict(os.environ)
        for name in list(self.env):
            if name.startswith("FAKE_CARGO_"):
                del self.env[name]

    def fake_cargo(self, slow_unless_seed=None, prelude="", finish=False):
        """Puts the recording fake cargo first on PATH; with `slow_unless_seed`,
        every run but that seed's sleeps until it is stopped; each run starts
        with the shell line `prelude`; with `finish`, a run that is to succeed
        writes the metrics of a finished training."""
        directory = self.tmp / "fakebin"
        program = fake_cargo.install(directory / "recording")
        if slow_unless_seed is not None:
            prelude += f'\ncase " $* " in *" --seed {slow_unless_seed} "*) ;; *) export FAKE_CARGO_SLEEP=600;; esac'
        if finish:
            prelude += FINISH
        if prelude:
            wrapper = directory / "cargo"
            wrapper.write_text(f'#!/bin/sh\n{prelude}\nexec "{program}" "$@"\n', encoding="utf-8")
            wrapper.chmod(0o755)
            program = wrapper
        self.env["PATH"] = f"{program.parent}{os.pathsep}{self.env['PATH']}"
        self.env["FAKE_CARGO_RECORD"] = str(self.record)
        return self

    def recorded(self):
        import json

        if not self.record.exists():
            return []
        return [json.loads(line)["argv"] for line in self.record.read_text(encoding="utf-8").splitlines()]

    def start(self, *args, prefix=()):
        """The sweep, run by the command `prefix` when given."""
        return subprocess.Popen([*prefix, str(SWEEP), *map(str, args), "--out", str(self.out)],
                                env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def run(self, *args, timeout=240, prefix=()):
        proc = self.start(*args, prefix=prefix)
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, out, err


@pytest.fixture
def sweep(tmp_path):
    yield Sweep(tmp_path)
    assert leftovers() == []


def parse_table(stdout):
    """The table's rows as dicts keyed by its header (columns found from the rule line)."""
    lines = stdout.splitlines()
    rule = next(i for i, line in enumerate(lines) if line.startswith("---"))
    spans, start = [], 0
    for dashes in lines[rule].split("  "):
        spans.append((start, start + len(dashes)))
        start += len(dashes) + 2
    cut = lambda line: [line[a:b].strip() for a, b in spans]  # noqa: E731
    header = cut(lines[rule - 1])
    rows = []
    for line in lines[rule + 1:]:
        if not line.strip():
            break
        rows.append(dict(zip(header, cut(line.ljust(start)))))
    return {row["run"]: row for row in rows}


def results_match_table(out_dir, stdout):
    """results.csv and results.json hold the runs of the printed table, in its
    order, with the same settings, status, attempts, numbers and errors."""
    from velmora_sweep.settings import show

    rows = parse_table(stdout)
    with open(out_dir / "results.csv", encoding="utf-8", newline="") as file:
        from_csv = list(csv.DictReader(file))
    data = json.loads((out_dir / "results.json").read_text(encoding="utf-8"))
    assert [r["run"] for r in from_csv] == [r["run"] for r in data["runs"]] == list(rows)
    number = lambda value, spec: "-" if value in (None, "") else format(float(value), spec)  # noqa: E731
    seconds = lambda value: "-" if value in (None, "") else f"{float(value):.1f}s"  # noqa: E731
    for line, run in zip(from_csv, data["runs"]):
        row = rows[run["run"]]
        for source, settings in ((line, {axis: line[axis] for axis in data["axes"]}),
                                 (run, {axis: show(value) for axis, value in run["settings"].items()})):
            assert {axis: row[axis] for axis in data["axes"]} == settings
            assert (row["status"], row["attempts"], row["seed"], row["final loss"], row["accuracy"],
                    row["time"]) == (source["status"], str(source["attempts"]) if int(source["attempts"]) else "-",
                                     str(source["seed"]), number(source["final_loss"], ".6f"),
                                     number(source["accuracy"], ".3f"), seconds(source["seconds"]))
        assert (line["error"] or None) == run["error"]
        if run["error"]:
            assert f"\n  {run['run']}: {run['error']}\n" in stdout
