"""The VelkorLoop class and object: its shape, construction, teardown, worker
threads and the state methods (debug flag, is_running, is_closed, close)."""

import ast
import asyncio
import gc
import inspect
import os
import pathlib
import socket
import time
import weakref

import numpy
import pytest

import velkor
from support import run_python, wait_until, worker_threads
from velkor import VelkorLoop

CPUS = len(os.sched_getaffinity(0))

METHOD_SIGNATURES = {
    "get_debug": "()",
    "set_debug": "(value)",
    "run_forever": "()",
    "create_task": "(coro, *, name=None, context=None)",
    "run_until_complete": "(future)",
    "_stop_cb": "(_fut)",
    "stop": "()",
    "is_running": "()",
    "is_closed": "()",
    "close": "()",
    "time": "()",
    "call_soon": "(callback, *args, context=None)",
    "call_soon_threadsafe": "(callback, *args, context=None)",
    "call_later": "(delay, callback, *args, context=None)",
    "call_at": "(when, callback, *args, context=None)",
    "_timer_handle_cancelled": "(handle)",
    "add_reader": "(fd, cb, args)",
    "remove_reader": "(fd)",
    "add_writer": "(fd, cb, args)",
    "remove_writer": "(fd)",
}



def drain(loop):
    """Runs everything queued so far, so that queued handles let go of the loop."""
    loop.stop()
    loop.run_forever()


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def thread_count():
    return len(os.listdir("/proc/self/task"))


# ---- the class


def test_class_names():
    assert VelkorLoop.__module__ == "builtins"
    assert VelkorLoop.__name__ == "VelkorLoop"
    assert VelkorLoop.__qualname__ == "VelkorLoop"
    assert VelkorLoop.__text_signature__ == "()"
    assert velkor.VelkorLoop is VelkorLoop


def stub_signatures():
    """The methods of VelkorLoop in the type stub, as inspect would print them."""
    stub = pathlib.Path(__file__).resolve().parents[1] / "src" / "velkor" / "velkor.pyi"
    (cls,) = [
        node
        for node in ast.parse(stub.read_text()).body
        if isinstance(node, ast.ClassDef) and node.name == "VelkorLoop"
    ]
    signatures = {}
    for function in cls.body:
        if not isinstance(function, ast.FunctionDef) or function.name.startswith("__"):
            continue
        arguments = function.args
        positional = [a.arg for a in arguments.args[1:]]  # without self
        padded = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
        parts = [p if d is None else f"{p}={ast.unparse(d)}" for p, d in zip(positional, padded)]
        if arguments.vararg:
            parts.append(f"*{arguments.vararg.arg}")
        elif arguments.kwonlyargs:
            parts.append("*")
        for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults):
            parts.append(a.arg if d is None else f"{a.arg}={ast.unparse(d)}")
        signatures[function.name] = f"({', '.join(parts)})"
    return signatures


def test_the_type_stub_lists_every_method_with_its_signature(loop):
    names = {name for name in VelkorLoop.__dict__ if not name.startswith("__")}
    assert names == set(METHOD_SIGNATURES)
    actual = {name: str(inspect.signature(getattr(loop, name))) for name in names}
    assert stub_signatures() == actual


@pytest.mark.parametrize("name, expected", METHOD_SIGNATURES.items())
def test_method_signature_and_docstring(loop, name, expected):
    method = getattr(loop, name)
    assert method.__doc__ is None
    assert str(inspect.signature(method)) == expected
    assert method.__self__ is loop


@pytest.mark.parametrize(
    "name",
    [
        "create_future",
        "call_exception_handler",
        "set_exception_handler",
        "default_exception_handler",
        "run_in_executor",
        "add_signal_handler",
        "remove_signal_handler",
        "shutdown_asyncgens",
        "shutdown_default_executor",
        "sock_recv",
        "sock_sendall",
        "create_connection",
        "create_server",
        "getaddrinfo",
        "get_task_factory",
        "set_task_factory",
        "_run_once",
        "__dict__",
    ],
)
def test_other_event_loop_methods_are_absent(loop, name):
    with pytest.raises(AttributeError):
        getattr(loop, name)


