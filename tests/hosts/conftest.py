"""Fixtures of the host tests: a shell `cargo` first on PATH for every process started here."""

import os
import stat

import pytest

# Notes its start, prints what T_PRINT asks for, runs T_SECONDS; on INT or
# TERM notes which and stops.
TRAINER = """#!/bin/sh
trap 'echo INT > "$T_DIR/end"; exit 130' INT
trap 'echo TERM > "$T_DIR/end"; exit 143' TERM
echo $$ > "$T_DIR/pid"
echo "$$ $(date +%s.%N)" >> "$T_DIR/starts"
[ -n "$T_PRINT" ] && head -c "$T_PRINT" /dev/zero | tr '\\0' x
i=0
while [ $i -lt $((${T_SECONDS:-0} * 10)) ]; do sleep 0.1; i=$((i+1)); done
exit 0
"""


class Trainer:
    def __init__(self, directory):
        self.directory = directory

    def starts(self):
        path = self.directory / "starts"
        return path.read_text().splitlines() if path.exists() else []

    def pid(self):
        path = self.directory / "pid"
        return int(path.read_text()) if path.exists() else None

    def end(self):
        path = self.directory / "end"
        return path.read_text().strip() if path.exists() else None


@pytest.fixture
def trainer(tmp_path, monkeypatch):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    cargo = bin_dir / "cargo"
    cargo.write_text(TRAINER)
    cargo.chmod(cargo.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("T_DIR", str(tmp_path))
    monkeypatch.delenv("T_PRINT", raising=False)
    monkeypatch.delenv("T_SECONDS", raising=False)
    (tmp_path / "c.json").write_text("{}")
    return Trainer(tmp_path)


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False
