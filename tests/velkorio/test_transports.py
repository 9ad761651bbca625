"""Socket transports: every byte in order through partial sends and flow
control, end of file, errors, and protocol changes, on each loop alike."""

import asyncio
import operator
import random
import socket
import struct
import sys

import pytest

from velkorio_support import run


class Collector(asyncio.Protocol):
    def __init__(self, keep_open=False):
        self.keep_open = keep_open
        self.chunks = []
        self.transport = None
        self.eof = asyncio.Event()
        self.lost = asyncio.get_running_loop().create_future()
        self.paused = self.resumed = 0

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.chunks.append(data)

    def eof_received(self):
        self.eof.set()
        return self.keep_open

    def connection_lost(self, exc):
        if not self.lost.done():
            self.lost.set_result(exc)

    def pause_writing(self):
        self.paused += 1

    def resume_writing(self):
        self.resumed += 1

    @property
    def received(self):
        return b"".join(self.chunks)


async def connected_pair(make_a=Collector, make_b=Collector):
    loop = asyncio.get_running_loop()
    a_sock, b_sock = socket.socketpair()
    _, a = await loop.connect_accepted_socket(make_a, a_sock)
    _, b = await loop.connect_accepted_socket(make_b, b_sock)
    return a, b


async def wait_for(predicate):
    while not predicate():
        await asyncio.sleep(0.001)


class TestData:
    def test_every_byte_arrives_in_order_through_backpressure(self, any_loop):
        # Writes far beyond the socket's buffer: sends go out whole, in part
        # and not at all, and what waits is flushed by the writer callback.
        rng = random.Random(7)
        chunks = []
        for i in range(400):
            payload = bytes([i % 251]) * rng.choice([1, 100, 5000, 70000])
            kind = i % 3
            chunks.append(payload if kind == 0 else bytearray(payload) if kind == 1
                          else memoryview(payload))
        expected = b"".join(bytes(c) for c in chunks)

        async def main():
            a, b = await connected_pair()
            a.transport.set_write_buffer_limits(high=64 * 1024)
            b.transport.max_size = 4096
            for chunk in chunks:
                a.transport.write(chunk)
            await wait_for(lambda: sum(map(len, b.chunks)) >= len(expected))
            a.transport.close()
            b.transport.close()
            await a.lost
            return a, b

        a, b = run(any_loop, main())
        assert b.received == expected
        assert max(map(len, b.chunks)) <= 4096
        assert a.paused == a.resumed >= 1

    @pytest.mark.parametrize("full", [False, True], ids=["part-sent", "nothing-sent"])
    def test_a_write_the_socket_cannot_take_whole_waits_its_turn(self, any_loop, full):
        # One large write on an idle transport: the socket takes part of it
        # (or none, when it is already full) and the rest must follow, once,
        # in order, with the protocol paused meanwhile.
        first, second = bytes(range(256)) * 16384, b"tail" * 1000

        async def main():
            loop = asyncio.get_running_loop()
            mine, theirs = socket.socketpair()
            prefill = b""
            if full:
                mine.setblocking(False)
                while True:
                    try:
                        prefill += b"p" * mine.send(b"p" * 65536)
                    except BlockingIOError:
                        break
            _, a = await loop.connect_accepted_socket(Collector, mine)
            _, b = await loop.connect_accepted_socket(Collector, theirs)
            a.transport.set_write_buffer_limits(high=1024)
            a.transport.write(first)
            paused_after_first = a.paused
            a.transport.write(second)
            total = len(prefill) + len(first) + len(second)
            await wait_for(lambda: sum(map(len, b.chunks)) >= total)
            a.transport.close()
            b.transport.close()
            return prefill, a, b, paused_after_first

        prefill, a, b, paused_after_first = run(any_loop, main())
        assert b.received == prefill + first + second
        assert paused_after_first == 1 and a.resumed == 1

    def test_reader_switches_to_a_buffered_protocol(self, any_loop):
        class Buffered(asyncio.BufferedProtocol):
            def __init__(self):
                self.buffer = bytearray(64)
                self.got = bytearray()

            def get_buffer(self, sizehint):
                return self.buffer

            def buffer_updated(self, nbytes):
                self.got += self.buffer[:nbytes]

        async def main():
            a, b = await connected_pair()
            a.transport.write(b"first")
            await wait_for(lambda: b.received == b"first")
            buffered = Buffered()
            b.transport.set_protocol(buffered)
            a.transport.write(b"second" * 100)
            await wait_for(lambda: len(buffered.got) == 600)
            a.transport.close()
            b.transport.close()
            return b, buffered

        b, buffered = run(any_loop, main())
        assert b.chunks == [b"first"]
        assert buffered.got == b"second" * 100


