"""velmora-check: the configuration checks of many files, for editors and CI.

Exit status: 0 when nothing was found, 1 when there are findings, 2 for a
usage error (a schema that cannot be used among them), output that could not
be written or an internal error.

Settings may also come from a [tool.velmora-check] table (schema, exclude,
format) in the nearest pyproject.toml, from the current directory upward; an
option given on the command line replaces the table's setting.

File names are shown as valid UTF-8 in every format: the bytes of a name that
is not UTF-8 as \\xNN, and in the text and github formats control characters
as messages write them (\\n, \\t, \\u{1b}).
"""

from __future__ import annotations

import gc
import os
import sys

from velmora_check import Finding, Schema, SchemaError, __version__, check_file, check_files

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Literal

SUFFIXES = (".json", ".yaml", ".yml")
FORMATS = ("text", "json", "sarif", "github")
STDIN = "<stdin>"
STDIN_KINDS = ("json", "yaml")
COLORS = ("auto", "always", "never")
USAGE = (
    "usage: velmora-check [-h] [--schema FILE] [--format {text,json,sarif,github}] [--jobs N] "
    "[--exclude GLOB] [--stdin-kind {json,yaml}] [--color {auto,always,never}] [--quiet] "
    "[--version] PATH..."
)
HELP = f"""{USAGE}

Check training configuration files exactly as velmora_trainer.train_from_config
does before it launches. Directories are searched for *.json, *.yaml and *.yml
(hidden directories skipped).

positional arguments:
  PATH                  files and directories to check; - reads standard input

options:
  -h, --help            show this help message and exit
  --schema FILE         also check each file's values against this JSON Schema
                        (JSON, or YAML when named .yaml/.yml; needs jsonschema-rs);
                        FILE itself, if among the files, is only checked as a document
  --format {{text,json,sarif,github}}
                        output format (default: text)
  -j, --jobs N          threads that check in parallel (default: the number of CPUs)
  --exclude GLOB        skip files and directories whose name or path matches GLOB (repeatable)
  --stdin-kind {{json,yaml}}
                        what - holds (required with -); its findings are named <stdin>
  --color {{auto,always,never}}
                        colour in the text format and the summary (default: auto, on a
                        terminal when NO_COLOR is unset)
  -q, --quiet           no summary line on standard error
  --version             show the version and exit

[tool.velmora-check] in the nearest pyproject.toml (from the current directory
upward) may set schema (relative to that file's folder), exclude (a list of
globs) and format; the command line wins.

exit status: 0 nothing found, 1 findings, 2 usage error, unwritable output or internal error
"""


class UsageError(Exception):
    pass


class SettingError(UsageError):
    """A usage error of the settings rather than of the arguments: a schema or
    a pyproject.toml table that cannot be used (the usage line is not shown)."""


class Options:
    __slots__ = ("format", "jobs", "excludes", "quiet", "paths", "schema", "stdin_kind", "color")

    def __init__(self) -> None:
        # None: not given on the command line (the pyproject.toml table may set it).
        self.format: str | None = None
        self.jobs: int | None = None
        self.excludes: list[str] | None = None
        self.quiet = False
        self.paths: list[str] = []
        self.schema: str | None = None
        self.stdin_kind: str | None = None
        self.color = "auto"


def parse_arguments(argv: Sequence[str]) -> Options | int:
    """The options, or an exit status once help or the version was printed."""
    options = Options()
    args = list(argv)
    only_paths = False
    i = 0

    def value(name: str, inline: str | None) -> str:
        nonlocal i
        if inline is not None:
            return inline
        i += 1
        if i >= len(args):
            raise UsageError(f"argument {name}: expected one argument")
        return args[i]

    def choice(name: str, inline: str | None, choices: tuple[str, ...]) -> str:
        text = value(name, inline)
        if text not in choices:
            raise UsageError(f"argument {name}: invalid choice: {text!r} (choose from {', '.join(choices)})")
        return text

    while i < len(args):
        arg = args[i]
        if only_paths or arg == "-" or not arg.startswith("-"):
            options.paths.append(arg)
        elif arg == "--":
            only_paths = True
        else:
            name, eq, inline_text = arg.partition("=")
            inline = inline_text if eq else None
            if name.startswith("-j") and len(name) > 2 and not name.startswith("--"):
                name, inline = "-j", name[2:]
            if name in ("-h", "--help"):
                sys.stdout.write(HELP)
                return 0
            if name == "--version":
                sys.stdout.write(f"velmora-check {__version__}\n")
                return 0
            if name in ("-q", "--quiet"):
                options.quiet = True
            elif name == "--format":
                options.format = choice(name, inline, FORMATS)
            elif name == "--schema":
                options.schema = value(name, inline)
            elif name == "--stdin-kind":
                options.stdin_kind = choice(name, inline, STDIN_KINDS)
            elif name == "--color":
                options.color = choice(name, inline, COLORS)
            elif name in ("-j", "--jobs"):
                text = value(name, inline)
                try:
                    options.jobs = int(text)
                except ValueError:
                    options.jobs = 0
                if options.jobs < 1:
                    raise UsageError(f"argument --jobs: expected a positive integer, got {text!r}")
            elif name == "--exclude":
                options.excludes = [*(options.excludes or []), value(name, inline)]
            else:
                raise UsageError(f"unrecognized argument: {arg}")
        i += 1
    if not options.paths:
        raise UsageError("the following arguments are required: PATH")
    if "-" in options.paths and options.stdin_kind is None:
        raise UsageError("reading standard input (-) needs --stdin-kind json or --stdin-kind yaml")
    return options


