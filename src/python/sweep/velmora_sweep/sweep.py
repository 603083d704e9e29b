"""A grid of training runs through velmora_trainer, on this machine or on a cluster.

    velmora-sweep BASE_CONFIG [BASE_CONFIG ...] [--set PATH=V1,V2,...] [--grid FILE]
                  --seed 1 2 3 --steps N --out DIR [--schema FILE] [--allow-new]
                  [--resume] [--retries N] [--engine local|ray|dask] [--address ADDR]
                  [--workers N]

Every grid point (base config x each setting's values x seed) gets its own
config, DIR/<run>/config.yaml (or .json): the base with those settings
changed, its layout kept (velmora_sweep.settings). Every config is checked
first (velmora_check, and the --schema); one that fails is `invalid` and never
launched. The others run as one train_from_config call each on the chosen
engine, with a progress bar; a run that fails is started again up to
--retries times. At the end the table of the runs is printed and written to
DIR/results.txt, with DIR/results.csv and DIR/results.json beside it, and the
loss curves are drawn into DIR/loss_curves.png. DIR/sweep.json records each
point's config hash and call arguments: --resume skips the points whose run
finished with an unchanged config and arguments, and runs the others.

Each call runs in a small child process of the engine's worker, in a process
group of its own. The worker only waits for that process, so its own threads
(Dask's heartbeats, Ray's cancellation) keep running even while a call holds
the interpreter lock, and stopping a run means signalling the group, which
holds the call and its trainer: SIGINT (the trainer stops, the call raises
KeyboardInterrupt, whether or not it released the lock), then SIGTERM and
SIGKILL for a trainer that does not stop. The cancellation reaches the worker
  local  through an Event shared with the pool's processes,
  ray    through ray.cancel, which raises KeyboardInterrupt in the task,
  dask   through a distributed.Event that the task polls (tasks run on pool
         threads, which no signal reaches).
A Ctrl-C at the terminal is the driver's alone: the pool and the Dask
cluster it starts ignore SIGINT, and the runs sit in their own groups.
POSIX only (process groups).

Exit status: 0 when every run succeeded (or had finished before, with
--resume), 1 when a config was invalid, a run failed or DIR could not be
written (a full disk, no permission: the table is still printed), 2 for a bad
command line (a setting the base does not have, a --out that holds other
results), 130 when the sweep was interrupted (Ctrl-C, SIGTERM or SIGHUP).
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import hashlib
import io
import json
import os
import re
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

from velmora_sweep.settings import Base, SettingError, parse_path, path_text, read_grid, same, show, typed_values

# Runs one call in the child process and reports its outcome as one JSON line
# on the original standard output; the trainer's own output goes to the log.
RUNNER = r"""
import json, os, signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT, signal.SIGTERM})
report = os.fdopen(os.dup(1), "w")
os.dup2(2, 1)
import velmora_trainer
config, output_dir, steps, seed = sys.argv[1:]
started = time.monotonic()
try:
    velmora_trainer.train_from_config(config, output_dir, int(steps), int(seed))
    outcome = {"status": "ok"}
except KeyboardInterrupt:
    outcome = {"status": "cancelled"}
except Exception as exc:
    outcome = {"status": "failed", "error": f"{type(exc).__name__}: {exc}"}
