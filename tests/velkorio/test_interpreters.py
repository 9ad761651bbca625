"""velkorio in interpreters of their own (concurrent.interpreters), each
with its own interpreter lock: loops, timers and sockets there, several at
once, and nothing left behind when they close."""

import os
import threading

import psutil
import pytest

interpreters = pytest.importorskip("concurrent.interpreters")

# Runs in a fresh interpreter: a loop with callbacks, timers, a task group
# and a TCP server answering a client; `result` says what it saw.
WORKLOAD = """
import asyncio, velkorio

async def main():
    loop = asyncio.get_running_loop()
    ran = []
    for i in range(100):
        loop.call_soon(ran.append, i)
    loop.call_later(0.002, ran.append, "timer")
    await asyncio.sleep(0.005)

    async def echo(reader, writer):
        writer.write(await reader.read(100))
        await writer.drain()
        writer.close()

    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    async with server, asyncio.TaskGroup() as group:
        async def ask(text):
            reader, writer = await asyncio.open_connection(*server.sockets[0].getsockname())
            writer.write(text)
            answer = await reader.read()
            writer.close()
            return answer
        asks = [group.create_task(ask(b"x%d" % i)) for i in range(5)]
    return (type(loop).__name__, len(ran), ran[-1], [t.result() for t in asks],
            id(velkorio.Handle))

result = velkorio.run(main())
"""


def run_in_interpreter(code=WORKLOAD, name="result"):
    interp = interpreters.create()
    try:
        interp.exec(code)
        return interp.call(eval, name)  # a copy: objects do not cross
    finally:
        interp.close()


def test_a_loop_serves_in_an_interpreter_of_its_own():
    import velkorio

    kind, ran, last, answers, handle_type = run_in_interpreter()
    assert (kind, ran, last) == ("Loop", 101, "timer")
    assert answers == [b"x%d" % i for i in range(5)]
    # Its types are its own, not the main interpreter's.
    assert handle_type != id(velkorio.Handle)


def test_several_interpreters_at_once():
    results, errors = [], []

    def work():
        try:
            results.append(run_in_interpreter())
        except BaseException as error:  # reported below, with its thread's
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not errors and len(results) == 4
    assert len({r[4] for r in results}) == 4  # four modules, four sets of types


def test_closed_with_its_loop_and_handles_pending():
    run_in_interpreter("""
import asyncio, velkorio, socket
loop = velkorio.new_event_loop()
pending = [loop.call_later(3600, print), loop.call_soon(print)]
a, b = socket.socketpair()
loop.add_reader(a, print)
result = len(pending)
""")


@pytest.mark.parametrize("count", [30, pytest.param(200, marks=pytest.mark.stress)])
def test_interpreters_come_and_go_without_leaving_anything(count):
    process = psutil.Process()

    def cycle(count):
        for _ in range(count):
            assert run_in_interpreter()[1] == 101

    cycle(10)  # what the first interpreters set up once stays
    memory, descriptors = process.memory_info().rss, process.num_fds()
    cycle(count)
    assert process.num_fds() <= descriptors + 2
    # Far below what a module, its types and asyncio's take per interpreter
    # (several MiB), were any of them left behind.
    assert process.memory_info().rss - memory < count * 2**20 // 4


def test_velkor_stays_out_of_other_interpreters():
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="ImportError"):
            interp.exec("import velkor")
    finally:
        interp.close()
    assert os.getpid()  # and the main interpreter goes on
