"""run_forever, stop and the drain of the loop's channel."""

import asyncio
import os
import threading
import time

import pytest

import velkor
from support import run_python


def test_stop_before_run_forever_runs_what_was_queued_before_it(loop):
    ran = []
    loop.call_soon(ran.append, 1)
    loop.stop()
    loop.call_soon(ran.append, 2)
    assert loop.run_forever() is None
    assert ran == [1]
    loop.stop()
    loop.run_forever()
    assert ran == [1, 2]


def test_two_stops_end_two_runs_and_what_lies_between_runs_in_the_second(loop):
    ran = []
    loop.stop()
    loop.call_soon(ran.append, "between")
    loop.stop()
    loop.run_forever()
    assert ran == []
    loop.run_forever()
    assert ran == ["between"]


def test_stop_from_a_callback_leaves_later_messages_for_the_next_run(loop):
    ran = []

    def first():
        ran.append("first")
        loop.stop()
        loop.call_soon(ran.append, "after stop")

    loop.call_soon(first)
    loop.call_soon(ran.append, "queued before stop")
    loop.run_forever()
    assert ran == ["first", "queued before stop"]
    loop.stop()
    loop.run_forever()
    assert ran[-1] == "after stop"


def test_callbacks_from_one_thread_run_in_call_order(loop):
    ran = []
    for i in range(1000):
        loop.call_soon(ran.append, i)
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert ran == list(range(1000))


def test_stop_and_call_soon_threadsafe_from_another_thread_wake_a_waiting_loop(loop):
    seen = []

    def other_thread():
        loop.call_soon_threadsafe(lambda: seen.append(threading.get_ident()))
        loop.call_soon_threadsafe(loop.stop)

    thread = threading.Timer(0.05, other_thread)
    thread.start()
    loop.run_forever()
    thread.join()
    assert seen == [threading.get_ident()]


def test_the_running_loop_is_set_inside_callbacks_and_reset_after(loop):
    inside = []
    loop.call_soon(lambda: inside.append(asyncio.get_running_loop()))
    loop.stop()
    loop.run_forever()
    assert inside == [loop]
    with pytest.raises(RuntimeError):
        asyncio.get_running_loop()


def test_nested_run_of_the_same_loop_is_an_internal_fault_and_the_outer_run_goes_on(loop, capfd):
    caught = []

    def nested():
        try:
            loop.run_forever()
        except BaseException as error:  # the fault is not an Exception
            caught.append(error)

    loop.call_soon(nested)
    loop.call_soon(loop.stop)
    loop.run_forever()
    (error,) = caught
    assert type(error).__name__ == "PanicException"
    assert not isinstance(error, Exception)
    assert error.args == ("run_forever called more than once or concurrently",)
    assert "velkor: internal fault" in capfd.readouterr().err
    # The loop is whole afterwards.
    loop.call_soon(loop.stop)
    loop.run_forever()


def test_running_another_loop_inside_a_callback_fails_before_changing_anything(loop):
    other = velkor.VelkorLoop()
    outcome = []

    def nested():
        try:
            other.run_forever()
        except BaseException as error:
            outcome.append(type(error).__name__)
        outcome.append(asyncio.get_running_loop() is loop)

    other.call_soon(outcome.append, "other ran")
    loop.call_soon(nested)
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert outcome == ["PanicException", True]
    # The other loop kept its queue and can still run.
    other.stop()
    other.run_forever()
    assert outcome[-1] == "other ran"


def test_run_forever_from_a_second_thread_while_running_is_refused(loop):
    errors = []
    started = threading.Event()

    def second():
        started.wait()
        try:
            loop.run_forever()
        except BaseException as error:
            errors.append(error.args)
        # The refused run left this thread without a running loop.
        errors.append(asyncio._get_running_loop())
        loop.call_soon_threadsafe(loop.stop)

    thread = threading.Thread(target=second)
    thread.start()
    loop.call_soon(started.set)
    loop.run_forever()
    thread.join()
    assert errors == [("run_forever called more than once or concurrently",), None]


def test_a_run_inside_an_asyncio_loop_callback_gives_the_outer_loop_back(loop):
    outer = asyncio.new_event_loop()
    seen = []

    def callback():
        loop.call_soon(lambda: seen.append(asyncio.get_running_loop()))
        loop.call_soon(loop.stop)
        loop.run_forever()
        seen.append(asyncio.get_running_loop())

    outer.call_soon(callback)
    outer.call_soon(outer.stop)
    try:
        outer.run_forever()
    finally:
        outer.close()
    assert seen == [loop, outer]


