"""One benchmark server on one event loop, in a process of its own.

    python3.14 bench/servers/serve.py KIND --loop LOOP [--lifetime SECONDS]
                                      [--interpreters N | --cert PATH]

Listens on 127.0.0.1 on a free port (a UDP one for echo-udp) and, once it
serves, prints one line of JSON: the port, which build of the loop's module
it loaded, and for velkorio the loop's busy_poll setting (which a velkorio
loop takes from VELKORIO_BUSY_POLL). Serves until it is killed or its lifetime
(600 s) is over. Anything it writes to stderr means something went wrong.

With --interpreters N the server runs in N sub-interpreters instead, each in
a thread of its own with its own loop and its own listening socket, all
bound to the one port with SO_REUSEPORT, so that the kernel spreads the
connections over them; the main interpreter only waits. The ready line then
also gives N.

With --cert PATH the server speaks TLS (the ssl= of create_server and
start_server, aiohttp's ssl_context), with the certificate and private key
in PATH; echo-sock and echo-udp have no TLS.

KIND is one of
  echo-protocol  an asyncio.Protocol that writes back what it receives
  echo-streams   asyncio.start_server: reader.read, writer.write, drain
  echo-sock      loop.sock_accept, loop.sock_recv, loop.sock_sendall
  http-protocol  an asyncio.Protocol answering HTTP/1.1 GETs with BODY,
                 keeping the connection open
  http-split2    as http-protocol, each response written in two writes:
                 the head, then the body
  http-split8    as http-protocol, each response written in eight writes:
                 the status line, each header line, the blank line, and
                 the body in four pieces
  http-protocol-100k
                 as http-protocol, answering BIG_BODY (100 KiB)
  http-aiohttp   an aiohttp.web application with one route answering BODY
  echo-udp       loop.create_datagram_endpoint with an asyncio.DatagramProtocol
                 that sends every datagram back to its sender (on a UDP port)
"""

from __future__ import annotations

import argparse
import asyncio
import functools
import importlib
import json
import logging
import os
import socket
import ssl
import sys
import threading

LOOPS = {
    "asyncio": "asyncio:new_event_loop",
    "uvloop": "uvloop:new_event_loop",
    "velkorio": "velkorio:new_event_loop",
}
# The native module whose build the ready line names, per loop.
NATIVE = {"velkorio": "velkorio._core"}

# asyncio's warning that a transport keeps being written to after its
# connection was lost: what wrk's closing of its connections at the end of
# a run, with responses still being written, looks like. The one message
# a server lets pass without counting it as something gone wrong.
_WRITES_AFTER_LOSS = "socket.send() raised exception."


def _pass_writes_after_loss() -> None:
    """Silences _WRITES_AFTER_LOSS, in the server's interpreter alone (the
    bench imports this module for its constants)."""
    logging.getLogger("asyncio").addFilter(
        lambda record: record.getMessage() != _WRITES_AFTER_LOSS)


def head(length: int) -> bytes:
    """The head of a response whose body is `length` bytes."""
    return b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n" % length


