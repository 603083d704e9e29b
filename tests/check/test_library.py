"""velmora_check's library: parity with train_from_config on the project's test
data and on mutations of it, the position fields, and the API's contracts."""

import random
import re
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import velmora_check
import velmora_trainer
from support.fixtures import cargo  # noqa: F401  (fixture)
from velmora_check import Finding, check_file, check_files, check_text

ROOT = Path(__file__).resolve().parents[2]
JSON_SUITE = ROOT / "tests" / "data" / "json-test-suite" / "test_parsing"
YAML_CASES = ROOT / "fuzz" / "corpus" / "yaml"
EXAMPLES = ROOT / "examples" / "configs"
MARK = re.compile(r" at line (\d+) column (\d+)(?=,|$)")
EXCEPTION_OF_KIND = {
    "not-found": FileNotFoundError,
    "read": OSError,
    "name": ValueError,
    "json": ValueError,
    "yaml": ValueError,
}


def files_in(directory, *suffixes):
    return [(p.name, p.read_bytes()) for p in sorted(directory.iterdir()) if p.suffix in suffixes]


def mutations(count, seed=20261208):
    """Random edits of the example configs and the YAML cases: a byte removed
    or inserted, a line repeated or moved."""
    rng = random.Random(seed)
    sources = files_in(EXAMPLES, ".json", ".yaml") + files_in(YAML_CASES, ".yaml")
    sources += [f for f in files_in(JSON_SUITE, ".json") if f[0].startswith("y_")]
    out = []
    for n in range(count):
        name, text = rng.choice(sources)
        lines = text.split(b"\n")
        edit = rng.randrange(4)
        if edit == 0 and text:
            i = rng.randrange(len(text))
            text = text[:i] + text[i + 1 :]
        elif edit == 1:
            i = rng.randrange(len(text) + 1)
            text = text[:i] + rng.choice(b"{}[]:,-\t\n \"'&*!#?|>%@`\\") .to_bytes() + text[i:]
        elif edit == 2:
            i = rng.randrange(len(lines))
            lines.insert(rng.randrange(len(lines) + 1), lines[i])
            text = b"\n".join(lines)
        else:
            i, j = rng.randrange(len(lines)), rng.randrange(len(lines))
            lines[i], lines[j] = lines[j], lines[i]
            text = b"\n".join(lines)
        out.append((f"m{n}-{name}", text))
    return out


def special_cases():
    return [
        ("bad-utf8.yaml", b"a: \xff\n"),
        ("name.txt", b"{}"),
        ("upper.YAML", b"a: 1\n"),
        ("empty.json", b""),
        ("empty.yml", b""),
        ("dup.yml", b"a:\n  b: 1\n  b: 2\n"),
    ]


CORPORA = {
    "json-suite": lambda: files_in(JSON_SUITE, ".json"),
    "yaml-cases": lambda: files_in(YAML_CASES, ".yaml"),
    "examples": lambda: files_in(EXAMPLES, ".json", ".yaml"),
    "mutations": lambda: mutations(300),
    "special": special_cases,
}


def trainer_outcome(path, cargo):
    """(exception class, message) of train_from_config, or None when the
    recording cargo was launched for exactly this config."""
    before = len(cargo.runs())
    try:
        velmora_trainer.train_from_config(path, "out", 1, 1)
    except Exception as error:  # noqa: BLE001 - the class is compared
        return type(error), str(error)
    runs = cargo.runs()[before:]
    assert len(runs) == 1 and path in runs[0]["argv"], runs
    return None


def position_agrees(f):
    marks = MARK.findall(f.message)
    if f.line is None:
        return f.column is None and not marks
    return (str(f.line), str(f.column)) in marks and (
        f.kind != "json" or f.message.endswith(f" at line {f.line} column {f.column}")
    )


@pytest.mark.parametrize("corpus", sorted(CORPORA))
def test_check_file_agrees_with_train_from_config(corpus, tmp_path, cargo):
    documents = CORPORA[corpus]()
    assert documents
    paths = []
    for i, (name, text) in enumerate(documents):
        path = tmp_path / f"{i:04d}-{name}"
        path.write_bytes(text)
        paths.append(str(path))
    paths += [str(tmp_path / "missing.yaml"), str(tmp_path / "dir.yaml")]
    (tmp_path / "dir.yaml").mkdir()

    mismatches = []
    kinds = set()
    for path in paths:
        finding = check_file(path)
        expected = trainer_outcome(path, cargo)
        got = None if finding is None else (EXCEPTION_OF_KIND[finding.kind], finding.message)
        if got != expected:
            mismatches.append((path, got, expected))
        elif finding is not None:
            kinds.add(finding.kind)
            if finding.path != path or not position_agrees(finding):
                mismatches.append((path, finding))
    assert not mismatches, mismatches[:5]
    assert {"not-found", "read"} <= kinds
    # Many files at once, in threads: the same findings in input order.
    singles = [f for f in map(check_file, paths) if f is not None]
    assert check_files(paths, jobs=3) == singles
    assert check_files(reversed(paths), jobs=1) == singles[::-1]


