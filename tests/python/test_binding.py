"""Argument binding and conversion of train_from_config and TrainerConfig.

Binding and conversion run before train_from_config touches any file, so its
wrong calls are checked with a path that does not exist: a call that binds and
converts reaches the existence test and fails with FileNotFoundError.
"""

import operator

import pytest

from velmora_trainer import TrainerConfig, train_from_config

MISSING = "no/such/dir/missing-config.json"
NEGATIVE = "can't convert negative int to unsigned"  # the interpreter's own text, passed on

CALLABLES = [
    pytest.param(train_from_config, "train_from_config()", id="train_from_config"),
    pytest.param(TrainerConfig, "TrainerConfig.__new__()", id="TrainerConfig"),
]


class Index:
    """Not an int, but convertible through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class IntWithIndex(int):
    """An int subclass: its int value is used, __index__ is not called."""

    def __index__(self):
        return 999


class StrWithStr(str):
    """A str subclass: its string value is used, __str__ is not called."""

    def __str__(self):
        return "from __str__"


class Holder:
    class Nested:
        """Its qualified name is Holder.Nested."""


class TypeErrorSubclass(TypeError):
    pass


def call_error(func, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    return info.value


def assert_reaches_pipeline(func, args, kwargs):
    """The call bound and converted: the constructor succeeds, train_from_config
    gets as far as the (failing) existence test."""
    if func is TrainerConfig:
        return func(*args, **kwargs)
    exc = call_error(func, *args, **kwargs)
    assert type(exc) is FileNotFoundError, exc
    assert exc.args == ("Config file not found: " + str.__str__(args[0] if args else kwargs["config_path"]),)
    return None


# --- binding -----------------------------------------------------------------

BINDING_CASES = [
    # (positional, keywords, message after the display name)
    ((), {}, "missing 4 required positional arguments: 'config_path', 'output_dir', 'steps', and 'seed'"),
    ((MISSING,), {}, "missing 3 required positional arguments: 'output_dir', 'steps', and 'seed'"),
    ((MISSING, "out"), {}, "missing 2 required positional arguments: 'steps' and 'seed'"),
    ((MISSING, "out", 10), {}, "missing 1 required positional argument: 'seed'"),
    ((), {"output_dir": "out", "seed": 1}, "missing 2 required positional arguments: 'config_path' and 'steps'"),
    ((), {"base_ckpt": None, "steps": 1}, "missing 3 required positional arguments: 'config_path', 'output_dir', and 'seed'"),
    ((MISSING, "out"), {"seed": 1}, "missing 1 required positional argument: 'steps'"),
    # too many positional arguments win over any keyword problem
    ((MISSING, "out", 1, 2, None, 6), {}, "takes from 4 to 5 positional arguments but 6 were given"),
    ((MISSING, "out", 1, 2, None, 6), {"bogus": 1, "config_path": "x"},
     "takes from 4 to 5 positional arguments but 6 were given"),
    (tuple(range(12)), {}, "takes from 4 to 5 positional arguments but 12 were given"),
    # multiple values
    ((MISSING, "out", 1, 2), {"config_path": "b.json"}, "got multiple values for argument 'config_path'"),
    ((MISSING, "out", 1, 2, None), {"base_ckpt": "x"}, "got multiple values for argument 'base_ckpt'"),
    ((MISSING,), {"steps": 1, "config_path": "x"}, "got multiple values for argument 'config_path'"),
    # unexpected keywords, reported before a missing argument
    ((MISSING, "out", 1), {"bogus": 2}, "got an unexpected keyword argument 'bogus'"),
    ((MISSING, "out", 1), {"Seed": 2}, "got an unexpected keyword argument 'Seed'"),
    ((MISSING, "out", 1), {"see": 2}, "got an unexpected keyword argument 'see'"),
    ((MISSING, "out", 1), {"seeds": 2}, "got an unexpected keyword argument 'seeds'"),
    ((MISSING, "out", 1), {"seed\0": 2}, "got an unexpected keyword argument 'seed\0'"),
    ((MISSING, "out", 1), {"": 2}, "got an unexpected keyword argument ''"),
    ((MISSING, "out", 1), {"st\u00e9ps": 2}, "got an unexpected keyword argument 'st\u00e9ps'"),
    ((), {"x\ud800y": 2}, "got an unexpected keyword argument 'x\ufffd\ufffd\ufffdy'"),
    # among several problems, the first keyword in the caller's order decides
    ((MISSING, "out", 1, 2), {"zz": 1, "aa": 2}, "got an unexpected keyword argument 'zz'"),
    ((MISSING, "out", 1, 2), {"bogus": 1, "config_path": "x"}, "got an unexpected keyword argument 'bogus'"),
    ((MISSING, "out", 1, 2), {"config_path": "x", "bogus": 1}, "got multiple values for argument 'config_path'"),
    # a missing argument is reported before an unconvertible one
    ((1, "out", 10), {}, "missing 1 required positional argument: 'seed'"),
    ((b"c", 2), {"bogus": 1}, "got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("func, display", CALLABLES)
@pytest.mark.parametrize("args, kwargs, message", BINDING_CASES)
def test_binding_failures(func, display, args, kwargs, message):
    exc = call_error(func, *args, **kwargs)
    assert type(exc) is TypeError
    assert exc.args == (f"{display} {message}",)
    # An unreadable keyword name is discarded, not chained.
    assert exc.__context__ is None and exc.__cause__ is None


def index_raising_in_handler():
    """__index__ raising ValueError while it handles a LookupError of its own."""
    def index(self):
        try:
            raise LookupError("own")
        except LookupError:
            raise ValueError("from index") from None
    return type("Chained", (), {"__index__": index})()


@pytest.mark.parametrize("func, display", CALLABLES)
@pytest.mark.parametrize("args, exc_class", [
    ((MISSING,), TypeError),                              # binding failure
    ((MISSING, "out", 1.5, 1), TypeError),                # relabelled conversion failure
    ((MISSING, "out", -1, 1), OverflowError),             # the interpreter's, passed on
])
def test_error_raised_while_handling_carries_that_as_context(func, display, args, exc_class):
    try:
        raise KeyError("outer")
    except KeyError as outer:
        exc = call_error(func, *args)
        assert type(exc) is exc_class and exc.__context__ is outer


@pytest.mark.parametrize("func, display", CALLABLES)
def test_passed_on_exception_keeps_its_own_context(func, display):
    exc = call_error(func, MISSING, "out", index_raising_in_handler(), 1)
    assert type(exc) is ValueError and exc.args == ("from index",)
    assert type(exc.__context__) is LookupError and exc.__suppress_context__


class Key(str):
    """A str subclass keyword name: matched by its text, shown by its str()."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__

    def __str__(self):
        return "rendered"