class TestWritesOfOnePass:
    """velkorio sends the writes a pass makes to a transport together, once
    the pass is over; nothing a program does may tell it from asyncio."""

    THEN = {
        "nothing": lambda t: None,
        "write_eof": lambda t: t.write_eof(),
        "close": lambda t: t.close(),
        "abort": lambda t: t.abort(),
        "protocol-failed": lambda t: t._fatal_error(ValueError("failed"), "Fatal error: protocol failed"),
        "buffer-size": lambda t: t.get_write_buffer_size(),
        "limits": lambda t: t.set_write_buffer_limits(high=1),
        "writelines": lambda t: t.writelines([b"<", bytearray(b"lines"), b">"]),
        "memoryview": lambda t: t.write(memoryview(b"<view>")),
    }

    @pytest.mark.parametrize("then", THEN)
    def test_bytes_leave_in_order_whatever_follows(self, any_loop, then):
        ends = then in ("write_eof", "close", "abort", "protocol-failed")
        expected = b"one,two,three," + {"writelines": b"<lines>", "memoryview": b"<view>"}.get(
            then, b"") + (b"" if ends else b"four")

        async def main():
            loop = asyncio.get_running_loop()
            # A handler that looks at nothing: the default one's repr of the
            # transport asks for its buffer's size.
            loop.set_exception_handler(lambda loop, context: None)
            mine, theirs = socket.socketpair()
            _, a = await loop.connect_accepted_socket(Collector, mine)
            theirs.setblocking(False)

            def one_pass():
                reused = bytearray(b"two,")
                a.transport.write(b"one,")
                a.transport.write(reused)
                reused[:] = b"XXXX"  # asyncio has sent it already
                a.transport.write(b"three,")
                self.THEN[then](a.transport)
                if not ends:
                    a.transport.write(b"four")

            loop.call_soon(one_pass)
            received = b""
            while len(received) < len(expected) or ends:
                try:
                    chunk = theirs.recv(65536)
                except BlockingIOError:
                    await asyncio.sleep(0.001)
                    continue
                if not chunk:
                    break
                received += chunk
            a.transport.close()
            theirs.close()
            return received

        assert run(any_loop, main()) == expected

    def test_the_writes_of_a_pass_leave_together_when_it_ends(self, any_loop):
        import fcntl
        import termios

        def waiting(sock):
            return struct.unpack("i", fcntl.ioctl(sock, termios.FIONREAD, b"\0" * 4))[0]

        async def main():
            loop = asyncio.get_running_loop()
            mine, theirs = socket.socketpair()
            _, a = await loop.connect_accepted_socket(Collector, mine)
            seen = loop.create_future()

            def one_pass():
                for piece in (b"head,", b"body"):
                    a.transport.write(piece)
                seen.set_result(waiting(theirs))

            loop.call_soon(one_pass)
            during = await seen
            after = waiting(theirs)
            a.transport.close()
            theirs.close()
            return during, after

        during, after = run(any_loop, main())
        assert after == 9
        assert during == (0 if type(any_loop).__module__.startswith("velkorio") else 9)

    def test_a_write_from_resume_writing_while_closing_is_sent(self, any_loop):
        # The writer callback resumes the protocol, whose write goes out
        # before the emptied transport closes its socket (as a TLS
        # protocol's last records do).
        bulk = bytes(range(256)) * 4096

        class Finisher(Collector):
            def resume_writing(self):
                self.transport.write(b"<tail>")

        async def main():
            loop = asyncio.get_running_loop()
            mine, theirs = socket.socketpair()
            _, a = await loop.connect_accepted_socket(Finisher, mine)
            theirs.setblocking(False)
            a.transport.write(bulk)  # more than the socket takes: paused
            a.transport.close()
            received = bytearray()
            while chunk := await loop.sock_recv(theirs, 65536):
                received += chunk
            theirs.close()
            return bytes(received)

        assert run(any_loop, main()) == bulk + b"<tail>"

    def test_a_pass_cut_short_by_an_exception_still_sends(self, any_loop):
        mine, theirs = socket.socketpair()

        async def connect():
            return await asyncio.get_running_loop().connect_accepted_socket(Collector, mine)

        transport, _ = run(any_loop, connect())

        def write_then_interrupt():
            transport.write(b"sent before the interrupt")
            raise KeyboardInterrupt

        any_loop.call_soon(write_then_interrupt)
        with pytest.raises(KeyboardInterrupt):
            any_loop.run_forever()
        theirs.settimeout(5)
        assert theirs.recv(100) == b"sent before the interrupt"
        transport.abort()
        theirs.close()
        any_loop.run_until_complete(asyncio.sleep(0))


