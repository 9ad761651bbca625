"""Helpers the test modules share: a fresh interpreter, thread names, waiting."""

import os
import subprocess
import sys
import textwrap
import time


def run_python(code, env=None, timeout=60):
    """Runs `code` in a fresh interpreter that imports the velkor under test."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if env:
        for key, value in env.items():
            if value is None:
                full_env.pop(key, None)
            else:
                full_env[key] = value
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


def thread_names():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        except FileNotFoundError:
            pass  # the thread ended while we looked
    return names


def worker_threads():
    return thread_names().count("velkor-worker")


def wait_until(predicate, timeout=10.0):
    """Polls `predicate` until it holds or `timeout` seconds pass; returns its last value.

    Thread counts need it: a joined thread can stay listed in /proc for a
    moment after pthread_join returns, while the kernel finishes its exit.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.01)
