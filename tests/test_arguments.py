"""Argument parsing and conversion in the loop's methods.

Parse errors are TypeErrors that name the method ("VelkorLoop.<name>()").
A TypeError from converting one argument becomes "argument '<name>': ...";
other conversion errors pass unchanged."""

import array
import asyncio
import contextvars
import inspect
import os
import weakref

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from velkor import VelkorLoop


def drain(loop):
    """Runs everything queued so far, so that queued handles let go of the loop."""
    loop.stop()
    loop.run_forever()


def noop(*args, **kwargs):
    pass


@pytest.fixture
def pipe():
    read_end, write_end = os.pipe()
    yield read_end, write_end
    os.close(read_end)
    os.close(write_end)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FilenoOnly:
    def __init__(self, fd):
        self.fd = fd

    def fileno(self):
        return self.fd


def call_reader_once(loop, fd_argument, read_end, write_end, args):
    """Registers a reader through `fd_argument`, makes `read_end` readable
    once, and returns the argument tuples the callback received."""
    seen = []
    loop_ref = weakref.ref(loop)

    def callback(*received):
        os.read(read_end, 1)
        seen.append(received)
        loop_ref().stop()

    assert loop.add_reader(fd_argument, callback, args) is None
    os.write(write_end, b"x")
    loop.run_forever()
    loop.remove_reader(read_end)
    return seen


# ---- call_soon and call_soon_threadsafe

SOON = ["call_soon", "call_soon_threadsafe"]


@pytest.mark.parametrize("method", SOON)
def test_call_soon_needs_a_callback(loop, method):
    with pytest.raises(TypeError, match=f"VelkorLoop.{method}\\(\\).*'callback'"):
        getattr(loop, method)()
    with pytest.raises(TypeError, match=f"VelkorLoop.{method}\\(\\)"):
        getattr(loop, method)(context=None)


@pytest.mark.parametrize("method", SOON)
@pytest.mark.parametrize(
    "args, kwargs, problem",
    [
        ((noop,), {"callback": noop}, "multiple values for argument 'callback'"),
        ((noop,), {"x": 1}, "unexpected keyword argument 'x'"),
        ((noop,), {"args": (1,)}, "unexpected keyword argument 'args'"),
        ((noop, 1), {"loop": None}, "unexpected keyword argument 'loop'"),
        ((), {"callback": noop, "context": None, "delay": 1}, "unexpected keyword argument 'delay'"),
    ],
)
def test_call_soon_parse_errors(loop, method, args, kwargs, problem):
    with pytest.raises(TypeError) as raised:
        getattr(loop, method)(*args, **kwargs)
    message = str(raised.value)
    assert f"VelkorLoop.{method}()" in message
    assert problem in message


@pytest.mark.parametrize("method", SOON)
@pytest.mark.parametrize(
    "args, kwargs, expected_args",
    [
        ((noop,), {}, ()),
        ((noop, 1, 2), {}, (1, 2)),
        ((noop, 1, 2), {"context": None}, (1, 2)),
        ((), {"callback": noop}, ()),
        ((noop, None), {}, (None,)),
    ],
    ids=["bare", "positional", "positional-and-context", "keyword", "none-argument"],
)
def test_call_soon_accepted_shapes(loop, method, args, kwargs, expected_args):
    ran = []

    def callback(*received):
        ran.append(received)

    args = tuple(callback if a is noop else a for a in args)
    kwargs = {k: callback if v is noop else v for k, v in kwargs.items()}
    handle = getattr(loop, method)(*args, **kwargs)
    assert isinstance(handle, asyncio.Handle)
    assert handle._callback is callback
    assert handle._args == expected_args
    assert type(handle._args) is tuple
    assert handle._loop is loop
    drain(loop)
    assert ran == [expected_args]


VAR = contextvars.ContextVar("var", default="unset")


