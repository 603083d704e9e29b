"""The TrainerConfig class: the class object, attributes, repr, borrow flag, an
instance without values. Leaks and reference counts: test_soak."""

import ctypes
import gc
import pathlib
import re
import subprocess
import sys
import types
import unicodedata
import weakref

import pytest

from velmora_trainer import TrainerConfig

FIELDS = ["config_path", "output_dir", "steps", "seed", "base_ckpt"]


def make(**overrides):
    values = {"config_path": "cfg.yaml", "output_dir": "out", "steps": 1000, "seed": 42, **overrides}
    return TrainerConfig(**values)


def error_of(action):
    with pytest.raises(BaseException) as info:
        action()
    return info.value


# --- the class object ----------------------------------------------------------

def test_class_identity_and_doc():
    assert TrainerConfig.__module__ == "builtins"
    assert TrainerConfig.__name__ == TrainerConfig.__qualname__ == "TrainerConfig"
    assert TrainerConfig.__text_signature__ == "(config_path, output_dir, steps, seed, base_ckpt=None)"
    assert TrainerConfig.__doc__ == (
        "Python-facing configuration struct for training.\n"
        "Serializable to/from JSON for easy YAML \u2192 JSON conversion in Python.")
    assert TrainerConfig.__base__ is object and TrainerConfig.__mro__ == (TrainerConfig, object)


def test_class_has_exactly_five_getset_descriptors_with_empty_docs():
    own = vars(TrainerConfig)
    descriptors = [k for k, v in own.items() if isinstance(v, types.GetSetDescriptorType)]
    assert descriptors == FIELDS
    assert all(own[name].__doc__ == "" for name in FIELDS)
    # No methods, members, __init__, comparison or hash of its own.
    assert set(own) - set(FIELDS) <= {"__new__", "__repr__", "__doc__", "__module__"}
    assert TrainerConfig.__init__ is object.__init__
    assert TrainerConfig.__eq__ is object.__eq__ and TrainerConfig.__hash__ is object.__hash__


def test_flags_heap_type_without_base_type_or_gc():
    flags = TrainerConfig.__flags__
    assert flags & (1 << 9)                  # Py_TPFLAGS_HEAPTYPE
    assert not flags & (1 << 10)             # Py_TPFLAGS_BASETYPE
    assert not flags & (1 << 14)             # Py_TPFLAGS_HAVE_GC
    assert not gc.is_tracked(make())


@pytest.mark.parametrize("action, exc_class", [
    (lambda: type("Sub", (TrainerConfig,), {}), TypeError),
    (lambda: setattr(make(), "other", 1), AttributeError),
    (lambda: make().__dict__, AttributeError),
    (lambda: weakref.ref(make()), TypeError),
    (lambda: object.__new__(TrainerConfig), TypeError),  # no instance without its fields
])
def test_interpreter_refusals(action, exc_class):
    assert type(error_of(action)) is exc_class


# --- attributes ----------------------------------------------------------------

def test_reads_return_fresh_values():
    # Values and types of every accepted argument: test_binding.test_accepted_conversions.
    long_text = "x" * 1000
    obj = TrainerConfig(long_text, "b", 2**64 - 1, 2**32 - 1, long_text)
    assert obj.config_path == long_text and obj.config_path is not long_text
    assert obj.steps == 2**64 - 1 and obj.seed == 2**32 - 1 and obj.base_ckpt == long_text


ASSIGN_OK = [
    ("config_path", "new.json", "new.json"),
    ("config_path", "", ""),
    ("output_dir", "d\u00e9j\u00e0/\U0001f600", "d\u00e9j\u00e0/\U0001f600"),
    ("steps", 0, 0),
    ("steps", 2**64 - 1, 2**64 - 1),
    ("steps", True, 1),
    ("seed", 2**32 - 1, 2**32 - 1),
    ("seed", type("I", (), {"__index__": lambda self: 9})(), 9),
    ("base_ckpt", None, None),
    ("base_ckpt", "", ""),
    ("base_ckpt", "ck.pt", "ck.pt"),
]


