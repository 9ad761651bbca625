"""The velkor extension module: its identity across imports and its namespace."""

import importlib
import sys
import types

import pytest

import velkor
from support import run_python

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


# A fresh interpreter, where importing velkor has not imported asyncio: the
# loop's thread enters run_forever while another thread makes its first
# call, so that both need asyncio at once. With slow_disk, asyncio's import
# pauses at its first submodule, with the package half made, as a cold disk
# would make it, and the side named first waits for that moment.
FIRST_USE = """
import builtins, sys, threading, time
import velkor

print("asyncio" in sys.modules)
first, call, slow_disk = {first!r}, {call!r}, {slow_disk!r}
loop = velkor.VelkorLoop()
importing = threading.Event()


plain_import = builtins.__import__


def slow_import(name, globals=None, locals=None, fromlist=(), level=0):
    if globals and globals.get("__package__") == "asyncio" and not importing.is_set():
        importing.set()
        time.sleep(0.05)
    return plain_import(name, globals, locals, fromlist, level)


if slow_disk:
    builtins.__import__ = slow_import
else:
    importing.set()
errors = []


def other():
    if first == "loop thread":
        importing.wait()
    try:
        if call == "call_soon_threadsafe":
            loop.call_soon_threadsafe(loop.stop)
        elif call == "call_soon":
            loop.call_soon(loop.stop)
        else:
            loop.call_later(0, loop.stop)
    except BaseException as error:
        errors.append(repr(error))


def give_up():
    errors.append("the run did not end")
    loop.stop()


thread = threading.Thread(target=other)
thread.start()
watchdog = threading.Timer(5, give_up)
watchdog.daemon = True
watchdog.start()
if first == "other thread":
    importing.wait()
try:
    loop.run_forever()
except BaseException as error:
    errors.append("run_forever: " + repr(error))
watchdog.cancel()
thread.join()
print(errors)
"""


@pytest.mark.parametrize("call", ["call_soon_threadsafe", "call_soon", "call_later"])
@pytest.mark.parametrize("first", ["loop thread", "other thread"])
def test_first_use_from_two_threads_while_asyncio_is_being_imported(first, call):
    result = run_python(FIRST_USE.format(first=first, call=call, slow_disk=True))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["False", "[]"]


@pytest.mark.stress
@pytest.mark.parametrize("call", ["call_soon_threadsafe", "call_soon", "call_later"])
def test_first_use_from_two_threads_at_once_many_times(call):
    for _ in range(30):
        result = run_python(FIRST_USE.format(first="together", call=call, slow_disk=False))
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["False", "[]"]