@pytest.mark.parametrize("method", SOON)
@pytest.mark.parametrize("pass_none", [False, True], ids=["omitted", "none"])
def test_call_soon_without_a_context_copies_the_current_one(loop, method, pass_none):
    seen = []
    token = VAR.set("caller")
    try:
        kwargs = {"context": None} if pass_none else {}
        handle = getattr(loop, method)(lambda: seen.append(VAR.get()), **kwargs)
        VAR.set("changed after the call")
    finally:
        VAR.reset(token)
    assert isinstance(handle._context, contextvars.Context)
    assert handle._context is not contextvars.copy_context()
    drain(loop)
    assert seen == ["caller"]


@pytest.mark.parametrize("method", SOON)
def test_call_soon_runs_in_the_given_context(loop, method):
    context = contextvars.Context()
    context.run(VAR.set, "given")
    seen = []
    handle = getattr(loop, method)(lambda: seen.append(VAR.get()), context=context)
    assert handle._context is context
    drain(loop)
    assert seen == ["given"]
    assert VAR.get() == "unset"


# ---- timers


@pytest.mark.parametrize("method, first", [("call_later", "delay"), ("call_at", "when")])
@pytest.mark.parametrize("bad", ["1", b"1", None, [], object()])
def test_timer_first_argument_must_be_a_number(loop, method, first, bad):
    with pytest.raises(TypeError) as raised:
        getattr(loop, method)(bad, noop)
    assert str(raised.value).startswith(f"argument '{first}': ")


@pytest.mark.parametrize("method", ["call_later", "call_at"])
@pytest.mark.parametrize(
    "args, kwargs, problem",
    [
        ((), {}, "missing required argument"),
        ((1.0,), {}, "missing required argument 'callback'"),
        ((1.0,), {"x": noop}, "unexpected keyword argument 'x'"),
        ((1.0, noop), {"callback": noop}, "multiple values for argument 'callback'"),
    ],
)
def test_timer_parse_errors(loop, method, args, kwargs, problem):
    with pytest.raises(TypeError) as raised:
        getattr(loop, method)(*args, **kwargs)
    assert f"VelkorLoop.{method}()" in str(raised.value)
    assert problem in str(raised.value)


def test_timer_parse_errors_come_before_conversion(loop):
    with pytest.raises(TypeError, match=r"VelkorLoop\.call_later\(\)"):
        loop.call_later("not a number", noop, x=1)
    with pytest.raises(TypeError, match=r"VelkorLoop\.call_at\(\)"):
        loop.call_at("not a number")


@pytest.mark.parametrize(
    "delay", [Float(-5.0), Index(-5), -5, -5.0], ids=["__float__", "__index__", "int", "float"]
)
def test_call_later_converts_numbers(loop, delay):
    ran = []
    before = loop.time()
    handle = loop.call_later(delay, ran.append, "ran")
    after = loop.time()
    assert isinstance(handle, asyncio.TimerHandle)
    assert before - 5.0 - 1.0 <= handle.when() <= after - 5.0 + 1.0
    assert handle._args == ("ran",)
    drain(loop)  # an overdue timer is queued at once
    assert ran == ["ran"]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("wrap", [float, Float], ids=["float", "__float__"])
def test_call_at_keeps_a_near_future_time(loop, wrap):
    when = loop.time() + 0.05
    handle = loop.call_at(wrap(when), loop.stop)
    assert handle.when() == pytest.approx(when, abs=1e-3)
    loop.run_forever()  # ends when the timer fires


@pytest.mark.parametrize(
    "when",
    [100.0, Float(100.0), Index(100), 0],
    ids=["float", "__float__", "__index__", "zero"],
)
def test_call_at_converts_when_and_a_past_time_runs_now(loop, when):
    before = loop.time()
    handle = loop.call_at(when, noop)
    drain(loop)
    assert before <= handle.when() <= loop.time()


