"""The values of a checked document, as the schema check reads them."""

import json
import math
from pathlib import Path

import pytest

from velmora_check import _native, _schema

SUITE = Path(__file__).resolve().parents[1] / "data" / "json-test-suite" / "test_parsing"


def same(a, b):
    """Equal values of equal types (1 and 1.0, True and 1 differ)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return a == b


def test_every_accepted_json_file_reads_as_pythons_json_reads_it():
    read = 0
    for path in sorted(SUITE.glob("*.json")):
        data = path.read_bytes()
        if _native.check_text(data, "json") is not None:
            continue
        value, nodes, _ = _native.values(data, "json")
        assert same(value, json.loads(data)), path.name
        assert () in nodes
        read += 1
    assert read > 90


# (text, path, value there, its node's position, its key's position or None)
YAML_CASES = [
    ("a: 1\n", ("a",), 1, (1, 4), (1, 1)),
    ("a: 0x10\n", ("a",), 16, (1, 4), (1, 1)),
    ("a: 0o7\n", ("a",), 7, (1, 4), (1, 1)),
    ("a: -5\n", ("a",), -5, (1, 4), (1, 1)),
    ("a: 1.0e-3\n", ("a",), 1.0e-3, (1, 4), (1, 1)),
    ("a: '16'\n", ("a",), "16", (1, 4), (1, 1)),
    ("a: ~\n", ("a",), None, (1, 4), (1, 1)),
    ("a: null\n", ("a",), None, (1, 4), (1, 1)),
    ("a: true\n", ("a",), True, (1, 4), (1, 1)),
    ("a: !!str 1\n", ("a",), "1", (1, 4), (1, 1)),
    ("a: 18446744073709551615\n", ("a",), 2**64 - 1, (1, 4), (1, 1)),
    ("a: -9223372036854775808\n", ("a",), -(2**63), (1, 4), (1, 1)),
    ("# c\nx:\n  y: [1, {z: é}]\n", ("x", "y", 1, "z"), "é", (3, 14), (3, 11)),
    ("x:\n  - a\n  - b\n", ("x",), ["a", "b"], (2, 3), (1, 1)),
    ("x:\n  - a\n  - b\n", ("x", 1), "b", (3, 5), None),
    ("1: a\ntrue: b\n", ("true",), "b", (2, 7), (2, 1)),
    ("? [1, 2]\n: v\n", ("[1, 2]",), "v", (2, 3), (1, 3)),
    ("a: &k {b: 1}\nc: *k\n", ("c",), {"b": 1}, (2, 4), (2, 1)),
    ("a: &k name\n*k : 1\n", ("name",), 1, (2, 6), (2, 1)),
    ("", (), None, (1, 1), None),
    ("\ufeffk: v\n", ("k",), "v", (1, 4), (1, 1)),
]


@pytest.mark.parametrize("text, path, expected, node_at, key_at", YAML_CASES)
def test_yaml_values_and_positions(text, path, expected, node_at, key_at):
    value, nodes, keys = _native.values(text, "yaml")
    for step in path:
        value = value[step]
    assert same(value, expected)
    assert nodes[path] == node_at
    assert keys.get(path) == key_at
    # A reading for this path alone lists the nodes and keys on the way to it
    # and all below it, as the full reading lists them, and no others.
    _, some_nodes, some_keys = _native.values(text, "yaml", _schema.wanted([path]), True)

    def kept(table):
        return {p: at for p, at in table.items() if p[: len(path)] == path or path[: len(p)] == p}

    assert (some_nodes, some_keys) == (kept(nodes), kept(keys))


def test_a_refused_text_raises_the_checks_message():
    with pytest.raises(ValueError, match=r"^Invalid YAML config: duplicate entry with key \"a\"$"):
        _native.values("a: 1\na: 2\n", "yaml")
    with pytest.raises(ValueError, match=r"^Invalid JSON config: trailing comma at line 1 column 4$"):
        _native.values(b"[1,]", "json")