@pytest.mark.parametrize("name, value, expected", ASSIGN_OK)
def test_assignment(name, value, expected):
    obj = make(base_ckpt="old")
    setattr(obj, name, value)
    assert getattr(obj, name) == expected and type(getattr(obj, name)) is type(expected)
    others = {n: getattr(make(base_ckpt="old"), n) for n in FIELDS if n != name}
    assert {n: getattr(obj, n) for n in others} == others


ASSIGN_FAIL = [
    ("steps", "10", TypeError, "argument 'steps': 'str' object cannot be interpreted as an integer"),
    ("steps", -1, OverflowError, "can't convert negative int to unsigned"),
    ("steps", 2**64, OverflowError, "int too big to convert"),
    ("seed", 4294967296, OverflowError, "out of range integral type conversion attempted"),
    ("seed", None, TypeError, "argument 'seed': 'NoneType' object cannot be interpreted as an integer"),
    ("config_path", None, TypeError,
     "argument 'config_path': 'NoneType' object cannot be converted to 'PyString'"),
    ("output_dir", b"out", TypeError, "argument 'output_dir': 'bytes' object cannot be converted to 'PyString'"),
    ("config_path", "\ud800", UnicodeEncodeError, None),
    ("base_ckpt", 5, TypeError, "argument 'base_ckpt': 'int' object cannot be converted to 'PyString'"),
    ("base_ckpt", "\udc80", UnicodeEncodeError, None),
]


@pytest.mark.parametrize("name, value, exc_class, message", ASSIGN_FAIL)
def test_failed_assignment_keeps_the_old_value(name, value, exc_class, message):
    obj = make(base_ckpt="old")
    before = repr(obj)
    exc = error_of(lambda: setattr(obj, name, value))
    assert type(exc) is exc_class
    if message is not None:
        assert exc.args == (message,)
    if exc_class is TypeError:
        assert exc.__cause__ is None and exc.__suppress_context__ is True
    assert repr(obj) == before


@pytest.mark.parametrize("name", FIELDS)
def test_deletion_is_refused_and_changes_nothing(name):
    obj = make(base_ckpt="old")
    before = repr(obj)
    exc = error_of(lambda: delattr(obj, name))
    assert type(exc) is AttributeError and exc.args == ("can't delete attribute",)
    assert repr(obj) == before


# --- repr ------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, fields", [
    ({}, "steps=1000, seed=42, base_ckpt=None"),
    ({"base_ckpt": "ckpt.pt"}, "steps=1000, seed=42, base_ckpt=Some(\"ckpt.pt\")"),
    ({"base_ckpt": ""}, "steps=1000, seed=42, base_ckpt=Some(\"\")"),
    ({"steps": 0, "seed": 0}, "steps=0, seed=0, base_ckpt=None"),
    ({"steps": 2**64 - 1, "seed": 2**32 - 1}, "steps=18446744073709551615, seed=4294967295, base_ckpt=None"),
])
def test_repr(kwargs, fields):
    assert repr(make(**kwargs)) == f"TrainerConfig(config_path='cfg.yaml', output_dir='out', {fields})"


def test_paths_unescaped_but_base_ckpt_escaped():
    path = "C:\\runs\\it's \"x\"\n\t\x1b\u00a0.yaml"
    obj = TrainerConfig(path, path, 1, 2, path)
    assert repr(obj) == (
        f"TrainerConfig(config_path='{path}', output_dir='{path}', steps=1, seed=2, "
        "base_ckpt=Some(\"C:\\\\runs\\\\it's \\\"x\\\"\\n\\t\\u{1b}\\u{a0}.yaml\"))")
    assert str(obj) == repr(obj)


