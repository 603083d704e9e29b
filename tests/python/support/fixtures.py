"""Fixtures shared by the launcher tests: a recording fake `cargo` first on PATH."""

import json
import os

import pytest

from support import fake_cargo


class FakeCargo:
    def __init__(self, directory, record):
        self.directory = directory
        self.record = record

    def runs(self):
        """Every recorded run, oldest first."""
        if not self.record.exists():
            return []
        return [json.loads(line) for line in self.record.read_text(encoding="utf-8").splitlines()]

    def argvs(self):
        return [run["argv"] for run in self.runs()]


@pytest.fixture
def cargo(tmp_path, monkeypatch):
    """Installs the fake `cargo` first on PATH (in this process's C environment)."""
    directory = tmp_path / "fakebin"
    fake_cargo.install(directory)
    record = tmp_path / "cargo-runs.jsonl"
    monkeypatch.setenv("PATH", f"{directory}{os.pathsep}{os.environ.get('PATH', '')}")
    monkeypatch.setenv("FAKE_CARGO_RECORD", str(record))
    for name in ("FAKE_CARGO_EXIT", "FAKE_CARGO_SIGNAL", "FAKE_CARGO_SLEEP", "FAKE_CARGO_STDOUT",
                 "FAKE_CARGO_STDERR", "FAKE_CARGO_STDIN", "FAKE_CARGO_PROBE"):
        monkeypatch.delenv(name, raising=False)
    return FakeCargo(directory, record)
