"""Throughput of the JSON document check against what a Python user would call.

Generates deterministic inputs of about 1 MB and 20 MB in four shapes, writes
them to a temporary folder and measures, in the same run and on the same bytes:

  check    check_json_document, timed by the C++ driver bench/json_throughput.cpp
           (file read into memory once, best of N calls)
  json     CPython's json.loads on the text as a str
  orjson   orjson.loads on the text as bytes (its fastest input)
  memchr   memchr over the same bytes for a byte that never occurs: the ceiling

MB/s are 10^6 bytes per second of input (the UTF-8 size of the file). The ratios
are check speed / peer speed; above 1 the check is faster.

    make bench-json-python
    .venv/bin/python bench/bench_json.py --driver build/bench/velmora_json_throughput [--sizes 1,20] [--shapes config,deep] [--keep DIR]

Times are CPU time of the calling thread (best of N calls), so that waiting for
a core on a shared machine does not count. Timing of the peers follows timeit:
the garbage collector is off while a call runs and each result is dropped
before the next call.
"""

from __future__ import annotations

import argparse
import gc
import json
import platform
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MB = 1_000_000

# Words for the string-heavy and configuration shapes; some are not ASCII.
ASCII_WORDS = (
    "the model was trained on a mixture of web text code and dialogue with the learning rate warmed "
    "up over two thousand steps then decayed along a cosine schedule gradient clipping at one point "
    "zero kept the loss stable while the evaluation set was held out by hash of document id batch "
    "size sequence length tokens per second checkpoint resumed after preemption"
).split()
OTHER_WORDS = (
    "café", "naïve", "Größe", "über", "façade", "résumé", "niño", "smörgåsbord", "Ελληνικά", "данные",
    "обучение", "日本語", "学習率", "模型", "데이터", "संख्या", "עברית", "العربية", "—", "…", "€", "µs",
    "😀", "🚀", "🧪", "✓",
)


def words(rng: random.Random, count: int) -> str:
    """Running text with some non-ASCII words and characters that need escaping."""
    out = []
    for _ in range(count):
        r = rng.random()
        if r < 0.12:
            out.append(rng.choice(OTHER_WORDS))
        elif r < 0.14:
            out.append('"' + rng.choice(ASCII_WORDS) + '"')
        elif r < 0.155:
            out.append("C:\\runs\\" + rng.choice(ASCII_WORDS))
        else:
            out.append(rng.choice(ASCII_WORDS))
        r = rng.random()
        if r < 0.03:
            out.append("\n")
        elif r < 0.04:
            out.append("\t")
        else:
            out.append(" ")
    return "".join(out).strip(" ")


def dump_string(rng: random.Random, s: str) -> str:
    # Most strings keep their UTF-8; some are written with \u escapes only
    # (including surrogate pairs), as ASCII-only writers do.
    return json.dumps(s, ensure_ascii=rng.random() < 0.2)


# --- shapes: each yields JSON texts of elements of a top-level array ---------