# test_escape_table_against_unicodedata checks every code point's escaping by
# its general category; these rows pin the short escapes and the members of
# Grapheme_Extend outside Mn and Me, which the category alone does not decide.
ESCAPES = [
    # (character, how repr writes it inside base_ckpt's quotes)
    ("\0", "\\0"), ("\t", "\\t"), ("\r", "\\r"), ("\n", "\\n"), ("\\", "\\\\"), ('"', '\\"'),
    ("'", "'"), (" ", " "), ("\x1b", "\\u{1b}"), ("\u0301", "\\u{301}"), ("\u00e9", "\u00e9"),
    # Grapheme_Extend spacing marks and modifier letters
    ("\u09be", "\\u{9be}"), ("\uff9e", "\\u{ff9e}"), ("\U0001d165", "\\u{1d165}"),
    # a spacing mark outside Grapheme_Extend
    ("\u0903", "\u0903"),
]


@pytest.mark.parametrize("char, written", ESCAPES)
def test_base_ckpt_escaping(char, written):
    # After a plain character too: a combining mark is escaped, its base is not.
    text = repr(make(base_ckpt=f"a{char}b{char}"))
    assert text.endswith(f', base_ckpt=Some("a{written}b{written}"))')


# Code points that Unicode 15.1 (Python 3.13's unicodedata) assigned and 15.0
# (the table's version) did not: CJK Extension I and the new ideographic
# description characters. The table treats them as unassigned.
NEW_IN_15_1 = {*range(0x2FFC, 0x3000), 0x31EF, *range(0x2EBF0, 0x2EE5E)}
ESCAPED_CATEGORIES = {"Cc", "Cf", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Me"}
TOKEN = re.compile(r'\\u\{([0-9a-f]+)\}|\\([0nrt\\"])|(.)', re.S)
SIMPLE = {"0": 0, "n": 10, "r": 13, "t": 9, "\\": 0x5C, '"': 0x22}


def test_escape_table_against_unicodedata():
    """Every code point except surrogates (which no str argument can carry into a
    TrainerConfig) goes through repr once; the escaped ones must be exactly the
    general categories plus Grapheme_Extend, whose members outside Mn and Me are
    a handful of spacing marks and modifier letters."""
    if unicodedata.unidata_version.split(".")[:2] != ["15", "1"]:
        pytest.skip(f"differences noted for Unicode 15.1 only, not {unicodedata.unidata_version}")
    code_points = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]
    text = repr(make(base_ckpt="".join(map(chr, code_points))))
    prefix = ', base_ckpt=Some("'
    body = text[text.index(prefix) + len(prefix):-3]
    decoded, escaped = [], []
    for match in TOKEN.finditer(body):
        hex_digits, simple, plain = match.groups()
        if hex_digits is not None:
            assert not hex_digits.startswith("0"), hex_digits
            decoded.append(int(hex_digits, 16))
        elif simple is not None:
            decoded.append(SIMPLE[simple])
        else:
            decoded.append(ord(plain))
        escaped.append(hex_digits is not None)
    assert decoded == code_points

    mismatches = {}
    for cp, was_escaped in zip(code_points, escaped):
        if cp in SIMPLE.values():
            continue  # written with their short escapes
        category = unicodedata.category(chr(cp))
        expected = category in ESCAPED_CATEGORIES and cp != 0x20
        if was_escaped != expected:
            mismatches[cp] = category
    # The table (15.0) escapes every 15.1 addition as unassigned.
    assert NEW_IN_15_1 <= mismatches.keys()
    rest = {cp: c for cp, c in mismatches.items() if cp not in NEW_IN_15_1}
    # Other_Grapheme_Extend outside Mn/Me/Cf: spacing marks and two modifier letters.
    assert set(rest.values()) <= {"Mc", "Lm"}
    assert {cp for cp, c in rest.items() if c == "Lm"} == {0xFF9E, 0xFF9F}
    assert 0x09BE in rest and 0x0903 not in rest and len(rest) < 40
    # The surrogate code points cannot be stored at all.
    assert type(error_of(lambda: make(base_ckpt="\ud800"))) is UnicodeEncodeError


