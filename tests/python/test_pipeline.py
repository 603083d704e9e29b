"""The train_from_config pipeline: step order, every failure's class and message,
and the UTF-8 check against Python's own decoder. (A file that vanishes between
the existence test and the read is ConfigRead's case in tests/cpp/test_pipeline.cpp.)"""

import os
import random
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import velmora_trainer
from support.fake_cargo import expected_argv
from support.fixtures import cargo  # noqa: F401  (fixture)

train = velmora_trainer.train_from_config
NOT_FOUND = "Config file not found: "
READ = "Failed to read config: "
BAD_UTF8 = READ + "stream did not contain valid UTF-8"
EXTENSION = "Config must be .json or .yaml"


def make(tmp_path, name, content):
    path = tmp_path / name
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(content, str):
        content = content.encode("utf-8")
    path.write_bytes(content)
    return str(path)


def failure_of(*args, **kwargs):
    with pytest.raises(BaseException) as info:
        train(*args, **kwargs)
    return info.value


def assert_module_error(exc, cls, message):
    """Exactly `cls` (not a subclass) with the single argument `message`."""
    assert type(exc) is cls, repr(exc)
    assert exc.args == (message,)
    assert str(exc) == message
    if isinstance(exc, OSError):
        assert (exc.errno, exc.strerror, exc.filename) == (None, None, None)


# (file name, content or None for no file, class, message; a message ending in
# "..." is a prefix followed by the parser's text). Which endings name which
# format is checked by PipelineFormat (tests/cpp), every parser message by the
# document suites.
ROWS = [
    ("missing.txt", None, FileNotFoundError, NOT_FOUND + "{path}"),
    ("bad.txt", b"\xff{}", OSError, BAD_UTF8),
    ("overlong.yaml", b"a: \xc0\xaf\n", OSError, BAD_UTF8),
    ("cfg.txt", "{}", ValueError, EXTENSION),
    ("cfg.Yaml", "a: 1", ValueError, EXTENSION),
    ("yaml-in.json", "a: 1\nb: 2\n", ValueError, "Invalid JSON config: ..."),
    ("two.yml", "--- 1\n--- 2\n", ValueError, "Invalid YAML config: ..."),
]


@pytest.mark.parametrize("name,content,cls,message", ROWS, ids=[row[0] for row in ROWS])
def test_failure_rows(cargo, tmp_path, name, content, cls, message):
    path = str(tmp_path / name) if content is None else make(tmp_path, name, content)
    exc = failure_of(path, "out", 1, 2)
    if message.endswith("..."):
        assert type(exc) is cls
        assert len(exc.args) == 1 and exc.args[0].startswith(message[:-3]), exc.args
        assert len(exc.args[0]) > len(message) - 3
    else:
        assert_module_error(exc, cls, message.format(path=path))
    assert cargo.runs() == []


@pytest.mark.parametrize(
    "name,content",
    [("c.json", "{}"), ("c.json", "[]"), ("c.json", "12"), ("c.json", ' {"steps": [1, 2.5e3, null]}\n'),
     ("c.yaml", "a: 1\n"), ("c.yml", "- 1\n- 2\n"), ("c.yaml", "---\nkey: value\n...\n"),
     ("yaml-ok.json", '{"also": "yaml"}')],
)
def test_valid_documents_run_the_trainer_once(cargo, tmp_path, name, content):
    path = make(tmp_path, name, content)
    assert train(path, "out", 3, 4) is None
    assert cargo.argvs() == [expected_argv(path, "out", 3, 4)]


def test_directory_with_a_json_name(cargo, tmp_path):
    (tmp_path / "d.json").mkdir()
    exc = failure_of(str(tmp_path / "d.json"), "out", 1, 2)
    assert_module_error(exc, OSError, READ + "Is a directory (os error 21)")


def test_symbolic_links(cargo, tmp_path):
    target = make(tmp_path, "real.txt", "{}")
    os.symlink(target, tmp_path / "link.json")
    assert train(str(tmp_path / "link.json"), "out", 1, 2) is None
    os.symlink(tmp_path / "nowhere.json", tmp_path / "dangling.json")
    dangling = str(tmp_path / "dangling.json")
    assert_module_error(failure_of(dangling, "out", 1, 2), FileNotFoundError, NOT_FOUND + dangling)
    assert len(cargo.runs()) == 1


