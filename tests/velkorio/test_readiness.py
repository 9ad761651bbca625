"""Readers and writers: level-triggered readiness, removal, bad descriptors,
and streams over them."""

import asyncio
import errno
import os
import selectors
import socket
import tempfile
import time

import pytest

import velkorio
from velkorio_support import run, run_iterations


@pytest.fixture
def pair():
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    yield a, b
    a.close()
    b.close()


class TestLevelTriggered:
    """Registered by descriptor number, as asyncio's transports do."""

    def test_reader_called_every_iteration_while_data_is_unread(self, any_loop, pair):
        a, b = pair
        calls = []
        any_loop.add_reader(a.fileno(), lambda: calls.append(1))
        b.send(b"x")
        run_iterations(any_loop, 10)
        # The first iteration may come before the byte is seen.
        assert len(calls) >= 9
        assert any_loop.remove_reader(a.fileno())

    def test_unread_data_does_not_stall_the_loop(self, any_loop, pair):
        a, b = pair
        calls = []
        any_loop.add_reader(a.fileno(), lambda: calls.append(1))
        b.send(b"unread")

        async def main():
            await asyncio.sleep(0.02)
            fut = any_loop.create_future()
            any_loop.call_later(0.01, fut.set_result, "timer ran")
            return await fut

        assert run(any_loop, main()) == "timer ran"
        assert len(calls) > 1
        any_loop.remove_reader(a.fileno())

    def test_readiness_is_served_during_an_endless_stream_of_callbacks(self, any_loop, pair):
        # A callback that always re-schedules itself keeps the ready queue
        # from ever emptying: the reader must still run, soon.
        a, b = pair
        steps = [0]
        read_at = []

        def on_read():
            a.recv(16)
            read_at.append(steps[0])
            any_loop.stop()

        def step():
            steps[0] += 1
            if steps[0] == 1000:
                b.send(b"x")
            if steps[0] >= 1_000_000:
                any_loop.stop()  # never served: the assertion below says so
            else:
                any_loop.call_soon(step)

        any_loop.add_reader(a.fileno(), on_read)
        any_loop.call_soon(step)
        any_loop.run_forever()
        any_loop.remove_reader(a.fileno())
        assert read_at and read_at[0] - 1000 < 200_000, read_at

    def test_every_run_looks_for_io_at_once(self, any_loop, pair):
        # Runs of one iteration each, in quick succession: each sees what
        # became readable before it began.
        a, b = pair
        got = []
        any_loop.add_reader(a.fileno(), lambda: got.append(a.recv(16)))
        for i in range(200):
            b.send(b"%d" % i)
            run_iterations(any_loop, 1)
            assert got == [b"%d" % i], (i, got)
            got.clear()
        any_loop.remove_reader(a.fileno())

    def test_reader_stops_once_drained(self, any_loop, pair):
        a, b = pair
        got = []

        def on_read():
            got.append(a.recv(100))

        any_loop.add_reader(a.fileno(), on_read)
        b.send(b"hello")
        run_iterations(any_loop, 5)
        assert got == [b"hello"]
        b.send(b"again")
        run_iterations(any_loop, 5)
        assert got == [b"hello", b"again"]
        any_loop.remove_reader(a.fileno())

    def test_reader_sees_end_of_file(self, any_loop, pair):
        a, b = pair
        got = []

        def on_read():
            data = a.recv(100)
            got.append(data)
            if not data:
                any_loop.remove_reader(a.fileno())

        any_loop.add_reader(a.fileno(), on_read)
        b.send(b"last")
        b.shutdown(socket.SHUT_WR)
        run_iterations(any_loop, 5)
        assert got == [b"last", b""]

    def test_writer_called_while_writable(self, any_loop, pair):
        a, b = pair
        calls = []
        any_loop.add_writer(a.fileno(), lambda: calls.append(1))
        run_iterations(any_loop, 5)
        assert len(calls) >= 4
        assert any_loop.remove_writer(a.fileno())
        count = len(calls)
        run_iterations(any_loop, 3)
        assert len(calls) == count

    def test_reader_and_writer_on_one_descriptor(self, any_loop, pair):
        a, b = pair
        reads, writes = [], []
        any_loop.add_reader(a.fileno(), lambda: reads.append(a.recv(10)))
        any_loop.add_writer(a.fileno(), lambda: writes.append(1))
        b.send(b"x")
        run_iterations(any_loop, 3)
        assert reads == [b"x"] and len(writes) >= 2
        assert any_loop.remove_writer(a.fileno())
        b.send(b"y")
        run_iterations(any_loop, 3)
        assert reads == [b"x", b"y"]
        assert any_loop.remove_reader(a.fileno())

    def test_replacing_a_reader(self, any_loop, pair):
        a, b = pair
        got = []
        any_loop.add_reader(a.fileno(), lambda: got.append("old"))
        any_loop.add_reader(a.fileno(), lambda: got.append(a.recv(10)))
        b.send(b"z")
        run_iterations(any_loop, 3)
        assert got == [b"z"]
        any_loop.remove_reader(a.fileno())

    def test_reader_arguments(self, any_loop, pair):
        a, b = pair
        got = []
        any_loop.add_reader(a.fileno(), lambda s, tag: got.append((s.recv(10), tag)), a, "t")
        b.send(b"q")
        run_iterations(any_loop, 3)
        assert got == [(b"q", "t")]
        assert any_loop.remove_reader(a.fileno())

    def test_reader_removed_by_an_earlier_callback_of_the_same_batch(self, any_loop):
        pairs = [socket.socketpair() for _ in range(2)]
        try:
            called = []
            (a0, b0), (a1, b1) = pairs

            def first(own, other):
                called.append(own)
                own.recv(10)
                any_loop.remove_reader(other.fileno())

            any_loop.add_reader(a0.fileno(), first, a0, a1)
            any_loop.add_reader(a1.fileno(), first, a1, a0)
            b0.send(b"x")
            b1.send(b"x")
            run_iterations(any_loop, 3)
            # Whichever ran first removed the other before it ran.
            assert len(called) == 1
        finally:
            for a, b in pairs:
                any_loop.remove_reader(a.fileno())
                a.close()
                b.close()