outcome["seconds"] = time.monotonic() - started
report.write(json.dumps(outcome) + "\n")
report.flush()
"""

STOP_STEPS = ((signal.SIGINT, 10.0), (signal.SIGTERM, 5.0), (signal.SIGKILL, 5.0))
EXIT_INTERRUPTED = 130
# Longest wait for the stopped runs to report (each stops within 20 s).
CANCEL_TIMEOUT = 60.0


# --- the grid ---------------------------------------------------------------

MANIFEST = "sweep.json"
LOG_TAIL = 8  # lines of a failed run's train.log shown under the table
# The result statuses; `done` is a run that had finished before a --resume.
RAN_WELL = ("ok", "done")


def axis_labels(paths: list[tuple]) -> list[str]:
    """Short names for run folders: a setting's last key, or its whole path
    when two settings end in the same key."""
    short = [next((p for p in reversed(path) if isinstance(p, str)), "item") for path in paths]
    labels = [s if short.count(s) == 1 else path_text(path) for s, path in zip(short, paths)]
    return [re.sub(r"[^A-Za-z0-9._+-]+", "_", label) for label in labels]


def run_name(prefix: str, labels: list[str], values: tuple, seed: int) -> str:
    parts = [f"{label}{re.sub(r'[^A-Za-z0-9._+-]+', '_', show(value))[:40]}"
             for label, value in zip(labels, values)]
    return prefix + "-".join(parts + [f"seed{seed}"])


def make_grid(bases: list[Base], axes: list[tuple[tuple, list]], seeds: list[int], steps: int, out: Path,
              allow_new: bool) -> list[dict]:
    """One point per (base, value of each axis, seed): its run folder, its
    config's bytes (None when the base itself fails the check) and hash."""
    import itertools

    stems = [b.path.stem for b in bases]
    labels = axis_labels([path for path, _ in axes])
    points, names = [], set()
    for index, base in enumerate(bases):
        prefix = ""
        if len(bases) > 1:
            prefix = stems[index] if stems.count(stems[index]) == 1 else f"{stems[index]}{index + 1}"
            prefix += "-"
        for values in itertools.product(*(v for _, v in axes)):
            settings = list(zip((path for path, _ in axes), values))
            body = None if base.finding else base.with_settings(settings, allow_new)
            for seed in seeds:
                name = base_name = run_name(prefix, labels, values, seed)
                number = 1
                while name in names:  # values that differ only in characters a folder name avoids
                    number += 1
                    name = f"{base_name}-{number}"
                names.add(name)
                run_dir = out / name
                points.append({
                    "name": name, "config_name": base.path.name, "base": str(base.path),
                    "settings": {path_text(path): value for path, value in settings},
                    "seed": seed, "steps": steps, "dir": str(run_dir),
                    "config": str(run_dir / f"config{base.path.suffix}"), "config_bytes": body,
                    "sha256": None if body is None else hashlib.sha256(body).hexdigest(),
                    "finding": base.finding,
                })
    return points


def write_configs(points: list[dict]) -> None:
    for point in points:
        Path(point["dir"]).mkdir(parents=True, exist_ok=True)
        Path(point["config"]).write_bytes(point["config_bytes"])


def check_configs(points: list[dict], axes: list[tuple[tuple, list]], schema) -> dict[str, str]:
    """The finding of each written config that would not be launched: the
    config check's (with the schema's), or a changed setting that does not
    read back as the value it was given."""
    import velmora_check
    from velmora_check import _native

    findings = {}
    for point in points:
        finding = velmora_check.check_file(point["config"], schema=schema)
        if finding is not None:
            findings[point["name"]] = str(finding)
            continue
        kind = "json" if point["config"].endswith(".json") else "yaml"
        document, nodes, _ = _native.values(point["config_bytes"], kind)
        for path, _ in axes:
            value = point["settings"][path_text(path)]
            node = document
            with contextlib.suppress(LookupError, TypeError):
                for part in path:
                    node = node[part]
            if path not in nodes or not same(node, value):
                line, column = nodes.get(path, nodes[()])
                findings[point["name"]] = (f"{point['config']}:{line}:{column}: {path_text(path)} does not read "
                                           f"as {show(value)}")
                break
    return findings


def read_manifest(out: Path) -> dict:
    """The points a sweep in `out` recorded, by name; SettingError when `out`
    holds something else."""
    try:
        manifest = json.loads((out / MANIFEST).read_text(encoding="utf-8"))
        return dict(manifest["points"])
    except FileNotFoundError:
        raise SettingError(f"--resume: {out} holds no sweep ({MANIFEST} is missing)") from None
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise SettingError(f"--resume: cannot read {out / MANIFEST}: {error}") from None


def finished(point: dict, previous: dict | None) -> bool:
    """Whether the point's run finished in an earlier sweep, with the same
    config and call arguments: its metrics.jsonl ends with the final line."""
    if not isinstance(previous, dict) or previous.get("status") in ("failed", "invalid"):
        return False
    if (previous.get("sha256"), previous.get("seed"), previous.get("steps")) != (
            point["sha256"], point["seed"], point["steps"]):
        return False
    try:
        if Path(point["config"]).read_bytes() != point["config_bytes"]:
            return False
    except OSError:
        return False
    return read_metrics(point["dir"])[1] is not None


