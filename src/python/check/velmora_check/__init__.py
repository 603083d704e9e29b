"""Strict checks of training configuration files, without training.

The checks are exactly those that ``velmora_trainer.train_from_config`` runs
before it launches the trainer, in the same order, with the same messages:
existence, read, UTF-8, name (``.json``, ``.yaml``, ``.yml``), document.
With a schema, a document that passes is then checked against it, its values
read as the trainer reads them (needs jsonschema-rs).

    >>> import velmora_check
    >>> finding = velmora_check.check_file("configs/train.yaml")
    >>> if finding is not None:
    ...     print(finding)  # configs/train.yaml:9:3: Invalid YAML config: ...
    >>> schema = velmora_check.load_schema("config.schema.json")  # once, for many files
    >>> for finding in velmora_check.check_files(["configs"], schema=schema):
    ...     print(finding)  # every violation of every file
"""

from __future__ import annotations

import os

from velmora_check import _native
from velmora_check._schema import Schema, SchemaError
from velmora_check._schema import document_kind as _document_kind
from velmora_check._schema import load_schema as _load_schema
from velmora_check._schema import violations as _schema_violations

# Kept light: the command starts with this import, so nothing heavier than os
# is imported here (typing only for the checkers).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable
    from typing import Literal, TypeAlias

    Kind: TypeAlias = Literal["not-found", "read", "name", "json", "yaml", "schema"]
    StrPath: TypeAlias = str | os.PathLike[str]
    SchemaArg: TypeAlias = Schema | StrPath | None
    _Raw: TypeAlias = tuple[str, str, int | None, int | None, tuple[int, int] | None]

__all__ = [
    "Finding", "Schema", "SchemaError", "check_file", "check_files", "check_text", "load_schema",
    "__version__",
]
__version__: str = _native.__version__

# The path of findings of check_text.
TEXT_PATH = "<text>"


class Finding:
    """Why a configuration would not be launched: an immutable record.

    ``line`` and ``column`` are those of the message's " at line L column C"
    (1-based as written there), or None when the message has no position; for
    a schema violation, those of the offending node's first character (or of
    the key that is not allowed). ``kind`` is the failing check: "not-found",
    "read", "name", "json", "yaml" or "schema". ``related`` is the (line,
    column) of a second place the finding concerns, or None: a repeated key's
    own position (the message names its mapping's), a second document's start.
    """

    __slots__ = ("path", "line", "column", "message", "kind", "related")
    __match_args__ = ("path", "line", "column", "message", "kind")

    path: str
    line: int | None
    column: int | None
    message: str
    kind: Kind
    related: tuple[int, int] | None

    def __init__(
        self, path: str, line: int | None, column: int | None, message: str, kind: Kind,
        related: tuple[int, int] | None = None,
    ) -> None:
        set_field = object.__setattr__
        set_field(self, "path", path)
        set_field(self, "line", line)
        set_field(self, "column", column)
        set_field(self, "message", message)
        set_field(self, "kind", kind)
        set_field(self, "related", related)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Finding is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Finding is immutable: cannot delete {name!r}")

    def _fields(self) -> tuple[str, int | None, int | None, str, str, tuple[int, int] | None]:
        return (self.path, self.line, self.column, self.message, self.kind, self.related)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Finding):
            return NotImplemented
        return self._fields() == other._fields()

    def __hash__(self) -> int:
        return hash(self._fields())

    def __repr__(self) -> str:
        related = "" if self.related is None else f", related={self.related!r}"
        return (
            f"Finding(path={self.path!r}, line={self.line!r}, column={self.column!r}, "
            f"message={self.message!r}, kind={self.kind!r}{related})"
        )

    def __str__(self) -> str:
        if self.line is None:
            return f"{self.path}: {self.message}"
        return f"{self.path}:{self.line}:{self.column}: {self.message}"

    def __reduce__(
        self,
    ) -> tuple[type[Finding], tuple[str, int | None, int | None, str, str, tuple[int, int] | None]]:
        return (Finding, self._fields())


def _path_text(path: StrPath) -> str:
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"path must be str or os.PathLike[str], not {type(path).__name__}")
    return text


def _finding(path: str, raw: _Raw | None) -> Finding | None:
    if raw is None:
        return None
    kind, message, line, column, related = raw
    return Finding(path, line, column, message, kind, related)  # type: ignore[arg-type]


def load_schema(path: StrPath) -> Schema:
    """A JSON Schema file (JSON, or YAML for .yaml and .yml), checked against its
    metaschema, for check_file, check_text and check_files.

    Raises SchemaError for a schema that cannot be used (unreadable, not one
    document, invalid, a ``$ref`` to anything but a local file: nothing is
    fetched), ModuleNotFoundError without jsonschema-rs.
    """
    return _load_schema(_path_text(path))