def test_read_error_wins_over_a_bad_extension(cargo):
    # Reading /proc/self/mem from offset 0 fails (nothing is mapped there).
    exc = failure_of("/proc/self/mem", "out", 1, 2)
    assert_module_error(exc, OSError, READ + "Input/output error (os error 5)")


def test_unreadable_file(tmp_path):
    # Root reads any file, so the call runs in a child interpreter whose
    # capability bounding set lacks the permission-bypassing capabilities.
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("setpriv (util-linux) is needed to drop the file-permission capabilities")
    secret = tmp_path / "secret.txt"  # a wrong extension too: the read error comes first
    secret.write_text("{}")
    secret.chmod(0o000)
    code = textwrap.dedent(f"""
        import velmora_trainer
        try:
            velmora_trainer.train_from_config({str(secret)!r}, "out", 1, 2)
        except OSError as exc:
            print(type(exc).__name__, exc.args)
    """)
    command = [sys.executable, "-c", code]
    if os.geteuid() == 0:
        command = [setpriv, "--bounding-set=-dac_override,-dac_read_search"] + command
    result = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert result.stdout == f"OSError {(READ + 'Permission denied (os error 13)',)!r}\n", result.stderr


def test_empty_path_keeps_the_handled_exception_as_context(cargo):
    try:
        raise KeyError("first")
    except KeyError as handled:
        first = handled
        exc = failure_of("", "out", 1, 2)
    assert_module_error(exc, FileNotFoundError, NOT_FOUND)
    assert exc.__context__ is first


def test_file_too_large_for_memory(cargo, tmp_path):
    overcommit = Path("/proc/sys/vm/overcommit_memory")
    if not overcommit.exists() or overcommit.read_text().strip() == "1":
        pytest.skip("the system grants any allocation, so the buffer would really be filled")
    huge = tmp_path / "huge.json"
    with open(huge, "wb") as f:
        f.truncate(1 << 42)  # sparse: 4 TiB reported, nothing stored
    assert_module_error(failure_of(str(huge), "out", 1, 2), OSError, READ + "out of memory")
    assert cargo.runs() == []


def random_bytes(rng):
    """UTF-8 text of ASCII and characters of every length, in about half the
    samples spoilt by a boundary byte or cut short."""
    interesting = [0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC,
                   0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF]
    out = bytearray()
    for _ in range(rng.randrange(1, 30)):
        if rng.random() < 0.5:
            out += bytes(rng.choice(b"abc {}[]:\n") for _ in range(rng.randrange(0, 70)))
        else:
            cp = rng.choice([rng.randrange(0x80, 0x800), rng.randrange(0x800, 0xD800), rng.randrange(0xE000, 0x10000),
                             rng.randrange(0x10000, 0x110000)])
            out += chr(cp).encode("utf-8")
    spoil = rng.random()
    if spoil < 0.3 and out:
        out[rng.randrange(len(out))] = rng.choice(interesting)
    elif spoil < 0.45:
        out.insert(rng.randrange(len(out) + 1), rng.choice(interesting))
    elif spoil < 0.5:
        out += rng.choice(["\u00e9", "\u20ac", "\U0001f600"]).encode("utf-8")[:-1]
    return bytes(out)


def test_utf8_check_agrees_with_python(cargo, tmp_path):
    rng = random.Random(20261208)
    path = tmp_path / "sample.txt"  # a wrong extension: a valid text stops at the name check
    valid_seen = invalid_seen = 0
    for _ in range(1500):
        data = random_bytes(rng)
        path.write_bytes(data)
        try:
            data.decode("utf-8")
            expected = EXTENSION
            valid_seen += 1
        except UnicodeDecodeError:
            expected = BAD_UTF8
            invalid_seen += 1
        exc = failure_of(str(path), "out", 1, 2)
        assert exc.args == (expected,), data
    assert valid_seen > 200 and invalid_seen > 200