def manifest_text(points: list[dict], results: dict[str, dict]) -> str:
    entries = {}
    for point in points:
        result = results.get(point["name"], {})
        status = result.get("status", "pending")
        entries[point["name"]] = {
            "base": point["base"], "config": point["config"], "sha256": point["sha256"],
            "seed": point["seed"], "steps": point["steps"], "settings": point["settings"],
            "status": "ok" if status == "done" else status,
            "attempts": result.get("attempts"), "seconds": result.get("seconds"),
        }
    return json.dumps({"points": entries}, indent=1) + "\n"


def write_atomically(path: Path, text: str) -> None:
    """Replaces the file whole, so that a stop never leaves half of it."""
    part = path.with_name(f".{path.name}.part")
    try:
        part.write_text(text, encoding="utf-8")
        os.replace(part, path)
    finally:
        with contextlib.suppress(OSError):
            part.unlink()


# --- one run, on a worker ---------------------------------------------------


def read_metrics(run_dir: str) -> tuple[list[list[float]], dict | None]:
    """The (step, loss) points and the final line of a run's metrics.jsonl."""
    curve, final = [], None
    try:
        lines = Path(run_dir, "metrics.jsonl").read_text(encoding="utf-8").splitlines()
    except OSError:
        return curve, final
    for line in lines:
        try:
            entry = json.loads(line)
        except ValueError:
            continue  # a line cut short by a stop
        if entry.get("final"):
            final = entry
        elif entry.get("loss") is not None:
            curve.append([entry["step"], entry["loss"]])
    return curve, final


def group_alive(pgid: int) -> bool:
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def stop_group(proc: subprocess.Popen) -> None:
    """Stops the run's process group: SIGINT, then SIGTERM, then SIGKILL, each
    after the previous one's grace period, until the group is empty."""
    for sig, grace in STOP_STEPS:
        deadline = time.monotonic() + grace
        try:
            if proc.poll() is not None and not group_alive(proc.pid):
                return
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
        except KeyboardInterrupt:
            pass  # a second cancellation: the stop is already under way
        while time.monotonic() < deadline:
            try:
                if proc.poll() is not None and not group_alive(proc.pid):
                    return
                time.sleep(0.05)
            except KeyboardInterrupt:
                pass


RESULT_KEYS = ("name", "config_name", "settings", "seed", "dir")


def new_result(point: dict, status: str, attempts: int = 0, error: str | None = None) -> dict:
    result = {key: point[key] for key in RESULT_KEYS}
    result.update(status=status, attempts=attempts, error=error, seconds=None, curve=[], loss=None,
                  accuracy=None, log_tail=[])
    return result


def log_tail(run_dir: str) -> list[str]:
    try:
        with open(Path(run_dir, "train.log"), "rb") as log:
            log.seek(0, os.SEEK_END)
            log.seek(max(0, log.tell() - 16384))
            lines = log.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return []
    return [line for line in lines if line.strip()][-LOG_TAIL:]