class UnprintableKey(str):
    def __str__(self):
        raise RuntimeError("no str")


@pytest.mark.parametrize("func, display", CALLABLES)
def test_keyword_name_objects(func, display, monkeypatch):
    # Matching compares the name's UTF-8 text, not __eq__.
    obj = assert_reaches_pipeline(func, (MISSING, "out", 1), {Key("seed"): 5})
    assert obj is None or obj.seed == 5
    exc = call_error(func, MISSING, "out", 1, 2, **{Key("bogus"): 5})
    assert exc.args == (f"{display} got an unexpected keyword argument 'rendered'",)
    # A failing str() goes to the unraisable hook and a placeholder is shown.
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    exc = call_error(func, MISSING, "out", 1, 2, **{UnprintableKey("bogus"): 5})
    assert exc.args == (f"{display} got an unexpected keyword argument '<unprintable UnprintableKey object>'",)
    assert exc.__context__ is None
    assert len(reported) == 1 and type(reported[0].exc_value) is RuntimeError


@pytest.mark.parametrize("func, display", CALLABLES)
def test_keywords_in_any_order_equal_positional(func, display):
    positional = (MISSING, "out", 7, 3, "ck")
    keywords = {"seed": 3, "base_ckpt": "ck", "steps": 7, "output_dir": "out", "config_path": MISSING}
    a = assert_reaches_pipeline(func, positional, {})
    b = assert_reaches_pipeline(func, (), keywords)
    c = assert_reaches_pipeline(func, positional[:2], {k: keywords[k] for k in ("base_ckpt", "seed", "steps")})
    if func is TrainerConfig:
        assert repr(a) == repr(b) == repr(c)


# --- conversions that succeed ------------------------------------------------

ACCEPTED = [
    # (keyword overrides of a valid call, expected attribute values)
    ({"steps": True, "seed": False}, {"steps": 1, "seed": 0}),
    ({"steps": Index(12), "seed": Index(34)}, {"steps": 12, "seed": 34}),
    ({"steps": IntWithIndex(7), "seed": IntWithIndex(8)}, {"steps": 7, "seed": 8}),
    ({"steps": 2**64 - 1, "seed": 2**32 - 1}, {"steps": 2**64 - 1, "seed": 2**32 - 1}),
    ({"steps": Index(2**64 - 1)}, {"steps": 2**64 - 1}),
    ({"steps": 0, "seed": 0}, {"steps": 0, "seed": 0}),
    ({"output_dir": StrWithStr("od")}, {"output_dir": "od"}),
    ({"config_path": StrWithStr(MISSING)}, {"config_path": MISSING}),
    ({"output_dir": "", "base_ckpt": ""}, {"output_dir": "", "base_ckpt": ""}),
    ({"base_ckpt": None}, {"base_ckpt": None}),
    ({}, {"base_ckpt": None}),
    ({"output_dir": "\u00e9\u4e2d\U0001f600\0", "base_ckpt": "b\0k"},
     {"output_dir": "\u00e9\u4e2d\U0001f600\0", "base_ckpt": "b\0k"}),
]


@pytest.mark.parametrize("func, display", CALLABLES)
@pytest.mark.parametrize("overrides, expected", ACCEPTED)
def test_accepted_conversions(func, display, overrides, expected):
    kwargs = {"config_path": MISSING, "output_dir": "out", "steps": 1, "seed": 2, **overrides}
    obj = assert_reaches_pipeline(func, (), kwargs)
    if obj is not None:
        for name, value in expected.items():
            got = getattr(obj, name)
            assert got == value and type(got) is type(value)