def test_call_later_and_call_at_take_keywords(loop):
    ran = []
    loop.call_later(delay=0, callback=lambda: ran.append("later"), context=None)
    loop.call_at(when=0, callback=lambda: ran.append("at"))
    with pytest.raises(TypeError, match="unexpected keyword argument 'delay'"):
        loop.call_at(delay=0, callback=noop)
    drain(loop)
    assert ran == ["later", "at"]


@pytest.mark.parametrize("method", ["call_later", "call_at"])
def test_a_value_error_from_float_passes_unchanged(loop, method):
    class Bad:
        def __float__(self):
            raise ValueError("no float here")

    with pytest.raises(ValueError, match="^no float here$"):
        getattr(loop, method)(Bad(), noop)


@pytest.mark.parametrize("method, first", [("call_later", "delay"), ("call_at", "when")])
def test_a_type_error_from_float_is_named_and_keeps_its_cause(loop, method, first):
    cause = KeyError("the cause")

    class Bad:
        def __float__(self):
            raise TypeError("no float here") from cause

    with pytest.raises(TypeError) as raised:
        getattr(loop, method)(Bad(), noop)
    assert str(raised.value) == f"argument '{first}': no float here"
    assert raised.value.__cause__ is cause


@pytest.mark.parametrize("method, first", [("call_later", "delay"), ("call_at", "when")])
def test_a_float_returning_a_non_float_is_a_named_type_error(loop, method, first):
    with pytest.raises(TypeError) as raised:
        getattr(loop, method)(Float("1.0"), noop)
    assert str(raised.value).startswith(f"argument '{first}': ")


# ---- create_task and run_until_complete


async def answer():
    return 42


def test_create_task_name_is_keyword_only(loop):
    coro = answer()
    try:
        with pytest.raises(TypeError) as raised:
            loop.create_task(coro, "n")
        assert "VelkorLoop.create_task()" in str(raised.value)
        with pytest.raises(TypeError, match=r"VelkorLoop\.create_task\(\)"):
            loop.create_task(coro, None, None)
        with pytest.raises(TypeError, match=r"VelkorLoop\.create_task\(\).*'coro'"):
            loop.create_task(name="n")
        with pytest.raises(TypeError, match=r"VelkorLoop\.create_task\(\).*'loop'"):
            loop.create_task(coro, loop=loop)
    finally:
        coro.close()


@pytest.mark.parametrize(
    "kwargs, name",
    [({}, None), ({"name": None}, None), ({"name": "named"}, "named"), ({"context": None}, None)],
)
def test_create_task_accepted_shapes(loop, kwargs, name):
    task = loop.create_task(answer(), **kwargs)
    assert isinstance(task, asyncio.Task)
    if name is None:
        assert task.get_name().startswith("Task-")
    else:
        assert task.get_name() == name
    assert loop.run_until_complete(task) == 42


def test_create_task_coro_by_keyword_and_a_given_context(loop):
    context = contextvars.Context()
    context.run(VAR.set, "task context")

    async def read_var():
        return VAR.get()

    task = loop.create_task(coro=read_var(), context=context)
    assert task.get_context() is context
    assert loop.run_until_complete(task) == "task context"


def test_run_until_complete_needs_a_future(loop):
    with pytest.raises(TypeError, match=r"VelkorLoop\.run_until_complete\(\).*'future'"):
        loop.run_until_complete()
    coro = answer()
    try:
        with pytest.raises(TypeError, match=r"VelkorLoop\.run_until_complete\(\)"):
            loop.run_until_complete(coro, coro)
        with pytest.raises(TypeError, match=r"VelkorLoop\.run_until_complete\(\)"):
            loop.run_until_complete(coro=coro)
    finally:
        coro.close()
    assert loop.run_until_complete(future=answer()) == 42


# ---- methods without parameters, and _stop_cb


