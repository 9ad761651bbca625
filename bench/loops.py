"""The loops under measurement, and the few ways they differ in use."""

from __future__ import annotations

import asyncio
import os
from dataclasses import dataclass
from typing import Any, Callable


@dataclass(frozen=True)
class LoopKind:
    name: str
    new: Callable[[], Any]
    # Ends a loop's life. Our caller drops its last reference afterwards.
    dispose: Callable[[Any], None]
    # velkor's add_reader takes the callback's arguments as one tuple
    # (add_reader(fd, cb, args)); asyncio's and uvloop's take them spread.
    reader_args_as_tuple: bool = False

    def add_reader(self, loop: Any, fd: int, callback: Callable[..., object]) -> None:
        if self.reader_args_as_tuple:
            loop.add_reader(fd, callback, ())
        else:
            loop.add_reader(fd, callback)


def _close(loop: Any) -> None:
    loop.close()


def _forget(loop: Any) -> None:
    # A velkor loop has nothing to close: its resources go with the object.
    pass


def module_identity(module: Any) -> dict[str, Any] | None:
    """Which build of a module this is: its file, size and modification time."""
    path = getattr(module, "__file__", None)
    if path is None:
        return None
    try:
        stat = os.stat(path)
    except OSError:
        return {"file": path}
    return {"file": path, "size": stat.st_size, "mtime_ns": stat.st_mtime_ns}


# The build of velkor this process loaded, as it was on disk when imported.
loaded_velkor: dict[str, Any] | None = None


def available() -> tuple[list[LoopKind], dict[str, str]]:
    """The loops we can run here, and why any of the others cannot run."""
    kinds = [LoopKind("asyncio", asyncio.new_event_loop, _close)]
    missing: dict[str, str] = {}
    try:
        import uvloop
    except ImportError as error:
        missing["uvloop"] = f"cannot import uvloop: {error}"
    else:
        kinds.append(LoopKind("uvloop", uvloop.new_event_loop, _close))
    try:
        import velkor
    except ImportError as error:
        missing["velkor"] = f"cannot import velkor: {error} (is the build directory on PYTHONPATH?)"
    else:
        global loaded_velkor
        if loaded_velkor is None:
            loaded_velkor = module_identity(velkor)
        kinds.append(LoopKind("velkor", velkor.VelkorLoop, _forget, reader_args_as_tuple=True))
    return kinds, missing


BASELINES = ("asyncio", "uvloop")
SUBJECT = "velkor"
