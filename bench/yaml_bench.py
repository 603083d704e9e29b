"""Throughput of the YAML document check against libyaml's bare event loop and
against what a Python user would otherwise call.

The C++ driver (bench/yaml_bench.cpp) generates deterministic documents of
four shapes (a nested training configuration, a flat mapping with many keys, a
long sequence of small mappings, anchors and aliases) at 1 MB and 20 MB, writes
them to a folder and times, on the text in memory, best of N runs alternating:

  check  check_yaml_document
  raw    libyaml's event loop alone: pull and delete every event (the ceiling)

This script then times PyYAML's yaml.load(text, Loader=yaml.CSafeLoader) on
the same files (text read as str beforehand; garbage collector off during a
call) and prints MB/s (10^6 bytes of input per second) and the ratios
check/raw (goal >= 0.8) and check/CSafeLoader (goal >= 5).

    make bench-yaml [YAML_BENCH_ARGS='--sizes 1 --rounds 9']
    .venv/bin/python bench/yaml_bench.py --driver build/bench/velmora_yaml_bench
"""

from __future__ import annotations

import argparse
import gc
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import yaml

MB = 1_000_000


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


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--driver", required=True, help="the built bench/yaml_bench.cpp")
    ap.add_argument("--sizes", default="1,20", help="document sizes in MB, comma-separated")
    ap.add_argument("--rounds", type=int, default=7, help="runs per measurement (halved at 10 MB and more)")
    ap.add_argument("--keep", help="folder for the generated documents (default: a temporary one)")
    args = ap.parse_args()

    if not hasattr(yaml, "CSafeLoader"):
        print("PyYAML was built without libyaml: yaml.CSafeLoader is missing", file=sys.stderr)
        return 1

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(args.keep or tmp)
        folder.mkdir(parents=True, exist_ok=True)
        out = subprocess.run([args.driver, str(folder), args.sizes, str(args.rounds)],
                             check=True, capture_output=True, text=True).stdout
        rows = []
        for line in out.splitlines():
            shape, size_mb, nbytes, check_s, raw_s, path = line.split("\t")
            text = Path(path).read_text(encoding="utf-8")
            rounds = 1 if int(size_mb) >= 10 else max(1, args.rounds // 2)
            peer_s = time_csafeloader(text, rounds)
            rows.append((shape, int(size_mb), int(nbytes), float(check_s), float(raw_s), peer_s))

    print(f"YAML check throughput ({platform.machine()}, Python {platform.python_version()}, "
          f"PyYAML {yaml.__version__} with libyaml)")
    header = ("shape", "size", "check MB/s", "raw MB/s", "CSafe MB/s", "check/raw", "check/CSafe")
    print("{:<9} {:>5} {:>11} {:>9} {:>11} {:>10} {:>12}".format(*header))
    ok = True
    for shape, size_mb, nbytes, check_s, raw_s, peer_s in rows:
        check = nbytes / check_s / MB
        raw = nbytes / raw_s / MB
        peer = nbytes / peer_s / MB
        r_raw, r_peer = check / raw, check / peer
        ok = ok and r_raw >= 0.8 and r_peer >= 5
        print(f"{shape:<9} {size_mb:>3}MB {check:>11.1f} {raw:>9.1f} {peer:>11.2f} {r_raw:>10.2f} {r_peer:>12.1f}")
    print("goals (check/raw >= 0.8, check/CSafe >= 5):", "met" if ok else "NOT met on every shape")
    return 0


if __name__ == "__main__":
    sys.exit(main())
