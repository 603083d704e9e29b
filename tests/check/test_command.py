"""The velmora-check command: each format on a small tree of good and broken
files, exit statuses, directory search, --exclude, a missing path, colour,
--schema, standard input and the pyproject.toml table."""

import contextlib
import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import pytest

TREE = {
    "good.yaml": "a: 1\n",
    "good.json": '{"a": 1}\n',
    "configs/dup.yml": "opt:\n  lr: 1\n  lr: 2\n",
    "configs/comma.json": "[1,\n2,]\n",
    "configs/two.yaml": "a: 1\n---\nb: 2\n",
    "configs/notes.txt": "not a config",
    "configs/vendor/bad.json": "{",
    ".hidden/bad.yaml": "a: [\n",
    "odd, name%.json": "[1,]",
}
DUP = "Invalid YAML config: opt: duplicate entry with key \"lr\" at line 2 column 3"
COMMA = "Invalid JSON config: trailing comma at line 2 column 3"
TWO = "Invalid YAML config: deserializing from YAML containing more than one document is not supported"
VENDOR = "Invalid JSON config: EOF while parsing an object at line 1 column 1"
ODD = "Invalid JSON config: trailing comma at line 1 column 4"


@pytest.fixture
def tree(tmp_path):
    for name, text in TREE.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    return tmp_path


def run(cwd, *args, env=None, stdin=None):
    return subprocess.run([sys.executable, "-m", "velmora_check", *args], cwd=cwd,
                          capture_output=True, text=True, env=env, input=stdin)


EXPECTED_TEXT = [
    f"configs/comma.json:2:3: {COMMA}",
    f"configs/dup.yml:2:3: {DUP}",
    f"configs/two.yaml: {TWO}",
    f"configs/vendor/bad.json:1:1: {VENDOR}",
    f"odd, name%.json:1:4: {ODD}",
]


@pytest.mark.parametrize(
    "args, status, stdout, stderr",
    [
        (["."], 1, EXPECTED_TEXT, "velmora-check: 7 files checked, 5 findings"),
        (["good.yaml", "good.json"], 0, [], "velmora-check: 2 files checked, no findings"),
        (["--quiet", "good.yaml"], 0, [], ""),
        (["-q", "--exclude", "vendor", "--exclude=odd*", "."], 1, EXPECTED_TEXT[:3], ""),
        (["-q", "--exclude", "configs/*.yml", "configs"], 1,
         [f"configs/comma.json:2:3: {COMMA}", f"configs/two.yaml: {TWO}", f"configs/vendor/bad.json:1:1: {VENDOR}"], ""),
        # Named files are checked whatever their name; hidden folders only when named.
        (["-q", "configs/notes.txt", ".hidden", "gone.yaml"], 1,
         [".hidden/bad.yaml:2:1: Invalid YAML config: did not find expected node content at line 2 column 1, while parsing a flow node",
          "configs/notes.txt: Config must be .json or .yaml",
          "gone.yaml: Config file not found: gone.yaml"], ""),
        (["-q", "-j", "1", "good.yaml", "configs/two.yaml"], 1, [f"configs/two.yaml: {TWO}"], ""),
        ([], 2, [], "velmora-check: error: the following arguments are required: PATH"),
        (["--format", "xml", "."], 2, [], "velmora-check: error: argument --format: invalid choice"),
        (["--jobs", "0", "."], 2, [], "velmora-check: error: argument --jobs"),
        (["--bogus", "."], 2, [], "velmora-check: error: unrecognized argument: --bogus"),
    ],
)
def test_text_format_and_exit_status(tree, args, status, stdout, stderr):
    result = run(tree, *args)
    assert result.returncode == status, result.stderr
    assert result.stdout.splitlines() == stdout
    assert stderr in result.stderr and bool(stderr) == bool(result.stderr.strip())