def test_a_failing_callback_is_printed_and_the_drain_goes_on():
    result = run_python(
        """
        import os, velkor
        loop = velkor.VelkorLoop()
        r, w = os.pipe()
        def boom():
            os.read(r, 1)
            loop.remove_reader(r)
            raise ValueError("from a reader")
        loop.add_reader(r, boom, ())
        os.write(w, b"x")
        ran = []
        def after():
            ran.append(1)
            loop.stop()
        import time
        loop.call_later(0.2, after)
        loop.run_forever()
        print("drained", ran)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ValueError: from a reader" in result.stderr
    assert "drained [1]" in result.stdout


def test_a_handle_without_run_is_reported_and_the_loop_goes_on(loop, monkeypatch, capfd):
    monkeypatch.setattr(asyncio, "Handle", lambda callback, args, loop: object())
    loop.call_soon(print)
    monkeypatch.undo()
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert "AttributeError" in capfd.readouterr().err


def test_a_cancelled_handle_neither_runs_nor_prints(loop, capfd):
    ran = []
    handle = loop.call_soon(ran.append, 1)
    handle.cancel()
    timer = loop.call_later(0, ran.append, 2)
    timer.cancel()
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert ran == []
    assert capfd.readouterr().err == ""


# A callback raises KeyboardInterrupt or SystemExit after queueing one more
# callback behind itself. A safety timer ends the run if nothing else does.
ENDING_EXCEPTION = """
import asyncio, os, velkor

kind, source = {kind}, {source!r}
loop = velkor.VelkorLoop()
raised = kind("from a callback")
ran = []
r, w = os.pipe()


def raiser():
    if source == "add_reader":
        loop.remove_reader(r)
    loop.call_soon(ran.append, "queued behind")
    raise raised


if source == "call_soon":
    loop.call_soon(raiser)
elif source == "call_later":
    loop.call_later(0.01, raiser)
else:
    loop.add_reader(r, raiser, ())
    os.write(w, b"x")
safety = loop.call_later(2, loop.stop)
outcome = "the run ended normally"
try:
    loop.run_forever()
except BaseException as error:
    outcome = "the same exception" if error is raised else repr(error)
finally:
    print(outcome, flush=True)
print(ran, asyncio.events._get_running_loop())
safety.cancel()
loop.stop()
loop.run_forever()
print(ran)
"""


@pytest.mark.parametrize("source", ["call_soon", "call_later", "add_reader"])
@pytest.mark.parametrize("kind", ["KeyboardInterrupt", "SystemExit"])
def test_keyboard_interrupt_and_system_exit_from_a_callback_end_the_run(kind, source):
    result = run_python(ENDING_EXCEPTION.format(kind=kind, source=source))
    assert result.stdout.splitlines() == [
        "the same exception",
        "[] None",  # what was queued behind waits; the thread has no running loop
        "['queued behind']",
    ]
    assert result.stderr == ""
    assert result.returncode == 0


# The same through run_until_complete: raised by the awaited coroutine, or by
# a plain callback while the coroutine waits on a gate.
ENDING_RUN_UNTIL_COMPLETE = """
import asyncio, velkor

kind, how = {kind}, {how!r}
loop = velkor.VelkorLoop()
raised = kind("from a callback")
gate = asyncio.Future(loop=loop)
safety = loop.call_later(2, gate.set_result, "the gate opened")


def raiser():
    raise raised


async def main():
    await asyncio.sleep(0)
    if how == "coroutine":
        raise raised
    loop.call_soon(raiser)
    return await gate


outcome = "the run ended normally"
try:
    loop.run_until_complete(main())
except BaseException as error:
    outcome = "the same exception" if error is raised else repr(error)
finally:
    print(outcome, flush=True)
print(asyncio.events._get_running_loop())
"""


@pytest.mark.parametrize("how", ["coroutine", "callback"])
@pytest.mark.parametrize("kind", ["KeyboardInterrupt", "SystemExit"])
def test_keyboard_interrupt_and_system_exit_come_out_of_run_until_complete(kind, how):
    result = run_python(ENDING_RUN_UNTIL_COMPLETE.format(kind=kind, how=how))
    assert result.stdout.splitlines() == ["the same exception", "None"]
    assert result.stderr == ""
    assert result.returncode == 0


@pytest.mark.parametrize("kind", ["KeyboardInterrupt", "SystemExit"])
def test_an_ending_exception_gives_an_outer_asyncio_loop_back(kind):
    result = run_python(
        f"""
        import asyncio, velkor
        outer = asyncio.new_event_loop()
        loop = velkor.VelkorLoop()
        raised = {kind}("from a callback")
        seen = []

        def raiser():
            raise raised

        def inside_outer():
            loop.call_soon(raiser)
            loop.call_soon(loop.stop)  # ends the run if the exception does not
            try:
                loop.run_forever()
                seen.append("the run ended normally")
            except BaseException as error:
                seen.append(error is raised)
            seen.append(asyncio.get_running_loop() is outer)

        outer.call_soon(inside_outer)
        outer.call_soon(outer.stop)
        outer.run_forever()
        outer.close()
        print(seen)
        """
    )
    assert result.stdout.splitlines() == ["[True, True]"]
    assert result.stderr == ""
    assert result.returncode == 0


def test_ctrl_c_ends_a_busy_run_at_once():
    # A chain of callbacks, each queueing the next, keeps the loop from ever
    # waiting; SIGINT comes from outside while it runs.
    result = run_python(
        """
        import os, signal, threading, velkor
        loop = velkor.VelkorLoop()
        steps = 0
        busy = threading.Event()

        def step():
            global steps
            steps += 1
            if steps == 1000:
                busy.set()
            loop.call_soon(step)

        def interrupt():
            busy.wait()
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=interrupt).start()
        watchdog = threading.Timer(6, lambda: loop.call_soon_threadsafe(loop.stop))
        watchdog.daemon = True
        watchdog.start()
        loop.call_soon(step)
        outcome = "the run ended normally"
        try:
            loop.run_forever()
        except KeyboardInterrupt:
            outcome = "interrupted"
        finally:
            print(outcome, flush=True)
        watchdog.cancel()
        """,
        timeout=60,
    )
    assert result.stdout.splitlines() == ["interrupted"]
    assert result.returncode == 0, result.stderr


class NotAnError(BaseException):
    pass


@pytest.mark.parametrize("source", ["call_soon", "call_later", "add_reader"])
@pytest.mark.parametrize("kind", [ValueError, NotAnError, asyncio.CancelledError])
def test_other_exceptions_from_a_callback_are_printed_and_the_drain_goes_on(
    loop, capfd, kind, source
):
    r, w = os.pipe()
    ran = []

    def raiser():
        if source == "add_reader":
            loop.remove_reader(r)
        loop.call_soon(ran.append, "queued behind")
        loop.call_soon(loop.stop)
        raise kind("from a callback")

    try:
        if source == "call_soon":
            loop.call_soon(raiser)
        elif source == "call_later":
            loop.call_later(0.01, raiser)
        else:
            loop.add_reader(r, raiser, ())
            os.write(w, b"x")
        assert loop.run_forever() is None
    finally:
        os.close(r)
        os.close(w)
    assert ran == ["queued behind"]
    assert f"{kind.__name__}: from a callback" in capfd.readouterr().err


def test_an_internal_fault_escaping_a_readiness_callback_ends_the_run_and_keeps_the_queue():
    result = run_python(
        """
        import os, velkor
        loop = velkor.VelkorLoop()
        def nested():
            loop.remove_writer(w)
            loop.call_soon(print, "kept for the next run")
            loop.run_forever()          # raises the fault; nothing catches it
        r, w = os.pipe()
        loop.add_writer(w, nested, ())
        try:
            loop.run_forever()
        except BaseException as error:
            print("run ended by", type(error).__name__)
        loop.stop()
        loop.run_forever()
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["run ended by PanicException", "kept for the next run"]
    assert "velkor: internal fault" in result.stderr


