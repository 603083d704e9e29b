"""The module object: its attributes, its cache, its interpreter claim, its panic class."""

import ctypes
import subprocess
import sys
import textwrap

import pytest

import velmora_trainer

MODULE_DOC = (
    "Velmora Trainer \u2014 Orvek-native trainer with FF+BP cadencing and orthogonal "
    "gradient projections."
)
SUBINTERPRETER_PREFIX = "Velmora native modules do not yet support subinterpreters, see "


def test_public_attributes():
    assert velmora_trainer.__all__ == ["train_from_config", "TrainerConfig", "__version__", "__doc__"]
    assert type(velmora_trainer.__all__) is list
    assert velmora_trainer.__version__ == "0.1.4"
    assert velmora_trainer.__doc__ == MODULE_DOC
    assert velmora_trainer.__name__ == "velmora_trainer"
    assert isinstance(velmora_trainer.TrainerConfig, type)


def test_train_from_config_function():
    fn = velmora_trainer.train_from_config
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == "train_from_config"
    assert fn.__module__ == "velmora_trainer"
    assert fn.__self__ is velmora_trainer
    assert fn.__text_signature__ == "(config_path, output_dir, steps, seed, base_ckpt=None)"
    assert fn.__doc__ == (
        "Main Python entry point: train_from_config\n"
        "Loads a config file (JSON or YAML), initializes trainer, runs training loop."
    )


def _init_again():
    """Calls the module's initialisation function directly, as a second import would."""
    library = ctypes.PyDLL(velmora_trainer.__file__)
    init = library.PyInit_velmora_trainer
    init.restype = ctypes.py_object
    init.argtypes = []
    return init()


def test_second_initialisation_returns_the_cached_module_unchanged():
    saved = velmora_trainer.__version__
    try:
        del velmora_trainer.__version__
        velmora_trainer.extra = 1
        again = _init_again()
        assert again is velmora_trainer
        assert not hasattr(again, "__version__")
        assert again.extra == 1
        assert again.__all__ == ["train_from_config", "TrainerConfig", "__version__", "__doc__"]
    finally:
        velmora_trainer.__version__ = saved
        del velmora_trainer.extra


def test_only_one_export():
    out = subprocess.run(["nm", "-D", "--defined-only", velmora_trainer.__file__],
                         capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in out.splitlines() if " T " in line]
    assert exported == ["PyInit_velmora_trainer"]


def test_panic_class_exists_once_and_is_private():
    panics = [c for c in BaseException.__subclasses__()
              if c.__name__ == "PanicException" and c.__module__ == "velmora_runtime"]
    assert len(panics) == 1
    panic = panics[0]
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__.startswith("\nThe exception raised when Orvek code called from Python panics.")
    assert all(getattr(velmora_trainer, name) is not panic for name in dir(velmora_trainer))
    # Later failing calls take exceptions again without making another class.
    with pytest.raises(TypeError):
        velmora_trainer.TrainerConfig()
    assert len([c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"]) == 1


def _run_child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


SUBINTERPRETER_HELPERS = """
import _interpreters

def import_in_subinterpreter():
    # The legacy configuration lets single-phase modules reach their init function.
    iid = _interpreters.create(_interpreters.new_config("legacy"))
    try:
        failure = _interpreters.exec(iid, "import velmora_trainer\\nvelmora_trainer.TrainerConfig('a', 'b', 1, 2)")
        return None if failure is None else (failure.type.__name__, failure.msg)
    finally:
        _interpreters.destroy(iid)
"""


def test_subinterpreter_refused_after_main_import():
    result = _run_child(SUBINTERPRETER_HELPERS + """
import velmora_trainer
first = import_in_subinterpreter()
second = import_in_subinterpreter()
print(repr(first)); print(repr(second))
# The owner keeps working.
print(repr(velmora_trainer.TrainerConfig("a", "b", 1, 2)))
""")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    for line in lines[:2]:
        kind, message = eval(line)
        assert kind == "ImportError"
        assert message.startswith(SUBINTERPRETER_PREFIX)
    assert lines[2].startswith("TrainerConfig(config_path='a'")


def test_first_claimant_keeps_the_module_whichever_interpreter_it_is():
    result = _run_child(SUBINTERPRETER_HELPERS + """
sub_first = import_in_subinterpreter()
try:
    import velmora_trainer
    main_outcome = None
    velmora_trainer.TrainerConfig("a", "b", 1, 2)
except ImportError as error:
    main_outcome = str(error)
sub_again = import_in_subinterpreter()
print(repr(sub_first)); print(repr(main_outcome)); print(repr(sub_again))
""")
    assert result.returncode == 0, result.stderr
    sub_first, main_outcome, sub_again = (eval(line) for line in result.stdout.splitlines())
    if main_outcome is None:
        # The main interpreter claimed the module (3.13 may run the init function there
        # first): every sub-interpreter import fails.
        for outcome in (sub_first, sub_again):
            assert outcome is not None and outcome[0] == "ImportError"
            assert outcome[1].startswith(SUBINTERPRETER_PREFIX)
    else:
        # The sub-interpreter claimed it: it keeps working, the main one is refused.
        assert sub_first is None
        assert main_outcome.startswith(SUBINTERPRETER_PREFIX)