# --- conversions that fail ---------------------------------------------------

def interpreter_message(func, value):
    try:
        func(value)
    except Exception as exc:  # noqa: BLE001 - the interpreter's own message
        return str(exc)
    raise AssertionError("expected a failure")


cause = KeyError("why")


def type_error_with_cause():
    exc = TypeError("inner")
    exc.__cause__ = cause
    return exc


REJECTED = [
    # (parameter, value, exception class, message)
    ("config_path", b"c.json", TypeError, "argument 'config_path': 'bytes' object cannot be converted to 'PyString'"),
    ("config_path", None, TypeError, "argument 'config_path': 'NoneType' object cannot be converted to 'PyString'"),
    ("output_dir", 3, TypeError, "argument 'output_dir': 'int' object cannot be converted to 'PyString'"),
    ("output_dir", Holder.Nested(), TypeError,
     "argument 'output_dir': 'Holder.Nested' object cannot be converted to 'PyString'"),
    ("base_ckpt", 1, TypeError, "argument 'base_ckpt': 'int' object cannot be converted to 'PyString'"),
    ("base_ckpt", b"", TypeError, "argument 'base_ckpt': 'bytes' object cannot be converted to 'PyString'"),
    ("steps", 1.0, TypeError, "argument 'steps': " + interpreter_message(operator.index, 1.0)),
    ("steps", "10", TypeError, "argument 'steps': " + interpreter_message(operator.index, "10")),
    ("seed", None, TypeError, "argument 'seed': " + interpreter_message(operator.index, None)),
    ("seed", Index("x"), TypeError, "argument 'seed': " + interpreter_message(operator.index, Index("x"))),
    ("steps", RaisingIndex(TypeError("inner")), TypeError, "argument 'steps': inner"),
    ("steps", -1, OverflowError, NEGATIVE),
    ("steps", 2**64, OverflowError, "int too big to convert"),
    ("steps", Index(-5), OverflowError, NEGATIVE),
    ("seed", Index(-5), OverflowError, NEGATIVE),
    ("seed", 2**32, OverflowError, "out of range integral type conversion attempted"),
    ("seed", Index(2**40), OverflowError, "out of range integral type conversion attempted"),
    ("seed", -1, OverflowError, NEGATIVE),
    ("seed", 2**64, OverflowError, "int too big to convert"),
    ("steps", RaisingIndex(TypeErrorSubclass("sub")), TypeErrorSubclass, "sub"),
    ("seed", RaisingIndex(ValueError("val")), ValueError, "val"),
    ("config_path", "a\ud800b", UnicodeEncodeError, None),
    ("output_dir", "\ud800", UnicodeEncodeError, None),
    ("base_ckpt", "\udfff", UnicodeEncodeError, None),
]


@pytest.mark.parametrize("func, display", CALLABLES)
@pytest.mark.parametrize("name, value, exc_class, message", REJECTED)
def test_rejected_conversions(func, display, name, value, exc_class, message):
    kwargs = {"config_path": MISSING, "output_dir": "out", "steps": 1, "seed": 2, name: value}
    exc = call_error(func, **kwargs)
    assert type(exc) is exc_class
    if message is not None:
        assert exc.args == (message,)
    if exc_class is not TypeError:
        # passed through unchanged: the parameter is not mentioned
        assert not str(exc).startswith("argument")


@pytest.mark.parametrize("func, display", CALLABLES)
def test_relabelled_error_chaining(func, display):
    # Without a cause: __cause__ None, context suppressed, the first exception dropped.
    exc = call_error(func, MISSING, "out", 1.5, 1)
    assert exc.__cause__ is None and exc.__suppress_context__ is True
    assert exc.__context__ is None
    # The cause of the first exception is carried over.
    exc = call_error(func, MISSING, "out", RaisingIndex(type_error_with_cause()), 1)
    assert exc.args == ("argument 'steps': inner",)
    assert exc.__cause__ is cause and exc.__suppress_context__ is True
    assert exc.__context__ is None


@pytest.mark.parametrize("func, display", CALLABLES)
@pytest.mark.parametrize("args, reported", [
    ((1, 2, "x", "y", 5), "config_path"),
    (("a", 2, "x", "y", 5), "output_dir"),
    (("a", "b", "x", "y", 5), "steps"),
    (("a", "b", 1, "y", 5), "seed"),
    (("a", "b", 1, 2, 5), "base_ckpt"),
])
def test_conversions_run_in_parameter_order(func, display, args, reported):
    exc = call_error(func, *args)
    assert type(exc) is TypeError
    assert str(exc).startswith(f"argument '{reported}': ")


@pytest.mark.parametrize("func, display", CALLABLES)
def test_later_parameters_are_not_converted_after_a_failure(func, display):
    seen = []

    class Spy:
        def __index__(self):
            seen.append(True)
            return 1

    call_error(func, b"bad", "out", Spy(), Spy())
    assert seen == []
