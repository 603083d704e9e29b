"""velmora-check against the usual config checks, as whole processes in the same run.

Two generated trees of realistic training configs (variations of
examples/configs/train.yaml and train.json, a few of them broken):
  - a project: --files configs (default 300), half YAML, half JSON;
  - a large tree: --large configs (default 10,000) in nested folders.
Commands, each given the tree's files as pre-commit would:
  - velmora-check (default --jobs, and --jobs 1 / 2 on the large tree);
  - pre-commit-hooks: check-yaml on the YAML files plus check-json on the JSON files;
  - yamllint with only its key-duplicates rule, on every file (JSON is YAML too).
With a schema of those configs (a quarter of the files over its batch size):
  - velmora-check --schema, against check-jsonschema --schemafile, on the project.
Each command runs --rounds times (the peers on the large tree
--large-peer-rounds times), after a warm-up run of velmora-check; the table
shows the median wall time and the ratio of each command's time to
velmora-check's (default jobs).

    python bench/bench_check.py [--files 300] [--large 10000] [--rounds 7]
                                [--large-peer-rounds 1] [--dir DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BIN = Path(sys.executable).parent
YAMLLINT_CONFIG = "{rules: {key-duplicates: enable}}"
# The generated configs' schema: every section closed, a batch size of 128 refused.
SCHEMA = {
    "$schema": "https://json-schema.org/draft/2020-12/schema",
    "type": "object",
    "required": ["run", "model", "optimizer", "data"],
    "additionalProperties": False,
    "properties": {
        "run": {"type": "object", "required": ["name"], "properties": {
            "name": {"type": "string", "pattern": "^experiment-[0-9]+$"},
            "seed": {"type": "integer", "minimum": 0},
            "tags": {"type": "array", "items": {"type": "string"}, "uniqueItems": True}}},
        "model": {"type": "object", "additionalProperties": False, "properties": {
            "kind": {"enum": ["mlp", "transformer", "conv"]},
            "hidden": {"type": "integer", "minimum": 1},
            "layers": {"type": "array", "minItems": 1, "items": {"$ref": "#/$defs/layer"}}}},
        "optimizer": {"$ref": "#/$defs/optimizer"},
        "schedule": {"type": "object", "properties": {
            "warmup_steps": {"type": "integer", "minimum": 0},
            "total_steps": {"type": "integer", "minimum": 1},
            "optimizer": {"$ref": "#/$defs/optimizer"}}},
        "data": {"type": "object", "properties": {
            "train": {"type": "string"}, "eval": {"type": "string"},
            "batch_size": {"type": "integer", "minimum": 1, "maximum": 64},
            "shuffle": {"type": "boolean"}}},
        "checkpoint": {"type": "object", "properties": {
            "every": {"type": "integer", "minimum": 1}, "keep": {"type": "integer", "minimum": 0},
            "notes": {"type": "string"}}},
    },
    "$defs": {
        "layer": {"type": "object", "required": ["name", "width"], "additionalProperties": False, "properties": {
            "name": {"type": "string"}, "width": {"type": "integer", "minimum": 1},
            "dropout": {"type": "number", "minimum": 0, "exclusiveMaximum": 1}}},
        "optimizer": {"type": "object", "required": ["name", "learning_rate"], "properties": {
            "name": {"enum": ["adamw", "sgd"]},
            "learning_rate": {"type": "number", "exclusiveMinimum": 0, "maximum": 1},
            "betas": {"type": "array", "items": {"type": "number"}, "minItems": 2, "maxItems": 2},
            "weight_decay": {"type": "number", "minimum": 0}}},
    },
}


def yaml_config(rng: random.Random, n: int) -> str:
    layers = "\n".join(
        f"    - {{name: block_{i}, width: {rng.choice([128, 256, 512])}, dropout: {rng.random():.3f}}}"
        for i in range(rng.randint(2, 8))
    )
    return f"""# generated training config {n}
run:
  name: experiment-{n}
  seed: {rng.randint(0, 2**31)}
  tags: [baseline, "sweep-{n % 17}", lr-{rng.choice(["low", "mid", "high"])}]
model:
  kind: {rng.choice(["mlp", "transformer", "conv"])}
  hidden: {rng.choice([256, 512, 1024])}
  layers:
{layers}
optimizer: &opt
  name: adamw
  learning_rate: {rng.uniform(1e-5, 1e-2):.6g}
  betas: [0.9, 0.999]
  weight_decay: {rng.uniform(0, 0.1):.4f}
