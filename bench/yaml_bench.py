"""Throughput and peak memory of the YAML check against libyaml's bare event
loop and against what a Python user would otherwise call.

The C++ driver (bench/yaml_bench.cpp) generates deterministic documents of
five shapes (a nested training configuration, a flat mapping with many keys, a
long sequence of small mappings, many top-level blocks of small mappings, anchors
and aliases) at 1 MB and 20 MB, writes
them to a folder and times libyaml's event loop alone on the text in memory
(pull and delete every event, best of N: the ceiling for any check on
libyaml), and the same loop doing the least any check must (resolve every
scalar, hash every mapping key, keep nothing): its ratio to the raw loop,
floor/raw, bounds what check/raw can reach; mem/raw is the check itself on the same
text in memory, without the file read. This script adds two documents that stress memory (30 MB of empty
sequences, a flat mapping of 3.5 M keys) and, on every document:

  check   velmora_trainer.train_from_config(path, ...) in a child Python
          process per document, with a PATH without the trainer's program, so
          that the call ends right after the check ("program not found"): the
          file read, the UTF-8 check and the YAML check; best of N calls. The
          raw loop of check/raw is timed again right after it, on the same
          file (driver --raw), so that both sides see the same spell of a
          shared machine
  peak    the growth of the child's peak resident memory (ru_maxrss) over its
          first call, per input byte (the file's text is one of those bytes)
  CSafe   PyYAML's yaml.load(text, Loader=yaml.CSafeLoader) on the text read as
          str beforehand (garbage collector off during a call)

It prints MB/s (10^6 bytes of input per second) and the ratios check/raw (goal
>= 0.9, anchors >= 0.85), check/CSafeLoader (goal >= 5) and peak/byte (goal
<= 2). Then the driver's --flood run: the check on 100,000 and 300,000 mapping
keys and 100,000 anchor names chosen to collide under a known hash key (the
check run with that key), against as many ordinary ones (goal: chosen/ordinary within a
small constant factor, here <= 5: the overflow is ordered, a logarithm per key).
The keys also go through the full check alone ("keys-full"): the plain check
keeps whole hashes, and keys of equal hashes would hand a document to it.

With --instructions, valgrind's callgrind also counts the instructions of the
raw loop and of the check in memory on every document (raw/check: what the
check adds to libyaml's own work, unmoved by the machine's load).

    make bench-yaml [YAML_BENCH_ARGS='--sizes 1 --rounds 9']
    .venv/bin/python bench/yaml_bench.py --driver build/bench/velmora_yaml_bench
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import yaml

MB = 1_000_000
# check/raw goals other than 0.9: the anchors shape also binds and looks up
# 200,000 names.
RAW_GOAL = {"anchors": 0.85}


def time_csafeloader(text: str, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        gc.disable()
        try:
            t0 = time.perf_counter()
            value = yaml.load(text, Loader=yaml.CSafeLoader)
            t1 = time.perf_counter()
        finally:
            gc.enable()
        del value
        best = min(best, t1 - t0)
    return best


# One child per document: the first call's peak growth, then the best time.
CHILD = r"""
import json, resource, sys, time
import velmora_trainer
path, out_dir, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])

def peak_rss():
    # ru_maxrss; on Linux the same peak from /proc, which, unlike ru_maxrss,
    # does not start from the peak of the process that started this one.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

best, growth = float("inf"), None
for i in range(rounds):
    before = peak_rss()
    t0 = time.perf_counter()
    try:
        velmora_trainer.train_from_config(path, out_dir, 1, 0)
        outcome = "trained"
    except Exception as e:  # the expected end: the trainer's program is not there
        outcome = str(e)
    t1 = time.perf_counter()
    if growth is None:
        growth = peak_rss() - before
    best = min(best, t1 - t0)
