"""Schema checks: a config's values, read as velmora_trainer reads them, against
a JSON Schema, each violation placed at its node in the document.

jsonschema_rs is imported only when a schema is loaded, so that the document
checks start as fast without it.
"""

from __future__ import annotations

import os

from velmora_check import _native

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Literal, TypeAlias

    DocumentKind: TypeAlias = Literal["json", "yaml"]
    Path: TypeAlias = tuple[str | int, ...]
    Position: TypeAlias = tuple[int, int]

MISSING_VALIDATOR = "schema checks need jsonschema-rs: pip install jsonschema-rs"
PREFIX = "Config does not match schema: "
# Errors about a mapping's keys, reported at each key rather than at the mapping.
UNEXPECTED_KEYS = ("AdditionalProperties", "UnevaluatedProperties")


class SchemaError(ValueError):
    """A schema that cannot be used: unreadable, not one JSON or YAML document,
    invalid against its metaschema, or with a ``$ref`` that is not a local file."""


class Schema:
    """A schema loaded once (``load_schema``) for the checks of many files."""

    __slots__ = ("path", "_validator")

    path: str

    def __init__(self, path: str, validator: object) -> None:
        self.path = path
        self._validator = validator

    def __repr__(self) -> str:
        return f"<velmora_check.Schema {self.path!r}>"


def document_kind(path: str) -> DocumentKind | None:
    """The format a file's name gives it, as the name check decides."""
    if path.endswith(".json"):
        return "json"
    if path.endswith((".yaml", ".yml")):
        return "yaml"
    return None


def path_text(path: Path) -> str:
    """`model.layers[0].width`: keys made of letters, digits, `_` and `-` (not
    first) after a dot, any other key as a JSON string in brackets
    (`run["my key"]`), sequence indices in brackets."""
    out = []
    for part in path:
        if isinstance(part, int):
            out.append(f"[{part}]")
        elif part[:1] != "-" and part.replace("-", "_").isidentifier():
            out.append(f".{part}" if out else part)
        else:
            import json

            out.append(f"[{json.dumps(part, ensure_ascii=False)}]")
    return "".join(out)


def _read_document(path: str) -> tuple[Any, dict[Path, Position]]:
    """A schema file's value and its nodes' positions, read by the config
    readers: YAML for .yaml and .yml, JSON for any other name."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise SchemaError(f"{path}: cannot read the schema: {error.strerror or error}") from None
    kind: DocumentKind = "yaml" if path.endswith((".yaml", ".yml")) else "json"
    failed = _native.check_text(data, kind)
    if failed is not None:
        _, message, line, column, _ = failed
        where = path if line is None else f"{path}:{line}:{column}"
        raise SchemaError(f"{where}: the schema is not one {kind.upper()} document: {message}")
    value, nodes, _ = _native.values(data, kind)
    return value, nodes


def load_schema(path: str) -> Schema:
    try:
        import jsonschema_rs
    except ImportError:
        raise ModuleNotFoundError(MISSING_VALIDATOR, name="jsonschema_rs") from None
    document, nodes = _read_document(path)
    refused: list[str] = []

    def retrieve(uri: str) -> Any:
        # Only files: a schema that would fetch from the network would make the
        # check depend on a connection and on what a server says that day.
        if not uri.startswith("file:"):
            refused.append(f"$ref {uri} would need the network; only local files are read")
            raise SchemaError(refused[-1])
        from urllib.parse import urlsplit
        from urllib.request import url2pathname

        try:
            return _read_document(url2pathname(urlsplit(uri).path))[0]
        except SchemaError as error:
            refused.append(f"$ref {uri}: {error}")
            raise

    try:
        # validator_for checks the schema against its draft's metaschema too.
        validator = jsonschema_rs.validator_for(
            document, retriever=retrieve, base_uri=file_uri(path)
        )
    except (jsonschema_rs.ValidationError, jsonschema_rs.ReferencingError) as error:
        if refused:
            raise SchemaError(f"{path}: {refused[0]}") from None
        if isinstance(error, jsonschema_rs.ValidationError):
            at = tuple(error.instance_path)
            line, column = _node_at(nodes, at)
            where = path_text(at)
            raise SchemaError(f"{path}:{line}:{column}: invalid schema: "
                              f"{where + ': ' if where else ''}{error.message}") from None
        raise SchemaError(f"{path}: invalid schema: {str(error).partition('\n')[0]}") from None
    return Schema(path, validator)


def file_uri(path: str) -> str:
    # What pathlib's as_uri gives, without importing pathlib (urllib.parse
    # comes with jsonschema_rs).
    from urllib.parse import quote

    absolute = os.path.realpath(path).replace(os.sep, "/")
    return "file://" + ("" if absolute.startswith("/") else "/") + quote(absolute, safe="/:")


def wanted(paths: list[Path]) -> dict[str | int, Any] | bool:
    """The steps to each of `paths`, for _native.values: True at each path's
    end (its node and all below it), True alone for the root's path."""
    root: dict[str | int, Any] = {}
    for path in paths:
        if not path:
            return True
        node = root
        for step in path[:-1]:
            below = node.setdefault(step, {})
            if below is True:
                break
            node = below
        else:
            node[path[-1]] = True
    return root