def test_json_and_sarif_formats(tree):
    as_json = run(tree, "-q", "--format", "json", ".")
    assert as_json.returncode == 1
    findings = json.loads(as_json.stdout)
    assert [(f["path"], f["line"], f["column"], f["kind"]) for f in findings] == [
        ("configs/comma.json", 2, 3, "json"), ("configs/dup.yml", 2, 3, "yaml"),
        ("configs/two.yaml", None, None, "yaml"), ("configs/vendor/bad.json", 1, 1, "json"),
        ("odd, name%.json", 1, 4, "json"),
    ]
    assert findings[1]["message"] == DUP
    # The repeated key and the second document's start, beside the message.
    assert [f.get("related") for f in findings[1:3]] == [{"line": 3, "column": 3}, {"line": 2, "column": 1}]

    sarif = json.loads(run(tree, "-q", "--format", "sarif", ".", "gone.yaml").stdout)
    assert sarif["version"] == "2.1.0"
    (the_run,) = sarif["runs"]
    driver = the_run["tool"]["driver"]
    import velmora_check

    assert (driver["name"], driver["version"]) == ("velmora-check", velmora_check.__version__)
    rules = [r["id"] for r in driver["rules"]]
    assert rules == ["not-found", "read", "name", "json", "yaml", "schema"]
    results = {r["locations"][0]["physicalLocation"]["artifactLocation"]["uri"]: r for r in the_run["results"]}
    assert set(results) == {"configs/comma.json", "configs/dup.yml", "configs/two.yaml",
                            "configs/vendor/bad.json", "odd%2C%20name%25.json", "gone.yaml"}
    dup = results["configs/dup.yml"]
    assert (dup["ruleId"], rules[dup["ruleIndex"]], dup["message"]["text"]) == ("yaml", "yaml", DUP)
    assert dup["locations"][0]["physicalLocation"]["region"] == {"startLine": 2, "startColumn": 3}
    assert "region" not in results["configs/two.yaml"]["locations"][0]["physicalLocation"]
    assert [(r["physicalLocation"]["region"], r["message"]["text"]) for r in dup["relatedLocations"]] == [
        ({"startLine": 3, "startColumn": 3}, "the repeated key")]
    assert "relatedLocations" not in results["configs/comma.json"]
    assert results["gone.yaml"]["ruleId"] == "not-found"

    # A schema finding, with its own rule and the node's position.
    (tree / "schema.json").write_text(SCHEMA)
    (tree / "train.yaml").write_text(FAST_CONFIG)
    (result,) = json.loads(run(tree, "--format", "sarif", "--schema", "schema.json", "train.yaml").stdout)[
        "runs"][0]["results"]
    assert (result["ruleId"], rules[result["ruleIndex"]], result["message"]["text"]) == ("schema", "schema", FAST)
    assert result["locations"][0]["physicalLocation"]["region"] == {"startLine": 2, "startColumn": 18}
    (finding,) = json.loads(run(tree, "--format", "json", "--schema", "schema.json", "train.yaml").stdout)
    assert finding == {"path": "train.yaml", "line": 2, "column": 18, "message": FAST, "kind": "schema"}


def test_github_format_escapes(tree):
    (tree / "multi.yaml").write_text('"50%": 1\n"50%": 2\n')
    result = run(tree, "-q", "--format", "github", "odd, name%.json", "multi.yaml", "configs/two.yaml")
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        f"::error file=configs/two.yaml::{TWO}",
        '::error file=multi.yaml::Invalid YAML config: duplicate entry with key "50%25"',
        f"::error file=odd%2C name%25.json,line=1,col=4::{ODD}",
    ]


COLOURED = "\x1b[1mconfigs/comma.json\x1b[0m\x1b[36m:2:3\x1b[0m: \x1b[1;31mInvalid JSON config\x1b[0m: trailing comma"


@pytest.mark.parametrize("args, no_color, terminal, coloured", [
    ([], None, True, True),
    ([], "1", True, False),
    ([], None, False, False),
    (["--color", "never"], None, True, False),
    (["--color=always"], "1", False, True),
    (["--color", "auto"], None, True, True),
])
def test_colour(tree, args, no_color, terminal, coloured):
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    if no_color:
        env["NO_COLOR"] = no_color
    command = [sys.executable, "-m", "velmora_check", "-q", *args, "configs/comma.json"]
    if terminal:
        main, child = pty.openpty()
        proc = subprocess.Popen(command, cwd=tree, stdout=child, stderr=subprocess.DEVNULL, env=env)
        os.close(child)
        output = b""
        while chunk := _read(main):
            output += chunk
        os.close(main)
        assert proc.wait() == 1
        output = output.decode()
    else:
        output = subprocess.run(command, cwd=tree, capture_output=True, text=True, env=env).stdout
    assert (COLOURED if coloured else f"configs/comma.json:2:3: {COMMA}") in output
    assert ("\x1b[" in output) == coloured