def run_point(point: dict, attempt: int = 1, cancelled=None) -> dict:
    """Runs one grid point (its `attempt`-th try) and returns its result;
    `cancelled()` says when the sweep was cancelled (a KeyboardInterrupt in
    this thread means the same)."""
    result = new_result(point, "not run", attempt)
    cancelled = cancelled or (lambda: False)
    run_dir, config = Path(point["dir"]), Path(point["config"])
    proc = None
    try:
        if cancelled():
            return new_result(point, "not run", attempt - 1)
        run_dir.mkdir(parents=True, exist_ok=True)
        if not config.is_file():  # a worker that does not share the driver's disk
            config.write_bytes(point["config_bytes"])
        # An earlier run's metrics must not pass for this one's.
        with contextlib.suppress(FileNotFoundError):
            (run_dir / "metrics.jsonl").unlink()
        # The first attempt starts the log afresh, the others add to it.
        with open(run_dir / "train.log", "wb" if attempt == 1 else "a+b") as log:
            if attempt > 1:
                if size := log.seek(0, os.SEEK_END):
                    log.seek(size - 1)
                    if log.read(1) != b"\n":
                        log.write(b"\n")
                log.write(f"--- velmora-sweep: attempt {attempt}\n".encode())
                log.flush()
            proc = subprocess.Popen(
                [sys.executable, "-c", RUNNER, str(config), str(run_dir), str(point["steps"]), str(point["seed"])],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, process_group=0,
            )
        while True:
            try:
                proc.wait(timeout=0.2)
                break
            except subprocess.TimeoutExpired:
                if cancelled():
                    raise KeyboardInterrupt from None
    except KeyboardInterrupt:
        result["status"] = "cancelled"
    finally:
        if proc is not None:
            stop_group(proc)  # returns at once when the run ended by itself
    outcome = {}
    if proc is not None:
        text = proc.stdout.read().decode("utf-8", "replace").strip()
        proc.stdout.close()
        try:
            outcome = json.loads(text) if text else {}
        except ValueError:
            outcome = {}
    if outcome:
        result.update(status=outcome["status"], error=outcome.get("error"), seconds=outcome["seconds"])
    elif proc is not None and result["status"] != "cancelled":
        error = f"the run ended without a result (exit status {proc.returncode}); see {run_dir / 'train.log'}"
        result.update(status="failed", error=error)
    result["curve"], final = read_metrics(str(run_dir))
    if final is not None:
        result.update(loss=final["loss"], accuracy=final["accuracy"])
    if result["status"] == "failed":  # read here: the driver may not see this disk
        result["log_tail"] = log_tail(str(run_dir))
    return result


# --- engines ----------------------------------------------------------------
#
# Each engine submits `run_point` calls, waits for some to finish, gives a
# finished call's result (raising what the engine raises for a call that
# broke), and cancels: nothing queued starts any more, running calls stop
# their trainers.

@contextlib.contextmanager
def sigint_ignored():
    """Processes started meanwhile ignore SIGINT. A Ctrl-C at the terminal
    reaches the whole foreground process group: the driver alone handles it
    and cancels through the engine, instead of every worker dying on its own."""
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


_local_cancel = None


def _local_worker_init(event) -> None:
    global _local_cancel
    _local_cancel = event


def _local_run(point: dict, attempt: int) -> dict:
    return run_point(point, attempt, _local_cancel.is_set)


class LocalEngine:
    def __init__(self, workers: int, address: str | None):
        import concurrent.futures
        import multiprocessing

        self.futures = concurrent.futures
        context = multiprocessing.get_context("spawn")
        self.event = context.Event()
        self.pool = concurrent.futures.ProcessPoolExecutor(
            workers, mp_context=context, initializer=_local_worker_init, initargs=(self.event,))

    def submit(self, point, attempt):
        with sigint_ignored():  # the pool starts its processes on submission
            return self.pool.submit(_local_run, point, attempt)

    def wait(self, pending, timeout):
        done, pending = self.futures.wait(pending, timeout=timeout, return_when="FIRST_COMPLETED")
        return list(done), list(pending)

    def result(self, future):
        return future.result()

    def cancel(self, unfinished):
        self.event.set()
        for future in unfinished:
            future.cancel()  # queued ones; running ones see the event

    def close(self):
        self.pool.shutdown(wait=True, cancel_futures=True)


class RayEngine:
    def __init__(self, workers: int, address: str | None):
        import logging

        if not address or address.rpartition(":")[0] in ("127.0.0.1", "localhost", "[::1]"):
            # A cluster of this machine alone: its services and this driver use
            # loopback addresses only, as Ray does on its single-machine platforms.
            os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
        import ray

        self.ray = ray
        options = dict(include_dashboard=False, log_to_driver=False, logging_level=logging.WARNING)
        if address:
            ray.init(address=address, **options)
        else:
            ray.init(num_cpus=workers, object_store_memory=128 * 1024 * 1024, **options)
        self.remote = ray.remote(num_cpus=1, max_retries=0)(run_point)

    def submit(self, point, attempt):
        return self.remote.remote(point, attempt)

    def wait(self, pending, timeout):
        return self.ray.wait(pending, num_returns=1, timeout=timeout)

    def result(self, ref):
        return self.ray.get(ref)

    def cancel(self, unfinished):
        for ref in unfinished:
            self.ray.cancel(ref)  # queued: dropped; running: KeyboardInterrupt in the task

    def close(self):
        self.ray.shutdown()