@pytest.fixture(params=["descriptor", "socket object"])
def as_key(request):
    """What add_reader and its kin are given: the number or the socket."""
    if request.param == "descriptor":
        return lambda sock: sock.fileno()
    return lambda sock: sock


class TestRegistration:
    def test_remove_reports_whether_anything_was_removed(self, any_loop, pair, as_key):
        a = as_key(pair[0])
        assert any_loop.remove_reader(a) is False
        assert any_loop.remove_writer(a) is False
        any_loop.add_reader(a, print)
        assert any_loop.remove_writer(a) is False
        assert any_loop.remove_reader(a) is True
        assert any_loop.remove_reader(a) is False
        any_loop.add_writer(a, print)
        assert any_loop.remove_writer(a) is True
        assert any_loop.remove_writer(a) is False

    def test_removed_reader_is_not_called(self, any_loop, pair, as_key):
        a, b = as_key(pair[0]), pair[1]
        calls = []
        any_loop.add_reader(a, lambda: calls.append(1))
        b.send(b"x")
        any_loop.remove_reader(a)
        run_iterations(any_loop, 3)
        assert calls == []

    def test_reader_then_writer_then_replaced(self, any_loop, pair, as_key):
        a, b = as_key(pair[0]), pair[1]
        got = []
        any_loop.add_reader(a, lambda: got.append("old reader"))
        any_loop.add_writer(a, lambda: got.append("writer"))
        any_loop.add_reader(a, lambda: got.append(pair[0].recv(10)))
        b.send(b"x")
        run_iterations(any_loop, 2)
        assert b"x" in got and "writer" in got and "old reader" not in got
        assert any_loop.remove_writer(a) is True
        assert any_loop.remove_reader(a) is True

    @pytest.mark.parametrize("bad", [-1, -5])
    def test_negative_descriptor(self, any_loop, bad):
        with pytest.raises(ValueError, match="Invalid file descriptor"):
            any_loop.add_reader(bad, print)
        with pytest.raises(ValueError, match="Invalid file descriptor"):
            any_loop.add_writer(bad, print)
        with pytest.raises(ValueError):
            any_loop.remove_reader(bad)

    def test_object_without_a_descriptor(self, any_loop):
        with pytest.raises(ValueError, match="Invalid file object"):
            any_loop.add_reader(object(), print)

    def test_descriptor_not_open(self, any_loop, pair):
        fd = os.dup(pair[0].fileno())
        os.close(fd)
        with pytest.raises(OSError) as raised:
            any_loop.add_reader(fd, print)
        assert raised.value.errno == errno.EBADF
        # Nothing was left registered: the loop still runs, and a removal
        # finds nothing.
        assert any_loop.remove_reader(fd) is False
        run_iterations(any_loop, 2)

    def test_regular_file_is_refused(self, any_loop):
        with tempfile.TemporaryFile() as f:
            with pytest.raises(PermissionError):
                any_loop.add_reader(f.fileno(), print)
            assert any_loop.remove_reader(f.fileno()) is False

    def test_descriptor_closed_while_registered(self, any_loop):
        a, b = socket.socketpair()
        any_loop.add_reader(a.fileno(), print)
        fd = a.fileno()
        a.close()
        b.close()
        run_iterations(any_loop, 2)
        assert any_loop.remove_reader(fd) is True
        run_iterations(any_loop, 2)

    def test_number_reused_after_a_close_without_removal(self, any_loop):
        # The kernel forgot the closed descriptor; the loop's entry for its
        # number is stale. Changing it fails once and drops it, as asyncio's
        # selector does, so that the next attempt registers the new file.
        a, b = socket.socketpair()
        fd = a.fileno()
        any_loop.add_reader(fd, print)
        a.close()
        c, d = socket.socketpair()
        try:
            assert c.fileno() == fd
            with pytest.raises(OSError):
                any_loop.add_writer(fd, print)
            written = []
            any_loop.add_writer(fd, written.append, "writable")
            run_iterations(any_loop, 2)
            assert written and any_loop.remove_writer(fd) is True
        finally:
            for sock in (b, c, d):
                sock.close()

    def test_socket_with_a_transport_is_refused(self, any_loop):
        async def main():
            server = await asyncio.start_server(lambda r, w: None, "127.0.0.1", 0)
            async with server:
                reader, writer = await asyncio.open_connection(*server.sockets[0].getsockname()[:2])
                sock = writer.get_extra_info("socket")
                with pytest.raises(RuntimeError, match="is used by transport"):
                    any_loop.add_reader(sock.fileno(), print)
                writer.close()
                await writer.wait_closed()

        run(any_loop, main())


