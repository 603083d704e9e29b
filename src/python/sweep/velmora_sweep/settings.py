"""Settings of a config file addressed by paths, their values typed as the
config check types them, and a base config with some of them changed.

A path is written `optimizer.learning_rate`, `model.layers[0].width`, or
`run["odd key"]` for a key that is not a plain name. A YAML base is edited
through a round-trip load (comments, order, quoting and indentation are
kept); in a JSON base the text of each changed value is replaced where it
stands, and a new key is put after its mapping's last one, so that
everything else stays byte for byte.
"""

from __future__ import annotations

import io
import json
import math
import re
from collections.abc import Mapping, Sequence
from pathlib import Path

from velmora_check import _native

# The characters of a plain key: anything but the path's own punctuation.
BARE_KEY = re.compile(r'[^.\[\]="\s]+')
INDEX = re.compile(r"\[(\d+)\]")


class SettingError(ValueError):
    """A path, a value or a grid that cannot be used; nothing has run."""


# --- paths ------------------------------------------------------------------


def parse_path(text: str, stop: str = "") -> tuple[tuple, int]:
    """The path at the start of `text` and where it ends (at the end of the
    text, or at a character of `stop`)."""
    parts: list = []
    i = 0
    while i < len(text) and text[i] not in stop:
        if text[i] == "[":
            if match := INDEX.match(text, i):
                parts.append(int(match[1]))
                i = match.end()
                continue
            if text.startswith('["', i):
                try:
                    key, end = json.JSONDecoder().raw_decode(text, i + 1)
                except ValueError:
                    end = -1
                if end > 0 and text.startswith("]", end):
                    parts.append(key)
                    i = end + 1
                    continue
            raise SettingError(f"{text!r}: expected [N] or [\"key\"] at column {i + 1}")
        if parts:
            if text[i] != ".":
                raise SettingError(f"{text!r}: expected '.' or '[' at column {i + 1}")
            i += 1
        match = BARE_KEY.match(text, i)
        if not match:
            raise SettingError(f"{text!r}: expected a key at column {i + 1}")
        parts.append(match[0])
        i = match.end()
    if not parts:
        raise SettingError(f"{text!r}: no setting named")
    return tuple(parts), i


def path_text(path: tuple) -> str:
    out = []
    for part in path:
        if isinstance(part, int):
            out.append(f"[{part}]")
        elif BARE_KEY.fullmatch(part):
            out.append(f".{part}" if out else part)
        else:
            out.append(f"[{json.dumps(part, ensure_ascii=False)}]")
    return "".join(out)


# --- values -----------------------------------------------------------------


def typed_values(text: str) -> list:
    """`0.1,16,true,'16'` as [0.1, 16, True, '16']: the items of a YAML flow
    list, read by the config check itself."""
    try:
        return _native.values(f"v: [{text}]\n", "yaml")[0]["v"]
    except ValueError as error:
        raise SettingError(f"{text!r} is not a list of values: {error}") from None


def show(value) -> str:
    """The value as written on the command line: typed_values(show(v)) == [v]."""
    if isinstance(value, str):
        try:
            if typed_values(value) == [value]:
                return value
        except SettingError:
            pass
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, float) and not math.isfinite(value):
        return ".nan" if math.isnan(value) else ("-.inf" if value < 0 else ".inf")
    return json.dumps(value, ensure_ascii=False)


def same(a, b) -> bool:
    """Equal values of equal types (1, 1.0 and True differ)."""
    return json.dumps(a) == json.dumps(b)


def read_grid(path: Path) -> list[tuple[tuple, list]]:
    """A YAML or JSON mapping of paths to lists of values, read as a config is."""
    import velmora_check

    kind = "json" if path.suffix == ".json" else "yaml" if path.suffix in (".yaml", ".yml") else None
    if kind is None:
        raise SettingError(f"--grid {path}: the name must end in .json, .yaml or .yml")
    if finding := velmora_check.check_file(path):
        raise SettingError(f"--grid {finding}")
    document = _native.values(path.read_bytes(), kind)[0]
    if not isinstance(document, dict):
        raise SettingError(f"--grid {path}: expected a mapping of settings to lists of values")
    axes = []
    for key, values in document.items():
        if not isinstance(values, list) or not values:
            raise SettingError(f"--grid {path}: {key} takes a non-empty list of values")
        axes.append((parse_path(key)[0], values))
    return axes


# --- base configs -----------------------------------------------------------


def _lookup(document, path: tuple, allow_new: bool, create: bool = False):
    """The container that holds the setting at `path`, and its key there.
    With `allow_new`, missing mapping keys are allowed (and made, with `create`)."""
    node = document
    for depth, part in enumerate(path):
        here = path_text(path[: depth + 1])
        if isinstance(part, int):
            if not isinstance(node, Sequence) or isinstance(node, str):
                raise SettingError(f"{path_text(path[:depth]) or 'the document'} is not a list: no {here}")
            if part >= len(node):
                raise SettingError(f"no setting {here} (the list has {len(node)} items)")
        else:
            if not isinstance(node, Mapping):
                raise SettingError(f"{path_text(path[:depth]) or 'the document'} is not a mapping: no {here}")
            if part not in node:
                if not allow_new:
                    raise SettingError(f"no setting {here} (--allow-new adds it)")
                if depth + 1 < len(path):
                    if not create:
                        return None, part
                    node[part] = {}
        if depth + 1 == len(path):
            return node, part
        node = node[part]
    raise SettingError("no setting named")