@pytest.mark.parametrize(
    "text, kind, expected",
    [
        ('{"a": 1}', "json", None),
        (b'{"a": 1}', "json", None),
        ("[1,]", "json", ("json", "Invalid JSON config: trailing comma at line 1 column 4", 1, 4)),
        ("", "json", ("json", "Invalid JSON config: EOF while parsing a value at line 1 column 0", 1, 0)),
        ("a: 1\nb:\n  c: 1\n  c: 2\n", "yaml",
         ("yaml", 'Invalid YAML config: b: duplicate entry with key "c" at line 3 column 3', 3, 3)),
        # A key that reads like a position does not move the position.
        ('"x at line 9 column 9":\n  c: 1\n  c: 2\n', "yaml", ("yaml", None, 2, 3)),
        ('"x at line 9 column 9": 1\n"x at line 9 column 9": 2\n', "yaml", ("yaml", None, None, None)),
        ("a: 1\n\tb: 2\n", "yaml", ("yaml", None, 2, 1)),
        ("a: 1\n---\nb: 2\n", "yaml", ("yaml", None, None, None)),
        (b"a: \xc3\n", "yaml",
         ("read", "Failed to read config: stream did not contain valid UTF-8", None, None)),
    ],
)
def test_check_text(text, kind, expected):
    finding = check_text(text, kind)
    if expected is None:
        assert finding is None
        return
    want_kind, message, line, column = expected
    assert (finding.path, finding.kind, finding.line, finding.column) == ("<text>", want_kind, line, column)
    if message is not None:
        assert finding.message == message
    assert position_agrees(finding), finding
    # The text checked from a file gives the same finding.
    assert finding.message == check_text(text.encode() if isinstance(text, str) else text, kind).message


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: check_text("{}", "toml"), ValueError),
        (lambda: check_text(1, "json"), TypeError),
        (lambda: check_file(b"x.json"), TypeError),
        (lambda: check_file("\udcff.json"), UnicodeEncodeError),
        (lambda: check_files(["a.json"], jobs=0), ValueError),
        (lambda: check_files(["a.json", 3]), TypeError),
    ],
)
def test_wrong_arguments_raise(call, error):
    with pytest.raises(error):
        call()


def test_finding_is_an_immutable_value(tmp_path):
    path = tmp_path / "a.json"
    path.write_text("[1,]")
    f = check_file(path)  # os.PathLike
    assert f == Finding(str(path), 1, 4, "Invalid JSON config: trailing comma at line 1 column 4", "json")
    assert str(f) == f"{path}:1:4: {f.message}"
    assert str(check_file(tmp_path / "gone.yaml")) == f"{tmp_path / 'gone.yaml'}: Config file not found: {tmp_path / 'gone.yaml'}"
    assert hash(f) == hash(check_file(str(path))) and f != check_file(tmp_path / "gone.yaml")
    for attempt in (lambda: setattr(f, "line", 2), lambda: delattr(f, "path")):
        with pytest.raises(AttributeError):
            attempt()
    import pickle

    assert pickle.loads(pickle.dumps(f)) == f


@pytest.mark.parametrize("text, line, column, related", [
    ("opt:\n  lr: 1\n  lr: 2\n", 2, 3, (3, 3)),            # named at the mapping, the key beside
    ("a: 1\nb: {c: 1, c: 2}\n", 2, 4, (2, 11)),
    ("a: 1\na: 2\n", None, None, (2, 1)),                     # the root: no position in the message
    ("a: 1\n---\nb: 2\n", None, None, (2, 1)),               # the second document's start
    ("a: [1,\n", 2, 1, None),
])
def test_related_location_beside_the_message(text, line, column, related):
    f = check_text(text, "yaml")
    assert (f.line, f.column, f.related) == (line, column, related)
    assert ("related" in repr(f)) == (related is not None)


def test_checks_run_without_the_interpreter_lock():
    # A thread that only counts runs while a long check is under way only if
    # the check releases the interpreter lock.
    text = "k: [" + ", ".join(f"{{a{i}: {i}}}" for i in range(300_000)) + "]\n"
    counted = 0
    done = threading.Event()

    def count():
        nonlocal counted
        while not done.is_set():
            counted += 1

    thread = threading.Thread(target=count)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        thread.start()
        while counted == 0:
            pass
        start = counted
        assert check_text(text, "yaml") is None
        during = counted - start
    finally:
        done.set()
        thread.join()
        sys.setswitchinterval(old)
    assert during > 1000


def test_sub_interpreters_with_their_own_lock():
    import _interpreters

    code = "\n".join([
        "import velmora_check",
        "f = velmora_check.check_text('[1,]', 'json')",
        "assert (f.line, f.column) == (1, 4), f",
    ])
    for _ in range(2):
        iid = _interpreters.create(_interpreters.new_config("isolated"))
        try:
            assert _interpreters.exec(iid, code) is None
        finally:
            _interpreters.destroy(iid)


def test_types_check_under_mypy_strict(tmp_path):
    user = tmp_path / "user.py"
    user.write_text(
        "import pathlib\n"
        "import velmora_check\n"
        "f = velmora_check.check_file(pathlib.Path('a.yaml'))\n"
        "line: int | None = f.line if f else None\n"
        "fs: list[velmora_check.Finding] = velmora_check.check_files(['a.json'], jobs=2)\n"
        "t = velmora_check.check_text(b'{}', 'json')\n"
        "s: velmora_check.Schema = velmora_check.load_schema(pathlib.Path('s.json'))\n"
        "k: str = velmora_check.check_files(['a.json'], schema=s)[0].kind\n"
        "velmora_check.check_file('a.json', schema='s.json')\n"
        "bad: str = velmora_check.check_text('{}', 'json', schema=s)\n"
    )
    package = ROOT / "src" / "python" / "check" / "velmora_check"
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(package), str(user)],
        capture_output=True, text=True, cwd=tmp_path,
    )
    # Exactly the one planted error: the package itself is clean.
    errors = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "user.py:10:" in errors[0], run.stdout
