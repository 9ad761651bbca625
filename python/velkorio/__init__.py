"""velkorio: a complete asyncio event loop whose hot path is native.

Switch a program with one line::

    velkorio.run(main())                      # as asyncio.run(main())
    asyncio.run(main(), loop_factory=velkorio.new_event_loop)

`Loop` is asyncio's loop for Unix with its core replaced: the ready queue,
the timer queue, the handles that call_soon and call_later return, the
loop's iteration and create_task are native (see LoopCore), and so are the
receiving and sending of the socket and datagram transports (see
SocketTransportCore, DatagramTransportCore) and the sock_* coroutines' work.
Everything else about transports, and servers, SSL, subprocesses, signals
and executors, is asyncio's own.
"""

from __future__ import annotations

import asyncio
import asyncio.base_events
import asyncio.selector_events
import asyncio.sslproto
import asyncio.unix_events
import functools
import os
import socket
import ssl

from velkorio import _core
from velkorio._core import (DatagramTransportCore, Handle, LoopCore, Selector,
                            SocketTransportCore, TimerHandle, TLSProtocolCore, TLSTransportCore)

__all__ = ("Handle", "Loop", "TimerHandle", "new_event_loop", "run")


class _SelectorSocketTransport(SocketTransportCore, asyncio.selector_events._SelectorSocketTransport):
    """asyncio's TCP and Unix socket transport, receiving and sending natively.

    write() holds its data until the loop's pass over its ready queue ends,
    so that the writes of one pass leave in one sendmsg. Every method that
    could tell (below) sends what is held first."""


def _sends_held_writes_first(method):
    @functools.wraps(method)
    def sending_first(self, *args, **kwargs):
        self._send_held()
        return method(self, *args, **kwargs)

    return sending_first


# _force_close: what a failing protocol (data_received raising) ends in,
# after its writes have gone out on asyncio's loop.
for _name in ("writelines", "write_eof", "close", "abort", "get_write_buffer_size",
              "set_write_buffer_limits", "_make_empty_waiter", "_force_close"):
    setattr(_SelectorSocketTransport, _name,
            _sends_held_writes_first(getattr(asyncio.selector_events._SelectorSocketTransport, _name)))
del _name


def _has_standard_io(sock, names=("recv", "recv_into", "send")):
    """Whether `sock` has socket.socket's own methods `names`: the native
    transport calls recv(2) and send(2) itself, and the datagram transport
    recvfrom(2) and sendto(2), or recvfrom_into for recvfrom, which would
    pass over a subclass's own."""
    cls = type(sock)
    own = getattr(sock, "__dict__", {})
    return all(
        getattr(cls, name, None) is getattr(socket.socket, name) and name not in own
        for name in names
    )


class _SelectorDatagramTransport(DatagramTransportCore, asyncio.selector_events._SelectorDatagramTransport):
    """asyncio's datagram transport, receiving and sending natively.

    It receives into a buffer the thread keeps, where asyncio's
    recvfrom(max_size) allocates max_size (256 KiB) for every datagram, which
    glibc maps and unmaps each time: two page faults and most of the time a
    small datagram costs. On an IP socket it calls recvfrom(2) and sendto(2)
    itself, making and reading the addresses as the socket module does
    where that takes no name lookup."""


class _SSLProtocolTransport(TLSTransportCore, asyncio.sslproto._SSLProtocolTransport):
    """asyncio's TLS transport, whose write() goes to the native protocol."""


class _SSLProtocol(TLSProtocolCore, asyncio.sslproto.SSLProtocol):
    """asyncio's SSL protocol with a native data phase (see TLSProtocolCore):
    the handshake, the shutdown, the timeouts and the flow control are
    asyncio's."""

    def _get_app_transport(self):
        if self._app_transport is None:
            if self._app_transport_created:
                raise RuntimeError('Creating _SSLProtocolTransport twice')
            self._app_transport = _SSLProtocolTransport(self._loop, self)
            self._app_transport_created = True
        return self._app_transport


_Base = asyncio.selector_events.BaseSelectorEventLoop

# glibc's malloc grows and trims its heap around every large message until
# it has seen a mapped block freed; velkorio shows it one of 1 MiB, once,
# which raises its trim threshold to 2 MiB (see malloc_thresholds.h).
if os.environ.get("VELKORIO_MALLOC_THRESHOLDS", "").strip() != "0":
    _core._raise_malloc_thresholds()


