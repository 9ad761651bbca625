"""Looking for I/O before sleeping: only while it pays, never past a timer,
never in the way of wake-ups, and off when switched off."""

import asyncio
import os
import selectors
import signal
import socket
import threading
import time

import pytest

import velkorio
from velkorio_support import GUARD, close_loop, run


# A window long enough for the answers of an echo thread on a loaded
# machine, so that whether the looks find them does not depend on its load.
WINDOW = 5000


@pytest.fixture
def polling():
    """A loop that looks for up to WINDOW µs before it sleeps."""
    loop = velkorio.Loop(busy_poll=WINDOW)
    yield loop
    close_loop(loop)


def echo_thread(sock):
    """Answers every byte on `sock` at once, from a thread, until EOF."""

    def serve():
        with sock:
            while data := sock.recv(64):
                sock.sendall(data)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    return thread


async def ping_pong(rounds):
    """`rounds` round trips with an echo thread: answers come back
    microseconds after each request, which is what opens the window."""
    loop = asyncio.get_running_loop()
    mine, theirs = socket.socketpair()
    thread = echo_thread(theirs)
    mine.setblocking(False)
    with mine:
        for _ in range(rounds):
            await loop.sock_sendall(mine, b"x")
            assert await loop.sock_recv(mine, 1) == b"x"
        mine.shutdown(socket.SHUT_WR)
    thread.join(GUARD)


@pytest.mark.parametrize("setting, looks", [(0, False), (WINDOW, True)], ids=["off", "on"])
def test_looks_only_when_switched_on_and_answers_come_quickly(setting, looks):
    loop = velkorio.Loop(busy_poll=setting)
    try:
        run(loop, ping_pong(2000))
        window, found, missed = loop._selector._busy_poll_stats()
        assert (found > 0) is looks, (window, found, missed)
        if not looks:
            assert window == 0 and missed == 0
    finally:
        loop.close()


def test_an_idle_loop_sleeps(polling):
    run(polling, ping_pong(500))  # the window is open now
    assert polling._selector._busy_poll_stats()[0] > 0
    cpu = time.process_time()
    for _ in range(4):  # every long sleep halves the window, a small one closes
        run(polling, asyncio.sleep(0.1))
    assert time.process_time() - cpu < 0.1
    assert polling._selector._busy_poll_stats()[0] == 0


def test_a_timer_due_within_the_window_runs_on_time(polling):
    async def main():
        await ping_pong(500)
        loop = asyncio.get_running_loop()
        late = []
        for _ in range(200):
            fut = loop.create_future()
            when = loop.time() + 50e-6
            loop.call_at(when, lambda: fut.set_result(loop.time() - when))
            late.append(await fut)
        return sorted(late)

    late = run(polling, main())
    assert late[0] >= 0 and late[len(late) // 2] < 0.005


def test_threadsafe_calls_and_signals_wake_it_with_nothing_lost(polling):
    async def main():
        loop = asyncio.get_running_loop()
        await ping_pong(200)
        # Posts from a thread at every distance from the loop's last
        # wake-up: inside a window, at its edge, and into a sleep.
        got = []
        done = loop.create_future()

        def post():
            for i in range(3000):
                loop.call_soon_threadsafe(got.append, i)
                if i % 3:
                    time.sleep((i % 7) * 40e-6)
            loop.call_soon_threadsafe(done.set_result, None)

        threading.Thread(target=post).start()
        await done
        assert got == list(range(3000))
        # Signals, each sent once the last was handled (they do not queue).
        handled = asyncio.Queue()
        loop.add_signal_handler(signal.SIGUSR1, handled.put_nowait, 1)
        try:
            for i in range(200):
                if i % 2:
                    await asyncio.sleep((i % 5) * 50e-6)
                threading.Thread(target=os.kill, args=(os.getpid(), signal.SIGUSR1)).start()
                await handled.get()
        finally:
            loop.remove_signal_handler(signal.SIGUSR1)

    run(polling, main())


def test_the_setting_and_its_environment_variable(monkeypatch):
    monkeypatch.setenv("VELKORIO_BUSY_POLL", "75")
    for loop, expected in ((velkorio.Loop(), 75), (velkorio.new_event_loop(busy_poll=0), 0)):
        assert loop._selector.busy_poll == expected
        loop.close()
    monkeypatch.setenv("VELKORIO_BUSY_POLL", "fast")
    with pytest.raises(ValueError, match="VELKORIO_BUSY_POLL"):
        velkorio.Loop()
    with pytest.raises(ValueError):
        velkorio.Loop(busy_poll=-1)
    with pytest.raises(TypeError), selectors.DefaultSelector() as selector:
        velkorio.Loop(selector, busy_poll=10)
