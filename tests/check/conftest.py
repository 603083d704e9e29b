"""Shared by the velmora_check tests: the repository's paths and the recording
fake `cargo` of the module's own tests (tests/python/support)."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "python"))