SETTINGS = {"schema": str, "exclude": list, "format": str}


def project_settings(directory: str) -> tuple[str, dict[str, object]] | None:
    """(path, table) of [tool.velmora-check] in the nearest pyproject.toml from
    `directory` upward; None when that file has no such table, or there is none."""
    directory = os.path.abspath(directory)
    while True:
        path = os.path.join(directory, "pyproject.toml")
        try:
            with open(path, "rb") as file:
                data = file.read()
            break
        except FileNotFoundError:
            pass
        except OSError as error:
            if os.path.exists(path):
                raise SettingError(f"{path}: cannot read: {error.strerror or error}") from None
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent
    if b"velmora-check" not in data:  # most projects: no TOML parser imported
        return None
    import tomllib

    try:
        document = tomllib.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as error:
        raise SettingError(f"{path}: not valid TOML: {error}") from None
    tool = document.get("tool")
    table = tool.get("velmora-check") if isinstance(tool, dict) else None
    if table is None:
        return None
    if not isinstance(table, dict):
        raise SettingError(f"{path}: [tool.velmora-check] must be a table")
    for key, value in table.items():
        if key not in SETTINGS:
            raise SettingError(f"{path}: [tool.velmora-check] has no setting {key!r} "
                               f"(settings: {', '.join(SETTINGS)})")
        if not isinstance(value, SETTINGS[key]) or (
            key == "exclude" and not all(isinstance(g, str) for g in value)
        ):
            expected = "a list of strings" if key == "exclude" else "a string"
            raise SettingError(f"{path}: [tool.velmora-check] {key} must be {expected}")
    if table.get("format", "text") not in FORMATS:
        raise SettingError(f"{path}: [tool.velmora-check] format must be one of {', '.join(FORMATS)}, "
                           f"not {table['format']!r}")
    return path, table


def apply_settings(options: Options) -> None:
    """Fills what the command line left unset from the pyproject.toml table."""
    found = project_settings(os.curdir)
    if found is not None:
        path, table = found
        if options.schema is None and "schema" in table:
            options.schema = os.path.join(os.path.dirname(path), str(table["schema"]))
        if options.excludes is None and "exclude" in table:
            options.excludes = list(table["exclude"])  # type: ignore[call-overload]
        if options.format is None and "format" in table:
            options.format = str(table["format"])
    if options.format is None:
        options.format = "text"
    if options.excludes is None:
        options.excludes = []


def load(schema_path: str) -> Schema:
    from velmora_check import load_schema

    try:
        return load_schema(schema_path)
    except SchemaError as error:
        raise SettingError(f"bad schema: {error}") from None
    except ModuleNotFoundError as error:
        if error.name != "jsonschema_rs":
            raise
        raise SettingError("--schema needs jsonschema-rs: pip install jsonschema-rs") from None


class Excluder:
    """Matches --exclude globs against a name and a path."""

    def __init__(self, globs: list[str]) -> None:
        self.globs = globs
        if globs:
            import fnmatch

            self._match: Callable[[str, str], bool] = fnmatch.fnmatchcase

    def __call__(self, name: str, path: str) -> bool:
        if not self.globs:
            return False
        posix = path.replace(os.sep, "/")
        return any(
            self._match(name, g) or self._match(posix, g) or self._match(posix, g.rstrip("/") + "/*")
            for g in self.globs
        )