# How long, at most, a loop looks for I/O before it sleeps (microseconds),
# when neither the loop's argument nor the environment says otherwise.
DEFAULT_BUSY_POLL = 0


def _busy_poll_setting(busy_poll):
    if busy_poll is not None:
        return busy_poll
    text = os.environ.get("VELKORIO_BUSY_POLL", "").strip()
    if not text:
        return DEFAULT_BUSY_POLL
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"VELKORIO_BUSY_POLL must be a whole number of microseconds, not {text!r}") from None


class Loop(LoopCore, asyncio.unix_events.SelectorEventLoop):
    """An asyncio event loop (`asyncio.AbstractEventLoop`) with a native core.

    `busy_poll` is the longest time, in microseconds, that the loop keeps
    looking for I/O before it goes to sleep, while looking has recently
    found some (0 turns it off); None takes the environment variable
    VELKORIO_BUSY_POLL, or the default. It applies to velkorio's own
    selector only.
    """

    def __init__(self, selector=None, *, busy_poll=None) -> None:
        try:
            if selector is None:
                selector = Selector()
                selector.busy_poll = _busy_poll_setting(busy_poll)
            elif busy_poll is not None:
                if not isinstance(selector, Selector):
                    raise TypeError("busy_poll needs velkorio's own selector")
                selector.busy_poll = busy_poll
        except BaseException:
            self._closed = True  # nothing to close, nothing for __del__ to report
            raise
        super().__init__(selector)

    def _make_socket_transport(self, sock, protocol, waiter=None, *, extra=None, server=None):
        self._ensure_fd_no_transport(sock)
        transport = (
            _SelectorSocketTransport
            if _has_standard_io(sock)
            else asyncio.selector_events._SelectorSocketTransport
        )
        return transport(self, sock, protocol, waiter, extra, server)

    def _make_ssl_transport(self, rawsock, protocol, sslcontext, waiter=None, *,
                            server_side=False, server_hostname=None, extra=None, server=None,
                            ssl_handshake_timeout=asyncio.constants.SSL_HANDSHAKE_TIMEOUT,
                            ssl_shutdown_timeout=asyncio.constants.SSL_SHUTDOWN_TIMEOUT):
        self._ensure_fd_no_transport(rawsock)
        ssl_protocol = _SSLProtocol(
            self, protocol, sslcontext, waiter, server_side, server_hostname,
            ssl_handshake_timeout=ssl_handshake_timeout,
            ssl_shutdown_timeout=ssl_shutdown_timeout)
        self._make_socket_transport(rawsock, ssl_protocol, extra=extra, server=server)
        return ssl_protocol._app_transport

    async def start_tls(self, transport, protocol, sslcontext, *, server_side=False,
                        server_hostname=None, ssl_handshake_timeout=None,
                        ssl_shutdown_timeout=None):
        # asyncio's, step by step, with velkorio's SSL protocol.
        if not isinstance(sslcontext, ssl.SSLContext):
            raise TypeError(
                f'sslcontext is expected to be an instance of ssl.SSLContext, '
                f'got {sslcontext!r}')
        if not getattr(transport, '_start_tls_compatible', False):
            raise TypeError(f'transport {transport!r} is not supported by start_tls()')

        waiter = self.create_future()
        ssl_protocol = _SSLProtocol(
            self, protocol, sslcontext, waiter, server_side, server_hostname,
            ssl_handshake_timeout=ssl_handshake_timeout,
            ssl_shutdown_timeout=ssl_shutdown_timeout,
            call_connection_made=False)

        # Paused so that the SSL protocol gets no data before connection_made.
        transport.pause_reading()

        # What a server's stream reader has buffered is the client's first
        # TLS bytes: they go to the SSL protocol.
        if server_side and isinstance(protocol, asyncio.StreamReaderProtocol):
            stream_reader = getattr(protocol, '_stream_reader', None)
            if stream_reader is not None:
                buffer = stream_reader._buffer
                if buffer:
                    ssl_protocol._incoming.write(buffer)
                    buffer.clear()

        transport.set_protocol(ssl_protocol)
        conmade_cb = self.call_soon(ssl_protocol.connection_made, transport)
        resume_cb = self.call_soon(transport.resume_reading)
        try:
            await waiter
        except BaseException:
            transport.close()
            conmade_cb.cancel()
            resume_cb.cancel()
            waiter = None
            raise
        return ssl_protocol._app_transport

    start_tls.__doc__ = asyncio.base_events.BaseEventLoop.start_tls.__doc__

    def _make_datagram_transport(self, sock, protocol, address=None, waiter=None, extra=None):
        self._ensure_fd_no_transport(sock)
        transport = (
            _SelectorDatagramTransport
            if _has_standard_io(sock, ("recvfrom", "recvfrom_into", "send", "sendto"))
            else asyncio.selector_events._SelectorDatagramTransport
        )
        return transport(self, sock, protocol, address, waiter, extra)

    # The sock_* coroutines: each `_start_sock_<op>` makes the first attempt
    # natively and gives (None, result), (future, None) to await, or
    # NotImplemented where asyncio's own method serves (see LoopCore).
    async def sock_recv(self, sock, n):
        started = self._start_sock_recv(sock, n)
        if started is NotImplemented:
            return await _Base.sock_recv(self, sock, n)
        return started[1] if started[0] is None else await started[0]

    async def sock_recv_into(self, sock, buf):
        started = self._start_sock_recv_into(sock, buf)
        if started is NotImplemented:
            return await _Base.sock_recv_into(self, sock, buf)
        return started[1] if started[0] is None else await started[0]

    async def sock_recvfrom(self, sock, bufsize):
        started = self._start_sock_recvfrom(sock, bufsize)
        if started is NotImplemented:
            return await _Base.sock_recvfrom(self, sock, bufsize)
        return started[1] if started[0] is None else await started[0]

    async def sock_recvfrom_into(self, sock, buf, nbytes=0):
        started = self._start_sock_recvfrom_into(sock, buf, nbytes)
        if started is NotImplemented:
            return await _Base.sock_recvfrom_into(self, sock, buf, nbytes)
        return started[1] if started[0] is None else await started[0]

    async def sock_sendall(self, sock, data):
        started = self._start_sock_sendall(sock, data)
        if started is NotImplemented:
            return await _Base.sock_sendall(self, sock, data)
        return started[1] if started[0] is None else await started[0]

    async def sock_sendto(self, sock, data, address):
        started = self._start_sock_sendto(sock, data, address)
        if started is NotImplemented:
            return await _Base.sock_sendto(self, sock, data, address)
        return started[1] if started[0] is None else await started[0]

    async def sock_accept(self, sock):
        started = self._start_sock_accept(sock)
        if started is NotImplemented:
            return await _Base.sock_accept(self, sock)
        return started[1] if started[0] is None else await started[0]

    async def sock_connect(self, sock, address):
        if type(sock) is not socket.socket or self._debug:
            return await _Base.sock_connect(self, sock, address)
        if sock.family == socket.AF_INET or (
                asyncio.base_events._HAS_IPv6 and sock.family == socket.AF_INET6):
            resolved = await self._ensure_resolved(
                address, family=sock.family, type=sock.type, proto=sock.proto, loop=self)
            _, _, _, _, address = resolved[0]
        future, _ = self._start_sock_connect(sock, address)
        try:
            return None if future is None else await future
        finally:
            future = None  # as asyncio: no cycle through a raised exception's frames

    for _method in (sock_recv, sock_recv_into, sock_recvfrom, sock_recvfrom_into,
                    sock_sendall, sock_sendto, sock_accept, sock_connect):
        _method.__doc__ = getattr(_Base, _method.__name__).__doc__
    del _method

    # Signals arrive through the wake-up pipe, which the loop's iteration
    # must then read as often as asyncio's does (see LoopCore).
    def add_signal_handler(self, sig, callback, *args):
        super().add_signal_handler(sig, callback, *args)
        self._set_signals_watched(True)

    def remove_signal_handler(self, sig):
        try:
            return super().remove_signal_handler(sig)
        finally:
            self._set_signals_watched(bool(self._signal_handlers))

    def close(self) -> None:
        if self.is_running():
            raise RuntimeError("Cannot close a running event loop")
        if self.is_closed():
            return
        try:
            super().close()
        finally:
            self._clear_queues()


def new_event_loop(*, busy_poll=None) -> Loop:
    """A new velkorio loop: the loop factory for asyncio.run and asyncio.Runner."""
    return Loop(busy_poll=busy_poll)


def run(main, *, debug=None):
    """Runs the coroutine `main` on a new velkorio loop, as asyncio.run does."""
    return asyncio.run(main, debug=debug, loop_factory=new_event_loop)
