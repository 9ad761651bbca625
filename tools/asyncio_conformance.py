#!/usr/bin/env python3.14
"""Runs CPython's own asyncio test suite against a chosen event loop.

    python3.14 tools/asyncio_conformance.py [LOOP] [--json PATH] [-k PATTERN] ...

LOOP is ``asyncio`` (asyncio's default loop), ``uvloop``, ``velkorio``, or
``module:factory`` for any callable that returns a new loop. The tests are
the interpreter's own ``test.test_asyncio`` package, left as they are: the
loop is put where the tests build theirs, in the process that runs them:

* asyncio's default policy makes its loops with the factory, so
  ``asyncio.new_event_loop()``, ``asyncio.run()``, ``asyncio.Runner`` and
  ``unittest.IsolatedAsyncioTestCase`` all get the chosen loop;
* ``asyncio.EventLoop``, which some tests hand to ``loop_factory``, is the
  factory;
* the test classes that build a selector loop themselves for the shared
  loop tests (``create_event_loop``/``new_loop``) build the chosen one
  instead (see CLASS_HOOKS).

Tests that only run a loop they build themselves (the virtual-clock
``TestLoop``, an explicit ``BaseEventLoop`` or ``SelectorEventLoop``) or
that test the selector loop's internals are left out, each with its reason
(see LEAVE_OUT). Every other test is scored; tests that unittest skips are
counted apart and not scored.

For ``asyncio`` the factory makes a subclass of asyncio's default loop that
exists only here, and every loop a test builds is counted by class: a
scored test that builds or runs a loop of another class is reported, since
it measures that loop and not the chosen one.

Each test module runs in its own process with a time limit per test; a test
that hangs or crashes its process is reported as such and the module goes on
in a new process without it.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import fnmatch
import importlib
import json
import os
import pkgutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import weakref
from pathlib import Path

PACKAGE = "test.test_asyncio"

LOOP_ALIASES = {
    "uvloop": "uvloop:new_event_loop",
    "velkorio": "velkorio:new_event_loop",
}

# Tests left out of the score: (pattern, reason). A pattern is matched with
# fnmatch against "module.Class.test_name" (module without the package); the
# first match gives the reason. KEEP, checked first, names the tests of a
# left-out class that run the chosen loop only (their setUp builds the
# class's own loop, which they never run).
TEST_LOOP = "runs the virtual-clock TestLoop of test_asyncio/utils.py, not the chosen loop"
NO_LOOP = "builds and runs no event loop: "
TASK_CLASSES = ("CTask_CFuture_Tests", "CTask_CFuture_SubclassTests", "CTaskSubclass_PyFuture_Tests",
                "CTask_PyFuture_Tests", "PyTask_CFuture_Tests", "PyTask_CFutureSubclass_Tests",
                "PyTask_PyFuture_Tests", "PyTask_PyFuture_SubclassTests")
SELECTOR_TWINS = "the same tests as EPollEventLoopTests (which run on the chosen loop) on another selector"
PRIVATE = "reaches into asyncio's own loop or the objects it makes: "
SWAPPED = ("rebinds asyncio's module attributes to their pure-Python twins, which a loop sees only if it"
           " looks them up on every call; ")
PIPE_MOCKS = PRIVATE + "expects the subprocess transport to open its pipes through loop.connect_*_pipe, and mocks those"

LEAVE_OUT: list[tuple[str, str]] = [
    # Whole modules.
    ("test_futures.*", TEST_LOOP + " (test_futures2 runs futures on the chosen loop)"),
    ("test_selector_events.*", "tests the selector loop's internals (_selector, _add_reader, its transports)"
     " on a loop it builds with a mocked selector, or on TestLoop"),
    ("test_proactor_events.*", "tests the Windows proactor loop's internals on a mocked proactor or TestLoop"),
    ("test_windows_events.*", "Windows only"),
    ("test_windows_utils.*", "Windows only"),
    ("test_protocols.*", NO_LOOP + "tests the protocol base classes"),
    ("test_transports.*", NO_LOOP + "tests the transport base classes"),
    ("test_tools.*", NO_LOOP + "tests asyncio.tools' rendering of captured task graphs"),
    # test_base_events
    ("test_base_events.BaseEventLoopTests.*", "tests BaseEventLoop's own methods and internals"
     " (_run_once, _ready, _scheduled) on a BaseEventLoop it builds"),
    ("test_base_events.BaseEventLoopWithSelectorTests.*", "tests BaseEventLoop's connection and server code"
     " on a SelectorEventLoop it builds, with getaddrinfo, sockets and loop methods mocked"),
    ("test_base_events.BaseLoopSockSendfileTests.*", "tests BaseSelectorEventLoop's read-and-send fallback"
     " of sock_sendfile on a loop it builds"),
    ("test_base_events.BaseEventTests.*", NO_LOOP + "tests base_events' address helpers"),
    ("test_base_events.TestSelectorUtils.*", NO_LOOP + "tests base_events' TCP_NODELAY helper"),
    # test_events
    ("test_events.PollEventLoopTests.*", SELECTOR_TWINS),
    ("test_events.EPollEventLoopTests.test_create_server_multiple_hosts_ipv[46]",
     PRIVATE + "mocks base_events' socket module and the loop's _start_serving"),
    ("test_events.EPollEventLoopTests.test_internal_fds", PRIVATE + "the self-pipe (_ssock, _csock)"),
    ("test_events.EPollEventLoopTests.test_prompt_cancellation", PRIVATE + "calls _stop_serving()"),
    ("test_events.EPollEventLoopTests.test_timeout_rounding", PRIVATE + "counts _run_once() calls"),
    ("test_events.EPollEventLoopTests.test_unclosed_pipe_transport", PRIVATE + "the pipe transports' _pipe"),
    ("test_events.TestPyGetEventLoop.*", SWAPPED + "TestCGetEventLoop runs the same tests"),
    ("test_events.SelectEventLoopTests.*", SELECTOR_TWINS),
    ("test_events.AbstractEventLoopTests.test_not_implemented", NO_LOOP + "tests AbstractEventLoop's stubs"),
    ("test_events.HandleTests.test_callback_with_exception", NO_LOOP + "tests asyncio.Handle on a mock loop"),
    ("test_events.HandleTests.test_coroutine_like_object_debug_formatting", NO_LOOP + "tests Handle's repr"),
    ("test_events.HandleTests.test_handle", NO_LOOP + "tests asyncio.Handle on a mock loop"),
    ("test_events.HandleTests.test_handle_repr", NO_LOOP + "tests Handle's repr"),
    ("test_events.HandleTests.test_handle_repr_debug", NO_LOOP + "tests Handle's repr"),
    ("test_events.HandleTests.test_handle_weakref", NO_LOOP + "tests asyncio.Handle on a mock loop"),
    ("test_events.TimerTests.*", NO_LOOP + "tests asyncio.TimerHandle on a mock loop"),
    ("test_events.PolicyTests.test_abstract_event_loop_policy_deprecation", NO_LOOP + "tests the policy API"),
    ("test_events.PolicyTests.test_default_event_loop_policy_deprecation", NO_LOOP + "tests the policy API"),
    ("test_events.PolicyTests.test_event_loop_policy", NO_LOOP + "tests the policy API"),
    ("test_events.PolicyTests.test_get_event_loop", NO_LOOP + "tests the policy API"),
    ("test_events.PolicyTests.test_get_event_loop_after_set_none", NO_LOOP + "tests the policy API"),
    ("test_events.PolicyTests.test_get_event_loop_does_not_call_set_event_loop", NO_LOOP + "tests the policy API"),
    ("test_events.PolicyTests.test_get_event_loop_policy", NO_LOOP + "tests the policy API"),
    ("test_events.PolicyTests.test_get_event_loop_thread", NO_LOOP + "tests the policy API"),
    ("test_events.PolicyTests.test_set_event_loop_policy", NO_LOOP + "tests the policy API"),
    ("test_events.TestAbstractServer.test_close", NO_LOOP + "tests AbstractServer's stubs"),
    ("test_events.TestAbstractServer.test_get_loop", NO_LOOP + "tests AbstractServer's stubs"),
    # test_graph
    ("test_graph.TestCallStackPy.*", SWAPPED + "TestCallStackC runs the same tests"),
    # test_pep492
    ("test_pep492.CoroutineTests.test_iscoroutine", NO_LOOP + "tests asyncio.iscoroutine"),
    ("test_pep492.CoroutineTests.test_iscoroutine_generator", NO_LOOP + "tests asyncio.iscoroutine"),
    ("test_pep492.CoroutineTests.test_iscoroutinefunction", NO_LOOP + "tests iscoroutinefunction"),
    ("test_pep492.CoroutineTests.test_types_coroutine", NO_LOOP + "tests types.coroutine"),
    # test_runners
    ("test_runners.RunnerTests.test_custom_factory", NO_LOOP + "runs Runner on a mock loop"),
    ("test_runners.RunTests.test_loop_factory_default_event_loop",
     "checks that asyncio.EventLoop is asyncio's own selector loop class"),
    # test_sendfile, test_sock_lowlevel
    ("test_sendfile.PollEventLoopTests.*", SELECTOR_TWINS),
    ("test_sendfile.EPollEventLoopTests.test_sendfile_fallback_close_peer_in_the_middle_of_receiving",
     PRIVATE + "mocks _sendfile_native()"),
    ("test_sendfile.EPollEventLoopTests.test_sendfile_force_fallback", PRIVATE + "mocks _sendfile_native()"),
    ("test_sendfile.EPollEventLoopTests.test_sendfile_force_unsupported_native", PRIVATE + "mocks _sendfile_native()"),
    ("test_sendfile.EPollEventLoopTests.test_sendfile_no_fallback_for_fallback_transport",
     PRIVATE + "the transport's _sendfile_compatible"),
    ("test_sendfile.SelectEventLoopTests.*", SELECTOR_TWINS),
    ("test_sock_lowlevel.PollEventLoopTests.*", SELECTOR_TWINS),
    ("test_sock_lowlevel.SelectEventLoopTests.*", SELECTOR_TWINS),
    # test_server
    ("test_server.SelectorStartServerTests.test_start_server_1", PRIVATE + "the server's _sockets and _waiters"),
    ("test_server.SelectorStartServerTests.test_start_unix_server_1", PRIVATE + "the server's _sockets and _waiters"),
    # test_subprocess
    ("test_subprocess.SubprocessTransportTests.*", TEST_LOOP + ", with the child process mocked"),
    ("test_subprocess.*.test_close_kill_running", PRIVATE + "awaits the transport's _wait()"),
    ("test_subprocess.*.test_pause_reading", PIPE_MOCKS),
    ("test_subprocess.*.test_subprocess_read_pipe_cancelled", PIPE_MOCKS),
    ("test_subprocess.*.test_subprocess_write_pipe_cancelled", PIPE_MOCKS),
    ("test_subprocess.*.test_subprocess_read_write_pipe_cancelled", PIPE_MOCKS),
    ("test_subprocess.*.test_popen_error*", PRIVATE + "mocks subprocess.Popen, which asyncio's transport calls"),
    ("test_subprocess.*.test_watcher_implementation", PRIVATE + "the loop's child watcher (_watcher)"),
    ("test_subprocess.*.test_pid_not_reaped_before_exit_published", PRIVATE + "the loop's child watcher (_watcher)"),
    # test_tasks
    *[(f"test_tasks.{cls}.*", TEST_LOOP) for cls in TASK_CLASSES],
    ("test_tasks.FutureGatherTests.*", TEST_LOOP),
    ("test_tasks.CoroutineGatherTests.*", TEST_LOOP),
    ("test_tasks.CIntrospectionTests.*", NO_LOOP + "tests the task registry with stand-in loop objects"),
    ("test_tasks.PyIntrospectionTests.*", NO_LOOP + "tests the task registry with stand-in loop objects"),
    ("test_tasks.GenericTaskTests.*", NO_LOOP + "tests the Task and Future classes themselves"),
    # test_unix_events
    ("test_unix_events.SelectorEventLoopSignalTests.*", "tests the selector loop's signal handling with the"
     " signal module mocked"),
    ("test_unix_events.SelectorEventLoopUnixSockSendfileTests.*",
     PRIVATE + "calls or mocks the selector loop's _sock_sendfile_native() and its _selector"),
    ("test_unix_events.PidfdChildWatcherTests.test_pidfd_closed_when_waitpid_raises",
     PRIVATE + "calls the subprocess transport's _process_exited()"),
    ("test_unix_events.SelectorEventLoopUnixSocketTests.test_create_unix_server_bind_error",
     "mocks asyncio.unix_events' socket module"),
    ("test_unix_events.UnixReadPipeTransportTests.*", TEST_LOOP + ", testing the selector loop's pipe transport"),
    ("test_unix_events.UnixWritePipeTransportTests.*", TEST_LOOP + ", testing the selector loop's pipe transport"),
    ("test_unix_events.TestFork.test_fork_not_share_current_task", NO_LOOP + "a stand-in object is the loop"),
    ("test_unix_events.TestFork.test_fork_not_share_event_loop", NO_LOOP + "a stand-in object is the loop"),
]

KEEP: list[str] = [
    "test_base_events.BaseEventLoopTests.test_create_named_task_with_custom_factory",
    "test_base_events.BaseEventLoopTests.test_create_named_task_with_default_factory",
    "test_base_events.BaseEventLoopTests.test_create_task_error_closes_coro",
    *[f"test_tasks.{cls}.{name}" for cls in TASK_CLASSES for name in (
        "test_as_completed_resume_iterator", "test_as_completed_same_tasks_in_as_out", "test_cancel_at_end",
        "test_cancel_awaited_task", "test_cancel_current_task", "test_cancel_gather_1", "test_cancel_gather_2",
        "test_cancel_traceback_for_future_exception", "test_cancel_traceback_for_future_result",
        "test_cancel_with_message_before_starting_task", "test_cancel_with_message_then_future_exception",
        "test_cancel_with_message_then_future_result", "test_cancellation_exception_context",
        "test_cancelling", "test_context_1", "test_context_2", "test_context_3", "test_context_4",
        "test_context_5", "test_context_6", "test_eager_start_false", "test_eager_start_true_no_loop",
        "test_ensure_future_awaitable", "test_ensure_future_error_msg", "test_ensure_future_task_awaitable",
        "test_exception_chaining_after_await", "test_exception_chaining_after_await_with_context_cycle",
        "test_get_context", "test_get_coro", "test_proper_refcounts", "test_tb_logger_not_called_after_cancel",
        "test_uncancel_basic", "test_uncancel_resets_must_cancel", "test_uncancel_structured_blocks")],
]

# Test classes that build a loop of their own for tests that hold for any
# loop; the runner makes that method return the chosen loop instead.
# module -> {class: method}. Where one set of tests runs once per selector,
# the epoll class (Linux's default selector) runs it and the others are left
# out. "setUp" means that asyncio.SelectorEventLoop makes the chosen loop
# while the class's setUp runs.
CLASS_HOOKS: dict[str, dict[str, str]] = {
    "test_buffered_proto": {"BufferedProtocolSelectorTests": "new_loop"},
    "test_events": {"EPollEventLoopTests": "create_event_loop", "UnixPipeObjectSupportTests": "setUp"},
    "test_pep492": {"BaseTest": "setUp"},
    "test_runners": {"BaseTest": "new_loop"},
    "test_sendfile": {"EPollEventLoopTests": "create_event_loop"},
    "test_server": {"SelectorStartServerTests": "new_loop"},
    "test_sock_lowlevel": {"EPollEventLoopTests": "create_event_loop"},
    "test_sslproto": {"SelectorStartTLSTests": "new_loop"},
    "test_unix_events": {"SelectorEventLoopUnixSocketTests": "setUp"},
}


KEEP_SET = frozenset(KEEP)


def short_id(test_id: str) -> str:
    prefix = PACKAGE + "."
    return test_id[len(prefix):] if test_id.startswith(prefix) else test_id


def leave_out_reason(sid: str) -> str | None:
    if sid in KEEP_SET:
        return None
    for pattern, reason in LEAVE_OUT:
        if fnmatch.fnmatchcase(sid, pattern):
            return reason
    return None


# ---------------------------------------------------------------------------
# The loop


class LoopChoiceError(Exception):
    pass


def resolve_factory(choice: str):
    """The loop factory that CHOICE names, and its display name."""
    choice = LOOP_ALIASES.get(choice, choice)
    if choice == "asyncio":
        import asyncio

        class ConformanceLoop(asyncio.EventLoop):
            """asyncio's default loop under a class of the runner's own, so
            that the loops the substitution makes can be told apart."""

        ConformanceLoop.__qualname__ = "ConformanceLoop"
        return ConformanceLoop, "asyncio"
    module_name, sep, attr = choice.partition(":")
    if not sep or not module_name or not attr:
        raise LoopChoiceError(f"loop {choice!r} is not asyncio, uvloop, velkorio or module:factory")
    try:
        module = importlib.import_module(module_name)
    except ImportError as exc:
        raise LoopChoiceError(f"cannot import {module_name}: {exc}") from exc
    factory = module
    for part in attr.split("."):
        try:
            factory = getattr(factory, part)
        except AttributeError:
            raise LoopChoiceError(f"{module_name} has no {attr}") from None
    if not callable(factory):
        raise LoopChoiceError(f"{choice} is not callable")
    return factory, choice


# ---------------------------------------------------------------------------
# The child: one test module in this process


class LoopCensus:
    """Counts the loops built and run while each test runs, by whether the
    substitution made them."""

    def __init__(self, factory):
        from asyncio import base_events

        self.local = threading.local()
        self.reset()
        census = self

        class Factory:
            # An object rather than a function, so that a class attribute
            # holding it (loop_factory = asyncio.EventLoop) does not bind.
            def __call__(self):
                census.local.depth = getattr(census.local, "depth", 0) + 1
                try:
                    loop = factory()
                finally:
                    census.local.depth -= 1
                census.substituted += 1
                census._remember(loop)
                return loop

            def __repr__(self):
                return f"<conformance loop factory {factory!r}>"

        self.factory = Factory()
        self.substituted_class = factory if isinstance(factory, type) else None
        self.made = weakref.WeakSet()
        self.made_ids: set[int] = set()

        init = base_events.BaseEventLoop.__init__
        run_forever = base_events.BaseEventLoop.run_forever

        def counted_init(loop, *args, **kwargs):
            if not getattr(census.local, "depth", 0):
                census._count(census.built_other, loop)
            return init(loop, *args, **kwargs)

        def counted_run_forever(loop, *args, **kwargs):
            if not census._made_here(loop):
                census._count(census.ran_other, loop)
            return run_forever(loop, *args, **kwargs)

        base_events.BaseEventLoop.__init__ = counted_init
        base_events.BaseEventLoop.run_forever = counted_run_forever

        # The TLS connections' protocols, by class: which TLS path served.
        from asyncio import sslproto

        ssl_init = sslproto.SSLProtocol.__init__

        def counted_ssl_init(protocol, *args, **kwargs):
            name = type(protocol).__module__ + "." + type(protocol).__qualname__
            census.tls_protocols[name] = census.tls_protocols.get(name, 0) + 1
            return ssl_init(protocol, *args, **kwargs)

        sslproto.SSLProtocol.__init__ = counted_ssl_init

    def _remember(self, loop):
        try:
            self.made.add(loop)
        except TypeError:  # a class without weak references
            self.made_ids.add(id(loop))

    def _made_here(self, loop) -> bool:
        if self.substituted_class is not None and type(loop) is self.substituted_class:
            return True
        try:
            return loop in self.made or id(loop) in self.made_ids
        except TypeError:
            return id(loop) in self.made_ids

    def _count(self, table, loop):
        if self._made_here(loop):
            return
        name = type(loop).__module__ + "." + type(loop).__qualname__
        table[name] = table.get(name, 0) + 1

    def reset(self):
        self.substituted = 0
        self.built_other: dict[str, int] = {}
        self.ran_other: dict[str, int] = {}
        self.tls_protocols: dict[str, int] = {}

    def take(self):
        out = {"substituted": self.substituted, "built_other": self.built_other, "ran_other": self.ran_other,
               "tls_protocols": self.tls_protocols}
        self.reset()
        return out


def install_substitution(census: LoopCensus) -> None:
    """Puts the chosen loop where asyncio and the tests build theirs. Runs
    before any test module is imported."""
    import asyncio
    from asyncio import events, unix_events

    factory = census.factory
    # asyncio.new_event_loop(), asyncio.run(), asyncio.Runner() and
    # IsolatedAsyncioTestCase all end in the default policy's factory. A
    # class attribute, so that a policy made again after a test resets it
    # (asyncio.events._set_event_loop_policy(None)) makes the same loops.
    unix_events._UnixDefaultEventLoopPolicy._loop_factory = staticmethod(factory)
    events._set_event_loop_policy(None)
    # The name the tests pass as loop_factory for "the default loop".
    asyncio.EventLoop = factory
    unix_events.EventLoop = factory

    from test.test_asyncio import utils as test_utils

    close_loop = test_utils.TestCase.close_loop

    def tolerant_close_loop(loop):
        # The suite's helper reads BaseEventLoop's private executor slot;
        # a loop of another class shuts its executor down through the
        # public coroutine instead, which is what that code stands for.
        if hasattr(loop, "_default_executor"):
            return close_loop(loop)
        if not loop.is_closed():
            loop.run_until_complete(loop.shutdown_default_executor())
        loop.close()

    test_utils.TestCase.close_loop = staticmethod(tolerant_close_loop)


def apply_class_hooks(module_name: str, module, census: LoopCensus) -> None:
    import asyncio

    for class_name, method in CLASS_HOOKS.get(module_name, {}).items():
        cls = getattr(module, class_name)
        hook = SPECIAL_HOOKS.get((module_name, class_name))
        if hook is not None:
            hook(cls, census)
        elif method == "setUp":
            def setUp(self, _setUp=cls.setUp):
                saved = asyncio.SelectorEventLoop
                asyncio.SelectorEventLoop = census.factory
                try:
                    _setUp(self)
                finally:
                    asyncio.SelectorEventLoop = saved

            cls.setUp = setUp
        else:
            setattr(cls, method, lambda self: census.factory())


def runners_hook(cls, census: LoopCensus) -> None:
    # test_runners builds a BaseEventLoop with its I/O mocked out and
    # replaces shutdown_asyncgens() with a flag its tearDown checks, to see
    # that asyncio.run() and Runner shut the loop down. The chosen loop
    # gets the same flag, set on the way into its real shutdown_asyncgens().
    def new_loop(self):
        loop = census.factory()
        shutdown_asyncgens = loop.shutdown_asyncgens
        loop.shutdown_ag_run = False

        async def flagged_shutdown_asyncgens():
            loop.shutdown_ag_run = True
            await shutdown_asyncgens()

        loop.shutdown_asyncgens = flagged_shutdown_asyncgens
        return loop

    cls.new_loop = new_loop


def pep492_hook(cls, census: LoopCensus) -> None:
    # test_pep492 runs its coroutines on a BaseEventLoop whose I/O and
    # selector are mocks; the chosen loop runs them as it is.
    from test.test_asyncio import utils as test_utils

    def setUp(self):
        test_utils.TestCase.setUp(self)
        self.loop = census.factory()
        self.set_event_loop(self.loop)

    cls.setUp = setUp


SPECIAL_HOOKS = {("test_runners", "BaseTest"): runners_hook, ("test_pep492", "BaseTest"): pep492_hook}


def fixture_scope(holder) -> str:
    """The short id prefix that a failed or skipped class or module fixture
    covers, from unittest's "setUpClass (package.module.Class)"."""
    text = str(holder)
    if text.endswith(")") and "(" in text:
        return short_id(text[text.rindex("(") + 1:-1])
    return ""