def test_is_not_an_asyncio_abstract_event_loop(loop):
    assert not issubclass(VelkorLoop, asyncio.AbstractEventLoop)
    assert not isinstance(loop, asyncio.AbstractEventLoop)
    assert VelkorLoop.__mro__ == (VelkorLoop, object)


def test_instances_take_no_attributes(loop):
    with pytest.raises(AttributeError):
        loop.x = 1
    with pytest.raises(AttributeError):
        loop.get_debug = lambda: True
    assert loop.get_debug() is False


def test_instances_are_weakly_referenceable():
    loop = VelkorLoop()
    ref = weakref.ref(loop)
    assert ref() is loop
    called = []
    with_callback = weakref.ref(loop, called.append)
    del loop
    assert ref() is None
    assert called == [with_callback]


def test_a_python_subclass_works_and_gets_a_dict():
    class Sub(VelkorLoop):
        pass

    loop = Sub()
    assert type(loop) is Sub
    assert isinstance(loop, VelkorLoop)
    loop.x = 1
    assert loop.__dict__ == {"x": 1}
    ran = []
    loop.call_soon(ran.append, "ran")
    loop.stop()
    assert loop.run_forever() is None
    assert ran == ["ran"]
    ref = weakref.ref(loop)
    del loop
    gc.collect()
    assert ref() is None


def test_a_subclass_overriding_init_with_a_parameter_cannot_be_made():
    class Sub(VelkorLoop):
        def __init__(self, x):
            self.x = x

    gc.collect()  # loops left in cycles by earlier tests go now, not mid-test
    before = worker_threads()
    with pytest.raises(TypeError):
        Sub(1)
    assert worker_threads() <= before  # an earlier loop's thread may still be leaving


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None, None), {})])
def test_construction_takes_no_arguments_and_starts_no_thread(args, kwargs):
    gc.collect()  # loops left in cycles by earlier tests go now, not mid-test
    before = worker_threads()
    with pytest.raises(TypeError):
        VelkorLoop(*args, **kwargs)
    assert worker_threads() <= before  # an earlier loop's thread may still be leaving


# ---- state methods


def test_a_new_loop_state(loop):
    assert loop.get_debug() is False
    assert loop.is_running() is True
    assert loop.is_closed() is False


@pytest.mark.parametrize("value", [True, False, numpy.bool_(True), numpy.bool_(False)])
def test_set_debug_takes_bools(loop, value):
    loop.set_debug(not value)
    assert loop.set_debug(value) is None
    assert loop.get_debug() is bool(value)


@pytest.mark.parametrize("initial", [False, True])
@pytest.mark.parametrize("value", [1, 0, None, "yes", "", 1.0, [], numpy.int64(1)])
def test_set_debug_refuses_other_values_and_keeps_the_flag(loop, initial, value):
    loop.set_debug(initial)
    with pytest.raises(TypeError) as raised:
        loop.set_debug(value)
    assert str(raised.value).startswith("argument 'value': ")
    assert loop.get_debug() is initial


def test_debug_flags_are_per_loop():
    first, second = VelkorLoop(), VelkorLoop()
    first.set_debug(True)
    assert first.get_debug() is True
    assert second.get_debug() is False


def test_close_returns_none_and_the_loop_keeps_working(loop):
    assert loop.close() is None
    assert loop.close() is None
    assert loop.is_closed() is False
    ran = []
    loop.call_soon(ran.append, "soon")
    loop.call_later(0.01, lambda: (ran.append("timer"), loop.stop()))
    assert loop.run_forever() is None
    assert ran == ["soon", "timer"]


def test_is_running_before_during_and_after_a_run(loop):
    seen = []
    assert loop.is_running() is True
    loop.call_soon(lambda: seen.append(loop.is_running()))
    loop.stop()
    loop.run_forever()
    assert seen == [True]
    assert loop.is_running() is True


# ---- worker threads


def test_a_loop_runs_one_worker_per_cpu_and_joins_them_on_teardown():
    gc.collect()  # loops left in cycles by earlier tests go now, not mid-test
    before = worker_threads()
    loop = VelkorLoop()
    assert wait_until(lambda: worker_threads() == before + CPUS), (worker_threads(), before, CPUS)
    del loop
    assert wait_until(lambda: worker_threads() == before), (worker_threads(), before)