BODY = b"Hello, world!"
HEAD = head(len(BODY))
RESPONSE = HEAD + BODY
# 100 KiB of text, every 64-byte line different from its neighbours.
BIG_BODY = b"".join(b"%063d\n" % i for i in range(100 * 1024 // 64))
# The kinds answering another body than BODY.
BODIES = {"http-protocol-100k": BIG_BODY}
READ_SIZE = 64 * 1024


class EchoProtocol(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.transport.write(data)
    # eof_received returns None: the transport closes once the peer has.


async def echo_protocol(listener, ssl=None):
    return await asyncio.get_running_loop().create_server(EchoProtocol, sock=listener, ssl=ssl)


async def echo_streams(listener, ssl=None):
    async def echo(reader, writer):
        try:
            while data := await reader.read(READ_SIZE):
                writer.write(data)
                await writer.drain()
        finally:
            writer.close()

    return await asyncio.start_server(echo, sock=listener, ssl=ssl)


async def echo_sock(listener):
    loop = asyncio.get_running_loop()
    handlers = set()

    async def echo(conn):
        with conn:
            while data := await loop.sock_recv(conn, READ_SIZE):
                await loop.sock_sendall(conn, data)

    async def accept():
        while True:
            conn, _ = await loop.sock_accept(listener)
            conn.setblocking(False)
            # The transports of the other servers set this too.
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            task = loop.create_task(echo(conn))
            handlers.add(task)
            task.add_done_callback(handlers.discard)

    listener.setblocking(False)
    return loop.create_task(accept())


class HttpProtocol(asyncio.Protocol):
    """Enough HTTP/1.1 for GET requests without a body, pipelined or not."""

    response = RESPONSE

    def connection_made(self, transport):
        self.transport = transport
        self.pending = b""

    def data_received(self, data):
        self.pending += data
        requests = self.pending.count(b"\r\n\r\n")
        if requests:
            self.pending = self.pending[self.pending.rfind(b"\r\n\r\n") + 4:]
            self.respond(requests)

    def respond(self, requests):
        """Answers `requests` requests, in order: here in one write."""
        self.transport.write(self.response * requests)


def cut(data: bytes, count: int) -> list[bytes]:
    """`data` in `count` pieces of (nearly) equal length."""
    size, longer = divmod(len(data), count)
    ends = [i * size + min(i, longer) for i in range(count + 1)]
    return [data[start:end] for start, end in zip(ends, ends[1:])]


class SplitHttpProtocol(HttpProtocol):
    """HttpProtocol writing each response as its `pieces`, one write each,
    as a server writes its head and then its body; pipelined requests get
    their responses one after the other, each in its pieces."""

    pieces: tuple[bytes, ...] = (RESPONSE,)

    def respond(self, requests):
        write = self.transport.write
        for _ in range(requests):
            for piece in self.pieces:
                write(piece)


class Split2HttpProtocol(SplitHttpProtocol):
    pieces = (HEAD, BODY)


class Split8HttpProtocol(SplitHttpProtocol):
    # The status line, the two header lines, the blank line, then the body.
    pieces = (*HEAD.splitlines(keepends=True), *cut(BODY, 4))


class BigHttpProtocol(HttpProtocol):
    response = head(len(BIG_BODY)) + BIG_BODY


async def http_protocol(listener, protocol=HttpProtocol, ssl=None):
    return await asyncio.get_running_loop().create_server(protocol, sock=listener, ssl=ssl)


async def http_aiohttp(listener, ssl=None):
    from aiohttp import web

    async def hello(request):
        return web.Response(body=BODY, content_type="text/plain")

    app = web.Application()
    app.router.add_get("/", hello)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    await web.SockSite(runner, listener, ssl_context=ssl).start()
    return runner


class EchoDatagramProtocol(asyncio.DatagramProtocol):
    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        self.transport.sendto(data, addr)


async def echo_udp(sock):
    loop = asyncio.get_running_loop()
    transport, _ = await loop.create_datagram_endpoint(EchoDatagramProtocol, sock=sock)
    return transport


SERVERS = {
    "echo-protocol": echo_protocol,
    "echo-streams": echo_streams,
    "echo-sock": echo_sock,
    "http-protocol": http_protocol,
    "http-split2": functools.partial(http_protocol, protocol=Split2HttpProtocol),
    "http-split8": functools.partial(http_protocol, protocol=Split8HttpProtocol),
    "http-protocol-100k": functools.partial(http_protocol, protocol=BigHttpProtocol),
    "http-aiohttp": http_aiohttp,
    "echo-udp": echo_udp,
}
# The kinds served on a bound UDP socket rather than a TCP listener.
DATAGRAM = {"echo-udp"}
# The kinds that cannot serve TLS.
NO_TLS = {"echo-sock", "echo-udp"}


def tls_context(cert: str) -> ssl.SSLContext:
    """A server's TLS settings: asyncio's defaults, with the certificate
    chain and private key in the PEM file `cert`."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert)
    return context


def bound_socket(kind: str, port: int = 0, reuse_port: bool = False) -> socket.socket:
    """The socket a server of `kind` serves on, on 127.0.0.1:port.

    A listener names its protocol, IPPROTO_TCP, as the sockets of asyncio's
    own create_server do. The connections it accepts inherit it, and
    asyncio's transports turn Nagle's algorithm off (TCP_NODELAY) only on
    a socket whose proto says TCP: on socket.create_server's, which leaves
    it 0, a response written in several writes would wait for the client's
    delayed ACK, some 40 ms, on asyncio's loop but not on uvloop's."""
    stream = kind not in DATAGRAM
    sock = (socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP) if stream
            else socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
    try:
        if stream:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if reuse_port:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind(("127.0.0.1", port))
        if stream:
            sock.listen(128)
    except BaseException:
        sock.close()
        raise
    return sock


def new_loop(name: str):
    module, _, factory = LOOPS.get(name, name).partition(":")
    return getattr(importlib.import_module(module), factory)()


def build_of(loop_name: str) -> dict | None:
    """The file, size and modification time of the loop's native module."""
    module = sys.modules.get(NATIVE.get(loop_name, ""))
    path = getattr(module, "__file__", None)
    if path is None:
        return None
    stat = os.stat(path)
    return {"file": path, "size": stat.st_size, "mtime_ns": stat.st_mtime_ns}


def busy_poll_of(loop) -> int | None:
    """How long velkorio's selector looks for I/O before it sleeps (us)."""
    return getattr(getattr(loop, "_selector", None), "busy_poll", None)


def serve_here(kind: str, loop_name: str, port: int, lifetime: float, ready) -> None:
    """One sub-interpreter's server: a loop and a listening socket of its
    own on the shared port. Puts its ready line's figures on the queue
    `ready` once it listens, then serves until its lifetime is over."""
    _pass_writes_after_loss()
    loop = new_loop(loop_name)
    asyncio.set_event_loop(loop)
    listener = bound_socket(kind, port, reuse_port=True)
    serving = loop.run_until_complete(SERVERS[kind](listener))  # noqa: F841
    loop.call_later(lifetime, loop.stop)
    ready.put(json.dumps({"build": build_of(loop_name), "busy_poll": busy_poll_of(loop)}))
    try:
        loop.run_forever()
    finally:
        loop.close()


_IN_INTERPRETER = """
import sys
sys.path[:] = path
import serve
serve.serve_here(kind, loop_name, port, lifetime, ready)
"""


def serve_in_interpreters(kind: str, loop_name: str, count: int, lifetime: float) -> int:
    from concurrent import interpreters

    ready = interpreters.create_queue()

    def run(interp) -> None:
        try:
            interp.exec(_IN_INTERPRETER)
        except interpreters.ExecutionFailed as failure:
            print(failure, file=sys.stderr, flush=True)
            ready.put(json.dumps({"error": str(failure).splitlines()[0]}))

    # Holds the port until every interpreter listens on it. Bound but not
    # listening, it takes no connections (a UDP one would take datagrams,
    # but no client sends any before the ready line).
    holder = socket.socket(socket.AF_INET,
                           socket.SOCK_DGRAM if kind in DATAGRAM else socket.SOCK_STREAM)
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    holder.bind(("127.0.0.1", 0))
    port = holder.getsockname()[1]
    # This script's directory first, so that each interpreter imports it as `serve`.
    path = (os.path.dirname(os.path.abspath(__file__)), *sys.path)
    subs = [interpreters.create() for _ in range(count)]
    threads = []
    for index, interp in enumerate(subs):
        interp.prepare_main(path=path, kind=kind, loop_name=loop_name, port=port,
                            lifetime=lifetime, ready=ready)
        threads.append(threading.Thread(target=run, args=(interp,), name=f"serve-{index}"))
        threads[-1].start()
    listening = [json.loads(ready.get(timeout=60)) for _ in subs]
    holder.close()
    failed = [entry["error"] for entry in listening if "error" in entry]
    if failed:
        # The others serve on until their lifetime: do not wait for them.
        sys.stderr.flush()
        os._exit(1)
    first = listening[0]
    print(json.dumps({"port": port, "build": first["build"], "busy_poll": first["busy_poll"],
                      "interpreters": len(listening)}), flush=True)
    for thread in threads:
        thread.join()
    for interp in subs:
        interp.close()
    return 0


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=SERVERS)
    parser.add_argument("--loop", default="asyncio",
                        help="asyncio, uvloop, velkorio or module:factory (default asyncio)")
    parser.add_argument("--lifetime", type=float, default=600.0, metavar="SECONDS",
                        help="stop by itself after this long (default 600)")
    parser.add_argument("--interpreters", type=int, metavar="N",
                        help="serve from N sub-interpreters on one port (SO_REUSEPORT)")
    parser.add_argument("--cert", metavar="PATH",
                        help="serve TLS with the certificate chain and key in this PEM file")
    args = parser.parse_args(argv)
    if args.cert is not None and (args.kind in NO_TLS or args.interpreters is not None):
        parser.error(f"no TLS for {args.kind}" if args.kind in NO_TLS
                     else "no TLS with --interpreters")
    _pass_writes_after_loss()
    if args.interpreters is not None:
        if args.interpreters < 1:
            parser.error("--interpreters must be at least 1")
        return serve_in_interpreters(args.kind, args.loop, args.interpreters, args.lifetime)

    loop = new_loop(args.loop)
    asyncio.set_event_loop(loop)
    listener = bound_socket(args.kind)
    # Held while the loop runs: the loop itself keeps only weak references
    # to tasks, such as echo-sock's accepting one.
    tls = {} if args.cert is None else {"ssl": tls_context(args.cert)}
    serving = loop.run_until_complete(SERVERS[args.kind](listener, **tls))  # noqa: F841
    loop.call_later(args.lifetime, loop.stop)
    print(json.dumps({"port": listener.getsockname()[1], "build": build_of(args.loop),
                      "busy_poll": busy_poll_of(loop)}), flush=True)
    loop.run_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
