"""The example trainer's config.schema.json on the table of configs that the
trainer's own tests run (examples/trainer/tests/schema_cases.json): each row's
values are valid exactly when the row says `accepted`."""

import json
from pathlib import Path

import pytest

jsonschema_rs = pytest.importorskip("jsonschema_rs")

ROOT = Path(__file__).resolve().parents[2]
TRAINER = ROOT / "examples" / "trainer"
SCHEMA = json.loads((TRAINER / "config.schema.json").read_text(encoding="utf-8"))
CASES = json.loads((TRAINER / "tests" / "schema_cases.json").read_text(encoding="utf-8"))

try:
    from velmora_check import _native as native
except ImportError:
    native = None


def values(text, kind):
    """The config's values as velmora_check resolves them when it can say
    (ValueError for a document its check refuses), else as the standard
    readers do."""
    if native is not None and hasattr(native, "values"):
        return native.values(text, kind)[0]
    if kind == "json":
        return json.loads(text)
    yaml = pytest.importorskip("yaml")
    return yaml.safe_load(text)


def test_schema_is_a_valid_2020_12_schema():
    assert SCHEMA["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    jsonschema_rs.meta.validate(SCHEMA)


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_schema_decides_like_the_table(case):
    text = (ROOT / case["file"]).read_text(encoding="utf-8") if "file" in case else case["config"]
    try:
        config = values(text, case["kind"])
    except ValueError as e:
        assert not case["accepted"], e
        return
    valid = jsonschema_rs.Draft202012Validator(SCHEMA).is_valid(config)
    assert valid == case["accepted"], config
