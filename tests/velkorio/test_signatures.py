"""help() and inspect.signature() on the native types, and the calling
convention their signatures describe."""

import asyncio
import inspect
import types

import pytest

import velkorio
from velkorio import _core
from velkorio_support import run_iterations

NATIVE_TYPES = [_core.LoopCore, _core.Handle, _core.TimerHandle, _core.Selector,
                _core.SocketTransportCore]
METHODS = [(cls, name) for cls in NATIVE_TYPES for name, attr in vars(cls).items()
           if isinstance(attr, types.MethodDescriptorType)]
MIRRORED = ["call_soon", "call_later", "call_at", "call_soon_threadsafe", "time", "create_task",
            "run_forever"]


@pytest.mark.parametrize("cls, name", METHODS, ids=lambda v: getattr(v, "__name__", v))
def test_native_methods_have_signature_and_docstring(cls, name):
    assert cls.__doc__
    assert list(inspect.signature(getattr(cls, name)).parameters)[0] == "self"
    assert getattr(cls, name).__doc__.strip()


@pytest.mark.parametrize("name", MIRRORED)
def test_signature_matches_asyncio(name):
    # The native self is positional-only; what a caller passes is the same.
    ours = list(inspect.signature(getattr(velkorio.Loop, name)).parameters.values())[1:]
    theirs = list(inspect.signature(getattr(asyncio.BaseEventLoop, name)).parameters.values())[1:]
    assert [(p.name, p.kind, p.default) for p in ours] == [
        (p.name, p.kind, p.default) for p in theirs]


def test_named_parameters_by_keyword(any_loop):
    ran = []
    any_loop.call_soon(callback=lambda: ran.append("soon"))
    any_loop.call_soon_threadsafe(callback=lambda: ran.append("threadsafe"), context=None)
    any_loop.call_later(delay=0, callback=lambda: ran.append("later"))
    any_loop.call_at(callback=lambda: ran.append("at"), when=0)
    with pytest.raises(TypeError, match="multiple values for argument 'when'"):
        any_loop.call_at(0, print, when=0)
    with pytest.raises(TypeError, match="multiple values for argument 'callback'"):
        any_loop.call_later(0, print, callback=print)
    run_iterations(any_loop)
    assert sorted(ran) == ["at", "later", "soon", "threadsafe"]
