"""A small asyncio program on velkor's loop: tasks, timers, threads and I/O."""

import asyncio
import os
import socket
import threading
import time

import velkor

START = time.monotonic()


def say(what):
    print(f"[{(time.monotonic() - START) * 1000:7.1f} ms] {what}", flush=True)


def sleep(loop, delay, result=None):
    """A future that a loop timer resolves after `delay` seconds."""
    future = asyncio.Future(loop=loop)
    loop.call_later(delay, lambda: future.done() or future.set_result(result))
    return future


async def worker(loop, name, delay):
    say(f"task {name}: waiting {delay * 1000:.0f} ms")
    await sleep(loop, delay)
    say(f"task {name}: done")
    return name.upper()


async def from_a_thread(loop):
    """A plain thread hands results to the loop with call_soon_threadsafe."""
    future = asyncio.Future(loop=loop)
    results = []

    def produce():
        for i in range(3):
            time.sleep(0.01)
            loop.call_soon_threadsafe(results.append, f"item {i} from {threading.current_thread().name}")
        loop.call_soon_threadsafe(future.set_result, None)

    threading.Thread(target=produce, name="producer").start()
    await future
    for line in results:
        say(f"thread: {line}")


async def timeout_demo(loop):
    try:
        async with asyncio.timeout(0.03):
            await asyncio.Future()
    except TimeoutError:
        say("asyncio.timeout: a stuck await was cut off after 30 ms")


async def echo(loop, round_trips):
    """Bounces one byte over a socketpair with add_reader / add_writer only."""
    client, server = socket.socketpair()
    client.setblocking(False)
    server.setblocking(False)
    done = asyncio.Future(loop=loop)
    count = 0

    # Readiness is edge-triggered and merged: a callback may find nothing to
    # read, as with any non-blocking socket.
    def server_readable():
        try:
            data = server.recv(64)
        except BlockingIOError:
            return
        if data:
            server.send(data)

    def client_readable():
        nonlocal count
        try:
            client.recv(64)
        except BlockingIOError:
            return
        count += 1
        if count == round_trips:
            done.set_result(None)
        else:
            client.send(b"!")

    def client_writable():
        loop.remove_writer(client.fileno())  # writable at once: start the exchange
        client.send(b"!")

    loop.add_reader(server.fileno(), server_readable, ())
    loop.add_reader(client.fileno(), client_readable, ())
    started = time.perf_counter()
    loop.add_writer(client.fileno(), client_writable, ())
    await done
    elapsed = time.perf_counter() - started
    loop.remove_reader(server.fileno())
    loop.remove_reader(client.fileno())
    client.close()
    server.close()
    say(f"echo: {round_trips} round trips over a socketpair, {round_trips / elapsed:,.0f} per second")


async def main(loop):
    say(f"main: running on {type(asyncio.get_running_loop()).__name__}")
    for delay in (0.05, 0.01, 0.03):
        loop.call_later(delay, say, f"timer: {delay * 1000:.0f} ms timer fired")
    results = await asyncio.gather(
        loop.create_task(worker(loop, "a", 0.04)),
        loop.create_task(worker(loop, "b", 0.02)),
        loop.create_task(worker(loop, "c", 0.06)),
    )
    say(f"gather: {results}")
    await from_a_thread(loop)
    await timeout_demo(loop)
    await echo(loop, 20000)
    return sum(len(r) for r in results)


if __name__ == "__main__":
    loop = velkor.VelkorLoop()
    say(f"velkor loop with {os.cpu_count()} CPUs; debug={loop.get_debug()}")
    value = loop.run_until_complete(main(loop))
    say(f"run_until_complete returned {value}")
