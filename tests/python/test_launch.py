"""The trainer launch through train_from_config, against a recording fake cargo."""

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import velmora_trainer
from support import fake_cargo
from support.fake_cargo import expected_argv
from support.fixtures import cargo  # noqa: F401  (fixture)

train = velmora_trainer.train_from_config
LAUNCH = "Failed to launch train_generic command: "
EXITED = "train_generic exited with status: "
MAX_U64 = 2**64 - 1
MAX_U32 = 2**32 - 1


def write_config(path: Path, text: str = "{}") -> str:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return str(path)


CONFIG_NAMES = ["cfg.json", "with space.yaml", 'q"uo\'te.yml', "back\\slash.json", "\u00e9t\u00e9 \u65e5\u672c.json",
                "-dash.json"]
OUTPUT_DIRS = ["out", "", "out dir/with space", 'o"q\'\\', "\u00e9t\u00e9/\U0001f600", "-o", "--"]
NUMBERS = [(0, 0), (1000, 42), (MAX_U64, MAX_U32)]
BASES = ["<omit>", None, "", "ckpt/base.bin", "a b \"c\" \\d \u00e9"]


@pytest.mark.parametrize("name", CONFIG_NAMES)
@pytest.mark.parametrize("output_dir", OUTPUT_DIRS)
def test_paths_reach_the_trainer_unchanged(cargo, tmp_path, monkeypatch, name, output_dir):
    monkeypatch.chdir(tmp_path)
    write_config(tmp_path / name, "a: 1\n" if name.endswith((".yaml", ".yml")) else "{}")
    assert train(name, output_dir, 7, 8) is None  # relative path, as given
    assert cargo.argvs() == [expected_argv(name, output_dir, 7, 8)]


@pytest.mark.parametrize("steps,seed", NUMBERS)
@pytest.mark.parametrize("base", BASES)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_numbers_and_base_checkpoint(cargo, tmp_path, steps, seed, base, by_keyword):
    config = write_config(tmp_path / "c.json")
    args = [config, "out", steps, seed]
    kwargs = {}
    if base != "<omit>":
        if by_keyword:
            kwargs["base_ckpt"] = base
        else:
            args.append(base)
    elif by_keyword:
        kwargs = dict(config_path=config, output_dir="out", steps=steps, seed=seed)
        args = []
    assert train(*args, **kwargs) is None
    assert cargo.argvs() == [expected_argv(config, "out", steps, seed, None if base == "<omit>" else base)]


@pytest.mark.parametrize(
    "env,message",
    [
        ({"FAKE_CARGO_EXIT": "1"}, EXITED + "exit code: 1"),
        ({"FAKE_CARGO_EXIT": "255"}, EXITED + "exit code: 255"),
        ({"FAKE_CARGO_SIGNAL": str(int(signal.SIGKILL))}, EXITED + "signal: 9 (SIGKILL)"),
        ({"FAKE_CARGO_SIGNAL": str(int(signal.SIGTERM))}, EXITED + "signal: 15 (SIGTERM)"),
        ({"FAKE_CARGO_SIGNAL": str(int(signal.SIGSEGV))}, EXITED + "signal: 11 (SIGSEGV)"),
        ({"FAKE_CARGO_EXIT": "0", "FAKE_CARGO_STDERR": "error: but fine\n"}, None),
    ],
)
def test_exit_status(cargo, tmp_path, monkeypatch, env, message):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    config = write_config(tmp_path / "c.json")
    if message is None:
        assert train(config, "out", 1, 2) is None
    else:
        with pytest.raises(RuntimeError) as info:
            train(config, "out", 1, 2)
        assert type(info.value) is RuntimeError
        assert info.value.args == (message,)
    assert len(cargo.runs()) == 1


@pytest.mark.parametrize(
    "output_dir,base",
    [("o\0ut", None), ("out", "b\0"), ("\0", ""), ("out", "\0")],
)
def test_nul_in_an_argument_starts_nothing(cargo, tmp_path, output_dir, base):
    config = write_config(tmp_path / "c.json")
    with pytest.raises(RuntimeError) as info:
        train(config, output_dir, 1, 2, base)
    assert info.value.args == (LAUNCH + "nul byte found in provided data",)
    assert cargo.runs() == []


