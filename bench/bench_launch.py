"""train_from_config against its Python peers, measured in one run.

1. Launch overhead: train_from_config on a small valid config whose `cargo`
   exits at once, against subprocess.run of the same argument list (the same
   program). Both are timed again while the process holds a large resident
   heap, since launching must not cost more in a big process.
2. Read + UTF-8 check of a 100 MB file: train_from_config on a file ending in
   one invalid byte (so only the read and the check run) against
   open(path, 'rb').read().decode() of the same file without that byte.

Prints a table of per-call times (best of several rounds) and the ratios.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import velmora_trainer

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from support.fake_cargo import expected_argv  # noqa: E402

train = velmora_trainer.train_from_config


def measure_pair(ours, peer, calls, rounds):
    """Per-call times of both sides, (best, median) each over `rounds` batches of
    `calls` calls. The batches alternate so that both sides see the same load."""
    samples = {ours: [], peer: []}
    for _ in range(rounds):
        for fn in (ours, peer):
            start = time.perf_counter()
            for _ in range(calls):
                fn()
            samples[fn].append((time.perf_counter() - start) / calls)
    return [(min(samples[fn]), statistics.median(samples[fn])) for fn in (ours, peer)]


# The cheapest possible child: a static program that only makes the exit
# system call, so that the launch itself, not the child's start-up, is timed.
TRIVIAL_C = "void _start(void) { __asm__ volatile(\"mov $60, %eax\\n xor %edi, %edi\\n syscall\"); }\n"


def trivial_program(work):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler and os.uname().machine == "x86_64":
        source, program = work / "exit0.c", work / "exit0"
        source.write_text(TRIVIAL_C)
        built = subprocess.run([compiler, "-O2", "-static", "-nostdlib", "-o", str(program), str(source)],
                               capture_output=True)
        if built.returncode == 0 and subprocess.run([str(program)]).returncode == 0:
            return str(program)
    return shutil.which("true")  # dynamically linked: its start-up dominates both sides


def launch_rows(work, calls, rounds):
    bindir = work / "bin"
    bindir.mkdir()
    child = trivial_program(work)
    os.symlink(child, bindir / "cargo")
    os.environ["PATH"] = f"{bindir}{os.pathsep}{os.environ['PATH']}"
    config = work / "c.json"
    config.write_text('{"steps": 10}')
    argv = ["cargo"] + expected_argv(str(config), "out", 10, 1)

    def ours():
        train(str(config), "out", 10, 1)

    def peer():
        subprocess.run(argv, check=True)

    rows = []
    for label in ("small process", "with 1 GiB resident heap"):
        ballast = None
        if label != "small process":
            ballast = bytearray(1 << 30)
            for i in range(0, len(ballast), 4096):
                ballast[i] = 1
        ours(), peer()  # warm up
        (o_best, o_med), (p_best, p_med) = measure_pair(ours, peer, calls, rounds)
        rows.append((f"launch ({label})", o_best, o_med, "subprocess.run", p_best, p_med))
        del ballast
    return rows


def read_rows(work, megabytes, rounds):
    rows = []
    unit = b'{"key": "value", "list": [1, 2, 3], "text": "plain ascii"},\n'
    mixed_unit = '{"cl\u00e9": "valeur \u00e0 \u00e9t\u00e9", "\u540d\u524d": "\u65e5\u672c\u8a9e", "e": "\U0001f600"},\n'
    for label, piece in (("ASCII", unit), ("mixed non-ASCII", mixed_unit.encode())):
        size = megabytes * 1024 * 1024
        body = piece * (size // len(piece))
        invalid = work / f"big-{len(rows)}.json"
        valid = work / f"big-{len(rows)}-valid.json"
        invalid.write_bytes(body + b"\xff")
        valid.write_bytes(body)

        def ours():
            try:
                train(str(invalid), "out", 1, 1)
            except OSError as exc:
                assert "valid UTF-8" in str(exc), exc
            else:
                raise AssertionError("the invalid byte was not found")

        def peer():
            with open(valid, "rb") as f:
                f.read().decode()

        ours(), peer()
        (o_best, o_med), (p_best, p_med) = measure_pair(ours, peer, 1, rounds)
        rows.append((f"read + UTF-8 check, {megabytes} MB {label}", o_best, o_med, "read().decode()", p_best, p_med))
        invalid.unlink()
        valid.unlink()
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200, help="launches per round")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--megabytes", type=int, default=100)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="velmora-bench-") as tmp:
        work = Path(tmp)
        rows = launch_rows(work, args.calls, args.rounds) + read_rows(work, args.megabytes, args.rounds)
    print(f"{'case':44} {'ours best':>10} {'median':>10}   {'peer':16} {'best':>10} {'median':>10} {'ratio':>6}")
    for case, o_best, o_med, peer, p_best, p_med in rows:
        print(f"{case:44} {o_best * 1e3:8.3f}ms {o_med * 1e3:8.3f}ms   {peer:16} {p_best * 1e3:8.3f}ms "
              f"{p_med * 1e3:8.3f}ms {o_best / p_best:5.2f}x")
    print("ratio = ours / peer (best of rounds); goals: launch <= 0.80x, read + check <= 0.33x (3x faster)")


if __name__ == "__main__":
    main()