def collect(paths: list[str], excluded: Excluder) -> list[str]:
    """Files to check: each named file, and the config files found in each
    named directory (hidden directories skipped), without repeats."""
    found: list[str] = []

    def walk(directory: str, prefix: str) -> None:
        try:
            entries = sorted(os.scandir(directory), key=lambda e: e.name)
        except OSError:
            found.append(directory)  # reported by the read check
            return
        for entry in entries:
            path = prefix + entry.name
            if excluded.globs and excluded(entry.name, path):
                continue
            try:  # linked directories are not followed: no cycles
                is_dir = entry.is_dir(follow_symlinks=False)
            except OSError:
                is_dir = False
            if is_dir:
                if not entry.name.startswith("."):
                    walk(entry.path, path + os.sep)
            elif entry.name.endswith(SUFFIXES):
                found.append(path)

    for path in paths:
        if excluded.globs and excluded(os.path.basename(path.rstrip("/" + os.sep)), path):
            continue
        if os.path.isdir(path):
            # "." lists its files as "a.yaml", not "./a.yaml".
            walk(path, "" if path == os.curdir else os.path.join(path, ""))
        else:
            found.append(path)
    return list(dict.fromkeys(found))


NOT_UTF8_NAME = "Config file name is not valid UTF-8"


def is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


# Written as messages write document text: these four in short form, the
# other characters of these categories (controls, invisible formatting that
# can reorder text, line and paragraph separators) as \u{hex}.
SHORT_ESCAPES = {"\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n"}
ESCAPED_CATEGORIES = ("Cc", "Cf", "Zl", "Zp")


def shown(text: str, controls: bool = True) -> str:
    """`text` as valid UTF-8: a byte of a name that is not UTF-8 (os.fsdecode's
    surrogate U+DC80..U+DCFF) as \\xNN, any other lone surrogate as \\u{hex};
    with `controls`, also the characters that would move the cursor, break
    the line or reorder what a terminal shows. Backslashes stay as they are,
    as in messages."""
    if text.isprintable() if controls else is_utf8(text):
        return text  # the common case; printable excludes surrogates
    import unicodedata

    out = []
    for ch in text:
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:
            out.append(f"\\x{code - 0xDC00:02x}")
        elif 0xD800 <= code <= 0xDFFF or (controls and unicodedata.category(ch) in ESCAPED_CATEGORIES):
            out.append(SHORT_ESCAPES.get(ch) or f"\\u{{{code:x}}}")
        else:
            out.append(ch)
    return "".join(out)


def colour_enabled(stream: object, color: str = "auto") -> bool:
    if color != "auto":
        return color == "always"
    if os.environ.get("NO_COLOR"):
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty is not None and isatty())


def render_text(findings: list[Finding], colour: bool) -> str:
    # One line per finding: the message is escaped as the name is (a
    # not-found message holds the name; document text is escaped already).
    lines = []
    for f in findings:
        path, message = shown(f.path), shown(f.message)
        position = "" if f.line is None else f":{f.line}:{f.column}"
        if colour:
            # Bold path, cyan position, and in red what kind of failure the
            # message names: its text before the first ": " ("Invalid YAML config").
            what, colon, rest = message.partition(": ")
            lines.append(f"\x1b[1m{path}\x1b[0m\x1b[36m{position}\x1b[0m: "
                         f"\x1b[1;31m{what}\x1b[0m{colon}{rest}\n")
        else:
            lines.append(f"{path}{position}: {message}\n")
    return "".join(lines)


def same_file(path: str, other: str) -> bool:
    return os.path.basename(path) == os.path.basename(other) and os.path.realpath(path) == os.path.realpath(other)


def check_all(files: list[str], jobs: int | None, schema: Schema | None, at: list[str]) -> list[Finding]:
    """check_files; when it raises, the files are checked again one at a time,
    so that `at` ends with the name of the one at fault."""
    try:
        return check_files(files, jobs=jobs, schema=schema)
    except Exception:
        for path in files:
            at.append(path)
            check_file(path, schema=schema)
        del at[:]  # none fails alone: the error names no file
        raise


def check_stdin(kind: Literal["json", "yaml"], schema: Schema | None, at: list[str]) -> list[Finding]:
    from velmora_check import _text_findings

    try:
        text = sys.stdin.buffer.read()
    except OSError as error:
        return [Finding(STDIN, None, None, f"Failed to read config: {error.strerror or error}", "read")]
    at.append(STDIN)
    found = _text_findings(STDIN, text, kind, schema)
    at.pop()
    return found


