"""The installed distribution: type stubs that match the module, and an sdist that builds
only when told where the trainer is."""

import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _run(args, cwd, **kwargs):
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=900, **kwargs)


def test_stubs_match_the_module(tmp_path):
    pytest.importorskip("mypy")
    result = _run([sys.executable, "-m", "mypy.stubtest", "velmora_trainer"], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


USAGE_OK = """
import velmora_trainer
from velmora_trainer import TrainerConfig, train_from_config

config = TrainerConfig("cfg.yaml", "out", 10, 1)
config.base_ckpt = None
config.steps = config.steps + 1
checkpoint: str | None = config.base_ckpt
version: str = velmora_trainer.__version__
train_from_config(config.config_path, config.output_dir, config.steps, config.seed)
"""

USAGE_BAD = {
    "path not str": "train_from_config(1, 'out', 1, 2)",
    "steps not int": "TrainerConfig('a', 'b', '10', 2)",
    "optional read as str": "x: str = TrainerConfig('a', 'b', 1, 2).base_ckpt",
    "no other attributes": "TrainerConfig('a', 'b', 1, 2).learning_rate",
    "not subclassable": "class Mine(TrainerConfig): pass",
}


@pytest.mark.parametrize("snippet", [USAGE_OK] + [
    "from velmora_trainer import TrainerConfig, train_from_config\n" + body for body in USAGE_BAD.values()
], ids=["ok"] + list(USAGE_BAD))
def test_mypy_uses_the_stubs(tmp_path, snippet):
    pytest.importorskip("mypy")
    (tmp_path / "usage.py").write_text(textwrap.dedent(snippet))
    result = _run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "usage.py"], cwd=tmp_path)
    if snippet is USAGE_OK:
        assert result.returncode == 0, result.stdout
    else:
        assert result.returncode == 1 and "error:" in result.stdout, result.stdout


@pytest.mark.slow
def test_sdist_builds_installs_and_imports(tmp_path):
    pytest.importorskip("build")
    # Build from the files git knows (tracked or not ignored), as a clean checkout has them:
    # build trees (and the links inside them) stay out of the way.
    listed = _run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT)
    assert listed.returncode == 0, listed.stderr
    source = tmp_path / "source"
    for name in filter(None, listed.stdout.split("\0")):
        origin = ROOT / name
        if origin.is_file():
            target = source / name
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(origin, target)
    dist = tmp_path / "dist"
    built = _run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(dist)], cwd=source)
    assert built.returncode == 0, built.stdout + built.stderr
    (sdist,) = dist.glob("velmora_trainer-0.1.4.tar.gz")
    with tarfile.open(sdist) as archive:
        members = {name.partition("/")[2] for name in archive.getnames()}
    # The licences (ours, and the vendored JSON suite's beside it) and the sweep are in; fuzz seeds are not.
    assert {"LICENSE", "tests/data/json-test-suite/LICENSE", "src/python/sweep/velmora_sweep/sweep.py"} <= members
    assert not [name for name in members if name.startswith("fuzz/corpus")]

    venv = tmp_path / "venv"
    assert _run([sys.executable, "-m", "venv", str(venv)], cwd=tmp_path).returncode == 0
    python = venv / "bin" / "python"
    tools = _run([str(python), "-m", "pip", "install", "-q", "scikit-build-core", "cmake", "ninja"], cwd=tmp_path)
    assert tools.returncode == 0, tools.stderr
    install = [str(python), "-m", "pip", "install", "-q", "--no-build-isolation", str(sdist)]
    pip_env = {**os.environ, "PIP_NO_CACHE_DIR": "1"}
    # Without the manifest the module would point into pip's temporary folder: configure stops and says how.
    refused = _run(install, cwd=tmp_path, env=pip_env)
    output = refused.stdout + refused.stderr
    assert refused.returncode != 0, output
    assert "VELMORA_TRAINER_MANIFEST is not set" in output and "*** CMake configuration failed" in output, output
    assert "-C cmake.define.VELMORA_TRAINER_MANIFEST=/abs/path/Cargo.toml" in output, output
    manifest = tmp_path / "trainer" / "Cargo.toml"
    installed = _run([*install, "-C", f"cmake.define.VELMORA_TRAINER_MANIFEST={manifest}"], cwd=tmp_path, env=pip_env)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    probe = _run([str(python), "-c", "import velmora_trainer as v; print(v.__version__, v.__all__)"], cwd=tmp_path)
    assert probe.returncode == 0, probe.stderr
    assert probe.stdout.split()[0] == "0.1.4"
    stubs = venv / "lib" / "python3.13" / "site-packages" / "velmora_trainer-stubs" / "__init__.pyi"
    assert stubs.is_file()
    # The build-time manifest setting is what the installed module carries.
    (module_file,) = stubs.parent.parent.glob("velmora_trainer.cpython-313*.so")
    assert str(manifest).encode() in module_file.read_bytes()
    # The same distribution installs velmora_check, typed, and its command.
    command = _run([str(venv / "bin" / "velmora-check"), "--version"], cwd=tmp_path)
    assert command.stdout == "velmora-check 0.1.4\n", command.stderr
    assert (stubs.parent.parent / "velmora_check" / "py.typed").is_file()
    # The licence in the metadata, and the sweep's command.
    (info,) = stubs.parent.parent.glob("velmora_trainer-0.1.4.dist-info")
    assert "License-Expression: MIT\n" in (info / "METADATA").read_text(encoding="utf-8")
    assert (info / "licenses" / "LICENSE").read_text(encoding="utf-8") == (ROOT / "LICENSE").read_text(encoding="utf-8")
    sweep = _run([str(venv / "bin" / "velmora-sweep"), "--help"], cwd=tmp_path)
    assert sweep.returncode == 0 and sweep.stdout.startswith("usage: velmora-sweep "), sweep.stderr