class TestEndOfFile:
    def test_half_closed_connection_still_answers(self, any_loop):
        async def main():
            a, b = await connected_pair(Collector, lambda: Collector(keep_open=True))
            a.transport.write(b"question")
            a.transport.write_eof()
            with pytest.raises(RuntimeError, match="Cannot call write\\(\\) after write_eof\\(\\)"):
                a.transport.write(b"more")
            await b.eof.wait()
            b.transport.write(b"answer")
            b.transport.close()
            assert await a.lost is None
            return a, b

        a, b = run(any_loop, main())
        assert (b.received, a.received) == (b"question", b"answer")

    def test_end_of_file_closes_by_default(self, any_loop):
        async def main():
            a, b = await connected_pair()
            a.transport.close()
            assert await b.lost is None
            return b.transport.is_closing()

        assert run(any_loop, main())


class TestErrors:
    def test_failing_data_received_reaches_the_handler_and_closes(self, any_loop):
        reports = []
        any_loop.set_exception_handler(lambda loop, context: reports.append(context))

        class Failing(Collector):
            def data_received(self, data):
                raise ValueError(data)

        async def main():
            a, b = await connected_pair(Collector, Failing)
            a.transport.write(b"boom")
            return b, await b.lost

        b, lost = run(any_loop, main())
        assert isinstance(lost, ValueError) and lost.args == (b"boom",)
        [report] = reports
        assert report["message"] == "Fatal error: protocol.data_received() call failed."
        assert report["exception"] is lost
        assert report["transport"] is b.transport and report["protocol"] is b

    def test_writing_to_a_reset_peer(self, any_loop):
        async def main():
            loop = asyncio.get_running_loop()
            mine, theirs = socket.socketpair()
            _, a = await loop.connect_accepted_socket(Collector, mine)
            theirs.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            theirs.close()
            for _ in range(3):
                a.transport.write(b"x" * 1000)
                await asyncio.sleep(0)
            error = await a.lost
            a.transport.write(b"ignored")  # a lost connection counts, never raises
            return error

        assert isinstance(run(any_loop, main()), (ConnectionResetError, BrokenPipeError))

    def test_refused_data(self, any_loop):
        async def main():
            a, b = await connected_pair()
            with pytest.raises(TypeError) as caught:
                a.transport.write("text")
            a.transport.write(b"")  # nothing to send, nothing sent
            a.transport.close()
            b.transport.close()
            return str(caught.value)

        assert run(any_loop, main()) == (
            "data argument must be a bytes, bytearray, or memoryview object, not 'str'")