def _node_at(nodes: dict[Path, Position], path: Path) -> Position:
    # Nodes reached through an alias are not listed: the nearest listed ancestor.
    while path not in nodes:
        path = path[:-1]
    return nodes[path]


def violations(schema: Schema, text: str | bytes, kind: DocumentKind,
               checked: bool = False) -> list[tuple[int, int, str]]:
    """(line, column, message) of each violation, in document order; ValueError
    when the text does not pass the document check (`checked`: it passed it)."""
    # Most files pass: their values are read without positions, and only a
    # file with a violation is read again for them, its check already passed.
    value, _, _ = _native.values(text, kind, False, checked)
    if schema._validator.is_valid(value):  # type: ignore[attr-defined]
        return []  # no error objects built either
    errors = list(schema._validator.iter_errors(value))  # type: ignore[attr-defined]
    # Only the positions of the nodes at fault (and of all below them: keys
    # that are not allowed, among them) are noted.
    _, nodes, keys = _native.values(text, kind, wanted([tuple(e.instance_path) for e in errors]), True)

    def key_at(path: Path) -> Position:
        return keys.get(path) or _node_at(nodes, path)

    found: list[tuple[int, int, str]] = []

    def add(at: Position, path: Path, message: str) -> None:
        where = path_text(path)
        found.append((*at, f"{PREFIX}{where + ': ' if where else ''}{message}"))

    for error in errors:
        path = tuple(error.instance_path)
        # "Type"; older releases name the class "ValidationErrorKind_Type".
        kind_name = type(error.kind).__name__.removeprefix("ValidationErrorKind_")
        if kind_name == "FalseSchema" and error.schema_path[-1:] == ["additionalProperties"]:
            node: Any = value
            for step in path:
                node = node[step]
            if isinstance(node, dict) and node != error.instance:
                # "additionalProperties: false" beside no properties is compiled
                # to a false schema for the whole mapping, and its one error
                # names only the first value: every key is unexpected.
                for key in node:
                    add(key_at((*path, key)), path, f"Additional properties are not allowed ('{key}' was unexpected)")
                continue
        if kind_name in UNEXPECTED_KEYS:
            # One finding per key, at the key: "... ('a', 'b' were unexpected)"
            # becomes "... ('a' was unexpected)" and "... ('b' was unexpected)".
            unexpected = error.kind.unexpected
            head = error.message.partition(" (")[0]
            for key in unexpected:
                message = error.message if len(unexpected) == 1 else f"{head} ('{key}' was unexpected)"
                add(key_at((*path, key)), path, message)
        elif kind_name == "PropertyNames" and isinstance(error.kind.error.instance, str):
            add(key_at((*path, error.kind.error.instance)), path, error.message)
        elif kind_name == "FalseSchema" and path in keys:
            add(keys[path], path, error.message)  # a key the schema forbids
        else:
            add(_node_at(nodes, path), path, error.message)
    found.sort(key=lambda f: (f[0], f[1]))  # stable: the validator's order at one node
    return found

