"""velmora-check's output formats other than text: JSON, SARIF and GitHub
workflow commands. Apart from cli, so that the text format's runs do not load
them."""

from __future__ import annotations

import os

from velmora_check import Finding, __version__
from velmora_check.cli import shown

KINDS = ("not-found", "read", "name", "json", "yaml", "schema")
KIND_DESCRIPTIONS = {
    "not-found": "The configuration file does not exist.",
    "read": "The configuration file cannot be read, or is not UTF-8.",
    "name": "The file name does not end in .json, .yaml or .yml.",
    "json": "The file is not exactly one valid JSON value.",
    "yaml": "The file is not exactly one valid YAML document.",
    "schema": "A value of the configuration does not match the schema given with --schema.",
}


def as_dict(f: Finding) -> dict[str, object]:
    # JSON escapes control characters itself; only surrogates need escaping.
    fields: dict[str, object] = {
        "path": shown(f.path, controls=False), "line": f.line, "column": f.column,
        "message": shown(f.message, controls=False), "kind": f.kind,
    }
    if f.related is not None:
        fields["related"] = {"line": f.related[0], "column": f.related[1]}
    return fields


def render_json(findings: list[Finding]) -> str:
    import json

    # ASCII with escapes, and no lone surrogate left: strict JSON.
    return json.dumps([as_dict(f) for f in findings], indent=2) + "\n"


def artifact_uri(path: str) -> str:
    """The path's URI, percent-encoded from its bytes (a name that is not UTF-8
    keeps its bytes)."""
    if os.path.isabs(path):
        from pathlib import Path

        return Path(path).as_uri()
    from urllib.parse import quote_from_bytes

    return quote_from_bytes(os.fsencode(path.replace(os.sep, "/")), safe="/")


def related_text(message: str) -> str:
    """What a finding's related location is, for SARIF."""
    if "duplicate entry" in message:
        return "the repeated key"
    if "more than one document" in message:
        return "the second document"
    return "related location"


def render_sarif(findings: list[Finding]) -> str:
    import json

    rules = [
        {"id": kind, "name": kind, "shortDescription": {"text": KIND_DESCRIPTIONS[kind]}}
        for kind in KINDS
    ]
    results = []
    for f in findings:
        location: dict[str, object] = {"artifactLocation": {"uri": artifact_uri(f.path)}}
        # SARIF positions start at 1; an empty JSON file's "column 0" has none.
        region = {}
        if f.line is not None and f.line >= 1:
            region["startLine"] = f.line
            if f.column is not None and f.column >= 1:
                region["startColumn"] = f.column
        if region:
            location["region"] = region
        result: dict[str, object] = {
            "ruleId": f.kind,
            "ruleIndex": KINDS.index(f.kind),
            "level": "error",
            "message": {"text": shown(f.message, controls=False)},
            "locations": [{"physicalLocation": location}],
        }
        if f.related is not None:
            result["relatedLocations"] = [{
                "id": 1,
                "physicalLocation": {
                    "artifactLocation": {"uri": artifact_uri(f.path)},
                    "region": {"startLine": f.related[0], "startColumn": f.related[1]},
                },
                "message": {"text": related_text(f.message)},
            }]
        results.append(result)
    log = {
        "$schema": "https://json.schemastore.org/sarif-2.1.0.json",
        "version": "2.1.0",
        "runs": [
            {
                "tool": {"driver": {"name": "velmora-check", "version": __version__, "rules": rules}},
                "results": results,
            }
        ],
    }
    return json.dumps(log, indent=2) + "\n"


def escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def escape_property(text: str) -> str:
    return escape_data(text).replace(":", "%3A").replace(",", "%2C")


def render_github(findings: list[Finding]) -> str:
    lines = []
    for f in findings:
        props = f"file={escape_property(shown(f.path))}"
        if f.line is not None:
            props += f",line={f.line},col={f.column}"
        lines.append(f"::error {props}::{escape_data(shown(f.message))}\n")
    return "".join(lines)