def test_run_forever_of_a_subclass_keeps_its_loop_running_in_callbacks():
    class Sub(velkor.VelkorLoop):
        pass

    loop = Sub()
    seen = []
    loop.call_soon(lambda: seen.append(asyncio.get_running_loop()))
    loop.stop()
    loop.run_forever()
    assert seen == [loop]


def test_an_idle_loop_costs_no_cpu(loop):
    import resource
    import time

    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.monotonic()
    loop.call_later(0.5, loop.stop)
    loop.run_forever()
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    assert wall >= 0.5
    assert cpu < 0.1 * wall


def test_replaced_or_patched_handle_classes_get_loop_and_context_by_keyword(loop, monkeypatch):
    seen = []

    class KeywordsOnly(asyncio.Handle):
        def __init__(self, callback, args, *, loop, context=None):
            seen.append("subclass")
            super().__init__(callback, args, loop, context)

    monkeypatch.setattr(asyncio, "Handle", KeywordsOnly)
    loop.call_soon(seen.append, "ran")
    monkeypatch.undo()

    stock_init = asyncio.TimerHandle.__init__

    def keywords_only(self, when, callback, args, *, loop, context=None):
        seen.append("patched")
        stock_init(self, when, callback, args, loop, context)

    monkeypatch.setattr(asyncio.TimerHandle, "__init__", keywords_only)
    loop.call_later(0, seen.append, "timer ran")
    monkeypatch.undo()
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert seen == ["subclass", "patched", "ran", "timer ran"]