def config_elements(rng: random.Random):
    """Realistic nested training configurations, pretty-printed."""
    archs = ("transformer", "convnet", "mlp-mixer", "rnn")
    optimizers = ("adamw", "sgd", "lion", "adafactor")
    n = 0
    while True:
        n += 1
        layers = rng.choice((6, 12, 24, 32, 48))
        run = {
            "name": f"sweep-{rng.randrange(1000):03d}-run-{n:06d}",
            "seed": rng.randrange(2**31),
            "enabled": rng.random() < 0.9,
            "parent": None if rng.random() < 0.7 else f"run-{rng.randrange(n):06d}",
            "model": {
                "arch": rng.choice(archs),
                "layers": layers,
                "hidden": rng.choice((512, 768, 1024, 2048, 4096)),
                "heads": rng.choice((8, 12, 16, 32)),
                "dropout": round(rng.random() * 0.3, 3),
                "activation": rng.choice(("gelu", "relu", "swiglu")),
                "vocab_size": rng.choice((32000, 50257, 128256)),
                "tie_embeddings": rng.random() < 0.5,
                "init": {"scheme": "normal", "std": round(rng.uniform(0.005, 0.05), 4)},
            },
            "optimizer": {
                "name": rng.choice(optimizers),
                "lr": float(f"{rng.uniform(1e-5, 1e-3):.3e}"),
                "betas": [0.9, rng.choice((0.95, 0.98, 0.999))],
                "eps": 1e-8,
                "weight_decay": rng.choice((0.0, 0.01, 0.1)),
                "grad_clip": 1.0,
            },
            "schedule": {
                "kind": rng.choice(("cosine", "linear", "constant")),
                "warmup_steps": rng.choice((500, 1000, 2000)),
                "total_steps": rng.randrange(10_000, 500_000),
                "min_lr_ratio": 0.1,
            },
            "data": {
                "train": [f"/data/shards/train-{rng.randrange(4096):05d}.bin" for _ in range(rng.randrange(2, 6))],
                "valid": f"/data/shards/valid-{rng.randrange(64):03d}.bin",
                "batch_size": rng.choice((64, 128, 256, 512)),
                "seq_len": rng.choice((512, 1024, 2048, 4096)),
                "shuffle": True,
                "num_workers": rng.choice((2, 4, 8)),
            },
            "layer_overrides": [
                {"index": i, "lr_scale": round(0.95**i, 6), "frozen": i < 2 and rng.random() < 0.3}
                for i in range(0, layers, rng.choice((4, 6, 8)))
            ],
            "checkpoint": {"dir": f"/ckpt/run-{n:06d}", "every": 1000, "keep": rng.randrange(1, 10), "resume": None},
            "logging": {"every": 10, "backends": ["stdout", "tensorboard"], "tags": {"team": "nlp", "owner": "mkoch"}},
            "notes": words(rng, rng.randrange(3, 20)),
        }
        yield json.dumps(run, indent=2, ensure_ascii=False).replace("\n", "\n  ")


def number_elements(rng: random.Random):
    """Rows of numbers: weights, counts, scientific notation, short decimals."""
    while True:
        row = []
        for _ in range(64):
            r = rng.random()
            if r < 0.6:
                row.append(repr(rng.gauss(0.0, 0.05)))
            elif r < 0.8:
                row.append(str(rng.randrange(-(10**9), 10**12)))
            elif r < 0.9:
                row.append(f"{rng.uniform(1, 10):.6g}e{rng.randrange(-300, 300)}")
            else:
                row.append(f"{rng.uniform(-100, 100):.3f}")
        yield "[" + ",".join(row) + "]"


def string_elements(rng: random.Random):
    """Records that are mostly text: escapes, raw UTF-8 and \\u escapes."""
    n = 0
    while True:
        n += 1
        yield (
            '{"id": ' + str(n)
            + ', "prompt": ' + dump_string(rng, words(rng, rng.randrange(10, 120)))
            + ', "completion": ' + dump_string(rng, words(rng, rng.randrange(20, 300)))
            + ', "tags": [' + ", ".join(dump_string(rng, words(rng, 2)) for _ in range(rng.randrange(1, 4))) + "]}"
        )


def deep_elements(rng: random.Random):
    """Nests 100 to 125 levels deep (126 open with the top-level array),
    alternating objects and arrays with a few scalars at each level."""
    while True:
        depth = rng.randrange(100, 126)
        head, tail = [], []
        for level in range(depth):
            if level % 2 == 0:
                head.append('{"level": ' + str(level) + ', "tag": "l' + str(level) + '", "next": ')
                tail.append("}")
            else:
                head.append("[" + str(rng.randrange(1000)) + ", " + rng.choice(("true", "false", "null")) + ", ")
                tail.append("]")
        yield "".join(head) + repr(rng.random()) + "".join(reversed(tail))


SHAPES = {
    "config": (config_elements, ",\n  "),
    "numbers": (number_elements, ",\n"),
    "strings": (string_elements, ",\n"),
    "deep": (deep_elements, ",\n"),
}


def generate(shape: str, target: int, seed: int) -> bytes:
    elements, sep = SHAPES[shape]
    rng = random.Random(seed)
    parts, size = [], 2
    for text in elements(rng):
        parts.append(text)
        size += len(text.encode()) + len(sep)
        if size >= target:
            break
    data = ("[" + sep.lstrip(",") + sep.join(parts) + "\n]\n").encode()
    json.loads(data)  # the generator must make valid JSON
    return data


# --- timing ------------------------------------------------------------------


