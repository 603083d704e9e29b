"""Schema checks through the library: each kind of violation in YAML and JSON
at its node, every entry point agreeing, and schemas that cannot be used."""

import json
import os

import pytest

import velmora_check
from velmora_check import Finding, SchemaError, check_file, check_files, check_text, load_schema

jsonschema_rs = pytest.importorskip("jsonschema_rs")

SCHEMA = {
    "type": "object",
    "required": ["model"],
    "properties": {
        "model": {
            "type": "object",
            "properties": {
                "kind": {"enum": ["mlp", "conv"]},
                "layers": {"type": "array", "items": {"$ref": "#/$defs/layer"}},
            },
            "additionalProperties": False,
        },
        "optimizer": {
            "properties": {
                "learning_rate": {"type": "number", "exclusiveMinimum": 0, "maximum": 1},
                "name": {"type": "string", "pattern": "^[a-z]+$"},
            },
        },
        "seed": {"type": "integer"},
        "note": {"type": "null"},
        "flag": {"type": "boolean"},
    },
    "$defs": {"layer": {"type": "object", "required": ["width"], "properties": {"width": {"minimum": 1}}}},
}

# (id, YAML text, the same values as JSON, [(message, where in YAML, where in
# JSON)]): a place is the unique snippet at whose first character the finding
# is, in document order.
CASES = [
    ("valid, scalars resolved", "model: {kind: mlp}\nseed: 0x10\nnote: ~\nflag: true\noptimizer:\n  learning_rate: 1.0e-3\n",
     '{"model": {"kind": "mlp"}, "seed": 16, "note": null, "flag": true, "optimizer": {"learning_rate": 1.0e-3}}', []),
    ("type", "model: {}\noptimizer:\n  learning_rate: fast\nseed: '16'\n",
     '{"model": {},\n "optimizer": {"learning_rate": "fast"}, "seed": "16"}',
     [('optimizer.learning_rate: "fast" is not of type "number"', "fast", '"fast"'),
      ('seed: "16" is not of type "integer"', "'16'", '"16"')]),
    ("type of a flow collection, at its bracket", "model: [mlp]\n", '{"model": ["mlp"]}',
     [('model: ["mlp"] is not of type "object"', "[mlp]", '["mlp"]')]),
    ("enum", "model:\n  kind: rnn\n", '{"model": {"kind": "rnn"}}',
     [('model.kind: "rnn" is not one of "mlp" or "conv"', "rnn", '"rnn"')]),
    ("range", "model: {}\noptimizer: {learning_rate: 0}\n", '{"model": {}, "optimizer": {"learning_rate": 0}}',
     [("optimizer.learning_rate: 0 is less than or equal to the minimum of 0", "0}", "0}")]),
    ("pattern", "model: {}\noptimizer:\n  name: Adam\n", '{"model": {}, "optimizer": {"name": "Adam"}}',
     [('optimizer.name: "Adam" does not match "^[a-z]+$"', "Adam", '"Adam"')]),
    ("required, at the mapping that lacks it", "optimizer:\n  name: sgd\n", '\n  {"optimizer": {"name": "sgd"}}',
     [('"model" is a required property', "optimizer", '{"optimizer"')]),
    ("additionalProperties, at each key", 'model:\n  kind: mlp\n  size: 3\n  "my key": 1\n',
     '{"model": {"kind": "mlp", "size": 3, "my key": 1}}',
     [("model: Additional properties are not allowed ('size' was unexpected)", "size", '"size"'),
      ("model: Additional properties are not allowed ('my key' was unexpected)", '"my key"', '"my key"')]),
    ("items through $ref", "model:\n  layers:\n    - width: 0\n    - depth: 2\n    - 7\n",
     '{"model": {"layers": [{"width": 0}, {"depth": 2}, 7]}}',
     [("model.layers[0].width: 0 is less than the minimum of 1", "0\n", "0}"),
      ('model.layers[1]: "width" is a required property', "depth", '{"depth"'),
      ('model.layers[2]: 7 is not of type "object"', "7", "7]")]),
    ("root", "- 1\n", "[1]", [('[1] is not of type "object"', "-", "[")]),
]


def at(text, snippet):
    assert text.count(snippet) == 1, (text, snippet)
    before = text[: text.index(snippet)]
    return before.count("\n") + 1, len(before) - before.rfind("\n")


@pytest.fixture(scope="module")
def schema(tmp_path_factory):
    path = tmp_path_factory.mktemp("schema") / "config.schema.json"
    path.write_text(json.dumps(SCHEMA))
    return load_schema(path)


