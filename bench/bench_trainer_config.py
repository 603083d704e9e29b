"""TrainerConfig against a @dataclass(slots=True) with the same five fields.

Each operation is timed with timeit on both classes in the same run; the best
of several repeats is kept, and the ratio TrainerConfig / dataclass printed
(below 1.0: TrainerConfig is cheaper).

    make bench-config
    .venv/bin/python bench/bench_trainer_config.py [--repeat N] [--number N]
"""

import argparse
import dataclasses
import timeit

from velmora_trainer import TrainerConfig


@dataclasses.dataclass(slots=True)
class SlotsConfig:
    config_path: str
    output_dir: str
    steps: int
    seed: int
    base_ckpt: str | None = None


SETUP_NAMES = {"TrainerConfig": TrainerConfig, "SlotsConfig": SlotsConfig}

# (label, statement); `C` is the class under test, `obj` an instance of it.
OPERATIONS = [
    ("construct, positional", 'C("configs/run.yaml", "runs/out", 1000, 42, "ckpt/base.pt")'),
    ("construct, all keywords",
     'C(config_path="configs/run.yaml", output_dir="runs/out", steps=1000, seed=42, base_ckpt="ckpt/base.pt")'),
    ("read str attribute", "obj.config_path"),
    ("read int attribute", "obj.steps"),
    ("assign str attribute", "obj.output_dir = value_str"),
    ("assign int attribute", "obj.seed = 7"),
    ("repr", "repr(obj)"),
]


def timer(cls, statement):
    namespace = {
        "C": cls,
        "obj": cls("configs/run.yaml", "runs/out", 1000, 42, "ckpt/base.pt"),
        "value_str": "runs/other",
    }
    return timeit.Timer(statement, globals=namespace)


def measure(repeat, number):
    """Best time per operation in ns, as {label: (TrainerConfig, dataclass)}.
    The two classes alternate within every round, so that a busy machine
    slows both alike."""
    timers = [(label, timer(TrainerConfig, st), timer(SlotsConfig, st)) for label, st in OPERATIONS]
    best = {label: [float("inf"), float("inf")] for label, _, _ in timers}
    for _ in range(repeat):
        for label, native, peer in timers:
            for i, t in enumerate((native, peer)):
                best[label][i] = min(best[label][i], t.timeit(number) / number * 1e9)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=25)
    parser.add_argument("--number", type=int, default=20_000)
    args = parser.parse_args()

    best = measure(args.repeat, args.number)
    print(f"{'operation':26} {'TrainerConfig':>14} {'dataclass':>11} {'ratio':>7}")
    for label, (native, peer) in best.items():
        print(f"{label:26} {native:11.1f} ns {peer:8.1f} ns {native / peer:7.2f}")
    worst = max(native / peer for native, peer in best.values())
    print(f"highest ratio: {worst:.2f} (goal: at most 1.00)")
    # Context for the attribute rows: the timing loop itself, and the cheapest
    # read through a built-in get/set descriptor (int.real returns the int).
    loop = min(timeit.repeat("pass", repeat=args.repeat, number=args.number)) / args.number * 1e9
    getset = min(timeit.repeat("n.real", globals={"n": 12345}, repeat=args.repeat,
                               number=args.number)) / args.number * 1e9
    print(f"reference: empty statement {loop:.1f} ns, int.real (get/set descriptor) {getset:.1f} ns")


if __name__ == "__main__":
    main()
