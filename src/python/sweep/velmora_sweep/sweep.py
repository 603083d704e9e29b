"""A grid of training runs through velmora_trainer, on this machine or on a cluster.

    velmora-sweep BASE_CONFIG [BASE_CONFIG ...] --lr 0.1 0.03 --seed 1 2 3 --steps N --out DIR
                  [--engine local|ray|dask] [--address ADDR] [--workers N]

Writes one config per grid point (base config x learning rate x seed) into
DIR/<run>/, runs one train_from_config call per point on the chosen engine,
shows a progress bar, then prints a table of the runs and writes it to
DIR/results.txt, and draws the loss curves of every run into
DIR/loss_curves.png.

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

Exit status: 0 when every run succeeded, 1 when one failed or DIR could not
be written (a full disk, no permission: the table is still printed), 2 for a
bad command line, 130 when the sweep was interrupted (Ctrl-C, SIGTERM or SIGHUP).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import re
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

# The key the example trainer reads, in YAML (`learning_rate: 0.8`) or JSON
# (`"learning_rate": 0.8`) form; the value ends at a separator or comment.
LR_KEY = re.compile(r"""(?P<key>(?:^|[\s{,\[-])(?P<q>["']?)learning_rate(?P=q)\s*:[ \t]*)(?P<value>[^\s,}\]#]+)""",
                    re.M)

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


def positive_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive finite number")
    return value


def with_learning_rate(data: bytes, lr: float, source: str) -> bytes:
    """The config with every learning_rate value replaced by `lr`. A file that
    is not UTF-8 stays as it is: its runs fail with the module's message."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return data
    new, count = LR_KEY.subn(lambda m: m["key"] + repr(lr), text)
    if count == 0:
        raise SystemExit(f"sweep: {source}: no learning_rate setting to vary")
    return new.encode("utf-8")


def make_grid(configs: list[Path], lrs: list[float], seeds: list[int], out: Path) -> list[dict]:
    """One point per (config, lr, seed), with its run directory and config."""
    stems = [c.stem for c in configs]
    points = []
    for index, config in enumerate(configs):
        data = config.read_bytes()
        prefix = ""
        if len(configs) > 1:
            prefix = stems[index] if stems.count(stems[index]) == 1 else f"{stems[index]}{index + 1}"
            prefix += "-"
        for lr in lrs:
            body = with_learning_rate(data, lr, str(config))
            for seed in seeds:
                name = f"{prefix}lr{lr!r}-seed{seed}"
                run_dir = out / name
                points.append({
                    "name": name, "config_name": config.name, "lr": lr, "seed": seed,
                    "dir": str(run_dir), "config": str(run_dir / f"config{config.suffix}"),
                    "config_bytes": body,
                })
    return points


def write_configs(points: list[dict]) -> None:
    for point in points:
        Path(point["dir"]).mkdir(parents=True, exist_ok=True)
        Path(point["config"]).write_bytes(point["config_bytes"])


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


def run_point(point: dict, steps: int, cancelled=None) -> dict:
    """Runs one grid point and returns its result; `cancelled()` says when the
    sweep was cancelled (a KeyboardInterrupt in this thread means the same)."""
    result = {key: point[key] for key in ("name", "config_name", "lr", "seed", "dir")}
    result.update(status="not run", error=None, seconds=None, curve=[], loss=None, accuracy=None)
    cancelled = cancelled or (lambda: False)
    run_dir, config = Path(point["dir"]), Path(point["config"])
    proc = None
    try:
        if cancelled():
            return result
        run_dir.mkdir(parents=True, exist_ok=True)
        if not config.is_file():  # a worker that does not share the driver's disk
            config.write_bytes(point["config_bytes"])
        with open(run_dir / "train.log", "wb") as log:
            proc = subprocess.Popen(
                [sys.executable, "-c", RUNNER, str(config), str(run_dir), str(steps), str(point["seed"])],
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
    return result


# --- engines ----------------------------------------------------------------
#
# Each engine submits `run_point` calls (handles are kept in submission
# order), waits for some to finish, gives a finished call's result (raising
# what the engine raises for a call that broke), and cancels: nothing queued
# starts any more, running calls stop their trainers.

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


def _local_run(point: dict, steps: int) -> dict:
    return run_point(point, steps, _local_cancel.is_set)


class LocalEngine:
    def __init__(self, workers: int, address: str | None):
        import concurrent.futures
        import multiprocessing

        self.futures = concurrent.futures
        context = multiprocessing.get_context("spawn")
        self.event = context.Event()
        self.pool = concurrent.futures.ProcessPoolExecutor(
            workers, mp_context=context, initializer=_local_worker_init, initargs=(self.event,))

    def submit(self, point, steps):
        with sigint_ignored():  # the pool starts its processes on submission
            return self.pool.submit(_local_run, point, steps)

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

    def submit(self, point, steps):
        return self.remote.remote(point, steps)

    def wait(self, pending, timeout):
        return self.ray.wait(pending, num_returns=1, timeout=timeout)

    def result(self, ref):
        return self.ray.get(ref)

    def cancel(self, unfinished):
        for ref in unfinished:
            self.ray.cancel(ref)  # queued: dropped; running: KeyboardInterrupt in the task

    def close(self):
        self.ray.shutdown()


def _dask_run(point: dict, steps: int, event_name: str) -> dict:
    from distributed import Event

    event = Event(event_name)
    checked = [0.0, False]

    def cancelled():
        # One question to the scheduler at most every half second.
        now = time.monotonic()
        if not checked[1] and now - checked[0] >= 0.5:
            checked[0], checked[1] = now, event.is_set()
        return checked[1]

    return run_point(point, steps, cancelled)


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

    def submit(self, point, steps):
        return self.client.submit(_dask_run, point, steps, self.event_name, pure=False, retries=0)

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


def table(results: list[dict]) -> str:
    header = ["run", "config", "lr", "seed", "status", "final loss", "accuracy", "time"]
    rows = [[r["name"], r["config_name"], repr(r["lr"]), str(r["seed"]), r["status"],
             fmt(r["loss"], ".6f"), fmt(r["accuracy"], ".3f"),
             "-" if r["seconds"] is None else f"{r['seconds']:.1f}s"] for r in results]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in [header] + rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    errors = [f"{r['name']}: {r['error']}" for r in results if r["error"]]
    if errors:
        lines += ["", "errors:"] + [f"  {e}" for e in errors]
    return "\n".join(lines) + "\n"


def plot(results: list[dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # One colour per config and learning rate, one line style per seed.
    colours = {}
    styles = {}
    fig, ax = plt.subplots(figsize=(6.4, 3.8), dpi=100)
    for r in results:
        colour = colours.setdefault((r["config_name"], r["lr"]), f"C{len(colours) % 10}")
        style = styles.setdefault(r["seed"], ("-", "--", ":", "-.")[len(styles) % 4])
        if r["curve"]:
            steps, losses = zip(*r["curve"])
            label = r["name"] if r["status"] == "ok" else f"{r['name']} ({r['status']})"
            ax.plot(steps, losses, linestyle=style, color=colour, label=label,
                    alpha=1.0 if r["status"] == "ok" else 0.5)
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
    parser.add_argument("--lr", nargs="+", type=positive_float, required=True, help="learning rates")
    parser.add_argument("--seed", nargs="+", type=int, required=True, help="seeds")
    parser.add_argument("--steps", type=int, required=True, help="training steps of each run")
    parser.add_argument("--out", type=Path, required=True, help="output directory")
    parser.add_argument("--engine", choices=sorted(ENGINES), default="local")
    parser.add_argument("--address", help="attach to this Ray or Dask cluster instead of starting one")
    parser.add_argument("--workers", type=int, help="runs at once on a cluster started here (default: CPUs)")
    args = parser.parse_args(argv)
    if args.address and args.engine == "local":
        parser.error("--address needs --engine ray or dask")
    if args.steps < 0 or any(s < 0 for s in args.seed) or (args.workers is not None and args.workers < 1):
        parser.error("--steps, --seed and --workers take non-negative numbers (--workers at least 1)")
    for config in args.configs:
        if not config.is_file():
            parser.error(f"{config}: no such file")
    return args


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


def main(argv=None) -> int:
    args = parse_args(argv)
    out = args.out.resolve()
    unique = lambda values: list(dict.fromkeys(values))  # noqa: E731
    points = make_grid(unique(c.resolve() for c in args.configs), unique(args.lr), unique(args.seed), out)
    try:
        write_configs(points)
    except OSError as error:
        print(cannot_write(error, out) + "; no run started", file=sys.stderr, flush=True)
        print(table([empty_result(point, "not run") for point in points]), end="", flush=True)
        return 1
    workers = args.workers or min(len(points), os.cpu_count() or 1)
    for sig in (signal.SIGTERM, signal.SIGHUP):  # stop like Ctrl-C does
        signal.signal(sig, interrupt)

    from tqdm import tqdm

    results = {}
    handles = {}  # handle -> point, of the calls not finished yet
    interrupted = False
    engine = None

    def collect(handle):
        point = handles.pop(handle)
        try:
            result = engine.result(handle)
        except Exception as exc:  # the engine lost the call (worker died, cancelled, ...)
            result = empty_result(point, "cancelled" if interrupted else "failed",
                                  error=None if interrupted else f"{type(exc).__name__}: {exc}")
        results[point["name"]] = result
        return result

    try:
        engine = ENGINES[args.engine](workers, args.address)
        for point in points:
            handles[engine.submit(point, args.steps)] = point
        with tqdm(total=len(points), unit="run", desc=f"sweep ({args.engine})", file=sys.stderr) as bar:
            while handles:
                done, _ = engine.wait(list(handles), 0.5)
                for handle in done:
                    result = collect(handle)
                    bar.set_postfix_str(f"{result['name']}: {result['status']}")
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

    ordered = []
    for point in points:
        # A run without a result never started or was lost with the cancellation.
        ordered.append(results.get(point["name"]) or empty_result(point, "cancelled"))
    text = table(ordered)
    print(text, end="", flush=True)
    # The table is out before anything is written: a full disk loses no result.
    saved = []
    for what, path, write in (("table", out / "results.txt", lambda p: p.write_text(text, encoding="utf-8")),
                              ("loss curves", out / "loss_curves.png", lambda p: plot(ordered, p))):
        if save(path, write):
            saved.append(f"{what}: {path}")
    if saved:
        print("\n" + "\n".join(saved))
    if interrupted:
        return EXIT_INTERRUPTED
    return 0 if len(saved) == 2 and all(r["status"] == "ok" for r in ordered) else 1


def empty_result(point: dict, status: str, error: str | None = None) -> dict:
    """The result of a run that reported nothing, with what it logged; a
    cancelled run that never started is "not run"."""
    result = {key: point[key] for key in ("name", "config_name", "lr", "seed", "dir")}
    curve, _ = read_metrics(point["dir"])
    if status == "cancelled" and not (curve or Path(point["dir"], "train.log").exists()):
        status = "not run"
    result.update(status=status, error=error, seconds=None, curve=curve, loss=None, accuracy=None)
    return result