@pytest.mark.parametrize(
    "method", ["get_debug", "run_forever", "stop", "is_running", "is_closed", "close", "time"]
)
@pytest.mark.parametrize(
    "args, kwargs", [((1,), {}), ((None,), {}), ((), {"x": 1})], ids=["one", "none", "keyword"]
)
def test_methods_without_parameters_refuse_arguments(loop, method, args, kwargs):
    with pytest.raises(TypeError) as raised:
        getattr(loop, method)(*args, **kwargs)
    assert f"VelkorLoop.{method}()" in str(raised.value)


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), ((None, None), {}), ((), {"handle": None})], ids=["none", "two", "keyword"]
)
def test_timer_handle_cancelled_takes_exactly_one_positional_argument(loop, args, kwargs):
    with pytest.raises(TypeError) as raised:
        loop._timer_handle_cancelled(*args, **kwargs)
    assert "VelkorLoop._timer_handle_cancelled()" in str(raised.value)


def test_a_refused_run_forever_or_stop_leaves_the_loop_usable(loop):
    ran = []
    with pytest.raises(TypeError):
        loop.stop(1)
    loop.call_soon(ran.append, "first")
    with pytest.raises(TypeError):
        loop.run_forever(1)
    loop.stop()
    loop.run_forever()
    assert ran == ["first"]


def test_stop_cb_needs_its_argument(loop):
    with pytest.raises(TypeError, match=r"VelkorLoop\._stop_cb\(\).*'_fut'"):
        loop._stop_cb()
    with pytest.raises(TypeError, match=r"VelkorLoop\._stop_cb\(\)"):
        loop._stop_cb(None, None)
    with pytest.raises(TypeError, match=r"VelkorLoop\._stop_cb\(\)"):
        loop._stop_cb(fut=None)


@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    "args, kwargs", [((None,), {}), ((), {"_fut": None}), (("any future",), {})]
)
def test_stop_cb_queues_a_stop(loop, args, kwargs):
    ran = []
    loop.call_soon(ran.append, "before")
    assert loop._stop_cb(*args, **kwargs) is None
    loop.call_soon(ran.append, "after")
    loop.run_forever()
    assert ran == ["before"]
    drain(loop)
    assert ran == ["before", "after"]


# ---- add_reader, add_writer, remove_reader, remove_writer

WATCHES = ["add_reader", "add_writer"]
REMOVES = ["remove_reader", "remove_writer"]


@pytest.mark.parametrize("method", WATCHES)
@pytest.mark.parametrize(
    "extra, kwargs, problem",
    [
        ((), {}, "missing required argument 'args'"),
        (((), "y"), {}, "takes 3 positional arguments but 4 were given"),
        (((),), {"args": ()}, "multiple values for argument 'args'"),
        (((),), {"x": 1}, "unexpected keyword argument 'x'"),
        ((), {"arguments": ()}, "unexpected keyword argument 'arguments'"),
    ],
)
def test_watch_parse_errors(loop, pipe, method, extra, kwargs, problem):
    with pytest.raises(TypeError) as raised:
        getattr(loop, method)(pipe[0], noop, *extra, **kwargs)
    assert f"VelkorLoop.{method}()" in str(raised.value)
    assert problem in str(raised.value)


@pytest.mark.parametrize("method", WATCHES + REMOVES)
def test_watch_methods_need_a_descriptor(loop, method):
    with pytest.raises(TypeError, match=rf"VelkorLoop\.{method}\(\).*'fd'"):
        getattr(loop, method)()


@pytest.mark.parametrize("method", REMOVES)
def test_remove_parse_errors(loop, pipe, method):
    with pytest.raises(TypeError, match=rf"VelkorLoop\.{method}\(\)"):
        getattr(loop, method)(pipe[0], pipe[1])
    with pytest.raises(TypeError, match=rf"VelkorLoop\.{method}\(\)"):
        getattr(loop, method)(pipe[0], fd=pipe[0])


@pytest.mark.parametrize("method", WATCHES)
@pytest.mark.parametrize("args", [[1], None, "ab", {1: 2}, iter(())])
def test_watch_args_must_be_a_tuple(loop, pipe, method, args):
    with pytest.raises(TypeError) as raised:
        getattr(loop, method)(pipe[0], noop, args)
    assert str(raised.value).startswith("argument 'args': ")


