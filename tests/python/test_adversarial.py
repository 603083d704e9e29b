"""Hostile inputs through train_from_config, against the recording fake cargo.

Nesting just under and over the limits (and far over), alias bombs, very large
mappings and files, NUL bytes and broken UTF-8 at the edges of a text, config
paths naming FIFOs, sockets and devices, and megabyte-long arguments. Every
case either launches the trainer exactly once with the arguments intact, or
fails with the module's message and launches nothing.

Non-regular files: the existence test passes for a FIFO, a socket or a device
(its metadata can be had), but the read refuses them before reading a byte and
without blocking, with "Failed to read config: Invalid argument (os error 22)".
Their contents may never end (/dev/zero, a pipe fed forever) and a FIFO without
a writer would block the call for good. Cases that would hang or eat memory if
that broke run in a child interpreter with a time limit.
"""

import json
import os
import resource
import socket
import stat
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import velmora_trainer
from support.fake_cargo import expected_argv
from support.fixtures import cargo  # noqa: F401  (fixture)

train = velmora_trainer.train_from_config
READ = "Failed to read config: "
BAD_UTF8 = READ + "stream did not contain valid UTF-8"
NOT_REGULAR = READ + "Invalid argument (os error 22)"
E2BIG = "Failed to launch train_generic command: Argument list too long (os error 7)"
# A child that has not answered by then is taken to hang.
HANG_LIMIT = 120


def write(path: Path, content) -> str:
    path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
    return str(path)


def outcome(config, output_dir="out", base_ckpt=None):
    """None when the trainer ran and succeeded, else (class, message)."""
    try:
        train(config, output_dir, 3, 4, base_ckpt)
    except Exception as exc:  # noqa: BLE001 - every failure is examined by the caller
        return type(exc), str(exc)
    return None


def assert_launched_once(cargo, config, output_dir="out", base_ckpt=None):
    assert cargo.argvs() == [expected_argv(config, output_dir, 3, 4, base_ckpt)]


def outcome_in_child(config, hang_limit=HANG_LIMIT):
    """The outcome of one call made by a fresh interpreter, which is ended if
    it takes longer than `hang_limit` seconds; its address space is capped
    (unless a sanitizer runtime, which reserves terabytes, is loaded)."""
    code = textwrap.dedent(
        """\
        import json, resource, sys
        limit = int(sys.argv[2])
        if limit:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        import velmora_trainer
        try:
            velmora_trainer.train_from_config(sys.argv[1], "out", 3, 4)
            print(json.dumps(None))
        except Exception as exc:
            print(json.dumps([type(exc).__name__, str(exc)]))
        """
    )
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    limit = 0 if sanitized else 4 << 30
    result = subprocess.run([sys.executable, "-c", code, config, str(limit)], capture_output=True, text=True,
                            timeout=hang_limit)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


# --- nesting -----------------------------------------------------------------

JSON_LIMIT = "Invalid JSON config: recursion limit exceeded"
YAML_LIMIT = "Invalid YAML config: recursion limit exceeded"


def block_mappings(depth):
    return "".join("  " * i + "k:\n" for i in range(depth))


# The JSON limit's edges (arrays, objects, both, over lines) are JsonCheckTest.NestingLimit's.
NESTING = [
    # (name, text, None when accepted or the expected message)
    ("objects-127.json", '{"a":' * 127 + "1" + "}" * 127, None),
    ("unclosed-million.json", "[" * 1_000_000, JSON_LIMIT + " at line 1 column 128"),
    ("flow-maps-128.yaml", "{a: " * 128 + "b" + "}" * 128, None),
    ("flow-maps-129.yaml", "{a: " * 129 + "b" + "}" * 129, YAML_LIMIT + " at line 1 column 513"),
    ("block-seqs-128.yaml", "- " * 128 + "x\n", None),
    ("block-seqs-129.yaml", "- " * 129 + "x\n", YAML_LIMIT + " at line 1 column 257"),
    ("block-maps-128.yaml", block_mappings(128), None),
    ("block-maps-129.yaml", block_mappings(129), YAML_LIMIT + " at line 129 column 257"),
    # the root mapping, 27 or 28 sequences, then the anchored 100: the limit
    # is met inside the anchored node, at its 100th bracket
    ("alias-nesting.yaml", "a: &a " + "[" * 100 + "]" * 100 + "\nb: " + "[" * 27 + "*a" + "]" * 27 + "\n", None),
    ("alias-nesting-over.yaml", "a: &a " + "[" * 100 + "]" * 100 + "\nb: " + "[" * 28 + "*a" + "]" * 28 + "\n",
     YAML_LIMIT + " at line 1 column 106"),
    ("flow-twenty-thousand.yaml", "[" * 20_000 + "]" * 20_000, YAML_LIMIT + " at line 1 column 129"),
]