class TestStreams:
    def test_echo_over_tcp(self, any_loop):
        async def handle(reader, writer):
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
            writer.close()

        async def main():
            server = await asyncio.start_server(handle, "127.0.0.1", 0)
            async with server:
                host, port = server.sockets[0].getsockname()[:2]
                reader, writer = await asyncio.open_connection(host, port)
                payload = bytes(range(256)) * 2048  # 512 KiB, more than the buffers hold
                writer.write(payload)
                await writer.drain()
                writer.write_eof()
                got = await reader.read()
                writer.close()
                await writer.wait_closed()
                return got == payload

        assert run(any_loop, main())

    def test_unix_socket_lines(self, any_loop, tmp_path):
        path = str(tmp_path / "s")

        async def handle(reader, writer):
            async for line in reader:
                writer.write(line.upper())
            writer.close()

        async def main():
            server = await asyncio.start_unix_server(handle, path)
            async with server:
                reader, writer = await asyncio.open_unix_connection(path)
                writer.writelines([b"one\n", b"two\n"])
                writer.write_eof()
                lines = [line async for line in reader]
                writer.close()
                await writer.wait_closed()
                return lines

        assert run(any_loop, main()) == [b"ONE\n", b"TWO\n"]

    def test_sock_calls(self, any_loop, pair):
        a, b = pair

        async def main():
            await any_loop.sock_sendall(a, b"ping" * 10000)
            got = b""
            while len(got) < 40000:
                got += await any_loop.sock_recv(b, 65536)
            return got

        assert run(any_loop, main()) == b"ping" * 10000

    def test_pipe_transport(self, any_loop):
        r, w = os.pipe()

        async def main():
            reader = asyncio.StreamReader()
            transport, _ = await any_loop.connect_read_pipe(
                lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(r, "rb", 0)
            )
            os.write(w, b"through a pipe")
            os.close(w)
            data = await reader.read()
            transport.close()
            return data

        assert run(any_loop, main()) == b"through a pipe"