@pytest.mark.parametrize("name, yaml_text, json_text, expected", CASES, ids=[c[0] for c in CASES])
def test_violations_at_their_nodes(schema, tmp_path, name, yaml_text, json_text, expected):
    # The table itself against the validator on the JSON values.
    valid = jsonschema_rs.validator_for(SCHEMA).is_valid(json.loads(json_text))
    assert valid == (not expected)
    for kind, text, where in (("yaml", yaml_text, 1), ("json", json_text, 2)):
        path = tmp_path / f"config.{kind}"
        path.write_text(text)
        want = [Finding(str(path), *at(text, row[where]), f"Config does not match schema: {row[0]}", "schema")
                for row in expected]
        assert check_files([path], schema=schema) == want
        first = want[0] if want else None
        assert check_file(path, schema=schema.path) == first
        from_text = check_text(text.encode(), kind, schema=schema)
        assert from_text == (first and Finding("<text>", first.line, first.column, first.message, "schema"))


def test_many_files_and_what_fails_before_the_schema(schema, tmp_path):
    paths = []
    for i, (_, yaml_text, json_text, _) in enumerate(CASES):
        for kind, text in (("yaml", yaml_text), ("json", json_text)):
            paths.append(tmp_path / f"{i:02d}.{kind}")
            paths[-1].write_text(text)
    # Each fails a check before the schema's: the same finding as without one.
    (tmp_path / "broken.json").write_text("[1,]")
    (tmp_path / "dir.yaml").mkdir()
    os.mkfifo(tmp_path / "fifo.yaml")  # refused, never waited on
    (tmp_path / "name.txt").write_text("{}")
    failing = [tmp_path / name for name in ("gone.yaml", "broken.json", "dir.yaml", "fifo.yaml", "name.txt")]
    found = check_files(paths + failing, jobs=2, schema=schema)
    assert found == [f for p in paths + failing for f in check_files([p], schema=schema)]
    assert [f for f in found if f.kind != "schema"] == check_files(failing)
    assert len(check_files(failing)) == len(failing)


def test_aliases_and_keys_written_as_other_scalars(tmp_path):
    path = tmp_path / "s.yaml"
    path.write_text("properties:\n  b: {additionalProperties: false}\npropertyNames: {maxLength: 3}\n")
    text = "a: &x {k: 1, j: 2}\nb: *x\n1234: 1\n"
    found = [(f.line, f.column, f.message) for f in check_files([_write(tmp_path, text)], schema=path)]
    assert found == [
        # Below an alias nothing is listed: the alias's own node.
        (2, 4, "Config does not match schema: b: Additional properties are not allowed ('k' was unexpected)"),
        (2, 4, "Config does not match schema: b: Additional properties are not allowed ('j' was unexpected)"),
        (3, 1, 'Config does not match schema: "1234" is longer than 3 characters'),
    ]


def _write(tmp_path, text):
    path = tmp_path / "config.yaml"
    path.write_text(text)
    return path


COMMON = {"common.yaml": "$defs:\n  rate: {type: number}\n"}


@pytest.mark.parametrize("name, text, error", [
    ("gone.json", None, "gone.json: cannot read the schema: No such file or directory"),
    ("bad.json", '{"type": "object",}', "bad.json:1:19: the schema is not one JSON document: Invalid JSON config: "),
    ("two.yaml", "type: object\n---\n", "two.yaml: the schema is not one YAML document: "),
    ("meta.yaml", "properties:\n  a: {type: nope}\n",
     "meta.yaml:2:13: invalid schema: properties.a.type: \"nope\" is not valid under any of the schemas"),
    ("pointer.json", '{"$ref": "#/$defs/none"}', "pointer.json:1:1: invalid schema: Pointer '/$defs/none' does not exist"),
    ("network.json", '{"properties": {"a": {"$ref": "https://example.com/rate.json"}}}',
     "network.json: $ref https://example.com/rate.json would need the network; only local files are read"),
    ("local.json", '{"properties": {"a": {"$ref": "common.yaml#/$defs/rate"}}}', None),
])
def test_schemas_that_cannot_be_used(tmp_path, monkeypatch, name, text, error):
    monkeypatch.chdir(tmp_path)
    for file, content in [*COMMON.items(), (name, text)]:
        if content is not None:
            (tmp_path / file).write_text(content)
    if error is None:  # a $ref to a local file is read
        assert check_text('{"a": "x"}', "json", schema=name).message.endswith('a: "x" is not of type "number"')
        return
    with pytest.raises(SchemaError) as raised:
        load_schema(name)
    assert str(raised.value).startswith(error)

