"""The velkor extension module: its identity across imports and its namespace."""

import importlib
import sys
import types

import velkor
from conftest import run_python

# What every module gets from the interpreter, plus the path of an extension's file.
INTERPRETER_DEFAULTS = set(vars(types.ModuleType("probe"))) | {"__file__"}


def test_importing_again_gives_the_same_module():
    again = importlib.import_module("velkor")
    import velkor as yet_again

    assert again is velkor
    assert yet_again is velkor


def test_reimport_after_removal_from_sys_modules_gives_the_same_objects():
    result = run_python(
        """
        import importlib, sys
        import velkor
        first, first_class = velkor, velkor.VelkorLoop
        del sys.modules["velkor"]
        import velkor
        print(velkor is first, velkor.VelkorLoop is first_class, velkor.__all__)
        second = importlib.reload(velkor)
        print(second is first, second.VelkorLoop is first_class, second.__all__)
        loop = velkor.VelkorLoop()
        ran = []
        loop.call_soon(ran.append, 1)
        loop.stop()
        loop.run_forever()
        print(ran)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True True ['VelkorLoop']",
        "True True ['VelkorLoop']",
        "[1]",
    ]


def test_all_lists_only_the_loop_class():
    assert velkor.__all__ == ["VelkorLoop"]
    assert type(velkor.__all__) is list


def test_the_namespace_holds_only_the_class_and_the_interpreter_defaults():
    names = set(vars(velkor))
    assert names - INTERPRETER_DEFAULTS == {"VelkorLoop", "__all__"}
    assert {name for name in dir(velkor) if not name.startswith("_")} == {"VelkorLoop"}


def test_module_metadata():
    assert velkor.__name__ == "velkor"
    assert velkor.__doc__ == ""
    assert velkor.__file__.endswith(".so")
    assert sys.modules["velkor"] is velkor


def test_import_in_a_second_interpreter_is_refused_without_harming_the_first():
    result = run_python(
        """
        import _interpreters
        import velkor
        interp = _interpreters.create("legacy")
        try:
            failure = _interpreters.exec(interp, "import velkor")
        finally:
            _interpreters.destroy(interp)
        print(failure.type.__name__)
        loop = velkor.VelkorLoop()
        ran = []
        loop.call_soon(ran.append, "still works")
        loop.stop()
        loop.run_forever()
        print(ran[0])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["ImportError", "still works"]