def test_deep_yaml_far_over_the_limit_is_refused_without_hanging(cargo, tmp_path):
    # A megabyte of unclosed brackets: the check must stop at the limit, not
    # take in the whole text at a cost growing with its depth; in a child, so
    # that such a cost shows as a hang.
    config = write(tmp_path / "deep.yaml", "[" * 1_000_000)
    assert outcome_in_child(config, hang_limit=30) == ["ValueError", YAML_LIMIT + " at line 1 column 129"]


# --- aliases and size ----------------------------------------------------------

def laughs(levels, width=9):
    lines = ["l0: &l0 [" + ", ".join(["lol"] * width) + "]"]
    for level in range(1, levels):
        lines.append(f"l{level}: &l{level} [" + ", ".join([f"*l{level - 1}"] * width) + "]")
    return "\n".join(lines) + "\n"


def mapping(keys):
    return "".join(f"key{i}: {i}\n" for i in range(keys))


ALIASES_AND_SIZE = [
    ("laughs.yaml", laughs(9), "Invalid YAML config: repetition limit exceeded"),
    ("chuckles.yaml", laughs(3, width=4), None),  # 4 + 16 expansions: well within the limit
    ("keys-100000.yaml", mapping(100_000), None),
    ("keys-100000-dup-first.yaml", "key0: first\n" + mapping(100_000),
     'Invalid YAML config: duplicate entry with key "key0"'),
    ("keys-100000.json", "{" + ", ".join(f'"k{i}": {i}' for i in range(100_000)) + "}", None),
]


@pytest.mark.parametrize("name, text, message", NESTING + ALIASES_AND_SIZE,
                         ids=[row[0] for row in NESTING + ALIASES_AND_SIZE])
def test_nesting_aliases_and_size(cargo, tmp_path, name, text, message):
    """Accepted (message None: launched once) or refused with `message` (nothing launched)."""
    config = write(tmp_path / name, text)
    if message is None:
        assert outcome(config) is None
        assert_launched_once(cargo, config)
    else:
        assert outcome(config) == (ValueError, message)
        assert cargo.runs() == []


def test_200_megabyte_json_is_read_checked_and_launched(cargo, tmp_path):
    record = ('{"id": %d, "name": "sample \u00e9t\u00e9 \u65e5\u672c \U0001f600", "text": "'
              + "lorem ipsum dolor sit amet " * 30
              + '", "values": [1.5, -2, 3e10, true, false, null], "nested": {"a": [{"b": {}}]}}')
    path = tmp_path / "big.json"
    with open(path, "w", encoding="utf-8") as f:
        f.write("[\n")
        written = 0
        for start in range(0, 1 << 40, 1000):
            chunk = ",\n".join(record % (start + k) for k in range(1000))
            f.write((",\n" if start else "") + chunk)
            written += len(chunk)
            if written >= 200 * 1024 * 1024:
                break
        f.write("\n]\n")
    assert path.stat().st_size > 200 * 1024 * 1024
    assert outcome(str(path)) is None
    assert_launched_once(cargo, str(path))
    # The same text spoilt at its very end is refused by the UTF-8 check.
    with open(path, "ab") as f:
        f.write(b"\xc3")
    assert outcome(str(path)) == (OSError, BAD_UTF8)
    assert len(cargo.runs()) == 1


# --- NUL bytes and broken UTF-8 at the edges -----------------------------------

MEGABYTE_JSON = '{"pad": "' + "x" * (1 << 20) + '"}'
MEGABYTE_YAML = "pad: " + "x" * (1 << 20) + "\n"