def _as_schema(schema: Schema | StrPath) -> Schema:
    return schema if isinstance(schema, Schema) else load_schema(schema)


def _violations(path: str, text: str | bytes, kind: Literal["json", "yaml"],
                schema: Schema, checked: bool = False) -> list[Finding]:
    # ValueError when the text does not pass the document check.
    return [Finding(path, line, column, message, "schema")
            for line, column, message in _schema_violations(schema, text, kind, checked)]


def _text_findings(path: str, text: str | bytes, kind: Literal["json", "yaml"],
                   schema: Schema | None) -> list[Finding]:
    """Every finding of a text: the document check's, or the schema's."""
    if schema is None:
        failed = _finding(path, _native.check_text(text, kind))
        return [] if failed is None else [failed]
    try:  # the reading of the values checks the document first
        return _violations(path, text, kind, schema)
    except ValueError:
        failed = _finding(path, _native.check_text(text, kind))
        if failed is None:
            raise
        return [failed]


def _schema_findings(paths: list[str], schema: Schema) -> list[Finding]:
    """Every finding of each file checked against a schema, in order. Each file
    is read once, by the native checks, which keep the text of a file that
    passes them; its values are then read from that text."""
    found: list[Finding] = []
    done = 0
    while done < len(paths):
        # The native call takes the files in turns when their texts grow large.
        read = _native.read_checked(paths[done:] if done else paths)
        for path, item in zip(paths[done:], read):
            if item is None:  # its read failed, then it passed: it changed; one more look
                item = _native.read_checked([path])[0]
                if item is None:
                    raise RuntimeError(f"{path} changed while it was checked")
            if type(item) is bytes:
                found += _violations(path, item, _document_kind(path), schema, True)  # type: ignore[arg-type]
            else:
                found.append(_finding(path, item))  # type: ignore[arg-type]
        done += len(read)
    return found


def check_file(path: StrPath, schema: SchemaArg = None) -> Finding | None:
    """The checks train_from_config runs before it launches, for one file.

    None when train_from_config would go on to launch the trainer; otherwise the
    Finding whose message is the text of the exception it would raise. With a
    schema (a Schema, or a schema file's path), a file that passes is checked
    against it too, and the first violation in document order is its finding;
    check_files gives every violation.
    """
    text = _path_text(path)
    if schema is None:
        return _finding(text, _native.check_file(text))
    found = _schema_findings([text], _as_schema(schema))
    return found[0] if found else None


def check_text(text: str | bytes, kind: Literal["json", "yaml"], schema: SchemaArg = None) -> Finding | None:
    """The document check alone: ``text`` as one JSON value or one YAML document,
    then the schema's first violation when one is given.

    Bytes must be UTF-8, as a file's; the finding's path is "<text>".
    """
    found = _text_findings(TEXT_PATH, text, kind, None if schema is None else _as_schema(schema))
    return found[0] if found else None


def check_files(paths: Iterable[StrPath], jobs: int | None = None, schema: SchemaArg = None) -> list[Finding]:
    """The findings of many files, in input order (a file's schema violations in
    document order), checked by ``jobs`` threads (default: the number of CPUs),
    which run in parallel; with a schema (loaded once), by the calling thread."""
    texts = [_path_text(p) for p in paths]
    if jobs is None:
        jobs = os.process_cpu_count() or 1
    elif not isinstance(jobs, int) or isinstance(jobs, bool):
        raise TypeError(f"jobs must be an int or None, not {type(jobs).__name__}")
    elif jobs < 1:
        raise ValueError(f"jobs must be at least 1, got {jobs}")
    if schema is not None:
        # One thread: reading values and validating hold the interpreter lock,
        # so threads would only take turns.
        return _schema_findings(texts, _as_schema(schema))
    jobs = min(jobs, len(texts))
    raw = _native.check_files(texts) if jobs <= 1 else _check_in_threads(texts, jobs)
    return [f for f in map(_finding, texts, raw) if f is not None]


def _check_in_threads(texts: list[str], jobs: int) -> list[_Raw | None]:
    import itertools
    import threading

    # Small batches handed out in turn keep the threads busy to the end even
    # when file sizes differ; each batch is one native call without the lock.
    size = max(1, min(64, len(texts) // (jobs * 8)))
    batches = [texts[i : i + size] for i in range(0, len(texts), size)]
    results: list[list[_Raw | None]] = [[] for _ in batches]
    next_batch = itertools.count()  # thread-safe: next() holds the lock
    errors: list[BaseException] = []

    def work() -> None:
        try:
            while (i := next(next_batch)) < len(batches):
                results[i] = _native.check_files(batches[i])
        except BaseException as error:  # MemoryError: reported by the caller
            errors.append(error)

    threads = [threading.Thread(target=work, daemon=True) for _ in range(jobs)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return [r for batch in results for r in batch]
