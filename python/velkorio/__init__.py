"""velkorio: a complete asyncio event loop whose hot path is native.

Switch a program with one line::

    velkorio.run(main())                      # as asyncio.run(main())
    asyncio.run(main(), loop_factory=velkorio.new_event_loop)

`Loop` is asyncio's loop for Unix with its core replaced: the ready queue,
the timer queue, the handles that call_soon and call_later return, the
loop's iteration and create_task are native (see LoopCore), and so are the
socket transport's receiving and sending (see SocketTransportCore).
Everything else about transports, and servers, SSL, subprocesses, signals
and executors, is asyncio's own.
"""

from __future__ import annotations

import asyncio
import asyncio.selector_events
import asyncio.unix_events

from velkorio._core import Handle, LoopCore, Selector, SocketTransportCore, TimerHandle

__all__ = ("Handle", "Loop", "TimerHandle", "new_event_loop", "run")


class _SelectorSocketTransport(SocketTransportCore, asyncio.selector_events._SelectorSocketTransport):
    """asyncio's TCP and Unix socket transport, receiving and sending natively."""


class Loop(LoopCore, asyncio.unix_events.SelectorEventLoop):
    """An asyncio event loop (`asyncio.AbstractEventLoop`) with a native core."""

    def __init__(self, selector=None) -> None:
        super().__init__(Selector() if selector is None else selector)

    def _make_socket_transport(self, sock, protocol, waiter=None, *, extra=None, server=None):
        self._ensure_fd_no_transport(sock)
        return _SelectorSocketTransport(self, sock, protocol, waiter, extra, server)

    def close(self) -> None:
        if self.is_running():
            raise RuntimeError("Cannot close a running event loop")
        if self.is_closed():
            return
        try:
            super().close()
        finally:
            self._clear_queues()


def new_event_loop() -> Loop:
    """A new velkorio loop: the loop factory for asyncio.run and asyncio.Runner."""
    return Loop()


def run(main, *, debug=None):
    """Runs the coroutine `main` on a new velkorio loop, as asyncio.run does."""
    return asyncio.run(main, debug=debug, loop_factory=new_event_loop)
