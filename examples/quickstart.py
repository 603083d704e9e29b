"""A whole training loop through velmora_trainer, with the bundled example trainer.

1. trains from examples/configs/train.yaml into a fresh output directory,
2. resumes from the checkpoint it wrote (base_ckpt),
3. shows the error for a broken configuration,
4. prints where the checkpoints are.

Everything is written into one temporary folder, removed on exit unless KEEP=1
is set in the environment. Exits 0 only when both runs really ran and wrote
their checkpoints.
"""

import os
import pathlib
import signal
import sys
import tempfile

import velmora_trainer

HERE = pathlib.Path(__file__).resolve().parent
CONFIGS = HERE / "configs"


def main() -> int:
    keep = os.environ.get("KEEP", "") not in ("", "0")
    # SIGTERM ends the run through SystemExit, so the trainer is stopped and the folder removed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    with tempfile.TemporaryDirectory(prefix="velmora-demo-", delete=not keep) as folder:
        try:
            return demo(pathlib.Path(folder))
        finally:
            if keep:
                print(f"\nthe demo's folder is kept (KEEP=1): {folder}")
            else:
                print(f"\nremoving the demo's folder {folder} (KEEP=1 keeps it)")


def demo(runs: pathlib.Path) -> int:
    first = runs / "first"
    resumed = runs / "resumed"

    print(f"== training {CONFIGS / 'train.yaml'} into {first}", flush=True)
    velmora_trainer.train_from_config(str(CONFIGS / "train.yaml"), str(first), 200, 42)
    checkpoint = first / "model.ckpt"
    if not checkpoint.is_file():
        print(f"no checkpoint was written at {checkpoint}", file=sys.stderr)
        return 1

    print(f"\n== resuming from {checkpoint} into {resumed}", flush=True)
    velmora_trainer.train_from_config(
        str(CONFIGS / "train.json"), str(resumed), 200, 42, base_ckpt=str(checkpoint)
    )
    resumed_checkpoint = resumed / "model.ckpt"
    if not resumed_checkpoint.is_file():
        print(f"no checkpoint was written at {resumed_checkpoint}", file=sys.stderr)
        return 1

    print("\n== a broken configuration is refused before anything runs", flush=True)
    for broken in ("broken_duplicate_key.yaml", "broken_trailing_comma.json"):
        try:
            velmora_trainer.train_from_config(str(CONFIGS / broken), str(runs / "never"), 10, 1)
        except ValueError as error:
            print(f"{broken}: ValueError: {error}")
        else:
            print(f"{broken} was accepted", file=sys.stderr)
            return 1

    request = velmora_trainer.TrainerConfig(
        str(CONFIGS / "train.yaml"), str(resumed), 200, 42, str(checkpoint)
    )
    print(f"\n== the same request as a record:\n{request!r}")
    print(f"\ncheckpoints: {checkpoint}\n             {resumed_checkpoint}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