def check_paths(options: Options, schema: Schema | None, at: list[str]) -> tuple[list[Finding], int]:
    """The findings of every file the paths name (standard input last), sorted
    by file, and how many files were checked."""
    paths = [p for p in options.paths if p != "-"]
    files = collect(paths, Excluder(options.excludes or []))
    # A name that is not UTF-8 (listed from a directory) cannot be checked.
    unnamed = [f for f in files if not is_utf8(f)]
    findings = [Finding(f, None, None, NOT_UTF8_NAME, "name") for f in unnamed]
    named = [f for f in files if is_utf8(f)] if unnamed else files
    if schema is not None:
        # The schema file itself, among the files (a hook given every changed
        # .json), is a document to check, not a config.
        name = os.path.basename(schema.path)  # a cheap test first: most names end otherwise
        own = [f for f in named if f.endswith(name) and same_file(f, schema.path)]
        if own:
            findings += check_all(own, options.jobs, None, at)
            named = [f for f in named if f not in own]
    findings += check_all(named, options.jobs, schema, at)
    checked = len(files)
    if len(paths) < len(options.paths):
        findings += check_stdin("json" if options.stdin_kind == "json" else "yaml", schema, at)
        checked += 1
    findings.sort(key=lambda f: f.path)  # stable: a file's findings stay in document order
    return findings, checked


def render(findings: list[Finding], options: Options) -> str:
    if options.format == "text":
        return render_text(findings, colour_enabled(sys.stdout, options.color))
    from velmora_check import _formats  # the other formats, imported when asked for

    if options.format == "json":
        return _formats.render_json(findings)
    if options.format == "sarif":
        return _formats.render_sarif(findings)
    return _formats.render_github(findings)


def write_out(out: str) -> bool:
    """Writes the findings to standard output; False (said on standard error)
    when they cannot be written."""
    try:
        if hasattr(sys.stdout, "reconfigure"):
            sys.stdout.reconfigure(encoding="utf-8")  # whatever the locale
        sys.stdout.write(out)
        sys.stdout.flush()
    except OSError as error:  # a closed pipe, a full disk
        sys.stderr.write(f"velmora-check: cannot write the findings: {error.strerror or error}\n")
        try:  # what is still buffered must not fail again at exit
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return False
    return True


def summary(checked: int, found: int, color: str) -> str:
    text = f"velmora-check: {checked} file{'s' * (checked != 1)} checked, "
    text += f"{found} finding{'s' * (found != 1)}" if found else "no findings"
    if colour_enabled(sys.stderr, color):
        text = f"\x1b[{'31' if found else '32'}m{text}\x1b[0m"
    return text + "\n"


def run(options: Options, at: list[str]) -> int:
    """Checks and reports; `at` names the file in hand, for an internal error."""
    apply_settings(options)
    schema = None if options.schema is None else load(options.schema)
    findings, checked = check_paths(options, schema, at)
    if not write_out(render(findings, options)):
        return 2
    if not options.quiet:
        sys.stderr.write(summary(checked, len(findings), options.color))
    return 1 if findings else 0


def status_of(argv: Sequence[str]) -> int:
    try:
        parsed = parse_arguments(argv)
    except UsageError as error:
        sys.stderr.write(f"{USAGE}\nvelmora-check: error: {error}\n")
        return 2
    if isinstance(parsed, int):
        return parsed
    at: list[str] = []
    try:
        return run(parsed, at)
    except SettingError as error:
        sys.stderr.write(f"velmora-check: error: {shown(str(error))}\n")
        return 2
    except Exception as error:
        # Status 2, never 1: a crash must not pass for findings.
        where = f" while checking {shown(at[-1])}" if at else ""
        sys.stderr.write(f"velmora-check: internal error{where}: {shown(f'{type(error).__name__}: {error}')}\n")
        return 2


def main(argv: Sequence[str] | None = None) -> int:
    """The command's exit status for `argv`. Without argv, as the command runs
    it: the cyclic garbage collector stays off (the checks make no cycles,
    and its passes over the imported modules' objects only cost time), and
    the process ends here once the output is flushed: the interpreter's
    teardown (freeing every module and object, jsonschema_rs's among them)
    would cost more than a small tree's checks and changes nothing."""
    if argv is not None:
        return status_of(argv)
    gc.disable()
    status = status_of(sys.argv[1:])
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):
        return status  # the usual exit reports the output that was lost
    os._exit(status)
