"""The loops under measurement, and the few ways they differ in use."""

from __future__ import annotations

import asyncio
import inspect
import os
import sys
from dataclasses import dataclass, field
from typing import Any, Callable


@dataclass(frozen=True)
class LoopKind:
    name: str
    new: Callable[[], Any]
    # Ends a loop's life. Our caller drops its last reference afterwards.
    dispose: Callable[[Any], None]
    # velkor's add_reader takes the callback's arguments as one tuple
    # (add_reader(fd, cb, args)); asyncio's, uvloop's and velkorio's take
    # them spread.
    reader_args_as_tuple: bool = False
    # A variant of another loop (that loop's name): it runs only in the
    # workloads that name it in their `only`, and its server processes run
    # that loop with `server_env` added to their environment.
    variant_of: str | None = None
    server_env: dict[str, str] = field(default_factory=dict)
    # Not a loop: a C server that stands in for one in the server rows that
    # name it in their `only`, the floor of their figures. It runs nowhere else.
    floor: bool = False

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


def _no_loop() -> Any:
    raise TypeError(f"{' and '.join(FLOORS)} are C servers, not loops")


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


# The builds of our modules this process loaded, as they were on disk when
# imported: velkor's extension, and velkorio's native core (its Python part
# is read once at import and cannot change under us).
loaded_builds: dict[str, dict[str, Any] | None] = {}
_BUILD_MODULES = {"velkor": "velkor", "velkorio": "velkorio._core"}


def current_builds() -> dict[str, dict[str, Any] | None]:
    """The files of the modules in loaded_builds as they are on disk now."""
    return {subject: module_identity(sys.modules[_BUILD_MODULES[subject]])
            for subject in loaded_builds}


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
        loaded_builds.setdefault("velkor", module_identity(velkor))
        kinds.append(LoopKind("velkor", velkor.VelkorLoop, _forget, reader_args_as_tuple=True))
    try:
        import velkorio
        import velkorio._core
    except ImportError as error:
        missing["velkorio"] = (f"cannot import velkorio: {error} "
                               "(is the build directory on PYTHONPATH?)")
    else:
        loaded_builds.setdefault("velkorio", module_identity(velkorio._core))
        kinds.append(LoopKind("velkorio", velkorio.new_event_loop, _close))
        if "busy_poll" in inspect.signature(velkorio.new_event_loop).parameters:
            kinds.append(LoopKind(
                BUSY_POLL_VARIANT,
                lambda: velkorio.new_event_loop(busy_poll=BUSY_POLL_US), _close,
                variant_of="velkorio",
                server_env={"VELKORIO_BUSY_POLL": str(BUSY_POLL_US)}))
        else:
            missing[BUSY_POLL_VARIANT] = "this build of velkorio has no busy_poll setting"
    kinds += [LoopKind(name, _no_loop, _forget, floor=True) for name in FLOORS]
    return kinds, missing


BASELINES = ("asyncio", "uvloop")
# The loops whose figures the ratios put over each baseline's.
SUBJECTS = ("velkor", "velkorio")
# velkorio with busy polling on: how long (us) its loop keeps looking for
# I/O before it sleeps. The server rows at light load run it beside velkorio
# with busy polling off.
BUSY_POLL_US = 50
BUSY_POLL_VARIANT = "velkorio-poll"
# Variants of a subject, whose ratios the rows that run them show too.
VARIANT_SUBJECTS = (BUSY_POLL_VARIANT,)
# The C echo server on epoll (bench/servers/echo_server.c) that the
# echo-protocol rows run beside the loops: what serving costs without them.
FLOOR = "c-epoll"
FLOOR_ABOUT = "a C echo server on epoll, one thread, no event loop library"
# Its TLS counterpart on OpenSSL (bench/servers/tls_echo_server.c), beside
# the loops in the tls-echo-protocol rows.
TLS_FLOOR = "c-epoll-tls"
TLS_FLOOR_ABOUT = "a C TLS echo server on OpenSSL and epoll, one thread, no event loop library"
# Each floor: its table's title, what it is, and its source.
FLOORS = {FLOOR: ("a C epoll echo server", FLOOR_ABOUT, "bench/servers/echo_server.c"),
          TLS_FLOOR: ("a C epoll TLS echo server", TLS_FLOOR_ABOUT,
                      "bench/servers/tls_echo_server.c")}