schedule:
  warmup_steps: {rng.randint(0, 2000)}
  total_steps: {rng.randint(10_000, 200_000)}
  optimizer: *opt
data:
  train: "data/train-{n}.jsonl"
  eval: "data/eval-{n}.jsonl"
  batch_size: {rng.choice([16, 32, 64, 128])}
  shuffle: true
checkpoint:
  every: 1000
  keep: 3
  notes: |
    Checkpoints of run {n}.
    Kept for the sweep.
"""


def json_config(rng: random.Random, n: int) -> str:
    layers = ",\n".join(
        f'      {{"name": "block_{i}", "width": {rng.choice([128, 256, 512])}, '
        f'"dropout": {rng.random():.3f}}}'
        for i in range(rng.randint(2, 8))
    )
    return f"""{{
  "run": {{"name": "experiment-{n}", "seed": {rng.randint(0, 2**31)}, "tags": ["baseline", "sweep-{n % 17}"]}},
  "model": {{
    "kind": "{rng.choice(["mlp", "transformer", "conv"])}",
    "hidden": {rng.choice([256, 512, 1024])},
    "layers": [
{layers}
    ]
  }},
  "optimizer": {{"name": "adamw", "learning_rate": {rng.uniform(1e-5, 1e-2):.6g}, "betas": [0.9, 0.999]}},
  "schedule": {{"warmup_steps": {rng.randint(0, 2000)}, "total_steps": {rng.randint(10_000, 200_000)}}},
  "data": {{"train": "data/train-{n}.jsonl", "batch_size": {rng.choice([16, 32, 64, 128])}, "shuffle": true}},
  "checkpoint": {{"every": 1000, "keep": 3}}
}}
"""


def broken(text: str, rng: random.Random, is_json: bool) -> str:
    if is_json:
        return text.replace('"keep": 3', '"keep": 3,', 1)
    return text.replace("  keep: 3\n", "  keep: 3\n  every: 5\n", 1)  # duplicate key


def make_tree(directory: Path, count: int, seed: int) -> tuple[list[str], list[str]]:
    """Writes `count` configs (2 in 50 broken: a trailing comma, a duplicate key) below `directory`; returns the
    YAML and JSON paths."""
    rng = random.Random(seed)
    yaml_files, json_files = [], []
    for n in range(count):
        folder = directory / f"team{n % 10}" / f"project{(n // 10) % 20}"
        folder.mkdir(parents=True, exist_ok=True)
        is_json = n % 2 == 1
        text = json_config(rng, n) if is_json else yaml_config(rng, n)
        if n % 50 in (7, 32):
            text = broken(text, rng, is_json)
        path = folder / (f"config{n}.json" if is_json else f"config{n}.yaml")
        path.write_text(text, encoding="utf-8")
        (json_files if is_json else yaml_files).append(str(path.relative_to(directory)))
    return yaml_files, json_files


def run_once(commands: list[list[str]], cwd: Path) -> float:
    start = time.perf_counter()
    for command in commands:
        subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def measure(tree: Path, yaml_files: list[str], json_files: list[str], rounds: int,
            jobs_variants: list[int], peer_rounds: int) -> list[tuple[str, float]]:
    files = yaml_files + json_files
    entries: list[tuple[str, list[list[str]]]] = [
        ("velmora-check", [[str(BIN / "velmora-check"), "-q", *files]]),
    ]
    for jobs in jobs_variants:
        entries.append((f"velmora-check --jobs {jobs}", [[str(BIN / "velmora-check"), "-q", "--jobs", str(jobs), *files]]))
    entries += [
        ("check-yaml + check-json (pre-commit-hooks)",
         [[str(BIN / "check-yaml"), *yaml_files], [str(BIN / "check-json"), *json_files]]),
        ("yamllint, key-duplicates only", [[str(BIN / "yamllint"), "-d", YAMLLINT_CONFIG, *files]]),
    ]
    return timed(tree, entries, 1 + len(jobs_variants), rounds, peer_rounds)


def measure_schema(tree: Path, files: list[str], rounds: int) -> list[tuple[str, float]]:
    schema = tree / "config.schema.json"
    schema.write_text(json.dumps(SCHEMA, indent=2), encoding="utf-8")
    entries = [
        ("velmora-check --schema", [[str(BIN / "velmora-check"), "-q", "--schema", str(schema), *files]]),
        ("check-jsonschema --schemafile", [[str(BIN / "check-jsonschema"), "--schemafile", str(schema), *files]]),
    ]
    # Both find the same files at fault: the same check, not less work.
    found = [set(faulty_files(command[0], tree)) for _, command in entries]
    if found[0] != found[1] or not found[0]:
        sys.exit(f"bench-check: the schema checks disagree: {sorted(found[0] ^ found[1])[:5]}")
    return timed(tree, entries, 1, rounds, rounds)


def faulty_files(command: list[str], tree: Path) -> list[str]:
    """The generated files a command's output names."""
    out = subprocess.run(command, cwd=tree, capture_output=True, text=True, check=False)
    return re.findall(r"\b(team\d+/project\d+/config\d+\.(?:json|yaml))\b", out.stdout + out.stderr)


