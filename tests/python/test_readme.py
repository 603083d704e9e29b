"""README.md's error examples for the shipped configs are what the installed packages give."""

import pathlib
import re

import pytest

import velmora_check
import velmora_trainer

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
CONFIG = r"(?P<path>examples/configs/[\w.]+)"

# An error example names its file at the end: `Invalid YAML config: ...   (examples/configs/x.yaml)`.
ERRORS = re.findall(rf"^(?P<text>Invalid .+?) +\({CONFIG}\)$", README, re.M)
# A finding printed by velmora_check, as a comment: `# examples/configs/x.yaml:10:3: ...`; a
# trailing "..." shortens the message.
FINDINGS = re.findall(rf"# (?P<text>{CONFIG}:.+)$", README, re.M)


def test_every_broken_config_has_an_example():
    shipped = {f"examples/configs/{p.name}" for p in (ROOT / "examples/configs").glob("broken_*")}
    assert shipped and {path for _, path in ERRORS} == shipped
    assert FINDINGS


@pytest.mark.parametrize("text, path", ERRORS, ids=[f"{p}: {t[:40]}" for t, p in ERRORS])
def test_error_example(text, path, tmp_path):
    with pytest.raises(ValueError) as error:
        velmora_trainer.train_from_config(str(ROOT / path), str(tmp_path / "out"), 1, 1)
    assert str(error.value) == text


@pytest.mark.parametrize("text, path", FINDINGS)
def test_finding_example(text, path, monkeypatch):
    monkeypatch.chdir(ROOT)
    finding = str(velmora_check.check_file(path))
    if text.endswith("..."):
        finding = finding[: len(text) - 3] + "..."
    assert finding == text