# Closed: the schema file itself, among the files, is checked as a document only.
SCHEMA = '{"properties": {"a": {}, "optimizer": {"properties": {"learning_rate": {"type": "number"}}}}, "additionalProperties": false}'
FAST_CONFIG = "optimizer:\n  learning_rate: fast\n"
FAST = 'Config does not match schema: optimizer.learning_rate: "fast" is not of type "number"'
PYPROJECT = '[project]\nname = "x"\n\n[tool.velmora-check]\nschema = "schema.json"\nexclude = ["configs"]\nformat = "github"\n'
UP = [f"../{line}" for line in EXPECTED_TEXT[:4]]
WITHOUT_VALIDATOR = "import sys; sys.modules['jsonschema_rs'] = None; from velmora_check import cli; sys.exit(cli.main(sys.argv[1:]))"


@pytest.mark.parametrize("pyproject, code, args, stdin, status, stdout, stderr", [
    (None, None, ["--schema", "schema.json", "train.yaml", "good.yaml"], None, 1,
     [f"train.yaml:2:18: {FAST}"], "2 files checked, 1 finding"),
    (None, None, ["--stdin-kind", "yaml", "--schema", "schema.json", "-"], FAST_CONFIG, 1,
     [f"<stdin>:2:18: {FAST}"], "1 file checked, 1 finding"),
    (None, None, ["-q", "--stdin-kind=json", "-", "good.json"], "[1,]", 1, [f"<stdin>:1:4: {ODD}"], ""),
    (None, None, ["-", "good.yaml"], "a: 1\n", 2, [], "error: reading standard input (-) needs --stdin-kind"),
    (None, None, ["--schema", "configs/comma.json", "good.yaml"], None, 2, [],
     f"velmora-check: error: bad schema: configs/comma.json:2:3: the schema is not one JSON document: {COMMA}\n"),
    (None, WITHOUT_VALIDATOR, ["--schema", "schema.json", "good.yaml"], None, 2, [],
     "velmora-check: error: --schema needs jsonschema-rs: pip install jsonschema-rs\n"),
    (None, WITHOUT_VALIDATOR, ["-q", "train.yaml"], None, 0, [], ""),
    # The nearest pyproject.toml above the current folder; its schema path is relative to it.
    (PYPROJECT, None, ["-q", ".."], None, 1,
     [f"::error file=../odd%2C name%25.json,line=1,col=4::{ODD}", f"::error file=../train.yaml,line=2,col=18::{FAST}"], ""),
    (PYPROJECT, None, ["-q", "--format", "text", "--exclude", "odd*", ".."], None, 1, [*UP, f"../train.yaml:2:18: {FAST}"], ""),
    (PYPROJECT.replace("exclude", "excludes"), None, ["-q", ".."], None, 2, [],
     "pyproject.toml: [tool.velmora-check] has no setting 'excludes' (settings: schema, exclude, format)\n"),
], ids=["schema", "stdin-schema", "stdin", "stdin-without-kind", "bad-schema", "no-validator", "no-validator-no-schema",
        "pyproject", "pyproject-overridden", "pyproject-unknown-key"])
def test_schema_stdin_and_pyproject(tree, pyproject, code, args, stdin, status, stdout, stderr):
    (tree / "schema.json").write_text(SCHEMA)
    (tree / "train.yaml").write_text(FAST_CONFIG)
    (tree / "sub").mkdir()
    if pyproject:
        (tree / "pyproject.toml").write_text(pyproject)
    command = ["-c", code] if code else ["-m", "velmora_check"]
    result = subprocess.run([sys.executable, *command, *args], cwd=tree / "sub" if pyproject else tree,
                            capture_output=True, text=True, input=stdin)
    assert result.returncode == status, result.stderr
    assert result.stdout.splitlines() == stdout
    assert stderr in result.stderr and bool(stderr) == bool(result.stderr)