EDGES = [
    # (name, bytes, expected (class, message prefix) or None when accepted)
    ("nul-last.json", b"{}\0", (ValueError, "Invalid JSON config: trailing characters at line 1 column 3")),
    ("nul-first.json", b"\0{}", (ValueError, "Invalid JSON config: expected value at line 1 column 1")),
    ("nul-in-string.json", b'["a\0b"]', (ValueError, "Invalid JSON config: control character (\\u0000-\\u001F) "
                                                     "found while parsing a string at line 1 column 4")),
    ("nul-escaped.json", b'["a\\u0000b"]', None),
    ("nul-last.yaml", b"a: 1\n\0", (ValueError, "Invalid YAML config: control characters are not allowed")),
    ("nul-first.yaml", b"\0a: 1\n", (ValueError, "Invalid YAML config: control characters are not allowed")),
    ("nul-escaped.yaml", b'a: "x\\0y"\n', None),
    ("bad-first.json", b"\xff{}", (OSError, BAD_UTF8)),
    ("bad-last.json", b"{}\xff", (OSError, BAD_UTF8)),
    ("cut-last.json", b'["\xe2\x82"]'[:-2], (OSError, BAD_UTF8)),
    ("lone-continuation-first.yaml", b"\x80a: 1\n", (OSError, BAD_UTF8)),
    ("truncated-last.yaml", b"a: \xf0\x9f\x98", (OSError, BAD_UTF8)),
    ("surrogate-last.yaml", b"a: 1\n#\xed\xa0\x80", (OSError, BAD_UTF8)),
    ("bom-only.yaml", b"\xef\xbb\xbf", None),
    ("megabyte-bad-last.json", MEGABYTE_JSON.encode() + b"\xc0", (OSError, BAD_UTF8)),
    ("megabyte-bad-first.json", b"\xc0" + MEGABYTE_JSON.encode(), (OSError, BAD_UTF8)),
    ("megabyte-4-byte-last.json", MEGABYTE_JSON.encode()[:-2] + "\U0001f600".encode() + b'"}', None),
    ("megabyte-bad-last.yaml", MEGABYTE_YAML.encode() + b"\xf5", (OSError, BAD_UTF8)),
    ("megabyte-nul-last.yaml", MEGABYTE_YAML.encode() + b"\0", (ValueError, "Invalid YAML config: control")),
]


@pytest.mark.parametrize("name, content, expected", EDGES, ids=[row[0] for row in EDGES])
def test_nul_bytes_and_invalid_utf8_at_the_edges(cargo, tmp_path, name, content, expected):
    config = write(tmp_path / name, content)
    result = outcome(config)
    if expected is None:
        assert result is None
        assert_launched_once(cargo, config)
    else:
        cls, prefix = expected
        assert result is not None and result[0] is cls and result[1].startswith(prefix), result
        if cls is OSError:
            assert result[1] == prefix
        assert cargo.runs() == []


# --- FIFOs, sockets, devices ----------------------------------------------------

def fifo(tmp_path):
    path = tmp_path / "pipe.json"
    os.mkfifo(path)
    return path


def link_to(tmp_path, target, name):
    path = tmp_path / name
    path.symlink_to(target)
    return path


@pytest.mark.parametrize("make", [
    pytest.param(lambda p: fifo(p), id="fifo-without-writer"),
    pytest.param(lambda p: link_to(p, "/dev/zero", "zero.json"), id="dev-zero"),
    pytest.param(lambda p: link_to(p, "/dev/null", "null.json"), id="dev-null"),
])
def test_non_regular_files_are_refused_at_once(cargo, tmp_path, make):
    path = make(tmp_path)
    assert os.path.exists(path)  # the existence test passes for them
    assert outcome_in_child(str(path)) == ["OSError", NOT_REGULAR]
    assert cargo.runs() == []


def test_fifo_with_an_endless_writer_is_refused(cargo, tmp_path):
    """A writer that never stops: the read must not take it in (in a child, whose
    address space is capped, in case it does)."""
    path = fifo(tmp_path)
    stop = threading.Event()

    def feed():
        # Opening for writing blocks until a reader opens the FIFO; after the
        # refusal the reader is gone and the write fails with EPIPE.
        try:
            with open(path, "wb", buffering=0) as f:
                while not stop.is_set():
                    f.write(b"[" * 65536)
        except (BrokenPipeError, OSError):
            pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    try:
        assert outcome_in_child(str(path)) == ["OSError", NOT_REGULAR]
    finally:
        stop.set()
        # Unblock a writer still waiting in open(): open and close a reader.
        reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        os.close(reader)
        writer.join(timeout=30)
    assert not writer.is_alive()
    assert cargo.runs() == []