@pytest.fixture(params=["velkorio", "selectors"])
def selector(request):
    sel = velkorio.Selector() if request.param == "velkorio" else selectors.EpollSelector()
    yield sel
    sel.close()


class TestSelector:
    """velkorio.Selector beside the standard epoll selector."""

    def test_map_is_keyed_by_file_object_and_descriptor(self, selector, pair):
        a, _ = pair
        key = selector.register(a, selectors.EVENT_READ, "data")
        mapping = selector.get_map()
        assert len(mapping) == 1
        assert list(mapping) == [a.fileno()]
        assert mapping[a.fileno()] == key
        assert mapping.get(a.fileno()) == key
        assert mapping[a] == key
        assert mapping.get(a) == key
        assert a in mapping

    def test_select_reports_what_is_ready(self, selector, pair):
        a, b = pair
        ka = selector.register(a, selectors.EVENT_READ | selectors.EVENT_WRITE, "a")
        assert selector.select(0) == [(ka, selectors.EVENT_WRITE)]
        b.send(b"x")
        assert selector.select(0) == [(ka, selectors.EVENT_READ | selectors.EVENT_WRITE)]
        ka = selector.modify(a, selectors.EVENT_READ, "changed")
        assert ka.data == "changed"
        assert selector.select(0) == [(ka, selectors.EVENT_READ)]
        assert selector.select(0) == [(ka, selectors.EVENT_READ)]  # still unread
        assert selector.unregister(a) == ka
        assert selector.select(0) == []

    def test_short_waits_end_on_time_and_report_only_what_is_registered(self, selector, pair):
        # Short waits end on a timer of the selector's own, which must never
        # show up in what select() reports, nor wake a later wait.
        a, b = pair
        for _ in range(20):
            start = time.monotonic()
            assert selector.select(0.002) == []
            assert time.monotonic() - start >= 0.002
            assert selector.select(0) == []
        ka = selector.register(a, selectors.EVENT_READ)
        assert selector.select(0.001) == []
        time.sleep(0.003)  # the deadline of a wait that never came passes
        b.send(b"x")
        assert selector.select(0.001) == [(ka, selectors.EVENT_READ)]
        a.recv(1)
        start = time.monotonic()
        assert selector.select(0.2) == []  # a long wait is not cut short
        assert time.monotonic() - start >= 0.2

    def test_errors(self, selector, pair):
        a, _ = pair
        with pytest.raises(KeyError):
            selector.unregister(a)
        with pytest.raises(KeyError):
            selector.get_key(a)
        with pytest.raises(ValueError):
            selector.register(a, 0)
        selector.register(a, selectors.EVENT_READ)
        with pytest.raises(KeyError):
            selector.register(a, selectors.EVENT_READ)
        with pytest.raises(ValueError):
            selector.get_key(-1)
