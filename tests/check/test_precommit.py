"""The pre-commit hook, through real pre-commit on a scratch git repository:
pre-commit installs this repository (a real build of the package) and runs
velmora-check on the configs being committed.

The hook repository is a snapshot of this checkout, uncommitted changes
included. pre-commit's home is new for each run, so the hook's environment is
always built from these sources (about 15 s with two jobs); pip's cache keeps
the build requirements."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
FIXED = {
    "GIT_AUTHOR_NAME": "velmora", "GIT_AUTHOR_EMAIL": "ci@velmora.invalid",
    "GIT_COMMITTER_NAME": "velmora", "GIT_COMMITTER_EMAIL": "ci@velmora.invalid",
    "GIT_AUTHOR_DATE": "2026-01-01T00:00:00Z", "GIT_COMMITTER_DATE": "2026-01-01T00:00:00Z",
}


def git(cwd, *args, env=None):
    return subprocess.run(["git", "-c", "init.defaultBranch=main", "-c", "commit.gpgsign=false", *args],
                          cwd=cwd, env=env, capture_output=True, text=True)


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    if shutil.which("git") is None:
        pytest.fail("git is needed for the pre-commit test")
    environment = dict(os.environ, **FIXED, PRE_COMMIT_HOME=str(tmp_path_factory.mktemp("pre-commit-home")),
                       CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2"))
    environment.pop("GIT_DIR", None)
    environment.pop("GIT_INDEX_FILE", None)
    return environment


@pytest.fixture(scope="module")
def hook_repo(tmp_path_factory, env):
    """(path, revision) of a snapshot of this checkout's files, the uncommitted ones included."""
    listed = git(ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard", env=env)
    assert listed.returncode == 0, listed.stderr
    repo = tmp_path_factory.mktemp("hook-repo")
    for name in filter(None, listed.stdout.split("\0")):
        source = ROOT / name
        if source.is_file():
            (repo / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, repo / name)
    for args in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "snapshot"]):
        assert git(repo, *args, env=env).returncode == 0
    return repo, git(repo, "rev-parse", "HEAD", env=env).stdout.strip()


SCHEMA = ('{"properties": {"model": {}, "optimizer": {"properties": {"lr": {"type": "number"}}}},'
          ' "additionalProperties": false}')


@pytest.mark.parametrize("args, broken, expected", [
    ("", "model: tiny\noptimizer:\n  lr: 0.1\n  lr: 0.2\n",
     'configs/train.yaml:3:3: Invalid YAML config: optimizer: duplicate entry with key "lr" at line 3 column 3'),
    ("    args: [--schema, config.schema.json]\n    files: ^configs/\n", "model: tiny\noptimizer:\n  lr: fast\n",
     'configs/train.yaml:3:7: Config does not match schema: optimizer.lr: "fast" is not of type "number"'),
], ids=["duplicate-key", "schema"])
def test_hook_fails_a_broken_config_and_passes_the_fix(tmp_path, hook_repo, env, args, broken, expected):
    repo, rev = hook_repo
    work = tmp_path / "project"
    work.mkdir()
    assert git(work, "init", "-q", env=env).returncode == 0
    (work / ".pre-commit-config.yaml").write_text(
        f"repos:\n- repo: {repo}\n  rev: {rev}\n  hooks:\n  - id: velmora-check\n{args}")
    (work / "config.schema.json").write_text(SCHEMA)
    (work / "configs").mkdir()
    (work / "configs" / "train.yaml").write_text(broken)
    (work / "notes.md").write_text("not checked\n")
    pre_commit = [sys.executable, "-m", "pre_commit"]
    installed = subprocess.run([*pre_commit, "install"], cwd=work, env=env, capture_output=True, text=True)
    assert installed.returncode == 0, installed.stdout + installed.stderr

    git(work, "add", "-A", env=env)
    failed = git(work, "commit", "-m", "broken config", env=env)
    output = failed.stdout + failed.stderr
    assert failed.returncode != 0, output
    assert expected in output, output

    (work / "configs" / "train.yaml").write_text("model: tiny\noptimizer:\n  lr: 0.2\n")
    git(work, "add", "-A", env=env)
    passed = git(work, "commit", "-m", "fixed config", env=env)
    assert passed.returncode == 0, passed.stdout + passed.stderr
    assert "velmora-check" in passed.stdout + passed.stderr