def test_committed_table_is_what_the_generator_makes():
    if not pathlib.Path("/usr/share/unicode/UnicodeData.txt").exists():
        pytest.skip("the unicode-data package is not installed")
    script = pathlib.Path(__file__).resolve().parents[2] / "scripts/gen_unicode_escape_table.py"
    result = subprocess.run([sys.executable, str(script), "--check"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


# --- borrow flag -------------------------------------------------------------------

def test_conversion_runs_before_the_instance_is_used():
    """A conversion may run Python code that uses the same instance: it finds
    the instance free, and the outer assignment is stored last."""
    obj = make()
    seen = []

    class Reentrant:
        def __index__(self):
            seen.append((obj.steps, repr(obj)))
            obj.steps = 5
            obj.config_path = "inner.yaml"
            return 7

    obj.steps = Reentrant()
    assert seen == [(1000, repr(make()))]
    assert obj.steps == 7 and obj.config_path == "inner.yaml"


FLAG = ctypes.c_ssize_t


def flag_of(obj):
    # The borrow flag is the last field of the instance record.
    return FLAG.from_address(id(obj) + TrainerConfig.__basicsize__ - ctypes.sizeof(FLAG))


def test_flag_is_free_after_every_operation():
    obj = make()
    flag = flag_of(obj)
    assert flag.value == 0
    for action in (lambda: obj.config_path, lambda: repr(obj), lambda: setattr(obj, "seed", 3),
                   lambda: setattr(obj, "seed", 2**32), lambda: delattr(obj, "seed")):
        try:
            action()
        except (OverflowError, AttributeError):
            pass
        assert flag.value == 0


@pytest.mark.parametrize("state", [1, 3, -1])
def test_borrow_flag_states(state):
    """States that only native re-entrance could produce, set directly: readers
    share, an assignment is exclusive, and the checks come in their order."""
    obj = make(base_ckpt="old")
    flag = flag_of(obj)
    flag.value = state
    try:
        # Deletion and conversion failures are reported before the flag is looked at.
        assert error_of(lambda: delattr(obj, "steps")).args == ("can't delete attribute",)
        assert type(error_of(lambda: setattr(obj, "steps", "x"))) is TypeError
        for name, value in [("config_path", "new"), ("steps", 1), ("seed", 2), ("base_ckpt", None)]:
            exc = error_of(lambda: setattr(obj, name, value))
            assert type(exc) is RuntimeError and exc.args == ("Already borrowed",)
        if state > 0:
            assert [getattr(obj, n) for n in FIELDS] == ["cfg.yaml", "out", 1000, 42, "old"]
            assert repr(obj).startswith("TrainerConfig(config_path='cfg.yaml'")
        else:
            for action in [lambda: repr(obj)] + [lambda n=n: getattr(obj, n) for n in FIELDS]:
                exc = error_of(action)
                assert type(exc) is RuntimeError and exc.args == ("Already mutably borrowed",)
        assert flag.value == state
    finally:
        flag.value = 0
    assert repr(obj).endswith('Some("old"))')


# --- an instance without values -----------------------------------------------------

def test_instance_that_skipped_the_native_constructor_is_safe_to_use():
    # object.__new__ in place of TrainerConfig.__new__ yields an instance whose
    # native fields were never built: every operation on it is well defined.
    code = """
import gc, velmora_trainer
T = velmora_trainer.TrainerConfig
T.__new__ = staticmethod(lambda cls, *args: object.__new__(cls))
bare = T()
print(repr(bare))
for name, value in (("config_path", "c"), ("output_dir", "o"), ("steps", 1), ("seed", 2), ("base_ckpt", "b")):
    for action in (lambda: getattr(bare, name), lambda: setattr(bare, name, value)):
        try:
            action()
        except TypeError as exc:
            assert str(exc) == "TrainerConfig instance was not created by TrainerConfig.__new__() and holds no values"
        else:
            raise AssertionError(name)
del bare
gc.collect()
print("ok")
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout.split("\n")[:2] == ["<TrainerConfig without values>", "ok"], result.stderr