def test_socket_is_refused(cargo, tmp_path):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        listener.bind(str(tmp_path / "s.json"))
        assert stat.S_ISSOCK(os.stat(tmp_path / "s.json").st_mode)
        # A socket cannot be opened on Linux: the open's own error.
        assert outcome(str(tmp_path / "s.json")) == (OSError, READ + "No such device or address (os error 6)")
    finally:
        listener.close()
    assert cargo.runs() == []


LOCALE_CALLER = """
import locale, os, socket, sys
import velmora_check, velmora_trainer
locale.setlocale(locale.LC_ALL, "fr_FR.ISO-8859-1")
listener = socket.socket(socket.AF_UNIX)
listener.bind(sys.argv[1])
assert not os.strerror(6).isascii(), os.strerror(6)
for path, code in ((sys.argv[1], 6), (os.path.dirname(sys.argv[1]), 21)):
    expected = "Failed to read config: " + os.strerror(code) + f" (os error {code})"
    try:
        velmora_trainer.train_from_config(path, "out", 1, 2)
    except OSError as exc:
        assert exc.args == (expected,), (exc.args, expected)
    assert velmora_check.check_file(path).message == expected
print("ok")
"""


def test_os_error_texts_in_a_latin1_locale(tmp_path):
    # The system's messages come in the locale's encoding: decoded as the
    # interpreter decodes them, never taken for UTF-8 (which crashed).
    if not os.path.exists("/usr/share/i18n/locales/fr_FR") or not os.path.exists(
            "/usr/share/locale/fr/LC_MESSAGES/libc.mo"):
        pytest.skip("French locale sources or libc messages are not installed (Debian package locales)")
    locales = tmp_path / "locales"
    locales.mkdir()
    built = subprocess.run(["localedef", "-i", "fr_FR", "-f", "ISO-8859-1", str(locales / "fr_FR.ISO-8859-1")],
                           capture_output=True, text=True)
    if not (locales / "fr_FR.ISO-8859-1").exists():
        pytest.skip(f"localedef could not build fr_FR.ISO-8859-1: {built.stderr.strip()}")
    result = subprocess.run([sys.executable, "-c", LOCALE_CALLER, str(tmp_path / "s.yaml")], capture_output=True,
                            text=True, env=dict(os.environ, LOCPATH=str(locales)), timeout=60)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr


# --- megabyte arguments ---------------------------------------------------------

# Linux takes at most 32 pages (128 KiB) for one argument of a new program.
SINGLE_ARGUMENT_LIMIT = 32 * resource.getpagesize()

ARGUMENTS = [
    # (output_dir, base_ckpt)
    ("out", "\u00e9" * 50_000),  # 100,000 bytes of two-byte characters
    ("o" * (SINGLE_ARGUMENT_LIMIT - 1), "b" * (SINGLE_ARGUMENT_LIMIT - 1)),
    ("out", "\U0001f600" * 250_000),  # 1,000,000 bytes
    ("o" * SINGLE_ARGUMENT_LIMIT, None),
]


@pytest.mark.parametrize("output_dir, base_ckpt", ARGUMENTS,
                         ids=["100kB-base", "at-limit", "1MB-base", "over-limit"])
def test_long_arguments_arrive_intact_or_fail_clearly(cargo, tmp_path, output_dir, base_ckpt):
    config = write(tmp_path / "c.json", "{}")
    longest = max(len(output_dir.encode()), len((base_ckpt or "").encode()))
    result = outcome(config, output_dir, base_ckpt)
    if longest < SINGLE_ARGUMENT_LIMIT:
        assert result is None
        assert_launched_once(cargo, config, output_dir, base_ckpt)
    else:
        assert result == (RuntimeError, E2BIG)
        assert cargo.runs() == []


def test_megabyte_config_path_is_not_found():
    path = "d/" * 500_000 + "c.json"
    assert outcome(path) == (FileNotFoundError, "Config file not found: " + path)