class TestAsAsyncioSeesIt:
    """What programs and library test suites observe of asyncio's loop."""

    def test_ready_io_is_handled_in_the_next_iteration(self, any_loop):
        # asyncio looks for I/O in every iteration: two sleep(0) let data in,
        # and a run that ends on the peer's connection_lost has seen the
        # other end's end of file too.
        async def main():
            a, b = await connected_pair()
            for i in range(50):
                a.transport.write(b"%d," % i)
                await asyncio.sleep(0)
                await asyncio.sleep(0)
                assert b.received.endswith(b"%d," % i), (i, b.received)
            b.transport.close()
            await b.lost
            return a

        a = run(any_loop, main())
        assert a.eof.is_set()

    @pytest.mark.parametrize("native", [True, False], ids=["socket", "subclass"])
    def test_a_socket_subclass_keeps_its_methods(self, any_loop, native):
        calls = []

        class Watched(socket.socket):
            def recv(self, *args):
                calls.append("recv")
                return super().recv(*args)

            def send(self, *args):
                calls.append("send")
                return super().send(*args)

        async def main():
            loop = asyncio.get_running_loop()
            mine, theirs = socket.socketpair()
            if not native:
                mine = Watched(fileno=mine.detach())
            _, a = await loop.connect_accepted_socket(Collector, mine)
            _, b = await loop.connect_accepted_socket(Collector, theirs)
            a.transport.write(b"ping")
            b.transport.write(b"pong")
            await wait_for(lambda: a.received and b.received)
            a.transport.close()
            b.transport.close()
            return a.received

        assert run(any_loop, main()) == b"pong"
        assert sorted(set(calls)) == ([] if native else ["recv", "send"])

    @pytest.mark.parametrize(
        "max_size, works",
        [(operator.index, True), (lambda size: type("Index", (), {"__index__": lambda s: size})(), True),
         (float, False), (lambda size: "65536", False)],
        ids=["int", "__index__", "float", "str"],
    )
    def test_max_size_as_socket_recv_takes_it(self, any_loop, max_size, works):
        # A size socket.recv refuses is one fatal read error that closes the
        # connection, never a reader called over and over.
        reports = []
        any_loop.set_exception_handler(lambda loop, context: reports.append(context))

        async def main():
            a, b = await connected_pair()
            b.transport.max_size = max_size(65536)
            a.transport.write(b"data")
            if works:
                await wait_for(lambda: b.received)
                a.transport.close()
                await b.lost
                return b.received
            return await b.lost

        outcome = run(any_loop, main())
        if works:
            assert outcome == b"data" and not reports
        else:
            assert isinstance(outcome, TypeError)
            assert [r["message"] for r in reports] == ["Fatal read error on socket transport"]


class Datagrams(asyncio.DatagramProtocol):
    def __init__(self):
        self.queue = asyncio.Queue()

    def datagram_received(self, data, addr):
        self.queue.put_nowait((data, addr))

    def error_received(self, exc):
        self.queue.put_nowait(exc)


_sendto_destinations = None


def sendto_audit():
    """The destinations of the socket.sendto audit events from now on: an
    audit hook stays for the life of the process, so one serves all tests."""
    global _sendto_destinations
    if _sendto_destinations is None:
        _sendto_destinations = []
        sys.addaudithook(lambda event, args: event == "socket.sendto"
                         and _sendto_destinations.append(args[1]))
    _sendto_destinations.clear()
    return _sendto_destinations