@pytest.mark.timeout(30)
def test_a_tuple_subclass_is_accepted_as_args(loop, pipe):
    class Pair(tuple):
        pass

    assert call_reader_once(loop, pipe[0], *pipe, Pair((1, "two"))) == [(1, "two")]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("wrap", [int, Index], ids=["int", "__index__"])
def test_descriptor_conversions_that_are_accepted(loop, pipe, wrap):
    assert call_reader_once(loop, wrap(pipe[0]), *pipe, ()) == [()]


@pytest.mark.parametrize("method", WATCHES + REMOVES)
@pytest.mark.parametrize("fd", [2**31, -(2**31) - 1, 2**40, -(2**62)])
def test_descriptors_outside_32_bits_overflow(loop, method, fd):
    args = (noop, ()) if method in WATCHES else ()
    with pytest.raises(OverflowError) as raised:
        getattr(loop, method)(fd, *args)
    assert str(raised.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("method", WATCHES + REMOVES)
@pytest.mark.parametrize("fd", [2**70, -(2**70)])
def test_descriptors_beyond_a_c_long_overflow_with_the_interpreters_message(loop, method, fd):
    with pytest.raises(OverflowError) as expected:
        array.array("l", [fd])
    args = (noop, ()) if method in WATCHES else ()
    with pytest.raises(OverflowError) as raised:
        getattr(loop, method)(fd, *args)
    assert str(raised.value) == str(expected.value)


@pytest.mark.parametrize("method", WATCHES + REMOVES)
@pytest.mark.parametrize(
    "fd", ["3", 3.5, 3.0, None, FilenoOnly(3), b"3"], ids=["str", "float", "whole-float", "none", "fileno", "bytes"]
)
def test_descriptors_that_are_refused(loop, method, fd):
    args = {"cb": noop, "args": ()} if method in WATCHES else {}
    with pytest.raises(TypeError) as raised:
        getattr(loop, method)(fd=fd, **args)
    assert str(raised.value).startswith("argument 'fd': ")


def test_descriptor_conversion_comes_before_the_args_check(loop):
    with pytest.raises(TypeError, match="^argument 'fd': "):
        loop.add_reader("3", noop, [1])


def test_a_type_error_from_index_is_named_and_keeps_its_cause(loop):
    cause = KeyError("the cause")

    class Bad:
        def __index__(self):
            raise TypeError("no index here") from cause

    with pytest.raises(TypeError) as raised:
        loop.remove_reader(Bad())
    assert str(raised.value) == "argument 'fd': no index here"
    assert raised.value.__cause__ is cause


def test_a_value_error_from_index_passes_unchanged(loop):
    class Bad:
        def __index__(self):
            raise ValueError("no index here")

    with pytest.raises(ValueError, match="^no index here$"):
        loop.remove_writer(Bad())


@pytest.mark.parametrize("method", REMOVES)
@pytest.mark.parametrize("fd", [True, False, Index(5), 0, -1, 2**31 - 1, -(2**31)])
def test_removing_what_was_never_added_returns_none(loop, method, fd):
    assert getattr(loop, method)(fd) is None
    assert getattr(loop, method)(fd=fd) is None


# ---- every fast-call method against its own signature

FAST_METHODS = [
    "set_debug",
    "create_task",
    "run_until_complete",
    "_stop_cb",
    "call_soon",
    "call_soon_threadsafe",
    "call_later",
    "call_at",
    "add_reader",
    "remove_reader",
    "add_writer",
    "remove_writer",
]

BOGUS_KEYWORDS = ["x", "args", "loop"]

# The arguments each method converts, in the order it converts them.
CONVERTED = {
    "set_debug": ["value"],
    "call_later": ["delay"],
    "call_at": ["when"],
    "add_reader": ["fd", "args"],
    "add_writer": ["fd", "args"],
    "remove_reader": ["fd"],
    "remove_writer": ["fd"],
}

# Methods whose argument here is 42, which asyncio.Task refuses after parsing.
REFUSED_BY_TASK = {"create_task", "run_until_complete"}

SHARED_CONTEXT = contextvars.Context()


@pytest.fixture(scope="module")
def shape_loop():
    loop = VelkorLoop()
    read_end, write_end = os.pipe()  # the read end never becomes readable
    yield loop, read_end
    drain(loop)
    os.close(read_end)
    os.close(write_end)


def value_pools(read_end):
    """Candidate values per parameter name, with the test that tells valid ones."""
    return {
        "value": ([False, True, 1, None, "yes"], lambda v: type(v) is bool),
        "coro": ([42], None),
        "future": ([42], None),
        "_fut": ([None], None),
        "callback": ([noop], None),
        "cb": ([noop], None),
        "context": ([None, SHARED_CONTEXT], None),
        "name": ([None, "n"], None),
        "delay": ([-1.0, 0.0, "1"], lambda v: type(v) is float),
        "when": ([0.0, "x"], lambda v: type(v) is float),
        "fd": ([read_end, "3", 3.5], lambda v: type(v) is int),
        "args": ([(), [1]], lambda v: type(v) is tuple),
    }


EXTRA_VALUES = [1, "extra", None]


@st.composite
def call_shapes(draw, signature, pools):
    params = list(signature.parameters.values())
    positional = [p.name for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    keywords = [p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
    bogus = [name for name in BOGUS_KEYWORDS if name not in keywords]

    args = []
    for position in range(draw(st.integers(0, 4))):
        if position < len(positional):
            args.append(draw(st.sampled_from(pools[positional[position]][0])))
        else:
            args.append(draw(st.sampled_from(EXTRA_VALUES)))
    # Real names mostly; a bogus one in about a quarter of the calls.
    names = draw(st.lists(st.sampled_from(keywords), unique=True))
    if bogus and draw(st.integers(0, 3)) == 0:
        names += draw(st.lists(st.sampled_from(bogus), min_size=1, unique=True))
    names = draw(st.permutations(names))
    kwargs = {}
    for name in names:
        pool = pools[name][0] if name in keywords else EXTRA_VALUES
        kwargs[name] = draw(st.sampled_from(pool))
    return args, kwargs


@pytest.mark.parametrize("method_name", FAST_METHODS)
@settings(
    max_examples=200,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
@given(data=st.data())
def test_parsing_agrees_with_the_signature(shape_loop, method_name, data):
    loop, read_end = shape_loop
    pools = value_pools(read_end)
    method = getattr(loop, method_name)
    signature = inspect.signature(method)
    args, kwargs = data.draw(call_shapes(signature, pools), label="call")

    try:
        bound = signature.bind(*args, **kwargs)
    except TypeError:
        bound = None

    event("binds" if bound is not None else "does not bind")

    error = None
    try:
        method(*args, **kwargs)
    except Exception as raised:
        error = raised

    try:
        if bound is None:
            assert isinstance(error, TypeError), error
            assert f"VelkorLoop.{method_name}()" in str(error)
            return
        invalid = [
            name
            for name in CONVERTED.get(method_name, [])
            if not pools[name][1](bound.arguments[name])
        ]
        if invalid:
            assert isinstance(error, TypeError), error
            assert str(error).startswith(f"argument '{invalid[0]}': ")
        elif method_name in REFUSED_BY_TASK:
            assert isinstance(error, TypeError), error
            assert "a coroutine was expected" in str(error)
        else:
            assert error is None
        assert "VelkorLoop." not in str(error or "")
    finally:
        if error is None and bound is not None:
            if method_name == "add_reader":
                loop.remove_reader(read_end)
            elif method_name == "add_writer":
                loop.remove_writer(read_end)
            elif method_name == "_stop_cb":
                loop.run_forever()  # ends at the Stop it queued
            elif method_name == "set_debug":
                loop.set_debug(False)
        if method_name.startswith("call_"):
            drain(loop)