class TestTimeout(BaseException):
    """Raised in the main thread when a test runs past its time limit. A
    BaseException, so that the test's own except-Exception clauses let it
    through."""


class Watchdog:
    """One thread for the whole run (so that the tests' dangling-thread
    checks see it before and after every test) that interrupts the main
    thread when a test runs too long, and ends the process with a traceback
    dump when that does not stop it."""

    SIGNAL = signal.SIGUSR2

    def __init__(self, limit: float, grace: float):
        import faulthandler

        self.limit = limit
        self.grace = grace
        self.faulthandler = faulthandler
        self.main = threading.main_thread().ident
        self.cond = threading.Condition()
        self.deadline = None
        self.active = False
        signal.signal(self.SIGNAL, self._on_signal)
        threading.Thread(target=self._run, name="conformance-watchdog", daemon=True).start()

    def _on_signal(self, signum, frame):
        # A signal that lands just after the test ended is dropped.
        if self.active:
            raise TestTimeout(f"test ran past its {self.limit:g} s limit")

    def arm(self):
        with self.cond:
            self.active = True
            self.deadline = time.monotonic() + self.limit
            self.cond.notify()
        self.faulthandler.dump_traceback_later(self.limit + self.grace, exit=True)

    def disarm(self):
        self.faulthandler.cancel_dump_traceback_later()
        with self.cond:
            self.active = False
            self.deadline = None
            self.cond.notify()

    def _run(self):
        with self.cond:
            while True:
                if self.deadline is None:
                    self.cond.wait()
                    continue
                left = self.deadline - time.monotonic()
                if left > 0:
                    self.cond.wait(left)
                    continue
                self.deadline = None
                signal.pthread_kill(self.main, self.SIGNAL)