print(json.dumps({"seconds": best, "growth": growth, "outcome": outcome}))
"""


def check_in_child(path: Path, rounds: int, scratch: Path) -> tuple[float, int]:
    # A PATH without the trainer's program (cargo): the call ends after the check.
    env = dict(os.environ, PATH=os.pathsep.join(p for p in ("/usr/bin", "/bin") if Path(p).is_dir()))
    out = subprocess.run([sys.executable, "-c", CHILD, str(path), str(scratch / "out"), str(rounds)],
                         check=True, capture_output=True, text=True, env=env).stdout
    r = json.loads(out)
    if "program not found" not in r["outcome"]:
        raise SystemExit(f"{path}: the call did not end after the check: {r['outcome']}")
    return r["seconds"], r["growth"]


def instructions(driver: str, *args: str) -> int:
    """Instructions the driver runs with `args`, counted by callgrind."""
    err = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", driver, *args],
                         check=True, capture_output=True, text=True).stderr
    return int(next(line for line in err.splitlines() if "Collected" in line).split()[-1])


def count_instructions(driver: str, docs: list[tuple[str, int, str]]) -> list[tuple[str, int, int, int]]:
    """Instructions of the raw loop and of the check on each document, the
    file read taken off both: counts that a shared machine's slow spells
    leave alone, beside the timed ratios."""
    counts = []
    for shape, size_mb, path in docs:
        read = instructions(driver, "--raw", path, "0")
        counts.append((shape, size_mb, instructions(driver, "--raw", path, "1") - read,
                       instructions(driver, "--check", path, "1") - read))
    return counts


def memory_documents(folder: Path) -> list[tuple[str, int, Path]]:
    """The documents of the memory goal: many tiny nodes, many open keys."""
    docs = []
    path = folder / "empty-seqs.yaml"
    with path.open("w") as f:
        f.write("[" + ",".join(["[]"] * 10_000_000) + "]\n")
    docs.append(("emptyseqs", 30, path))
    path = folder / "flat-keys.yaml"
    with path.open("w") as f:
        for start in range(0, 3_500_000, 100_000):
            f.write("".join(f"k{i}: {i % 10}\n" for i in range(start, start + 100_000)))
    docs.append(("flat3.5M", 41, path))
    return docs


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--driver", required=True, help="the built bench/yaml_bench.cpp")
    ap.add_argument("--sizes", default="1,20", help="document sizes in MB, comma-separated")
    ap.add_argument("--rounds", type=int, default=7, help="runs per measurement (3 at 10 MB and more)")
    ap.add_argument("--passes", type=int, default=1, help="times every document is measured (best kept)")
    ap.add_argument("--no-memory-documents", action="store_true", help="skip the two memory documents")
    ap.add_argument("--instructions", action="store_true",
                    help="also count instructions of the raw loop and the check (needs valgrind; slow)")
    ap.add_argument("--keep", help="folder for the generated documents (default: a temporary one)")
    args = ap.parse_args()

    if not hasattr(yaml, "CSafeLoader"):
        print("PyYAML was built without libyaml: yaml.CSafeLoader is missing", file=sys.stderr)
        return 1

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(args.keep or tmp)
        folder.mkdir(parents=True, exist_ok=True)
        # Each pass times every document again, raw loop and check a pass
        # apart at most: the best of each over the passes, so that a slow
        # spell of a shared machine does not land on one side of a ratio only.
        best: dict[tuple[str, int], tuple] = {}
        paths: dict[tuple[str, int], str] = {}
        for _ in range(args.passes):
            out = subprocess.run([args.driver, str(folder), args.sizes, str(args.rounds)],
                                 check=True, capture_output=True, text=True).stdout
            for line in out.splitlines():
                shape, size_mb, nbytes, raw_s, floor_s, mem_s, path = line.split("\t")
                big = int(size_mb) >= 10
                check_s, growth = check_in_child(Path(path), 3 if big else args.rounds, Path(tmp))
                # check/raw takes the raw loop timed right after the check, on the same file.
                near_s = float(subprocess.run([args.driver, "--raw", path, "3" if big else str(args.rounds)],
                                              check=True, capture_output=True, text=True).stdout)
                text = Path(path).read_text(encoding="utf-8")
                peer_s = time_csafeloader(text, 1 if big else max(1, args.rounds // 2))
                del text
                row = (shape, int(size_mb), int(nbytes), check_s, near_s, float(raw_s), float(floor_s),
                       float(mem_s), peer_s, growth)
                earlier = best.get((shape, int(size_mb)))
                if earlier is not None:
                    row = row[:3] + tuple(min(a, b) for a, b in zip(row[3:9], earlier[3:9])) + earlier[9:]
                best[(shape, int(size_mb))] = row
                paths[(shape, int(size_mb))] = path
        rows = list(best.values())
        counts = count_instructions(args.driver, [(*key, p) for key, p in paths.items()]) if args.instructions else []
        if not args.no_memory_documents:
            for shape, size_mb, path in memory_documents(Path(tmp)):
                check_s, growth = check_in_child(path, 1, Path(tmp))
                rows.append((shape, size_mb, path.stat().st_size, check_s, None, None, None, None, None, growth))

    print(f"YAML check through train_from_config ({platform.machine()}, Python {platform.python_version()}, "
          f"PyYAML {yaml.__version__} with libyaml)")
    header = ("shape", "size", "check MB/s", "raw MB/s", "CSafe MB/s", "check/raw", "mem/raw", "floor/raw",
              "check/CSafe", "peak MB", "peak/byte")
    print("{:<10} {:>5} {:>11} {:>9} {:>11} {:>10} {:>8} {:>10} {:>12} {:>8} {:>10}".format(*header))
    ok_speed = ok_memory = True
    for shape, size_mb, nbytes, check_s, near_s, raw_s, floor_s, mem_s, peer_s, growth in rows:
        check = nbytes / check_s / MB
        per_byte = growth / nbytes
        if raw_s is None:
            ok_memory = ok_memory and per_byte <= 2
            print(f"{shape:<10} {size_mb:>3}MB {check:>11.1f} {'':>9} {'':>11} {'':>10} {'':>8} {'':>10} {'':>12} "
                  f"{growth / MB:>8.1f} {per_byte:>10.2f}")
            continue
        raw = nbytes / near_s / MB
        peer = nbytes / peer_s / MB
        r_raw, r_peer = check / raw, check / peer
        ok_speed = ok_speed and r_raw >= RAW_GOAL.get(shape, 0.9) and r_peer >= 5
        print(f"{shape:<10} {size_mb:>3}MB {check:>11.1f} {raw:>9.1f} {peer:>11.2f} {r_raw:>10.2f} "
              f"{raw_s / mem_s:>8.2f} {raw_s / floor_s:>10.2f} {r_peer:>12.1f} {growth / MB:>8.1f} {per_byte:>10.2f}")
    print("goals (check/raw >= 0.9, anchors >= 0.85; check/CSafe >= 5):", "met" if ok_speed else "NOT met on every shape")
    print("goal (peak/byte <= 2 on the memory documents):", "met" if ok_memory else "NOT met")

    if counts:
        print()
        print("Instructions in memory (callgrind), the file read taken off")
        print("{:<10} {:>5} {:>15} {:>15} {:>10}".format("shape", "size", "raw", "check", "raw/check"))
        for shape, size_mb, raw_ir, check_ir in counts:
            print(f"{shape:<10} {size_mb:>3}MB {raw_ir:>15,} {check_ir:>15,} {raw_ir / check_ir:>10.3f}")

    out = subprocess.run([args.driver, "--flood"], check=True, capture_output=True, text=True).stdout
    print()
    print("Keys chosen to collide (check in C++, best of 3, the hash key known to the chooser)")
    print("{:<10} {:>8} {:>8} {:>12} {:>12} {:>8}".format("what", "count", "MB", "chosen s", "ordinary s", "ratio"))
    ok_flood = True
    for line in out.splitlines():
        _, what, count, nbytes, chosen_s, ordinary_s = line.split("\t")
        ratio = float(chosen_s) / float(ordinary_s)
        ok_flood = ok_flood and ratio <= 5
        print(f"{what:<10} {int(count):>8} {int(nbytes) / MB:>8.1f} {float(chosen_s):>12.3f} {float(ordinary_s):>12.3f} "
              f"{ratio:>8.2f}")
    print("goal (chosen/ordinary <= 5):", "met" if ok_flood else "NOT met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
