"""A stand-in for the build tool: a program named `cargo` placed first on PATH.

Its behaviour is steered by environment variables so that one installed copy
serves every test:
  FAKE_CARGO_RECORD  file to which one JSON line per run is appended: the
                     arguments after the program name, the working directory,
                     FAKE_CARGO_PROBE's value and (if FAKE_CARGO_STDIN) a line of stdin
  FAKE_CARGO_STDOUT / FAKE_CARGO_STDERR  text written to file descriptor 1 / 2
  FAKE_CARGO_SLEEP   seconds to sleep before ending
  FAKE_CARGO_SIGNAL  signal number the program kills itself with
  FAKE_CARGO_EXIT    exit code (default 0)
"""

import os
import stat
import sys
import textwrap
from pathlib import Path

SCRIPT = textwrap.dedent(
    """\
    #!{python} -IS
    import json, os, signal, sys, time
    env = os.environ
    entry = {{"argv": sys.argv[1:], "cwd": os.getcwd(), "probe": env.get("FAKE_CARGO_PROBE")}}
    if env.get("FAKE_CARGO_STDIN"):
        entry["stdin"] = sys.stdin.readline()
    if env.get("FAKE_CARGO_RECORD"):
        with open(env["FAKE_CARGO_RECORD"], "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\\n")
    if env.get("FAKE_CARGO_STDOUT"):
        os.write(1, env["FAKE_CARGO_STDOUT"].encode())
    if env.get("FAKE_CARGO_STDERR"):
        os.write(2, env["FAKE_CARGO_STDERR"].encode())
    if env.get("FAKE_CARGO_SLEEP"):
        time.sleep(float(env["FAKE_CARGO_SLEEP"]))
    if env.get("FAKE_CARGO_SIGNAL"):
        number = int(env["FAKE_CARGO_SIGNAL"])
        if number not in (signal.SIGKILL, signal.SIGSTOP):
            signal.signal(number, signal.SIG_DFL)
        os.kill(os.getpid(), number)
    sys.exit(int(env.get("FAKE_CARGO_EXIT", "0")))
    """
)

# A shell variant that only exits: the cheapest possible child.
TRIVIAL = "#!/bin/sh\nexit ${FAKE_CARGO_EXIT:-0}\n"


def install(directory: Path, text: str = "") -> Path:
    """Writes an executable `cargo` into `directory` and returns its path."""
    directory.mkdir(parents=True, exist_ok=True)
    program = directory / "cargo"
    program.write_text(text or SCRIPT.format(python=sys.executable), encoding="utf-8")
    program.chmod(program.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return program


def manifest_path() -> str:
    """The manifest path the module was built with (the build's default unless overridden)."""
    default = Path(__file__).resolve().parents[3] / "examples" / "trainer" / "Cargo.toml"
    return os.environ.get("VELMORA_TRAINER_MANIFEST", str(default))


def expected_argv(config_path, output_dir, steps, seed, base_ckpt=None):
    argv = ["run", "--manifest-path", manifest_path(), "--release", "--bin", "train_generic", "--",
            "--config", config_path, "--output-dir", output_dir, "--steps", str(steps), "--seed", str(seed)]
    if base_ckpt is not None:
        argv += ["--base-ckpt", base_ckpt]
    return argv
