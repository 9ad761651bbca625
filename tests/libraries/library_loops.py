"""Which event loops the library tests run on (VELKOR_LIBRARY_LOOPS).

Shared by this directory's conftest.py, which makes the fixtures, and by the
test modules, which call reason_to_skip() before importing their library, so
that a run with nothing to test imports nothing heavy.
"""

from __future__ import annotations

import importlib
import os
from dataclasses import dataclass

import pytest

ENV = "VELKOR_LIBRARY_LOOPS"
DEFAULT = "velkorio"


@dataclass(frozen=True)
class LoopKind:
    """One event loop implementation: how to make one and how to recognise it."""

    name: str
    factory_spec: str  # "module:function", a loop factory; also what uvicorn's --loop takes
    class_spec: str  # "module:Class", the class every loop it makes is an instance of

    def _resolve(self, target: str):
        module, _, attr = target.partition(":")
        return getattr(importlib.import_module(module), attr)

    @property
    def factory(self):
        return self._resolve(self.factory_spec)

    @property
    def loop_class(self) -> type:
        return self._resolve(self.class_spec)

    def import_error(self) -> str | None:
        """Why this loop cannot be made here, or None when it can."""
        try:
            self.factory
            self.loop_class
        except (ImportError, AttributeError) as exc:
            return f"{type(exc).__name__}: {exc}"
        return None


KINDS = {
    kind.name: kind
    for kind in (
        LoopKind("asyncio", "asyncio:new_event_loop", "asyncio:EventLoop"),
        LoopKind("uvloop", "uvloop:new_event_loop", "uvloop:Loop"),
        LoopKind("velkorio", "velkorio:new_event_loop", "velkorio:Loop"),
    )
}


def chosen() -> tuple[list[LoopKind], bool]:
    """The loops to run on, and whether VELKOR_LIBRARY_LOOPS chose them."""
    raw = os.environ.get(ENV, "").strip()
    names = [name.strip() for name in (raw or DEFAULT).split(",") if name.strip()]
    unknown = [name for name in names if name not in KINDS]
    if unknown:
        raise pytest.UsageError(
            f"{ENV}={raw!r} names unknown loops {unknown}; known: {', '.join(KINDS)}"
        )
    return [KINDS[name] for name in dict.fromkeys(names)], bool(raw)


def reason_to_skip() -> str | None:
    """Why a test module has no loop to run on, or None when it has one.

    Only the default run (velkorio alone) while velkorio cannot be imported
    has none. A loop named in VELKOR_LIBRARY_LOOPS that cannot be imported
    is not a reason to skip: its tests fail, saying why. A module calls this
    before importing its library:

        if reason := library_loops.reason_to_skip():
            pytest.skip(reason, allow_module_level=True)
    """
    kinds, explicit = chosen()
    if explicit:
        return None
    problems = [f"{kind.name} ({kind.import_error()})" for kind in kinds if kind.import_error()]
    if not problems:
        return None
    return (
        f"the library tests run on velkorio by default, which cannot be imported: "
        f"{'; '.join(problems)}. Set {ENV}=asyncio,uvloop to run them on other loops."
    )
