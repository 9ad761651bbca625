"""The asyncio conformance runner (tools/asyncio_conformance.py): the scored
tests run the loop it was given, through each way the suite builds loops,
and a loop that hangs or crashes costs only the test it does that in."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("test.test_asyncio", reason="needs CPython's test suite (libpython3.14-testsuite)")

RUNNER = Path(__file__).resolve().parent.parent / "tools" / "asyncio_conformance.py"

# Loops that misbehave on purpose, importable by the runner's processes.
PROBES = """
    import asyncio, os, signal, time

    class Crash(asyncio.EventLoop):
        def run_forever(self):
            os.abort()

    class HangOnce(asyncio.EventLoop):
        # Hangs in the first run of each process, where a signal can still
        # reach it; runs normally afterwards.
        hung = False

        def run_forever(self):
            if not HangOnce.hung:
                HangOnce.hung = True
                time.sleep(120)
            return super().run_forever()

    class Stuck(asyncio.EventLoop):
        # Hangs where no signal reaches it.
        def run_forever(self):
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR2])
            time.sleep(120)
"""


def run_runner(tmp_path, loop, *args):
    (tmp_path / "probeloops.py").write_text(textwrap.dedent(PROBES))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path)] + [p for p in sys.path if p])
    out = tmp_path / "result.json"
    proc = subprocess.run(
        [sys.executable, str(RUNNER), loop, "--json", str(out), "--log-dir", str(tmp_path / "logs"), *args],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    assert out.exists(), proc.stdout + proc.stderr
    report = json.loads(out.read_text())
    return proc, report, {t["id"]: t for t in report["tests"]}


def test_each_way_the_suite_builds_a_loop_builds_the_chosen_one(tmp_path):
    scored = [
        "test_locks.LockTests.test_acquire",  # IsolatedAsyncioTestCase: the policy
        "test_taskgroups.TestTaskGroup.test_taskgroup_01",  # loop_factory = asyncio.EventLoop
        "test_events.EPollEventLoopTests.test_run_until_complete",  # create_event_loop()
        "test_runners.RunTests.test_asyncio_run_return",  # the policy test_runners installs
        "test_events.UnixPipeObjectSupportTests.test_read_pipe",  # SelectorEventLoop() in setUp
        "test_pep492.LockTests.test_context_manager_async_with",  # BaseEventLoop() in setUp
    ]
    left_out = ["test_futures.CFutureTests.test_initial_state", "test_events.PollEventLoopTests.test_run_until_complete"]
    args = []
    for module in dict.fromkeys(sid.split(".")[0] for sid in scored + left_out):
        args += ["-m", module]
    for sid in scored + left_out:
        args += ["-k", sid]
    proc, report, tests = run_runner(tmp_path, "asyncio", *args)
    assert proc.returncode == 0, proc.stdout
    assert sorted(tests) == sorted(scored)
    for sid in scored:
        assert tests[sid]["outcome"] == "passed", tests[sid]
        assert tests[sid]["loops"]["substituted"] >= 1, sid
        assert tests[sid]["loops"]["ran_other"] == {}, sid
    assert sorted(e["id"] for e in report["left_out"]) == sorted(left_out)
    assert report["total"]["percent"] == 100.0


@pytest.mark.parametrize(
    "probe, outcome, processes",
    [
        ("Crash", "crashed", 3),  # each crash ends a process; a third finds nothing left
        ("HangOnce", "timeout", 1),  # the in-process limit breaks the hang
        ("Stuck", "timeout", 3),  # only ending the process does
    ],
)
def test_a_hang_or_crash_fails_that_test_and_the_module_goes_on(tmp_path, probe, outcome, processes):
    first = "test_events.EPollEventLoopTests.test_run_until_complete"
    second = "test_events.EPollEventLoopTests.test_run_until_complete_stopped"
    proc, report, tests = run_runner(
        tmp_path, f"probeloops:{probe}", "-m", "test_events", "-k", first, "-k", second,
        "--test-timeout", "2", "--hard-grace", "2",
    )
    assert proc.returncode == 1
    assert tests[first]["outcome"] == outcome, tests[first]
    if probe == "HangOnce":
        assert tests[second]["outcome"] == "passed", tests[second]
    else:
        assert tests[second]["outcome"] == outcome, tests[second]
    assert report["modules"]["test_events"]["processes"] == processes