def _dask_run(point: dict, attempt: int, event_name: str) -> dict:
    from distributed import Event

    event = Event(event_name)
    checked = [0.0, False]

    def cancelled():
        # One question to the scheduler at most every half second.
        now = time.monotonic()
        if not checked[1] and now - checked[0] >= 0.5:
            checked[0], checked[1] = now, event.is_set()
        return checked[1]

    return run_point(point, attempt, cancelled)


class DaskEngine:
    def __init__(self, workers: int, address: str | None):
        import distributed

        self.distributed = distributed
        self.cluster = None
        if address:
            self.client = distributed.Client(address)
        else:
            with sigint_ignored():
                self.cluster = distributed.LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                    silence_logs=40)
            self.client = distributed.Client(self.cluster)
        self.event_name = f"velmora-sweep-cancel-{uuid.uuid4().hex}"
        self.event = distributed.Event(self.event_name, client=self.client)

    def submit(self, point, attempt):
        return self.client.submit(_dask_run, point, attempt, self.event_name, pure=False, retries=0)

    def wait(self, pending, timeout):
        try:
            done = self.distributed.wait(pending, timeout=timeout, return_when="FIRST_COMPLETED").done
        except TimeoutError:
            done = {f for f in pending if f.done()}
        return list(done), [f for f in pending if f not in done]

    def result(self, future):
        return future.result()

    def cancel(self, unfinished):
        # Queued calls still start, see the event and return at once: waiting
        # for every call then means that no trainer is left.
        self.event.set()

    def close(self):
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()


ENGINES = {"local": LocalEngine, "ray": RayEngine, "dask": DaskEngine}


# --- reporting --------------------------------------------------------------


def fmt(value, spec):
    return "-" if value is None else format(value, spec)


def records(results: list[dict], axes: list[str], steps: int) -> dict:
    """The results as data: one record per run, for results.json (and, the
    settings written as on the command line, for results.csv)."""
    runs = [{"run": r["name"], "config": r["config_name"], "settings": r["settings"], "seed": r["seed"],
             "status": r["status"], "attempts": r["attempts"], "final_loss": r["loss"],
             "accuracy": r["accuracy"], "seconds": r["seconds"], "dir": r["dir"], "error": r["error"],
             "log_tail": r["log_tail"]} for r in results]
    return {"steps": steps, "axes": axes, "runs": runs}


def csv_text(data: dict) -> str:
    stream = io.StringIO()
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(["run", "config", *data["axes"], "seed", "status", "attempts", "final_loss", "accuracy",
                     "seconds", "dir", "error"])
    for r in data["runs"]:
        cell = lambda v: "" if v is None else repr(v) if isinstance(v, float) else str(v)  # noqa: E731
        writer.writerow([r["run"], r["config"], *(show(r["settings"][axis]) for axis in data["axes"]), r["seed"],
                         r["status"], r["attempts"], *map(cell, (r["final_loss"], r["accuracy"], r["seconds"])),
                         r["dir"], cell(r["error"])])
    return stream.getvalue()


def table(results: list[dict], axes: list[str]) -> str:
    header = ["run", "config", *axes, "seed", "status", "attempts", "final loss", "accuracy", "time"]
    rows = [[r["name"], r["config_name"], *(show(r["settings"][axis]) for axis in axes), str(r["seed"]),
             r["status"], str(r["attempts"] or "-"), fmt(r["loss"], ".6f"), fmt(r["accuracy"], ".3f"),
             "-" if r["seconds"] is None else f"{r['seconds']:.1f}s"] for r in results]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in [header] + rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    errors = []
    for r in results:
        if r["error"]:
            errors.append(f"  {r['name']}: {r['error']}")
            errors += [f"    | {line}" for line in r["log_tail"]]
    if errors:
        lines += ["", "errors:"] + errors
    return "\n".join(lines) + "\n"


