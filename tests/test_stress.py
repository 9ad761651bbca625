"""Load and churn: nothing lost, nothing run twice, nothing leaked.

Run with `./dev stress` (these are left out of the default suite).
"""

import gc
import os
import random
import socket
import threading
import time
import tracemalloc

import pytest

import velkor
from support import wait_until, worker_threads

pytestmark = pytest.mark.stress


def test_eight_threads_posting_lose_nothing_and_keep_their_order():
    loop = velkor.VelkorLoop()
    threads, per_thread = 8, 100_000
    seen = [[] for _ in range(threads)]
    timer_hits = []
    r, w = os.pipe()
    os.set_blocking(r, False)
    io_hits = []

    def on_readable():
        try:
            io_hits.append(os.read(r, 4096))
        except BlockingIOError:
            pass  # readiness is merged: a call may find the data read already

    loop.add_reader(r, on_readable, ())
    finished = threading.Barrier(threads + 1)

    def producer(index):
        post = loop.call_soon_threadsafe
        record = seen[index].append
        for i in range(per_thread):
            post(record, i)
            if i % 10_000 == 0:
                loop.call_later(0.001, timer_hits.append, (index, i))
                os.write(w, b"x")
        finished.wait()

    workers = [threading.Thread(target=producer, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()

    def stop_when_done():
        finished.wait()
        loop.call_later(0.2, loop.stop)  # after the last timers

    threading.Thread(target=stop_when_done).start()
    loop.run_forever()
    for worker in workers:
        worker.join()
    assert all(s == list(range(per_thread)) for s in seen)
    assert len(timer_hits) == threads * 10
    assert sum(len(chunk) for chunk in io_hits) == threads * 10
    loop.remove_reader(r)
    os.close(r)
    os.close(w)


def test_stop_from_other_threads_at_random_moments():
    rng = random.Random(7)
    loop = velkor.VelkorLoop()
    ran = []
    for run in range(300):
        for i in range(50):
            loop.call_soon(ran.append, (run, i))
        delay = rng.random() * 0.002
        threading.Timer(delay, loop.stop).start()
        loop.run_forever()
    # Every run ended; what the early stops left queued runs afterwards.
    loop.call_later(0.05, loop.stop)
    loop.run_forever()
    while len(ran) < 300 * 50:
        loop.call_later(0.01, loop.stop)
        loop.run_forever()
    assert ran == [(run, i) for run in range(300) for i in range(50)]


def test_a_thousand_loops_with_work_pending_leave_nothing_behind():
    def fds():
        return len(os.listdir("/proc/self/fd"))

    def rss_kib():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])

    a, b = socket.socketpair()

    def churn(count):
        for _ in range(count):
            loop = velkor.VelkorLoop()
            loop.call_later(3600, print)
            loop.call_later(0, print)
            loop.call_soon(print)
            loop.add_reader(a.fileno(), print, ())
            loop.add_writer(b.fileno(), print, ())
            del loop
        gc.collect()

    churn(50)  # warm up allocator pools and caches
    threads, descriptors, rss = worker_threads(), fds(), rss_kib()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    churn(1000)
    traced_after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert wait_until(lambda: worker_threads() == threads), (worker_threads(), threads)
    assert fds() == descriptors
    assert traced_after - traced_before < 256 * 1024
    assert rss_kib() - rss < 20 * 1024
    a.close()
    b.close()


def test_concurrent_add_and_remove_on_the_same_descriptors():
    loop = velkor.VelkorLoop()
    pairs = [socket.socketpair() for _ in range(4)]
    last = {}
    lock = threading.Lock()

    def churn(seed):
        rng = random.Random(seed)
        for i in range(2000):
            a, _ = rng.choice(pairs)
            if rng.random() < 0.6:
                with lock:
                    tag = (seed, i)
                    loop.add_writer(a.fileno(), lambda t=tag: fired.append(t), ())
                    last[a.fileno()] = tag
            else:
                with lock:
                    loop.remove_writer(a.fileno())
                    last.pop(a.fileno(), None)

    fired = []
    workers = [threading.Thread(target=churn, args=(s,)) for s in range(6)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    loop.call_later(0.2, loop.stop)
    loop.run_forever()
    # The last caller's watch is the one left: it fires again on a new event.
    fired.clear()
    for a, b in pairs:
        b.send(b"!")
    loop.call_later(0.2, loop.stop)
    loop.run_forever()
    assert set(fired) == set(last.values())
    for a, b in pairs:
        loop.remove_writer(a.fileno())
        a.close()
        b.close()


def test_watches_racing_a_closed_descriptor_keep_the_workers_alive():
    loop = velkor.VelkorLoop()
    for i in range(20_000):
        r, w = os.pipe()
        loop.add_reader(r, print, ())
        deadline = time.perf_counter() + 20e-6  # let the reader register and park
        while time.perf_counter() < deadline:
            pass
        loop.add_writer(r, print, ())  # joins the registration as it goes away
        os.close(r)
        loop.remove_reader(r)
        loop.remove_writer(r)
        os.close(w)
    ran = []
    loop.call_later(0.01, ran.append, "workers alive")
    loop.call_later(0.05, loop.stop)
    threading.Timer(10, lambda: loop.call_soon_threadsafe(loop.stop)).start()
    loop.run_forever()
    assert ran == ["workers alive"]