def _yaml_indents(text: str) -> tuple[int, int, int]:
    """The base's mapping indent, and its block sequences' indent and offset
    of the dash (ruamel's terms), from the first nested mapping and sequence."""
    mapping, sequence = None, None
    parent = None  # the indentation of the last line that is a key alone
    for line in text.splitlines():
        stripped = re.sub(r"(^|\s+)#.*", "", line).strip()
        if not stripped:
            continue
        indent = len(line) - len(line.lstrip(" "))
        if parent is not None and indent > parent:
            if stripped.startswith("- ") and sequence is None:
                content = indent + 2 + len(stripped[2:]) - len(stripped[2:].lstrip(" "))
                sequence = (content - parent, indent - parent)
            elif not stripped.startswith("-") and mapping is None:
                mapping = indent - parent
        parent = indent if stripped.endswith(":") else None
        if stripped.startswith("- ") and stripped.endswith(":"):
            parent = indent + 2
        if mapping is not None and sequence is not None:
            break
    mapping = mapping or 2
    sequence, offset = sequence or (mapping, 0)
    return mapping, max(sequence, offset + 2), offset


class Base:
    """A base config: its bytes, its finding when it fails the config check,
    and configs made from it with settings changed."""

    def __init__(self, path: Path):
        import velmora_check

        self.path = path
        self.kind = "json" if path.suffix == ".json" else "yaml"
        finding = velmora_check.check_file(path)
        self.finding = None if finding is None else str(finding)
        self.text = None
        self._yaml = None
        if finding is None:
            try:
                self.text = path.read_text(encoding="utf-8")
            except (OSError, ValueError) as error:
                raise SettingError(f"{path}: {error}") from None

    def _yaml_loader(self):
        if self._yaml is None:
            from ruamel.yaml import YAML

            yaml = YAML(typ="rt")
            yaml.preserve_quotes = True
            yaml.width = 1 << 16  # long lines stay whole
            mapping, sequence, offset = _yaml_indents(self.text)
            yaml.indent(mapping=mapping, sequence=sequence, offset=offset)
            self._yaml = yaml
        return self._yaml

    def document(self):
        try:
            return json.loads(self.text) if self.kind == "json" else self._yaml_loader().load(self.text)
        except Exception as error:  # a document the check passes but the editor cannot take
            raise SettingError(f"{self.path}: cannot be edited: {error}") from None

    def require(self, paths: list[tuple], allow_new: bool) -> None:
        """Raises SettingError for a path that is not in this base (one that
        fails the check has none to look at: its points are invalid)."""
        if self.finding is not None:
            return
        document = self.document()
        for path in paths:
            try:
                _lookup(document, path, allow_new)
            except SettingError as error:
                raise SettingError(f"{self.path}: {error}") from None

    def with_settings(self, settings: list[tuple[tuple, object]], allow_new: bool) -> bytes:
        if self.kind == "json":
            return self._json_with(settings, allow_new).encode("utf-8")
        return self._yaml_with(settings, allow_new).encode("utf-8")

    def _yaml_with(self, settings, allow_new) -> str:
        from ruamel.yaml.scalarstring import ScalarString

        yaml = self._yaml_loader()
        document = self.document()
        for path, value in settings:
            node, key = _lookup(document, path, allow_new, create=True)
            old = node[key] if not isinstance(key, str) or key in node else None
            # A string keeps the quoting (or block style) of the one it replaces.
            if isinstance(old, ScalarString) and isinstance(value, str):
                value = type(old)(value)
            node[key] = value
        stream = io.StringIO()
        yaml.dump(document, stream)
        return stream.getvalue()

    def _json_with(self, settings, allow_new) -> str:
        text = self.text
        for path, value in settings:
            _, nodes, keys = _native.values(text, "json")
            depth = len(path)
            while path[:depth] not in nodes:  # require() made sure the rest may be added
                depth -= 1
            start = _offset(text, nodes[path[:depth]])
            end = json.JSONDecoder().raw_decode(text, start)[1]
            if depth == len(path):
                text = text[:start] + json.dumps(value, ensure_ascii=False) + text[end:]
                continue
            for part in reversed(path[depth + 1:]):
                value = {part: value}
            member = f"{json.dumps(path[depth], ensure_ascii=False)}: {json.dumps(value, ensure_ascii=False)}"
            members = [key for key in keys if len(key) == depth + 1 and key[:depth] == path[:depth]]
            if not members:
                text = text[:start + 1] + member + text[end - 1:]
                continue
            # After the last member, spaced as that member is from what precedes
            # it (a single member on the opening brace's line: one space).
            last = _offset(text, max(keys[key] for key in members))
            space = text[:last][len(text[:last].rstrip()):]
            if len(members) == 1 and "\n" not in space:
                space = " "
            close = len(text[:end - 1].rstrip())
            text = text[:close] + "," + space + member + text[close:]
        return text


def _offset(text: str, position: tuple[int, int]) -> int:
    """The index in `text` of a node's (line, column), which count bytes."""
    line, column = position
    data = text.encode("utf-8")
    start = 0
    for _ in range(line - 1):
        start = data.index(b"\n", start) + 1
    return len(data[:start + column - 1].decode("utf-8"))