def plot(results: list[dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # One colour per config and settings, one line style per seed.
    colours = {}
    styles = {}
    fig, ax = plt.subplots(figsize=(6.4, 3.8), dpi=100)
    for r in results:
        key = (r["config_name"], json.dumps(r["settings"]))
        colour = colours.setdefault(key, f"C{len(colours) % 10}")
        style = styles.setdefault(r["seed"], ("-", "--", ":", "-.")[len(styles) % 4])
        if r["curve"]:
            steps, losses = zip(*r["curve"])
            well = r["status"] in RAN_WELL
            label = r["name"] if well else f"{r['name']} ({r['status']})"
            ax.plot(steps, losses, linestyle=style, color=colour, label=label, alpha=1.0 if well else 0.5)
    ax.set_xlabel("step")
    ax.set_ylabel("loss (whole dataset)")
    ax.set_title("Loss curves")
    ax.grid(True, alpha=0.3)
    if ax.lines:
        ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


# --- the driver -------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="velmora-sweep",
                                     description="Runs a grid of trainings through velmora_trainer.")
    parser.add_argument("configs", nargs="+", type=Path, metavar="BASE_CONFIG",
                        help="base configuration (.json, .yaml or .yml); several make one more grid axis")
    parser.add_argument("--set", action="append", default=[], metavar="PATH=V1,V2,...",
                        help="one grid axis: the setting at PATH (optimizer.learning_rate, model.layers[0].width) "
                             "takes each value, typed as the config check types it (0.1, 16, true, '16')")
    parser.add_argument("--grid", type=Path, metavar="FILE",
                        help="grid axes from a YAML or JSON file: a mapping of such paths to lists of values")
    parser.add_argument("--lr", nargs="+", metavar="LR", help="shorthand for --set optimizer.learning_rate=...")
    parser.add_argument("--seed", nargs="+", type=int, required=True, help="seeds")
    parser.add_argument("--steps", type=int, required=True, help="training steps of each run")
    parser.add_argument("--out", type=Path, required=True, help="output directory")
    parser.add_argument("--schema", type=Path, metavar="FILE",
                        help="JSON Schema every run's config is checked against (needs jsonschema-rs)")
    parser.add_argument("--allow-new", action="store_true", help="--set and --grid may add settings the base lacks")
    parser.add_argument("--resume", action="store_true",
                        help="continue the sweep in --out: runs that finished with the same config are kept")
    parser.add_argument("--retries", type=int, default=0, metavar="N", help="start a failed run again up to N times")
    parser.add_argument("--engine", choices=sorted(ENGINES), default="local")
    parser.add_argument("--address", help="attach to this Ray or Dask cluster instead of starting one")
    parser.add_argument("--workers", type=int, help="runs at once on a cluster started here (default: CPUs)")
    args = parser.parse_args(argv)
    if args.address and args.engine == "local":
        parser.error("--address needs --engine ray or dask")
    if min(args.steps, args.retries, *args.seed) < 0 or (args.workers is not None and args.workers < 1):
        parser.error("--steps, --seed, --retries and --workers take non-negative numbers (--workers at least 1)")
    for config in args.configs:
        if not config.is_file():
            parser.error(f"{config}: no such file")
    return args


def unique(values, key=lambda v: v) -> list:
    first = {}
    for value in values:
        first.setdefault(key(value), value)
    return list(first.values())


def read_axes(args) -> list[tuple[tuple, list]]:
    """The grid's axes: the --grid file's, then each --set (and --lr)."""
    axes = read_grid(args.grid) if args.grid else []
    sets = list(args.set)
    if args.lr:
        sets.append("optimizer.learning_rate=" + ",".join(args.lr))
    for item in sets:
        path, end = parse_path(item, stop="=")
        if end == len(item):
            raise SettingError(f"--set {item!r}: expected PATH=V1,V2,...")
        values = typed_values(item[end + 1:])
        if not values:
            raise SettingError(f"--set {item!r}: no values")
        axes.append((path, values))
    names = [path_text(path) for path, _ in axes]
    for name in names:
        if names.count(name) > 1:
            raise SettingError(f"{name} is given twice")
    return [(path, unique(values, key=json.dumps)) for path, values in axes]


def previous_sweep(out: Path, resume: bool) -> dict:
    """The points of the sweep that --resume continues; SettingError for an
    --out that holds anything without --resume."""
    if out.exists() and not out.is_dir():
        raise SettingError(f"--out {out} is not a directory")
    try:
        empty = not out.exists() or next(out.iterdir(), None) is None
    except OSError:
        empty = True  # unreadable: writing into it fails with its reason
    if empty:
        return {}
    if not resume:
        held = "a sweep (--resume continues it)" if (out / MANIFEST).exists() else "other files"
        raise SettingError(f"--out {out} is not empty: it holds {held}; choose another --out")
    return read_manifest(out)


def load_schema(path: Path | None):
    if path is None:
        return None
    import velmora_check

    try:
        return velmora_check.load_schema(path)
    except (ValueError, ModuleNotFoundError) as error:
        raise SettingError(f"--schema {path}: {error}") from None


def interrupt(signum, frame):
    raise KeyboardInterrupt


def cannot_write(error: OSError, path: Path) -> str:
    return f"sweep: cannot write {error.filename or path}: {error.strerror or error}"


def save(path: Path, write) -> bool:
    """Calls write(path); on a full disk or a refusal, says so and removes
    what was cut short, so that no truncated file passes for a whole one."""
    try:
        write(path)
        return True
    except OSError as error:
        print(cannot_write(error, path), file=sys.stderr, flush=True)
        with contextlib.suppress(OSError):
            path.unlink()
        return False


def run_all(points: list[dict], args, results: dict[str, dict]) -> bool:
    """Runs the points on the engine, each failed one again up to --retries
    times, and puts their results into `results`; True when interrupted."""
    from tqdm import tqdm

    workers = args.workers or min(len(points), os.cpu_count() or 1)
    for sig in (signal.SIGTERM, signal.SIGHUP):  # stop like Ctrl-C does
        signal.signal(sig, interrupt)
    handles = {}  # handle -> (point, attempt), of the calls not finished yet
    interrupted = False
    engine = None

    def collect(handle):
        point, attempt = handles.pop(handle)
        try:
            result = engine.result(handle)
        except Exception as exc:  # the engine lost the call (worker died, cancelled, ...)
            if interrupted:
                result = unreported(point, attempt)
            else:
                result = new_result(point, "failed", attempt, error=f"{type(exc).__name__}: {exc}")
                result["curve"] = read_metrics(point["dir"])[0]
        results[point["name"]] = result
        return result, point, attempt

    try:
        engine = ENGINES[args.engine](workers, args.address)
        for point in points:
            handles[engine.submit(point, 1)] = (point, 1)
        with tqdm(total=len(points), unit="run", desc=f"sweep ({args.engine})", file=sys.stderr) as bar:
            while handles:
                done, _ = engine.wait(list(handles), 0.5)
                for handle in done:
                    result, point, attempt = collect(handle)
                    if result["status"] == "failed" and attempt <= args.retries:
                        handles[engine.submit(point, attempt + 1)] = (point, attempt + 1)
                        bar.set_postfix_str(f"{point['name']}: failed, attempt {attempt + 1}")
                        continue
                    bar.set_postfix_str(f"{point['name']}: {result['status']}")
                    bar.update()
    except KeyboardInterrupt:
        interrupted = True
    finally:
        if interrupted and engine is not None:
            # Further interrupts must not cut the stop short.
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(sig, signal.SIG_IGN)
            print("\nsweep: interrupted; stopping the running trainers", file=sys.stderr, flush=True)
            engine.cancel(list(handles))
            deadline = time.monotonic() + CANCEL_TIMEOUT
            while handles and time.monotonic() < deadline:
                for handle in engine.wait(list(handles), 0.5)[0]:
                    collect(handle)
        if engine is not None:
            engine.close()
    return interrupted


def unreported(point: dict, attempt: int = 1) -> dict:
    """The result of an attempt that reported nothing: cancelled with what it
    logged, or "not run" when it never started."""
    result = new_result(point, "cancelled", attempt)
    result["curve"] = read_metrics(point["dir"])[0]
    if not (result["curve"] or Path(point["dir"], "train.log").exists()):
        result.update(status="not run", attempts=attempt - 1)
    return result


def plan(args, out: Path) -> tuple[list[tuple[tuple, list]], object, dict, list[dict]]:
    """The axes, the loaded --schema, the sweep --resume continues in `out` and
    the grid points; SettingError for a command line that cannot be run."""
    axes = read_axes(args)
    bases = [Base(path) for path in unique(c.resolve() for c in args.configs)]
    for base in bases:
        base.require([path for path, _ in axes], args.allow_new)
    schema = load_schema(args.schema)
    previous = previous_sweep(out, args.resume)
    points = make_grid(bases, axes, unique(args.seed), args.steps, out, args.allow_new)
    return axes, schema, previous, points


def known_results(points: list[dict], previous: dict) -> dict[str, dict]:
    """The results known before anything runs: the points whose base fails
    the check, and those that finished before (--resume)."""
    results = {}
    for point in points:
        if point["finding"]:  # the base itself fails the check
            results[point["name"]] = new_result(point, "invalid", error=point["finding"])
        elif finished(point, earlier := previous.get(point["name"])):
            result = new_result(point, "done", earlier.get("attempts") or 0)
            result["curve"], final = read_metrics(point["dir"])
            result.update(seconds=earlier.get("seconds"), loss=final["loss"], accuracy=final["accuracy"])
            results[point["name"]] = result
    return results


def save_all(out: Path, ordered: list[dict], axis_names: list[str], steps: int, text: str) -> list[str]:
    """Writes the table, the CSV, the JSON and the loss curves into `out`;
    what was saved, as "what: path" lines."""
    data = records(ordered, axis_names, steps)
    saved = []
    for what, path, write in (
            ("table", out / "results.txt", lambda p: p.write_text(text, encoding="utf-8")),
            ("csv", out / "results.csv", lambda p: p.write_text(csv_text(data), encoding="utf-8")),
            ("json", out / "results.json",
             lambda p: p.write_text(json.dumps(data, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")),
            ("loss curves", out / "loss_curves.png", lambda p: plot(ordered, p))):
        if save(path, write):
            saved.append(f"{what}: {path}")
    return saved


def record(out: Path, points: list[dict], results: dict[str, dict]) -> bool:
    """Writes the manifest that --resume reads; False (said on stderr) when it cannot."""
    try:
        write_atomically(out / MANIFEST, manifest_text(points, results))
        return True
    except OSError as error:
        print(cannot_write(error, out / MANIFEST), file=sys.stderr, flush=True)
        return False


def main(argv=None) -> int:
    args = parse_args(argv)
    out = args.out.resolve()
    try:
        axes, schema, previous, points = plan(args, out)
    except SettingError as error:
        print(f"velmora-sweep: error: {error}", file=sys.stderr)
        return 2
    axis_names = [path_text(path) for path, _ in axes]

    results = known_results(points, previous)
    fresh = [point for point in points if point["name"] not in results]
    try:
        write_configs(fresh)
        out.mkdir(parents=True, exist_ok=True)
        write_atomically(out / MANIFEST, manifest_text(points, results))
    except OSError as error:
        print(cannot_write(error, out) + "; no run started", file=sys.stderr, flush=True)
        ordered = [results.get(point["name"]) or new_result(point, "not run") for point in points]
        print(table(ordered, axis_names), end="", flush=True)
        return 1
    by_name = {point["name"]: point for point in fresh}
    for name, finding in check_configs(fresh, axes, schema).items():
        results[name] = new_result(by_name[name], "invalid", error=finding)
    runnable = [point for point in fresh if point["name"] not in results]
    interrupted = run_all(runnable, args, results) if runnable else False

    # A run without a result never started or was lost with the cancellation.
    ordered = [results.get(point["name"]) or unreported(point) for point in points]
    text = table(ordered, axis_names)
    print(text, end="", flush=True)
    # The table is out before anything is written: a full disk loses no result.
    saved = save_all(out, ordered, axis_names, args.steps, text)
    if saved:
        print("\n" + "\n".join(saved))
    recorded = record(out, points, results)
    if interrupted:
        return EXIT_INTERRUPTED
    complete = recorded and len(saved) == 4 and all(r["status"] in RAN_WELL for r in ordered)
    return 0 if complete else 1
