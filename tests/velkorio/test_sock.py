"""The loop's sock_* coroutines, on velkorio and on asyncio's own loop."""

import asyncio
import contextlib
import socket

import pytest

from velkorio_support import run


def pair(kind=socket.SOCK_STREAM):
    a, b = socket.socketpair(socket.AF_UNIX, kind)
    a.setblocking(False)
    b.setblocking(False)
    return a, b


def watched(loop):
    """The descriptors the loop's selector watches, its wake-up pipe aside."""
    return {key.fd for key in loop._selector.get_map().values()} - {loop._ssock.fileno()}


def test_every_operation_gives_what_asyncio_gives(any_loop):
    async def main():
        loop = asyncio.get_running_loop()
        results = []
        with contextlib.ExitStack() as stack:
            listener = stack.enter_context(socket.create_server(("127.0.0.1", 0)))
            listener.setblocking(False)
            client = stack.enter_context(socket.socket())
            client.setblocking(False)
            accepting = asyncio.create_task(loop.sock_accept(listener))  # a coroutine, as in asyncio
            await asyncio.sleep(0)
            results.append(await loop.sock_connect(client, listener.getsockname()))
            server, address = await accepting
            stack.enter_context(server)
            results.append((server.getblocking(), address == client.getsockname()))
            # Each receive waits first, then finds data at once.
            for receive in (lambda: loop.sock_recv(server, 5),
                            lambda: loop.sock_recv_into(server, buffer)):
                buffer = bytearray(8)
                waiting = asyncio.create_task(receive())
                await asyncio.sleep(0)
                results.append(await loop.sock_sendall(client, b"hello"))
                results.append((await waiting, bytes(buffer)))
                await loop.sock_sendall(client, b"again")
                results.append((await receive(), bytes(buffer)))
            results.append(await loop.sock_recv(server, 0))

            receiver = stack.enter_context(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
            receiver.bind(("127.0.0.1", 0))
            receiver.setblocking(False)
            sender = stack.enter_context(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
            sender.setblocking(False)
            target = receiver.getsockname()
            waiting = asyncio.create_task(loop.sock_recvfrom(receiver, 100))
            await asyncio.sleep(0)
            results.append(await loop.sock_sendto(sender, b"datagram", target))
            data, source = await waiting
            results.append((data, source[1] == sender.getsockname()[1]))
            buffer = bytearray(16)
            await loop.sock_sendto(sender, b"truncated datagram", target)
            count, _ = await loop.sock_recvfrom_into(receiver, buffer, 9)
            results.append((count, bytes(buffer)))
        assert watched(loop) == set()
        return results

    assert run(any_loop, main()) == [
        None, (False, True),
        None, (b"hello", bytes(8)), (b"again", bytes(8)),
        None, (5, b"hello\0\0\0"), (5, b"again\0\0\0"),
        b"",
        8, (b"datagram", True), (9, b"truncated" + bytes(7)),
    ]


def test_sendall_sends_every_byte_in_order_as_the_peer_drains(any_loop):
    data = bytes(range(256)) * (16 * 1024 + 3)  # 4 MiB and more: many partial sends

    async def main():
        loop = asyncio.get_running_loop()
        a, b = pair()
        with a, b:
            sending = asyncio.create_task(loop.sock_sendall(a, data))
            received = bytearray()
            while len(received) < len(data):
                chunk = await loop.sock_recv(b, 100_000)
                assert chunk
                received += chunk
                if len(received) % 7 == 0:
                    await asyncio.sleep(0.001)
            assert await sending is None
            assert watched(loop) == set()
            return received == data

    assert run(any_loop, main())


@pytest.mark.parametrize("operation", ["recv", "sendall", "accept", "connect"])
def test_a_cancelled_operation_leaves_no_watch_and_the_socket_usable(any_loop, operation):
    async def main():
        loop = asyncio.get_running_loop()
        with contextlib.ExitStack() as stack:
            a, b = (stack.enter_context(sock) for sock in pair())
            listener = stack.enter_context(socket.socket())
            listener.bind(("127.0.0.1", 0))
            listener.listen(0)
            listener.setblocking(False)
            # A full accept queue leaves a further connect in progress.
            for _ in range(3):
                queued = stack.enter_context(socket.socket())
                queued.setblocking(False)
                queued.connect_ex(listener.getsockname())
            connecting = stack.enter_context(socket.socket())
            connecting.setblocking(False)
            idle = stack.enter_context(socket.create_server(("127.0.0.1", 0)))
            idle.setblocking(False)
            task = asyncio.create_task({
                "recv": lambda: loop.sock_recv(a, 10),
                "sendall": lambda: loop.sock_sendall(a, b"x" * (16 << 20)),
                "accept": lambda: loop.sock_accept(idle),
                "connect": lambda: loop.sock_connect(connecting, listener.getsockname()),
            }[operation]())
            for _ in range(3):
                await asyncio.sleep(0)
            assert not task.done()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            await asyncio.sleep(0)
            assert watched(loop) == set()
            if operation == "sendall":  # what went before the cancel
                while True:
                    try:
                        b.recv(1 << 20)
                    except BlockingIOError:
                        break
            # The socket is watched again for the next operation.
            receiving = asyncio.create_task(loop.sock_recv(a, 10))
            await asyncio.sleep(0)
            await loop.sock_sendall(b, b"ping")
            return await receiving

    assert run(any_loop, main()) == b"ping"


def test_errors_are_asyncio_s(any_loop):
    async def main():
        loop = asyncio.get_running_loop()
        errors = []
        port = socket.create_server(("127.0.0.1", 0))
        address = port.getsockname()
        port.close()
        with socket.socket() as refused:
            refused.setblocking(False)
            try:
                await loop.sock_connect(refused, address)
            except OSError as exc:
                errors.append((type(exc), str(exc).startswith(("Connect call failed", "[Errno 111]"))))
        a, b = pair()
        with a:
            b.close()
            try:
                await loop.sock_sendall(a, b"x" * 1_000_000)
            except OSError as exc:
                errors.append(type(exc))
            for call in (lambda: loop.sock_recv(a, -1), lambda: loop.sock_recv(a, 1.5),
                         lambda: loop.sock_sendall(a, "text")):
                try:
                    await call()
                except (ValueError, TypeError) as exc:
                    errors.append(type(exc))
        return errors

    assert run(any_loop, main()) == [
        (ConnectionRefusedError, True), BrokenPipeError, ValueError, TypeError, TypeError]


def test_a_socket_with_a_transport_is_refused(any_loop):
    async def main():
        loop = asyncio.get_running_loop()
        a, b = pair()
        transport, _ = await loop.connect_accepted_socket(asyncio.Protocol, a)
        with b:
            with pytest.raises(RuntimeError, match="is used by transport"):
                await loop.sock_recv(a, 10)
            transport.close()

    run(any_loop, main())


def test_a_socket_subclass_and_debug_mode_get_asyncio_s_own_methods(any_loop):
    calls = []

    class Watched(socket.socket):
        def recv(self, *args):
            calls.append("recv")
            return super().recv(*args)

    async def main():
        loop = asyncio.get_running_loop()
        a, b = pair()
        mine = Watched(fileno=a.detach())
        with mine, b:
            await loop.sock_sendall(b, b"data")
            assert await loop.sock_recv(mine, 10) == b"data"
            loop.set_debug(True)
            blocking = socket.socket()
            with blocking, pytest.raises(ValueError, match="non-blocking"):
                await loop.sock_recv(blocking, 10)

    run(any_loop, main())
    assert calls == ["recv"]