def child_main(args) -> int:
    import faulthandler
    import unittest
    import warnings

    faulthandler.enable()
    # A shell starts background commands with SIGINT ignored; the tests that
    # interrupt themselves with _thread.interrupt_main() would then wait
    # forever, on every loop.
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    events_file = open(args.events, "a", buffering=1, encoding="utf-8")

    def emit(**record):
        events_file.write(json.dumps(record) + "\n")

    factory, _ = resolve_factory(args.loop)
    census = LoopCensus(factory)
    install_substitution(census)
    exclude = set()
    if args.exclude:
        exclude = set(Path(args.exclude).read_text().split())

    if not sys.warnoptions:
        warnings.simplefilter("default")  # as unittest's own runner does

    module_name = args.child
    full_name = f"{PACKAGE}.{module_name}"
    try:
        module = importlib.import_module(full_name)
    except unittest.SkipTest as exc:
        emit(event="module_skipped", reason=str(exc))
        return 0
    except BaseException:
        emit(event="module_error", error=traceback.format_exc())
        return 0
    apply_class_hooks(module_name, module, census)

    suite = unittest.defaultTestLoader.loadTestsFromModule(module)
    tests = []

    def flatten(s):
        for t in s:
            if isinstance(t, unittest.TestSuite):
                flatten(t)
            else:
                tests.append(t)

    flatten(suite)
    to_run = []
    for t in tests:
        sid = short_id(t.id())
        if sid in exclude or (args.k and not any(fnmatch.fnmatchcase(sid, p) for p in args.k)):
            continue
        reason = leave_out_reason(sid)
        if reason is not None:
            emit(event="left_out", id=sid, reason=reason)
        else:
            to_run.append(t)
    emit(event="planned", ids=[short_id(t.id()) for t in to_run])

    watchdog = Watchdog(args.test_timeout, args.hard_grace)

    class Result(unittest.TestResult):
        # A test's end is reported when the next test starts or the run
        # ends: what runs after stopTest() (IsolatedAsyncioTestCase closes
        # its loop there) still belongs to it, and a hang there is its hang.
        def __init__(self):
            super().__init__()
            self.current = None
            self.pending = None

        def startTest(self, test):
            self.flush()
            super().startTest(test)
            sid = short_id(test.id())
            self.current = {"id": sid, "outcome": "passed", "detail": None, "t0": time.monotonic()}
            census.reset()
            emit(event="start", id=sid)
            watchdog.arm()

        def stopTest(self, test):
            super().stopTest(test)
            cur, self.current = self.current, None
            if cur is not None:
                cur["seconds"] = round(time.monotonic() - cur.pop("t0"), 3)
                cur["loops"] = census.take()
                self.pending = cur

        def flush(self):
            if self.pending is not None:
                emit(event="end", **self.pending)
                self.pending = None

        def _set(self, outcome, err=None, detail=None):
            if err is not None:
                detail = self._detail(err)
            cur = self.current
            if cur is None:
                return False
            order = ["passed", "skipped", "failed", "errored", "timeout"]
            if order.index(outcome) >= order.index(cur["outcome"]):
                cur["outcome"] = outcome
                cur["detail"] = detail
            return True

        def _detail(self, err):
            exc_type, exc, tb = err
            return "".join(traceback.format_exception(exc_type, exc, tb))[-4000:]

        def addError(self, test, err):
            super().addError(test, err)
            if issubclass(err[0], TestTimeout):
                self._set("timeout", err)
            elif not self._set("errored", err):
                # A class or module fixture failed outside any test.
                emit(event="fixture", kind="errored", scope=fixture_scope(test), detail=self._detail(err))

        def addFailure(self, test, err):
            super().addFailure(test, err)
            self._set("failed", err)

        def addSubTest(self, test, subtest, err):
            super().addSubTest(test, subtest, err)
            if err is not None:
                if issubclass(err[0], test.failureException):
                    self._set("failed", err)
                elif issubclass(err[0], TestTimeout):
                    self._set("timeout", err)
                else:
                    self._set("errored", err)

        def addSkip(self, test, reason):
            super().addSkip(test, reason)
            if not self._set("skipped", detail=reason):
                # A class or module fixture skipped what it covers.
                emit(event="fixture", kind="skipped", scope=fixture_scope(test), detail=reason)

        def addExpectedFailure(self, test, err):
            super().addExpectedFailure(test, err)

        def addUnexpectedSuccess(self, test):
            super().addUnexpectedSuccess(test)
            self._set("failed", detail="unexpected success")

    result = Result()
    try:
        unittest.TestSuite(to_run).run(result)
    except TestTimeout:
        # The limit struck after a test's body (unittest lets the exception
        # through from there) or in a class or module fixture. The process
        # ends; the parent goes on with the rest in a new one.
        detail = "the time limit struck after the test body ran:\n" + traceback.format_exc()
        if result.pending is not None:
            result.pending.update(outcome="timeout", detail=detail)
            result.flush()
        else:
            emit(event="fixture", kind="errored", scope="", detail=traceback.format_exc())
        events_file.close()
        os._exit(3)
    watchdog.disarm()
    result.flush()
    emit(event="done")
    events_file.close()
    # Threads or loops the tests leave behind must not hold the process.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