class TestDatagrams:
    """Datagram endpoints receive as asyncio's do: whole datagrams cut at
    max_size, with their sender, and errors to error_received."""

    @pytest.mark.parametrize("family", ["inet", "inet6", "unix"])
    def test_datagrams_arrive_whole_with_their_sender(self, any_loop, family, tmp_path):
        if family == "inet6" and not socket.has_ipv6:
            pytest.skip("no IPv6")

        async def main():
            loop = asyncio.get_running_loop()
            if family.startswith("inet"):
                host = "127.0.0.1" if family == "inet" else "::1"
                here, there = {"local_addr": (host, 0)}, {"local_addr": (host, 0)}
            else:
                here = {"local_addr": str(tmp_path / "a"), "family": socket.AF_UNIX}
                there = {"local_addr": str(tmp_path / "b"), "family": socket.AF_UNIX}
            a, pa = await loop.create_datagram_endpoint(Datagrams, **here)
            b, pb = await loop.create_datagram_endpoint(Datagrams, **there)
            sizes = [1, 64, 1400, 9000, 60000]
            for size in sizes:
                b.sendto(bytes([size % 251]) * size, a.get_extra_info("sockname"))
            got = [await pa.queue.get() for _ in sizes]
            a.max_size = 100  # the rest of a longer datagram is cut off
            b.sendto(b"y" * 1000, a.get_extra_info("sockname"))
            cut = await pa.queue.get()
            a.close()
            b.close()
            return got, cut, b.get_extra_info("sockname")

        got, cut, sender = run(any_loop, main())
        assert [len(data) for data, _ in got] == [1, 64, 1400, 9000, 60000]
        assert all(data == bytes([len(data) % 251]) * len(data) for data, _ in got)
        assert all(addr == sender for _, addr in got)
        assert cut == (b"y" * 100, sender)

    @pytest.mark.parametrize("family, address, outcome", [
        ("inet", ("127.0.0.1", "port"), "delivered"),
        ("inet", ("localhost", "port"), "delivered"),  # a name to look up
        ("inet", ("127.1", "port"), "delivered"),  # digits inet_pton refuses
        ("inet", (b"127.0.0.1", "port"), "delivered"),
        ("inet", ["127.0.0.1", "port"], "TypeError"),
        ("inet", ("127.0.0.1", 70000), "OverflowError"),
        ("inet", ("127.0.0.1\0", "port"), "TypeError"),
        ("inet", ("::1", "port"), "gaierror"),
        ("inet", None, "TypeError"),
        ("inet6", ("::1", "port"), "delivered"),
        ("inet6", ("::1", "port", 0, 0), "delivered"),
        ("inet6", ("::1", "port", 1 << 20, 0), "OverflowError"),
    ])
    def test_a_destination_is_read_as_the_socket_module_reads_it(self, any_loop, family,
                                                                  address, outcome):
        if family == "inet6" and not socket.has_ipv6:
            pytest.skip("no IPv6")
        host = "127.0.0.1" if family == "inet" else "::1"
        audited = sendto_audit()
        reports = []
        any_loop.set_exception_handler(lambda loop, context: reports.append(context))

        async def main():
            loop = asyncio.get_running_loop()
            receiver, got = await loop.create_datagram_endpoint(Datagrams, local_addr=(host, 0))
            port = receiver.get_extra_info("sockname")[1]
            to = address and type(address)(port if part == "port" else part for part in address)
            sender, errors = await loop.create_datagram_endpoint(Datagrams, local_addr=(host, 0))
            sender.sendto(b"hello", to)
            if outcome == "delivered":
                result = await got.queue.get()
                assert result == (b"hello", sender.get_extra_info("sockname"))
                assert to in audited
            elif outcome == "gaierror":
                assert isinstance(await errors.queue.get(), socket.gaierror)
            else:
                await wait_for(lambda: sender.is_closing())
                [report] = reports
                assert report["message"] == "Fatal write error on datagram transport"
                assert type(report["exception"]).__name__ == outcome
            receiver.close()
            sender.close()

        run(any_loop, main())

    def test_a_refused_send_reaches_error_received(self, any_loop):
        async def main():
            loop = asyncio.get_running_loop()
            closed = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            closed.bind(("127.0.0.1", 0))
            address = closed.getsockname()
            closed.close()  # nothing listens there now: ICMP refuses
            transport, protocol = await loop.create_datagram_endpoint(
                Datagrams, remote_addr=address)
            for _ in range(3):
                transport.sendto(b"anyone?")
                await asyncio.sleep(0.01)
            error = await protocol.queue.get()
            transport.close()
            return error

        assert isinstance(run(any_loop, main()), ConnectionRefusedError)

    def test_a_full_socket_queues_in_order_under_flow_control(self, any_loop, tmp_path):
        class Counting(Datagrams):
            paused = resumed = 0

            def pause_writing(self):
                self.paused += 1

            def resume_writing(self):
                self.resumed += 1

        async def main():
            loop = asyncio.get_running_loop()
            path = str(tmp_path / "receiver")
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as receiver:
                receiver.bind(path)
                receiver.setblocking(False)
                transport, protocol = await loop.create_datagram_endpoint(
                    Counting, remote_addr=path, family=socket.AF_UNIX)
                with pytest.raises(ValueError, match="Invalid address"):
                    transport.sendto(b"x", path + "-elsewhere")
                transport.set_write_buffer_limits(high=4096)
                sent = [b"%05d" % i * 100 for i in range(400)]  # more than the receiver queues
                for i, datagram in enumerate(sent):
                    transport.sendto(bytearray(datagram) if i % 2 else datagram)
                queued = transport.get_write_buffer_size()
                received = []
                while len(received) < len(sent):
                    try:
                        received.append(receiver.recv(65536))
                    except BlockingIOError:
                        await asyncio.sleep(0.001)
                transport.close()
                return sent, received, queued, protocol

        sent, received, queued, protocol = run(any_loop, main())
        assert received == sent
        assert queued > 4096 and protocol.paused == protocol.resumed == 1

    @pytest.mark.parametrize("schedules", ["callback", "timer", "nothing"])
    def test_queued_datagrams_keep_asyncio_s_order_and_pause(self, any_loop, schedules):
        # Datagrams already waiting in the kernel come one per iteration:
        # what datagram_received schedules runs before the next one arrives,
        # a timer due then runs after it, and pause_reading() in it stops
        # the deliveries until resume_reading().
        events = []

        class Recording(asyncio.DatagramProtocol):
            def connection_made(self, transport):
                self.transport = transport

            def datagram_received(self, data, addr):
                events.append(data)
                loop = asyncio.get_running_loop()
                if schedules == "callback":
                    loop.call_soon(events.append, b"after " + data)
                elif schedules == "timer" and data == b"0":
                    loop.call_later(0, events.append, b"timer")
                if data == b"2":
                    self.transport.pause_reading()
                    loop.call_later(0.02, self.resume)

            def resume(self):
                events.append(b"resumed")
                self.transport.resume_reading()

        async def main():
            loop = asyncio.get_running_loop()
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                receiver.bind(("127.0.0.1", 0))
                for i in range(6):
                    sender.sendto(b"%d" % i, receiver.getsockname())
                transport, _ = await loop.create_datagram_endpoint(Recording, sock=receiver)
                await wait_for(lambda: b"5" in events)
                await asyncio.sleep(0)
                transport.close()

        run(any_loop, main())
        expected = [e for i in range(6) for e in ((b"%d" % i, b"after %d" % i)
                                                   if schedules == "callback" else (b"%d" % i,))]
        if schedules == "timer":
            expected.insert(expected.index(b"2"), b"timer")
        expected.insert(expected.index(b"3"), b"resumed")
        assert events == expected

    @pytest.mark.parametrize("own", ["recvfrom", "sendto"])
    def test_a_socket_subclass_keeps_its_own_methods(self, any_loop, own):
        calls = []

        def watched(name):
            def method(self, *args):
                calls.append(name)
                return getattr(socket.socket, name)(self, *args)
            return method

        Watched = type("Watched", (socket.socket,), {own: watched(own)})

        async def main():
            loop = asyncio.get_running_loop()
            sock = Watched(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind(("127.0.0.1", 0))
            transport, protocol = await loop.create_datagram_endpoint(Datagrams, sock=sock)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer:
                peer.sendto(b"ping", sock.getsockname())
                data, address = await protocol.queue.get()
                transport.sendto(data, address)
                echoed = peer.recv(100)
            transport.close()
            return echoed

        assert run(any_loop, main()) == b"ping" and calls == [own]