def best_of(reps: int, call, arg) -> float:
    best = float("inf")
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(reps):
            start = time.thread_time()
            result = call(arg)
            took = time.thread_time() - start
            del result
            best = min(best, took)
    finally:
        if enabled:
            gc.enable()
    return best


def python_reps(size: int) -> int:
    return max(3, min(20, 20 * MB // size))


def run_driver(driver: str, path: Path, reps: int | None) -> tuple[float, float]:
    cmd = [driver] + (["--reps", str(reps)] if reps else []) + [str(path)]
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"driver failed on {path.name} (status {out.returncode}): {out.stderr.strip()}")
    _, size, check, scan = out.stdout.strip().split("\t")
    if int(size) != path.stat().st_size:
        sys.exit(f"driver read {size} bytes of {path.name}, expected {path.stat().st_size}")
    return float(check), float(scan)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", default="build/bench/velmora_json_throughput", help="path of the built driver")
    parser.add_argument("--sizes", default="1,20", help="input sizes in MB, comma-separated")
    parser.add_argument("--shapes", default=",".join(SHAPES), help="shapes, comma-separated")
    parser.add_argument("--reps", type=int, default=None, help="calls per measurement (default: by size)")
    parser.add_argument("--keep", default=None, help="write the inputs here instead of a temporary folder")
    args = parser.parse_args()

    import orjson  # only needed once the arguments are fine

    sizes = [float(s) for s in args.sizes.split(",")]
    shapes = args.shapes.split(",")
    for shape in shapes:
        if shape not in SHAPES:
            sys.exit(f"unknown shape {shape!r}; known: {', '.join(SHAPES)}")

    print(f"# {platform.processor() or platform.machine()}, Python {platform.python_version()}, orjson {orjson.__version__}")
    print("# MB/s = 10^6 input bytes per CPU second, best of N calls; ratios are check speed / peer speed")
    header = f"{'shape':<8} {'size':>8} {'check':>8} {'json':>8} {'orjson':>8} {'memchr':>8} {'/json':>7} {'/orjson':>8} {'/memchr':>8}"
    print(header)
    print("-" * len(header))

    rows = []
    with tempfile.TemporaryDirectory(prefix="bench_json_") as tmp:
        folder = Path(args.keep) if args.keep else Path(tmp)
        folder.mkdir(parents=True, exist_ok=True)
        for size_mb in sizes:
            for shape in shapes:
                seed = 1000 * list(SHAPES).index(shape) + int(size_mb)
                data = generate(shape, int(size_mb * MB), seed)
                path = folder / f"{shape}-{size_mb:g}mb.json"
                path.write_bytes(data)
                text = data.decode()

                check_s, scan_s = run_driver(args.driver, path, args.reps)
                reps = args.reps or python_reps(len(data))
                json_s = best_of(reps, json.loads, text)
                orjson_s = best_of(reps, orjson.loads, data)

                speed = {k: len(data) / MB / s for k, s in
                         (("check", check_s), ("json", json_s), ("orjson", orjson_s), ("memchr", scan_s))}
                rows.append((shape, speed))
                print(
                    f"{shape:<8} {len(data) / MB:>6.1f}MB {speed['check']:>8.0f} {speed['json']:>8.0f} "
                    f"{speed['orjson']:>8.0f} {speed['memchr']:>8.0f} {speed['check'] / speed['json']:>6.1f}x "
                    f"{speed['check'] / speed['orjson']:>7.2f}x {speed['check'] / speed['memchr']:>7.3f}x",
                    flush=True,
                )

    # The goals, reported (never asserted: speed depends on the machine).
    misses = []
    for shape, speed in rows:
        if speed["check"] < 5 * speed["json"]:
            misses.append(f"{shape}: check/json {speed['check'] / speed['json']:.1f}x < 5x")
        if speed["check"] < 2 * speed["orjson"]:
            misses.append(f"{shape}: check/orjson {speed['check'] / speed['orjson']:.2f}x < 2x")
        if shape == "strings" and speed["check"] < 1000:
            misses.append(f"{shape}: {speed['check']:.0f} MB/s < 1000 MB/s")
    print()
    print("goals (>= 5x json, >= 2x orjson, strings >= 1 GB/s):", "all met" if not misses else "missed")
    for miss in misses:
        print("  " + miss)


if __name__ == "__main__":
    main()