# A helper thread signals the main thread once the loop has nothing to do
# but wait for a timer 30 s away.
SIGNAL_WHILE_IDLE = """
import asyncio, signal, threading, time, velkor
loop = velkor.VelkorLoop()
ran = []
loop.call_later(30, ran.append, "timer")
def send():
    time.sleep(0.3)
    signal.pthread_kill(threading.main_thread().ident, signal.{signal})
loop.call_soon(threading.Thread(target=send).start)
start = time.monotonic()
{body}
print(ran, round(time.monotonic() - start) < 20, asyncio._get_running_loop())
"""


def test_ctrl_c_reaches_an_idle_loop_and_ends_its_run():
    body = """
try:
    loop.run_forever()
except KeyboardInterrupt:
    ran.append("interrupted")
# The loop is whole afterwards.
loop.call_soon(loop.stop)
loop.run_forever()
"""
    result = run_python(SIGNAL_WHILE_IDLE.format(signal="SIGINT", body=body))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["['interrupted']", "True", "None"]


def test_a_signal_handler_runs_while_the_loop_idles_and_can_stop_it():
    body = """
def handler(number, frame):
    ran.append("handled")
    loop.stop()
signal.signal(signal.SIGUSR1, handler)
loop.run_forever()
"""
    result = run_python(SIGNAL_WHILE_IDLE.format(signal="SIGUSR1", body=body))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["['handled']", "True", "None"]


def test_readiness_during_a_long_callback_is_queued_while_it_runs(loop):
    # The run's thread cannot look at its descriptors while one callback runs
    # for long; the workers do it for it meanwhile, so the reader's call is
    # queued within about a millisecond of the data, ahead of what other
    # threads post later during the same callback.
    r, w = os.pipe()
    os.set_blocking(r, False)
    order = []

    def on_readable():
        os.read(r, 100)
        order.append("reader")

    def long_callback():
        os.write(w, b"x")
        time.sleep(0.1)
        poster = threading.Thread(
            target=loop.call_soon_threadsafe, args=(order.append, "posted"))
        poster.start()
        poster.join()
        time.sleep(0.05)

    try:
        loop.add_reader(r, on_readable, ())
        loop.call_soon(long_callback)
        loop.call_later(0.5, loop.stop)
        loop.run_forever()
        assert order == ["reader", "posted"]
    finally:
        loop.remove_reader(r)
        os.close(r)
        os.close(w)


# Signals that land around the moment the loop goes to wait, round after
# round: each round must end promptly, by the handler's stop() or by its
# KeyboardInterrupt. A watcher gives up on a round after 5 s.
SIGNAL_AROUND_THE_WAIT = """
import asyncio, os, random, signal, threading, velkor

how, action, rounds = {how!r}, {action!r}, {rounds}
loop = velkor.VelkorLoop()
main = threading.main_thread().ident
rng = random.Random(3)
r, w = os.pipe()
os.set_blocking(r, False)
sink = []
if how == "after a callback that runs no Python code":
    loop.add_reader(r, sink.append, (None,))


def handler(number, frame):
    if action == "raise":
        raise KeyboardInterrupt
    loop.stop()


signal.signal(signal.SIGALRM, handler)
signal.signal(signal.SIGUSR1, handler)


def feed_then_signal():
    # Many wake-ups for the loop, the signal, then at most two more.
    for _ in range(rng.randrange(1, 300)):
        os.write(w, b"x")
    signal.pthread_kill(main, signal.SIGUSR1)
    for _ in range(rng.randrange(3)):
        os.write(w, b"x")


for turn in range(rounds):
    running = threading.Event()
    ended = threading.Event()

    def watch():
        if how != "just before the wait":
            running.wait()  # the signal must come while the loop runs
            feed_then_signal()
        if not ended.wait(5):
            print("round", turn, "did not end", flush=True)
            os._exit(1)

    if how == "just before the wait":
        # The loop's last callback before it waits arms a timer that
        # signals this thread a few microseconds later.
        delay = 1e-6 + rng.random() * 30e-6
        loop.call_soon(signal.setitimer, signal.ITIMER_REAL, delay)
    else:
        loop.call_soon(running.set)
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        loop.run_forever()
    except KeyboardInterrupt:
        pass
    ended.set()
    watcher.join()
    try:
        while os.read(r, 65536):
            pass
    except BlockingIOError:
        pass
    sink.clear()
print("rounds", rounds)
"""


@pytest.mark.parametrize("action", ["stop", "raise"])
@pytest.mark.parametrize(
    "how, rounds",
    [("just before the wait", 500), ("after a callback that runs no Python code", 200)],
)
def test_a_signal_around_the_wait_always_takes_effect(how, rounds, action):
    result = run_python(SIGNAL_AROUND_THE_WAIT.format(how=how, action=action, rounds=rounds))
    assert result.stdout.splitlines() == [f"rounds {rounds}"]
    assert result.returncode == 0, result.stderr