def _read(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # the terminal closed
        return b""


# Names that must not reach a terminal or a strict JSON reader raw: a byte that
# is not UTF-8, a newline, an escape sequence (listed from a directory holding
# a link to its parent, not followed), and a missing file named on the command
# line, whose message holds its name.
GONE = "gone\x1b.yaml"
NOT_UTF8 = "Config file name is not valid UTF-8"
SHOWN = ["gone\\u{1b}.yaml", "odd/\\u{1b}[2Jclear.yaml", "odd/bad\\xff.yaml", "odd/two\\nlines.json"]
MESSAGES = ["Config file not found: gone\\u{1b}.yaml", TWO, NOT_UTF8, ODD]
POSITIONS = ["", "", "", ",line=1,col=4"]


def sarif_rows(log):
    return [(r["locations"][0]["physicalLocation"]["artifactLocation"]["uri"], r["message"]["text"])
            for r in log["runs"][0]["results"]]


@pytest.mark.parametrize("form, rows, expected", [
    ("text", str.splitlines,
     [f"{n}{':1:4' if p else ''}: {m}" for n, m, p in zip(SHOWN, MESSAGES, POSITIONS)]),
    ("github", str.splitlines, [f"::error file={n}{p}::{m}" for n, m, p in zip(SHOWN, MESSAGES, POSITIONS)]),
    # JSON escapes control characters itself: names keep them, and messages are the module's.
    ("json", lambda out: [(f["path"], f["message"]) for f in json.loads(out)],
     [(GONE, f"Config file not found: {GONE}"), ("odd/\x1b[2Jclear.yaml", TWO),
      ("odd/bad\\xff.yaml", NOT_UTF8), ("odd/two\nlines.json", ODD)]),
    ("sarif", lambda out: sarif_rows(json.loads(out)),
     [("gone%1B.yaml", f"Config file not found: {GONE}"), ("odd/%1B%5B2Jclear.yaml", TWO),
      ("odd/bad%FF.yaml", NOT_UTF8), ("odd/two%0Alines.json", ODD)]),
], ids=["text", "github", "json", "sarif"])
def test_odd_names_in_every_format(tree, form, rows, expected):
    odd = os.fsencode(tree / "odd")
    os.mkdir(odd)
    os.symlink("..", os.path.join(odd, b"loop"))
    for name, text in [(b"bad\xff.yaml", "a: 1\n"), (b"two\nlines.json", "[1,]"),
                       (b"\x1b[2Jclear.yaml", "a: 1\n---\nb: 2\n")]:
        Path(os.fsdecode(os.path.join(odd, name))).write_text(text)
    result = subprocess.run([sys.executable, "-m", "velmora_check", "-q", "--format", form, "odd", GONE],
                            cwd=tree, capture_output=True)
    assert (result.returncode, result.stderr) == (1, b"")
    out = result.stdout.decode("utf-8")  # strict: valid UTF-8
    assert rows(out) == expected
    if form in ("json", "sarif"):  # no lone surrogate for a strict reader
        json.dumps(json.loads(out), ensure_ascii=False).encode("utf-8")


FORCED_ERROR = """
import sys
from velmora_check import cli
cli.is_utf8 = lambda text: True  # names that are not UTF-8 reach the module
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("code, stdout, line", [
    (FORCED_ERROR, subprocess.PIPE,
     "velmora-check: internal error while checking raw/bad\\xff.yaml: UnicodeEncodeError: "),
    (None, "/dev/full", "velmora-check: cannot write the findings: No space left on device"),
], ids=["internal-error", "full-output"])
def test_failures_that_are_not_findings(tree, code, stdout, line):
    (tree / "raw").mkdir()
    (tree / "raw" / "good.yaml").write_text("a: 1\n")
    Path(os.fsdecode(os.path.join(os.fsencode(tree), b"raw", b"bad\xff.yaml"))).write_text("a: 1\n")
    command = ["-c", code] if code else ["-m", "velmora_check"]
    with open(stdout, "w") if stdout != subprocess.PIPE else contextlib.nullcontext(stdout) as out:
        result = subprocess.run([sys.executable, *command, "-q", "-j", "2", "raw"], cwd=tree,
                                stdout=out, stderr=subprocess.PIPE, text=True)
    assert result.returncode == 2
    assert result.stderr.startswith(line) and result.stderr.count("\n") == 1, result.stderr
    assert not result.stdout


def test_installed_command(tree):
    command = Path(sys.executable).parent / "velmora-check"
    result = subprocess.run([command, "--version"], capture_output=True, text=True)
    import velmora_check

    assert result.stdout == f"velmora-check {velmora_check.__version__}\n"