def timed(tree: Path, entries: list[tuple[str, list[list[str]]]], ours: int, rounds: int,
          peer_rounds: int) -> list[tuple[str, float]]:
    # Rounds interleave the commands, so that a busy machine slows all alike;
    # the peers may run fewer rounds where one round takes them long.
    times: dict[str, list[float]] = {name: [] for name, _ in entries}
    for name, commands in entries[:ours]:  # warm-up: imports and the file cache
        run_once(commands, tree)
    for r in range(max(rounds, peer_rounds)):
        for i, (name, commands) in enumerate(entries):
            if r < (rounds if i < ours else peer_rounds):
                times[name].append(run_once(commands, tree))
    return [(name, statistics.median(times[name])) for name, _ in entries]


def in_process_scaling(tree: Path, files: list[str], rounds: int) -> str:
    """check_files alone (no interpreter start, no argument parsing, no walk):
    the part of the command that --jobs spreads over threads."""
    import velmora_check

    paths = [str(tree / f) for f in files]
    medians = {}
    for jobs in (1, 2):
        times = []
        for _ in range(rounds):
            start = time.perf_counter()
            velmora_check.check_files(paths, jobs=jobs)
            times.append(time.perf_counter() - start)
        medians[jobs] = statistics.median(times)
    return (f"check_files() in process, {len(paths):,} files: --jobs 1 {medians[1] * 1000:.0f} ms, "
            f"--jobs 2 {medians[2] * 1000:.0f} ms ({medians[1] / medians[2]:.2f}x)")


def table(title: str, rows: list[tuple[str, float]]) -> str:
    ours = rows[0][1]
    out = [f"**{title}**", "", "| Command | median wall time | time / velmora-check |", "|---|---:|---:|"]
    for name, seconds in rows:
        out.append(f"| {name} | {seconds * 1000:.0f} ms | {seconds / ours:.2f}x |")
    return "\n".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--large", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--large-peer-rounds", type=int, default=1,
                        help="rounds of the peers on the large tree (about a minute each)")
    parser.add_argument("--dir", type=Path, help="where the trees are written (default: a temporary folder)")
    args = parser.parse_args()
    for tool in ("velmora-check", "check-yaml", "check-json", "yamllint", "check-jsonschema"):
        if not (BIN / tool).exists():
            sys.exit(f"bench-check: {BIN / tool} is missing (make check-peers installs the peers)")

    base = Path(tempfile.mkdtemp(prefix="velmora-bench-check-", dir=args.dir))
    try:
        print(f"bench-check: {os.cpu_count()} CPUs, {args.rounds} rounds, {sys.version.split()[0]}")
        small = base / "project"
        small_files = make_tree(small, args.files, seed=1)
        print(table(f"{args.files} configs (YAML and JSON, 4% broken)",
                    measure(small, *small_files, args.rounds, [], args.rounds)))
        print()
        print(table(f"{args.files} configs against a schema (4% broken, about 25% over the batch size)",
                    measure_schema(small, small_files[0] + small_files[1], args.rounds)))
        print()
        large = base / "large"
        large_files = make_tree(large, args.large, seed=2)
        print(table(f"{args.large:,} configs", measure(large, *large_files, args.rounds, [1, 2], args.large_peer_rounds)))
        print()
        print(in_process_scaling(large, large_files[0] + large_files[1], args.rounds))
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
