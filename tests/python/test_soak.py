"""Soak: 100,000 mixed calls through every entry point, then the process is
checked for what a long-running host would notice first: growing memory, open
descriptors, children left behind, and reference counts out of balance.

Run alone with `make soak` (pytest -m soak); the figures are printed.
"""

import ctypes
import gc
import os
import sys

import pytest

from support import fake_cargo
from support.fixtures import cargo  # noqa: F401  (fixture)
from velmora_trainer import TrainerConfig, train_from_config

pytestmark = pytest.mark.soak

CALLS = 100_000
WARM_UP = 10_000
# One launch in LAUNCH_EVERY calls: a few hundred children over the run.
LAUNCH_EVERY = 333
# RSS may move a little (allocator pools, the interpreter's caches); one
# leaked text, exception or record per call would cost megabytes.
RSS_SLACK = 2 << 20


class PathText(str):
    """A str subclass argument: its text is used, it is never converted."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    def __index__(self):
        raise ValueError("from __index__")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


def children():
    """(pid, state) of every process whose parent is this one."""
    me, found = os.getpid(), []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # ended meanwhile
        if int(fields[1]) == me:
            found.append((int(entry), fields[0]))
    return found


def sanitized():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


def native_heap_in_use():
    """Bytes the C allocator has handed out (glibc's mallinfo2), or None."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def make_files(tmp_path):
    files = {}

    def put(name, content):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        files[name] = str(path)

    put("good.json", '{"model": {"layers": [1, 2, 3]}, "lr": 0.001, "name": "r\\u00e9sum\\u00e9"}')
    put("good.yaml", "model:\n  layers: [1, 2, 3]\nbase: &b {lr: 0.1}\nrun: *b\nname: \u00e9t\u00e9\n")
    put("good.yml", "- a\n- {b: c}\n")
    put("bad-utf8.json", b'{"a": "\xff"}')
    put("bad-utf8-last.yaml", b"a: 1\n\xe2\x82")
    put("wrong.txt", "{}")
    put("broken.json", '{"a": [1, 2,]}')
    put("deep.json", "[" * 200)
    put("dup.yaml", "a: 1\na: 2\n")
    put("two.yaml", "--- 1\n--- 2\n")
    put("laughs.yaml", "a: &a [x, x, x, x, x, x, x, x, x]\n" + "".join(
        f"{n}: &{n} [" + ", ".join([f"*{p}"] * 9) + "]\n" for p, n in zip("abcdefgh", "bcdefghi")))
    (tmp_path / "dir.json").mkdir()
    files["dir.json"] = str(tmp_path / "dir.json")
    files["missing.json"] = str(tmp_path / "missing.json")
    return files


def build_calls(files, watched):
    """(callable, expected exception class or None) for every kind of call but
    the launch. Arguments come from `watched`, whose reference counts must
    come back to where they were."""
    config_path, output_dir, base_ckpt, steps, seed, index = watched["config_path"], watched["output_dir"], \
        watched["base_ckpt"], watched["steps"], watched["seed"], watched["index"]
    missing = files["missing.json"]
    record = TrainerConfig(config_path, output_dir, steps, seed, base_ckpt)

    def assign(name, value):
        return lambda: setattr(record, name, value)

    def repr_and_read():
        assert repr(record).startswith("TrainerConfig(config_path='")
        return (record.config_path, record.output_dir, record.steps, record.seed, record.base_ckpt)

    calls = [
        # binding: missing, too many, unexpected keyword, repeated keyword
        (lambda: train_from_config(missing, output_dir), TypeError),
        (lambda: train_from_config(missing, output_dir, steps, seed, None, 6), TypeError),
        (lambda: train_from_config(missing, output_dir, steps, seed, bogus=1), TypeError),
        (lambda: train_from_config(missing, output_dir, steps, seed, config_path=missing), TypeError),
        (lambda: TrainerConfig(config_path), TypeError),
        (lambda: TrainerConfig(config_path, output_dir, steps, seed, base_ckpt, 6), TypeError),
        (lambda: TrainerConfig(config_path, output_dir, steps, seed, **{"st\u00e9ps": 1}), TypeError),
        # conversions: wrong types, out of range, failing __index__, unencodable text
        (lambda: train_from_config(b"c.json", output_dir, steps, seed), TypeError),
        (lambda: train_from_config(missing, 3, steps, seed), TypeError),
        (lambda: train_from_config(missing, output_dir, 1.5, seed), TypeError),
        (lambda: train_from_config(missing, output_dir, -1, seed), OverflowError),
        (lambda: train_from_config(missing, output_dir, steps, 2**32), OverflowError),
        (lambda: train_from_config(missing, output_dir, 2**64, seed), OverflowError),
        (lambda: train_from_config(missing, output_dir, Raising(), seed), ValueError),
        (lambda: train_from_config(missing, output_dir, steps, seed, 5), TypeError),
        (lambda: train_from_config("x\ud800.json", output_dir, steps, seed), UnicodeEncodeError),
        (lambda: TrainerConfig(config_path, output_dir, Index(-5), seed), OverflowError),
        (lambda: TrainerConfig(config_path, output_dir, index, "1"), TypeError),
        (lambda: TrainerConfig(config_path, output_dir, steps, seed, "\udfff"), UnicodeEncodeError),
        # file checks
        (lambda: train_from_config(missing, output_dir, steps, seed), FileNotFoundError),
        (lambda: train_from_config("", output_dir, steps, seed), FileNotFoundError),
        (lambda: train_from_config(files["dir.json"], output_dir, steps, seed), OSError),
        (lambda: train_from_config(files["bad-utf8.json"], output_dir, steps, seed), OSError),
        (lambda: train_from_config(files["bad-utf8-last.yaml"], output_dir, steps, seed), OSError),
        (lambda: train_from_config(files["wrong.txt"], output_dir, steps, seed, base_ckpt), ValueError),
        # document checks
        (lambda: train_from_config(files["broken.json"], output_dir, steps, seed), ValueError),
        (lambda: train_from_config(files["deep.json"], output_dir, steps, seed), ValueError),
        (lambda: train_from_config(files["dup.yaml"], output_dir, steps, seed), ValueError),
        (lambda: train_from_config(files["two.yaml"], output_dir, steps, seed), ValueError),
        (lambda: train_from_config(files["laughs.yaml"], output_dir, steps, seed), ValueError),
        # the record: construction, reads, assignments (good and bad), deletion, repr
        (lambda: TrainerConfig(config_path, output_dir, steps, seed, base_ckpt), None),
        (lambda: TrainerConfig(config_path=config_path, output_dir=output_dir, steps=index, seed=seed), None),
        (repr_and_read, None),
        (assign("config_path", config_path), None),
        (assign("base_ckpt", base_ckpt), None),
        (assign("base_ckpt", None), None),
        (assign("steps", steps), None),
        (assign("seed", seed), None),
        (assign("steps", "many"), TypeError),
        (assign("seed", 2**32), OverflowError),
        (assign("output_dir", None), TypeError),
        (lambda: delattr(record, "seed"), AttributeError),
    ]
    return calls


def run(calls, launches, count, outcomes):
    for i in range(count):
        if i % LAUNCH_EVERY == 0:
            call, expected = launches[(i // LAUNCH_EVERY) % len(launches)]
        else:
            call, expected = calls[i % len(calls)]
        try:
            call()
            raised = None
        except Exception as exc:  # noqa: BLE001 - compared below
            raised = exc
        if expected is None:
            assert raised is None, (i, raised)
        else:
            assert raised is not None, (i, "no exception, expected", expected)
            assert type(raised) is expected, (i, raised)
        kind = type(raised).__name__ if raised else "ok"
        outcomes[kind] = outcomes.get(kind, 0) + 1
        del raised


def test_soak(cargo, tmp_path, monkeypatch):
    # The cheapest child: a shell that exits with FAKE_CARGO_EXIT.
    fake_cargo.install(cargo.directory, fake_cargo.TRIVIAL)
    monkeypatch.setenv("FAKE_CARGO_EXIT", "0")
    files = make_files(tmp_path)

    # Arguments whose counts are watched: heap strings (one interned), an int
    # beyond the small-int cache, a str subclass instance, an __index__ object.
    watched = {
        "config_path": PathText(files["good.json"]),
        "output_dir": sys.intern("".join(["out/", "run-", "0" * 20])),
        "base_ckpt": "".join(["ckpt/", "b" * 40, ".bin"]),
        "steps": int("1234567890123"),
        "seed": int("40000"),
        "index": Index(7),
    }

    def launch(path, code, expected):
        def call():
            os.environ["FAKE_CARGO_EXIT"] = code
            train_from_config(path, watched["output_dir"], watched["steps"], watched["seed"], watched["base_ckpt"])
        return call, expected

    launches = [
        launch(files["good.json"], "0", None),
        launch(files["good.yaml"], "3", RuntimeError),
        launch(files["good.yml"], "0", None),
        launch(watched["config_path"], "1", RuntimeError),
    ]
    calls = build_calls(files, watched)
    outcomes = {}

    run(calls, launches, WARM_UP, outcomes)
    gc.collect()
    check_rss = not sanitized()  # ASan's quarantine holds freed memory back on purpose

    def snapshot():
        return {
            "rss": rss_bytes(),
            "native heap": native_heap_in_use() if check_rss else None,
            "python blocks": sys.getallocatedblocks(),
            "fds": open_descriptors(),
            "refcounts": {name: sys.getrefcount(value) for name, value in watched.items()},
            "None": sys.getrefcount(None),
            "classes": [sys.getrefcount(c) for c in (TrainerConfig, PathText, FileNotFoundError, TypeError)],
        }

    before = snapshot()
    outcomes.clear()

    run(calls, launches, CALLS, outcomes)
    gc.collect()
    after = snapshot()
    print(f"\nsoak: {CALLS} calls {outcomes}")
    print(f"soak: rss {before['rss']} -> {after['rss']} ({after['rss'] - before['rss']:+d} bytes), "
          f"native heap {before['native heap']} -> {after['native heap']}, "
          f"python blocks {before['python blocks']} -> {after['python blocks']}")
    print(f"soak: fds {len(before['fds'])} -> {len(after['fds'])}, refcounts {before['refcounts']} -> "
          f"{after['refcounts']}, None {before['None']} -> {after['None']}")

    assert sum(outcomes.values()) == CALLS
    assert outcomes.get("ok", 0) > 0 and outcomes.get("RuntimeError", 0) > 0
    assert after["fds"] == before["fds"]
    assert after["refcounts"] == before["refcounts"]
    assert after["None"] == before["None"]
    assert after["classes"] == before["classes"]
    assert after["python blocks"] - before["python blocks"] < 1000
    if check_rss:
        assert after["rss"] - before["rss"] < RSS_SLACK, (before["rss"], after["rss"])
        if before["native heap"] is not None:
            assert after["native heap"] - before["native heap"] < RSS_SLACK
    # Every child was reaped: none left, zombie or otherwise.
    assert children() == []
    with pytest.raises(ChildProcessError):
        os.waitpid(-1, os.WNOHANG)