def test_nul_in_config_path_fails_the_existence_test(cargo, tmp_path):
    config = write_config(tmp_path / "c.json")
    with pytest.raises(FileNotFoundError) as info:
        train(config + "\0.json", "out", 1, 2)
    assert info.value.args == ("Config file not found: " + config + "\0.json",)
    assert cargo.runs() == []


def test_program_not_found(tmp_path, monkeypatch):
    config = write_config(tmp_path / "c.json")
    decoy = tmp_path / "decoys"
    (decoy / "cargo").mkdir(parents=True)  # a directory named cargo
    (decoy / "x").mkdir()
    plain = decoy / "x" / "cargo"
    plain.write_text("#!/bin/sh\nexit 0\n")  # not executable
    plain.chmod(0o644)
    monkeypatch.setenv("PATH", f"{decoy}::{decoy / 'x'}:{tmp_path / 'missing'}")
    with pytest.raises(RuntimeError) as info:
        train(config, "out", 1, 2, "\0")  # the search comes before the NUL check
    assert info.value.args == (LAUNCH + "program not found",)


def test_program_the_system_cannot_start(tmp_path, monkeypatch):
    config = write_config(tmp_path / "c.json")
    fake_cargo.install(tmp_path / "bin", "\x7fELF not really")
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    with pytest.raises(RuntimeError) as info:
        train(config, "out", 1, 2)
    assert info.value.args == (LAUNCH + "Exec format error (os error 8)",)


def test_child_inherits_environment_and_working_directory(cargo, tmp_path, monkeypatch):
    config = write_config(tmp_path / "c.json")
    workdir = tmp_path / "work \u00e9"
    workdir.mkdir()
    monkeypatch.chdir(workdir)
    monkeypatch.setenv("FAKE_CARGO_PROBE", "probe \u00e9 value")
    train(config, "out", 1, 2)
    (run,) = cargo.runs()
    assert run["cwd"] == str(workdir)
    assert run["probe"] == "probe \u00e9 value"


def run_python(code, env, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          timeout=60, **kwargs)


def test_standard_streams_are_the_process_descriptors(cargo, tmp_path):
    """The child writes to fd 1 and 2 and reads fd 0 of the calling process, not
    Python's sys.stdout/sys.stderr objects."""
    config = write_config(tmp_path / "c.json")
    env = dict(os.environ, FAKE_CARGO_STDOUT="child-out\n", FAKE_CARGO_STDERR="child-err\n", FAKE_CARGO_STDIN="1")
    code = f"""
        import io, sys, velmora_trainer
        sys.stdout = io.StringIO()
        sys.stderr = io.StringIO()
        velmora_trainer.train_from_config({config!r}, "out", 1, 2)
        sys.__stdout__.write("returned\\n")
    """
    result = run_python(code, env, input=b"line from parent\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"child-out\nreturned\n"
    assert result.stderr == b"child-err\n"
    assert cargo.runs()[0]["stdin"] == "line from parent\n"


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def children_of(pid):
    """(pid, state) of every process whose parent is `pid`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            fields = Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append((int(entry), fields[0]))
    return found


def test_no_descriptor_or_child_left_after_many_calls(cargo, tmp_path, monkeypatch):
    fake_cargo.install(cargo.directory, fake_cargo.TRIVIAL)  # fast child for volume
    good = write_config(tmp_path / "good.json")
    bad_json = write_config(tmp_path / "bad.json", "[1,]")
    bad_ext = write_config(tmp_path / "c.txt")
    (tmp_path / "d.json").mkdir()
    calls = [
        (lambda: train(good, "out", 1, 2), None),
        (lambda: train(str(tmp_path / "missing.json"), "out", 1, 2), FileNotFoundError),
        (lambda: train(str(tmp_path / "d.json"), "out", 1, 2), OSError),
        (lambda: train(bad_json, "out", 1, 2), ValueError),
        (lambda: train(bad_ext, "out", 1, 2), ValueError),
        (lambda: train(good, "o\0", 1, 2), RuntimeError),
        (lambda: train(good, "out", -1, 2), OverflowError),
    ]
    before = fd_count()
    for i in range(350):
        call, error = calls[i % len(calls)]
        failing_child = i % 2 == 1
        monkeypatch.setenv("FAKE_CARGO_EXIT", "3" if failing_child else "0")
        if error is None and failing_child:
            error = RuntimeError
        if error is None:
            assert call() is None
        else:
            with pytest.raises(error):
                call()
    assert fd_count() == before
    assert children_of(os.getpid()) == []