def test_a_subclass_instance_joins_its_workers_on_teardown():
    class Sub(VelkorLoop):
        pass

    gc.collect()  # loops left in cycles by earlier tests go now, not mid-test
    before = worker_threads()
    loop = Sub()
    loop.attribute = "keeps a dict"
    assert wait_until(lambda: worker_threads() == before + CPUS)
    del loop
    gc.collect()
    assert wait_until(lambda: worker_threads() == before)


WORKER_COUNT = """
import time
from support import worker_threads as workers
def settle(expected):
    deadline = time.monotonic() + 10
    while workers() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return workers()
"""


@pytest.mark.parametrize("setting, expected", [("3", 3), ("1", 1), ("7", 7)])
def test_worker_thread_count_from_the_environment(setting, expected):
    result = run_python(
        WORKER_COUNT
        + f"""
import velkor
loop = velkor.VelkorLoop()
print(settle({expected}))
del loop
print(settle(0))
""",
        env={"TOKIO_WORKER_THREADS": setting},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(expected), "0"]


@pytest.mark.parametrize("setting", ["0", "abc", "", "-1", "2.5", " 3"])
def test_a_bad_worker_count_raises_a_panic_exception(setting):
    result = run_python(
        WORKER_COUNT
        + """
import os, velkor
try:
    velkor.VelkorLoop()
except BaseException as error:
    kind = type(error)
    print(kind.__name__, kind.__module__, kind.__bases__ == (BaseException,),
          isinstance(error, Exception))
print(workers())
os.environ["TOKIO_WORKER_THREADS"] = "2"
loop = velkor.VelkorLoop()
print(settle(2))
""",
        env={"TOKIO_WORKER_THREADS": setting},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException velkor True False", "0", "2"]
    assert any(line.startswith("velkor: internal fault") for line in result.stderr.splitlines())


def test_the_panic_exception_type_is_one_per_process():
    result = run_python(
        """
        import sys
        import velkor
        kinds = []
        for _ in range(3):
            try:
                velkor.VelkorLoop()
            except BaseException as error:
                kinds.append(type(error))
        del sys.modules["velkor"]
        import velkor
        try:
            velkor.VelkorLoop()
        except BaseException as error:
            kinds.append(type(error))
        print(len(kinds), all(kind is kinds[0] for kind in kinds))
        print(hasattr(velkor, "PanicException"))
        """,
        env={"TOKIO_WORKER_THREADS": "0"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["4 True", "False"]


def test_the_worker_count_is_read_at_each_construction():
    result = run_python(
        WORKER_COUNT
        + """
import os, velkor
os.environ["TOKIO_WORKER_THREADS"] = "2"
first = velkor.VelkorLoop()
os.environ["TOKIO_WORKER_THREADS"] = "3"
second = velkor.VelkorLoop()
print(settle(5))
del first
print(settle(3))
""",
        env={"TOKIO_WORKER_THREADS": None},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["5", "3"]


# ---- isolation and teardown


@pytest.mark.parametrize(
    "schedule",
    [
        lambda loop, cb: loop.call_soon(cb, "one"),
        lambda loop, cb: loop.call_soon_threadsafe(cb, "one"),
        lambda loop, cb: loop.call_later(0, cb, "one"),
        lambda loop, cb: loop.call_at(0, cb, "one"),
    ],
    ids=["call_soon", "call_soon_threadsafe", "call_later", "call_at"],
)
def test_two_loops_are_isolated(schedule):
    first, second = VelkorLoop(), VelkorLoop()
    ran = []
    schedule(first, ran.append)
    second.call_soon(ran.append, "two")
    second.stop()
    second.run_forever()
    assert ran == ["two"]
    drain(first)
    assert ran == ["two", "one"]


def test_many_loops_in_sequence_leave_no_thread_or_descriptor_behind():
    gc.collect()
    threads, fds = thread_count(), fd_count()
    for _ in range(200):
        loop = VelkorLoop()
        del loop
    assert wait_until(lambda: thread_count() == threads), (thread_count(), threads)
    assert fd_count() == fds


def test_many_used_loops_leave_no_thread_or_descriptor_behind():
    gc.collect()
    threads, fds = thread_count(), fd_count()
    reader, writer = socket.socketpair()
    try:
        for i in range(50):
            loop = VelkorLoop()
            ran = []
            loop.call_soon(ran.append, i)
            loop.add_reader(reader.fileno(), ran.append, ("never",))
            loop.call_later(0.001, lambda: (ran.append(-i), loop.stop()))
            loop.run_forever()
            assert ran == [i, -i]
            del loop
        fds_with_sockets = fd_count()
    finally:
        reader.close()
        writer.close()
    assert fds_with_sockets == fds + 2
    assert wait_until(lambda: thread_count() == threads), (thread_count(), threads)
    assert fd_count() == fds


class Token:
    pass


class Callback:
    """A weakly referenceable callable that stops the loop it was given weakly."""

    def __init__(self, loop_ref=None):
        self.loop_ref = loop_ref
        self.calls = 0

    def __call__(self, *args):
        self.calls += 1
        if self.loop_ref is not None and self.loop_ref() is not None:
            self.loop_ref().stop()


@pytest.mark.timeout(60)
@pytest.mark.parametrize("direction", ["reader", "writer"])
@pytest.mark.parametrize("ran_first", [False, True], ids=["never-ran", "ran-once"])
def test_teardown_releases_a_ready_watch_and_leaves_the_descriptor_open(direction, ran_first):
    ours, theirs = socket.socketpair()
    try:
        theirs.send(b"x")  # readable; a socket with room to send is writable
        loop = VelkorLoop()
        callback = Callback(weakref.ref(loop))
        callback_ref = weakref.ref(callback)
        args = (Token(),)
        args_ref = weakref.ref(args[0])
        getattr(loop, f"add_{direction}")(ours.fileno(), callback, args)
        del callback, args
        if ran_first:
            loop.run_forever()
            assert callback_ref().calls >= 1
        del loop
        gc.collect()
        assert callback_ref() is None
        assert args_ref() is None
        os.fstat(ours.fileno())
        assert ours.recv(1) == b"x"
    finally:
        ours.close()
        theirs.close()


def test_teardown_releases_a_watch_on_a_descriptor_that_never_became_ready():
    read_end, write_end = os.pipe()
    try:
        loop = VelkorLoop()
        callback = Callback()
        callback_ref = weakref.ref(callback)
        loop.add_reader(read_end, callback, ())
        loop.add_writer(read_end, callback, ())
        del callback
        del loop
        gc.collect()
        assert callback_ref() is None
        os.fstat(read_end)
        os.write(write_end, b"still open")
        assert os.read(read_end, 100) == b"still open"
    finally:
        os.close(read_end)
        os.close(write_end)


def test_teardown_releases_a_timer_callback_that_holds_no_reference_to_the_loop():
    # A TimerHandle refers back to its loop, so the loop outlives a pending
    # far timer; a timer that already ran must not keep anything alive.
    loop = VelkorLoop()
    callback = Callback(weakref.ref(loop))
    callback_ref = weakref.ref(callback)
    loop.call_later(0.001, callback)
    del callback
    loop.run_forever()
    loop_ref = weakref.ref(loop)
    del loop
    gc.collect()
    assert loop_ref() is None
    assert callback_ref() is None


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to drop to an unprivileged user")
def test_a_runtime_that_cannot_start_its_threads_raises_and_leaks_nothing():
    result = run_python(
        """
        import os, resource, velkor
        os.setgid(65534)
        os.setuid(65534)  # root would be exempt from the limit
        resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
        before = sorted(os.listdir("/proc/self/fd"))
        for _ in range(3):
            try:
                velkor.VelkorLoop()
            except RuntimeError as error:
                print("refused:", error)
        print(len(os.listdir("/proc/self/task")), sorted(os.listdir("/proc/self/fd")) == before)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["refused: Resource temporarily unavailable (os error 11)"] * 3
    assert lines[3] == "1 True"
