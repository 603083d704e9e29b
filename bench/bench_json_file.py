"""A large JSON file checked from disk: time against a parser, and memory.

    make bench-json-file [JSON_FILE_BENCH_ARGS="--speed-mb 100 --memory-mb 200 --rounds 5"]

Speed: velmora_check.check_file (open, read, UTF-8 and document check) against
pysimdjson's Parser().load on the same file (read and parse), best of the
rounds, both in this process and the same run; the file is in the page cache
for both. Memory: the peak resident size of a fresh interpreter that checks
the file, less that of one that only imported velmora_check (ru_maxrss).
The inputs are the configuration shape of bench_json.py.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_json import generate  # noqa: E402

MB = 1_000_000
PEAK = """
import resource, sys, velmora_check
if sys.argv[1] != "-":
    assert velmora_check.check_file(sys.argv[1]) is None
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def best_of(rounds: int, call) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def peak_kib(path: str) -> int:
    return int(subprocess.run([sys.executable, "-c", PEAK, path], check=True, capture_output=True,
                              text=True).stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--speed-mb", type=int, default=100)
    parser.add_argument("--memory-mb", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    import simdjson
    import velmora_check

    with tempfile.TemporaryDirectory() as folder:
        speed = Path(folder) / "speed.json"
        speed.write_bytes(generate("config", args.speed_mb * MB, 1))
        parse = simdjson.Parser()
        assert velmora_check.check_file(str(speed)) is None
        ours = best_of(args.rounds, lambda: velmora_check.check_file(str(speed)))
        peer = best_of(args.rounds, lambda: parse.load(str(speed)))
        size = speed.stat().st_size / MB
        speed.unlink()

        memory = Path(folder) / "memory.json"
        memory.write_bytes(generate("config", args.memory_mb * MB, 2))
        bare = peak_kib("-")
        checked = peak_kib(str(memory))
        memory_size = memory.stat().st_size / MB

    print(f"{'case':44} {'ours':>10} {'peer':>22} {'ratio':>8}")
    print(f"{f'check_file, {size:.0f} MB JSON':44} {ours * 1000:8.1f}ms "
          f"{'simdjson load':>13} {peer * 1000:6.1f}ms {peer / ours:7.2f}x")
    print(f"{f'peak memory above the interpreter, {memory_size:.0f} MB JSON':60} "
          f"{(checked - bare) / 1024:8.1f} MiB")
    print("ratio = peer time / our time (above 1 the check is faster); goals: >= 1x, < 64 MiB")


if __name__ == "__main__":
    main()
