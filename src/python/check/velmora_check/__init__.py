"""Strict checks of training configuration files, without training.

The checks are exactly those that ``velmora_trainer.train_from_config`` runs
before it launches the trainer, in the same order, with the same messages:
existence, read, UTF-8, name (``.json``, ``.yaml``, ``.yml``), document.

    >>> import velmora_check
    >>> finding = velmora_check.check_file("configs/train.yaml")
    >>> if finding is not None:
    ...     print(finding)  # configs/train.yaml:9:3: Invalid YAML config: ...
"""

from __future__ import annotations

import os

from velmora_check import _native

# Kept light: the command starts with this import, so nothing heavier than os
# is imported here (typing only for the checkers).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable
    from typing import Literal, TypeAlias

    Kind: TypeAlias = Literal["not-found", "read", "name", "json", "yaml"]
    StrPath: TypeAlias = str | os.PathLike[str]

__all__ = ["Finding", "check_file", "check_files", "check_text", "__version__"]
__version__: str = _native.__version__

# The path of findings of check_text.
TEXT_PATH = "<text>"


class Finding:
    """Why a configuration would not be launched: an immutable record.

    ``line`` and ``column`` are those of the message's " at line L column C"
    (1-based as written there), or None when the message has no position.
    ``kind`` is the failing check: "not-found", "read", "name", "json" or "yaml".
    """

    __slots__ = ("path", "line", "column", "message", "kind")
    __match_args__ = ("path", "line", "column", "message", "kind")

    path: str
    line: int | None
    column: int | None
    message: str
    kind: Kind

    def __init__(
        self, path: str, line: int | None, column: int | None, message: str, kind: Kind
    ) -> None:
        set_field = object.__setattr__
        set_field(self, "path", path)
        set_field(self, "line", line)
        set_field(self, "column", column)
        set_field(self, "message", message)
        set_field(self, "kind", kind)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Finding is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Finding is immutable: cannot delete {name!r}")

    def _fields(self) -> tuple[str, int | None, int | None, str, str]:
        return (self.path, self.line, self.column, self.message, self.kind)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Finding):
            return NotImplemented
        return self._fields() == other._fields()

    def __hash__(self) -> int:
        return hash(self._fields())

    def __repr__(self) -> str:
        return (
            f"Finding(path={self.path!r}, line={self.line!r}, column={self.column!r}, "
            f"message={self.message!r}, kind={self.kind!r})"
        )

    def __str__(self) -> str:
        if self.line is None:
            return f"{self.path}: {self.message}"
        return f"{self.path}:{self.line}:{self.column}: {self.message}"

    def __reduce__(self) -> tuple[type[Finding], tuple[str, int | None, int | None, str, str]]:
        return (Finding, self._fields())


def _path_text(path: StrPath) -> str:
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"path must be str or os.PathLike[str], not {type(path).__name__}")
    return text


def _finding(path: str, raw: tuple[str, str, int | None, int | None] | None) -> Finding | None:
    if raw is None:
        return None
    kind, message, line, column = raw
    return Finding(path, line, column, message, kind)  # type: ignore[arg-type]


def check_file(path: StrPath) -> Finding | None:
    """The checks train_from_config runs before it launches, for one file.

    None when train_from_config would go on to launch the trainer; otherwise the
    Finding whose message is the text of the exception it would raise.
    """
    text = _path_text(path)
    return _finding(text, _native.check_file(text))


def check_text(text: str | bytes, kind: Literal["json", "yaml"]) -> Finding | None:
    """The document check alone: ``text`` as one JSON value or one YAML document.

    Bytes must be UTF-8, as a file's; the finding's path is "<text>".
    """
    return _finding(TEXT_PATH, _native.check_text(text, kind))


def check_files(paths: Iterable[StrPath], jobs: int | None = None) -> list[Finding]:
    """The findings of many files, in input order, checked by ``jobs`` threads
    (default: the number of CPUs), which run in parallel."""
    texts = [_path_text(p) for p in paths]
    if jobs is None:
        jobs = os.process_cpu_count() or 1
    elif not isinstance(jobs, int) or isinstance(jobs, bool):
        raise TypeError(f"jobs must be an int or None, not {type(jobs).__name__}")
    elif jobs < 1:
        raise ValueError(f"jobs must be at least 1, got {jobs}")
    jobs = min(jobs, len(texts))
    if jobs <= 1:
        raw = _native.check_files(texts)
    else:
        raw = _check_in_threads(texts, jobs)
    return [f for f in map(_finding, texts, raw) if f is not None]


def _check_in_threads(
    texts: list[str], jobs: int
) -> list[tuple[str, str, int | None, int | None] | None]:
    import itertools
    import threading

    # Small batches handed out in turn keep the threads busy to the end even
    # when file sizes differ; each batch is one native call without the lock.
    size = max(1, min(64, len(texts) // (jobs * 8)))
    batches = [texts[i : i + size] for i in range(0, len(texts), size)]
    results: list[list[tuple[str, str, int | None, int | None] | None]] = [[] for _ in batches]
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