# ---------------------------------------------------------------------------
# The parent: one process per module


# The modules that take longest on asyncio's own loop, longest first.
SLOW_MODULES = ["test_events", "test_ssl", "test_taskgroups", "test_subprocess", "test_tasks",
                "test_eager_task_factory", "test_sslproto", "test_sendfile", "test_sock_lowlevel"]


def list_modules() -> list[str]:
    package = importlib.import_module(PACKAGE)
    return sorted(m.name for m in pkgutil.iter_modules(package.__path__) if m.name.startswith("test_"))


class ModuleRun:
    def __init__(self, name):
        self.name = name
        self.tests: dict[str, dict] = {}  # id -> record
        self.left_out: dict[str, str] = {}
        self.notes: list[str] = []
        self.fixtures: list[dict] = []
        self.skipped_module: str | None = None
        self.seconds = 0.0
        self.processes = 0


def run_module(name: str, args, log_dir: Path) -> ModuleRun:
    mr = ModuleRun(name)
    started = time.monotonic()
    deadline = started + args.module_timeout
    log_path = log_dir / f"{name}.log"
    log = open(log_path, "w", encoding="utf-8")
    exclude: set[str] = set()
    planned: list[str] | None = None
    with tempfile.TemporaryDirectory(prefix="conformance-") as tmp:
        while True:
            events_path = Path(tmp) / f"events-{mr.processes}.jsonl"
            exclude_path = Path(tmp) / "exclude.txt"
            exclude_path.write_text("\n".join(sorted(exclude)))
            cmd = [sys.executable, "-X", "faulthandler", os.path.abspath(__file__), args.loop,
                   "--child", name, "--events", str(events_path), "--exclude", str(exclude_path),
                   "--test-timeout", str(args.test_timeout), "--hard-grace", str(args.hard_grace)]
            for p in args.k or []:
                cmd += ["-k", p]
            mr.processes += 1
            log.write(f"==== process {mr.processes}: {' '.join(cmd)}\n")
            log.flush()
            proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                    cwd=tmp, env=child_env(), start_new_session=True)
            killed = False
            try:
                rc = proc.wait(timeout=max(1.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                killed = True
                os.killpg(proc.pid, signal.SIGKILL)
                rc = proc.wait()
            else:
                # Reap whatever the tests left behind in the session.
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

            current = None
            done = False
            progressed = False
            records = []
            if events_path.exists():
                for line in events_path.read_text(encoding="utf-8").splitlines():
                    try:
                        records.append(json.loads(line))
                    except json.JSONDecodeError:
                        pass  # a line cut short by a crash
            for rec in records:
                ev = rec["event"]
                if ev == "module_skipped":
                    mr.skipped_module = rec["reason"]
                    done = True
                elif ev == "module_error":
                    mr.tests[f"{name}.(import)"] = {"id": f"{name}.(import)", "outcome": "errored",
                                            "detail": rec["error"], "seconds": 0, "loops": None}
                    done = True
                elif ev == "left_out":
                    mr.left_out[rec["id"]] = rec["reason"]
                elif ev == "planned":
                    if planned is None:
                        planned = rec["ids"]
                elif ev == "start":
                    current = rec["id"]
                    progressed = True
                elif ev == "end":
                    mr.tests[rec["id"]] = {k: rec[k] for k in ("id", "outcome", "detail", "seconds", "loops")}
                    exclude.add(rec["id"])
                    current = None
                elif ev == "fixture":
                    mr.fixtures.append(rec)
                elif ev == "done":
                    done = True
            if done:
                break
            # The process ended inside a test: a crash, or a hang that the
            # in-process limit could not break.
            how = "module time limit" if killed else describe_exit(rc)
            if current is not None:
                if killed:
                    outcome, detail = "timeout", f"the module ran past its {args.module_timeout:g} s limit"
                elif rc == 1:  # faulthandler's exit after dumping the stacks
                    outcome = "timeout"
                    detail = (f"hung past the {args.test_timeout + args.hard_grace:g} s hard limit;"
                              f" the stacks are in {log_path}")
                else:
                    outcome, detail = "crashed", f"the test's process died: {how}; see {log_path}"
                mr.tests[current] = {"id": current, "outcome": outcome, "detail": detail,
                                     "seconds": None, "loops": None}
                exclude.add(current)
            elif not progressed:
                mr.notes.append(f"process {mr.processes} ended before its first test: {how}")
                break
            if killed:
                mr.notes.append(f"the module ran past its {args.module_timeout:g} s limit")
                break
            if time.monotonic() >= deadline or mr.processes >= args.max_processes:
                mr.notes.append(f"gave up after {mr.processes} processes")
                break
    # Planned tests that never reported: a class or module fixture skipped
    # or failed them, or the module ran out of time or processes.
    for sid in planned or []:
        if sid in mr.tests:
            continue
        outcome, detail = "errored", "did not run"
        for fx in mr.fixtures:
            if sid == fx["scope"] or sid.startswith(fx["scope"] + ".") or not fx["scope"]:
                outcome = fx["kind"]
                lines = (fx["detail"] or "").strip().splitlines()
                detail = f"did not run: {lines[-1] if lines else fx['kind']} (in a fixture)"
                break
        else:
            if mr.notes:
                detail += ": " + mr.notes[-1]
        mr.tests[sid] = {"id": sid, "outcome": outcome, "detail": detail, "seconds": None, "loops": None}
    if planned is None and mr.skipped_module is None and not mr.tests:
        # The process never got as far as listing its tests.
        log.flush()
        tail = log_path.read_text(encoding="utf-8", errors="replace").strip().splitlines()[-1:]
        mr.tests[f"{name}.(setup)"] = {"id": f"{name}.(setup)", "outcome": "errored",
                                       "detail": "\n".join(mr.notes + tail), "seconds": None, "loops": None}
    mr.seconds = time.monotonic() - started
    log.close()
    return mr


def child_env() -> dict[str, str]:
    """The environment of a module's process, which runs in a directory of
    its own: PYTHONPATH's entries made absolute, so that a loop module found
    from here is found there too."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) if p else os.getcwd()
                                            for p in env["PYTHONPATH"].split(os.pathsep))
    return env


def describe_exit(rc: int) -> str:
    if rc < 0:
        try:
            return f"killed by {signal.Signals(-rc).name}"
        except ValueError:
            return f"killed by signal {-rc}"
    return f"exit status {rc}"


SCORED_OUTCOMES = ("passed", "failed", "errored", "timeout", "crashed")


def summarize(runs: list[ModuleRun], loop_name: str, seconds: float, out=sys.stdout) -> dict:
    w = out.write
    head = f"{'module':<28}{'scored':>7}{'passed':>7}{'failed':>7}{'errored':>8}{'left out':>9}{'skipped':>8}{'secs':>7}\n"
    w(f"\nasyncio conformance on {loop_name}\n\n")
    w(head)
    total = dict.fromkeys(("scored", "passed", "failed", "errored", "left_out", "skipped"), 0)
    modules = {}
    failing = []
    built_other: dict[str, int] = {}
    ran_other: dict[str, int] = {}
    ran_elsewhere = []  # scored tests that ran a loop the substitution did not make
    no_loop = []  # scored tests that built no loop in the test's process
    substituted = 0
    tls_protocols: dict[str, int] = {}
    for mr in runs:
        counts = dict.fromkeys(total, 0)
        for rec in mr.tests.values():
            o = rec["outcome"]
            if o == "skipped":
                counts["skipped"] += 1
                continue
            counts["scored"] += 1
            if o == "passed":
                counts["passed"] += 1
            elif o == "failed":
                counts["failed"] += 1
            else:
                counts["errored"] += 1
            if o != "passed":
                failing.append(rec)
            loops = rec.get("loops")
            if loops is None:
                continue  # the test's process ended before it reported
            substituted += loops["substituted"]
            for cls, n in loops.get("tls_protocols", {}).items():
                tls_protocols[cls] = tls_protocols.get(cls, 0) + n
            for table, into in ((loops["built_other"], built_other), (loops["ran_other"], ran_other)):
                for cls, n in table.items():
                    into[cls] = into.get(cls, 0) + n
            if loops["ran_other"]:
                ran_elsewhere.append((rec["id"], loops["ran_other"]))
            elif not loops["substituted"] and not loops["built_other"]:
                no_loop.append(rec["id"])
        counts["left_out"] = len(mr.left_out)
        for k in total:
            total[k] += counts[k]
        label = mr.name + (" (skipped)" if mr.skipped_module else "")
        w(f"{label:<28}{counts['scored']:>7}{counts['passed']:>7}{counts['failed']:>7}{counts['errored']:>8}"
          f"{counts['left_out']:>9}{counts['skipped']:>8}{mr.seconds:>7.1f}\n")
        modules[mr.name] = dict(counts, seconds=round(mr.seconds, 1), processes=mr.processes,
                                skipped_module=mr.skipped_module, notes=mr.notes)
    w("-" * len(head.rstrip()) + "\n")
    w(f"{'total':<28}{total['scored']:>7}{total['passed']:>7}{total['failed']:>7}{total['errored']:>8}"
      f"{total['left_out']:>9}{total['skipped']:>8}{seconds:>7.1f}\n")
    pct = 100.0 * total["passed"] / total["scored"] if total["scored"] else 0.0
    if total["scored"]:
        w(f"\n{loop_name}: {total['passed']} of {total['scored']} scored tests passed ({pct:.2f} %)"
          f" in {seconds:.0f} s\n")
    else:
        w(f"\n{loop_name}: no test was scored ({seconds:.0f} s)\n")
    hung = sum(1 for rec in failing if rec["outcome"] == "timeout")
    crashed = sum(1 for rec in failing if rec["outcome"] == "crashed")
    if hung or crashed:
        w(f"of the errored: {hung} ran past the time limit, {crashed} crashed their process\n")
    w(f"loops the substitution built in scored tests: {substituted}\n")
    if tls_protocols:
        w("TLS protocols made in scored tests, by class: "
          + ", ".join(f"{cls} {n}" for cls, n in sorted(tls_protocols.items())) + "\n")
    if built_other or ran_other:
        w("loops of other classes in scored tests (built, runs):\n")
        for cls in sorted(set(built_other) | set(ran_other)):
            w(f"  {cls}: {built_other.get(cls, 0)}, {ran_other.get(cls, 0)}\n")
    if ran_elsewhere:
        w(f"scored tests that ran a loop of another class ({len(ran_elsewhere)}; leave out or substitute):\n")
        for sid, ran in ran_elsewhere[:50]:
            w(f"  {sid}: {ran}\n")
        if len(ran_elsewhere) > 50:
            w(f"  ... and {len(ran_elsewhere) - 50} more (see --json)\n")
    if no_loop:
        w(f"scored tests that built no loop in their own process ({len(no_loop)}):"
          f" {', '.join(no_loop[:20])}{' ...' if len(no_loop) > 20 else ''}\n")
    if failing:
        w(f"\nnot passed ({len(failing)}):\n")
        for rec in failing:
            last = (rec["detail"] or "").strip().splitlines()
            w(f"  {rec['outcome']:<8} {rec['id']}  {last[-1][:160] if last else ''}\n")
    for mr in runs:
        for note in mr.notes:
            w(f"note: {mr.name}: {note}\n")
    return {
        "loop": loop_name,
        "seconds": round(seconds, 1),
        "total": dict(total, percent=round(pct, 2)),
        "modules": modules,
        "substituted_loops": substituted,
        "other_loops_built": built_other,
        "other_loops_run": ran_other,
        "tls_protocols": tls_protocols,
        "scored_tests_running_other_loops": [sid for sid, _ in ran_elsewhere],
        "scored_tests_without_loop": no_loop,
        "tests": [rec for mr in runs for rec in mr.tests.values()],
        "left_out": [{"id": sid, "reason": r} for mr in runs for sid, r in mr.left_out.items()],
    }


def parent_main(args) -> int:
    try:
        _, loop_name = resolve_factory(args.loop)
    except LoopChoiceError as exc:
        print(f"asyncio_conformance: {exc}", file=sys.stderr)
        return 2
    try:
        modules = list_modules()
    except ImportError as exc:
        print(f"asyncio_conformance: cannot import {PACKAGE} (Debian's libpython3.14-testsuite): {exc}",
              file=sys.stderr)
        return 2
    if args.modules:
        unknown = [m for m in args.modules if m not in modules]
        if unknown:
            print(f"asyncio_conformance: no such test module: {', '.join(unknown)}", file=sys.stderr)
            return 2
        modules = args.modules
    log_dir = Path(args.log_dir or Path("build") / "conformance" / loop_name.replace(":", "_"))
    log_dir.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    # The slow modules start first, so that the workers end together.
    order = sorted(modules, key=lambda m: (SLOW_MODULES.index(m) if m in SLOW_MODULES else len(SLOW_MODULES), m))
    done: dict[str, ModuleRun] = {}
    lock = threading.Lock()

    def work(name):
        mr = run_module(name, args, log_dir)
        with lock:
            done[name] = mr
            if args.verbose:
                bad = sum(1 for r in mr.tests.values() if r["outcome"] not in ("passed", "skipped"))
                print(f"{name}: {len(mr.tests)} run, {bad} not passed, {len(mr.left_out)} left out,"
                      f" {mr.seconds:.1f} s", file=sys.stderr, flush=True)

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        for future in [pool.submit(work, name) for name in order]:
            future.result()
    runs = [done[name] for name in modules]
    seconds = time.monotonic() - started
    report = summarize(runs, loop_name, seconds)
    print(f"logs: {log_dir}")
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=1) + "\n", encoding="utf-8")
    return 0 if report["total"]["scored"] and report["total"]["passed"] == report["total"]["scored"] else 1


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("loop", nargs="?", default="asyncio",
                    help="asyncio, uvloop, velkorio or module:factory (default asyncio)")
    ap.add_argument("--module", "-m", dest="modules", action="append",
                    help="run only this test module (test_tasks, ...); repeatable")
    ap.add_argument("-k", action="append", help="run only tests whose module.Class.test matches this glob")
    ap.add_argument("--json", help="write the results as JSON to this path")
    ap.add_argument("--jobs", "-j", type=int, default=2, help="test modules run at once (2)")
    ap.add_argument("--log-dir", help="where each module's output goes (default build/conformance/LOOP)")
    ap.add_argument("--test-timeout", type=float, default=30.0, help="seconds one test may run (30)")
    ap.add_argument("--hard-grace", type=float, default=10.0,
                    help="seconds past the test limit before its process is ended (10)")
    ap.add_argument("--module-timeout", type=float, default=600.0, help="seconds one module may run (600)")
    ap.add_argument("--max-processes", type=int, default=100,
                    help="processes one module may use after crashes or hangs (100)")
    ap.add_argument("--verbose", "-v", action="store_true", help="a line per module as it ends")
    ap.add_argument("--list-left-out", action="store_true", help="print the leave-out table and exit")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--events", help=argparse.SUPPRESS)
    ap.add_argument("--exclude", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.list_left_out:
        for pattern, reason in LEAVE_OUT:
            print(f"{pattern}\n    {reason}")
        return 0
    if args.child:
        return child_main(args)
    return parent_main(args)


if __name__ == "__main__":
    sys.exit(main())
