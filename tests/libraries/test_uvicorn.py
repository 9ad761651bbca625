"""uvicorn serving a Starlette application on the loop under test.

In-process, uvicorn's Server.serve() runs on the loop under test next to
the clients (httpx for HTTP, aiohttp for the websocket). From the command
line, ``uvicorn --loop module:function`` takes a loop factory: the server
process then runs on a loop that factory makes.
"""

import pytest

import library_loops

if reason := library_loops.reason_to_skip():
    pytest.skip(reason, allow_module_level=True)

import asyncio  # noqa: E402
import contextlib  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import random  # noqa: E402
import re  # noqa: E402
import signal  # noqa: E402
import sys  # noqa: E402

import aiohttp  # noqa: E402
import httpx  # noqa: E402
import uvicorn  # noqa: E402
from aiohttp import WSMsgType  # noqa: E402

import asgi_app  # noqa: E402
import certs  # noqa: E402
import httpx_checks  # noqa: E402
import payloads  # noqa: E402
from payloads import body, check_bytes  # noqa: E402
from web_app import chunk  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = [*payloads.SIZES, 5 * 1024 * 1024 + 3]



class _Server(uvicorn.Server):
    """A uvicorn server that says when it listens."""

    def __init__(self, config: uvicorn.Config) -> None:
        super().__init__(config)
        self.listening = asyncio.Event()

    async def startup(self, sockets=None) -> None:
        await super().startup(sockets=sockets)
        self.listening.set()


@contextlib.asynccontextmanager
async def serve(app, tls: bool = False):
    """Serves `app` with uvicorn on 127.0.0.1 at a port of the kernel's choosing; yields its base URL.

    Server.serve() runs on the current loop: Config's `loop` matters only to
    Server.run(), which makes a loop of its own. With `tls`, uvicorn serves
    over TLS with the test certificate, and the URL is https://.
    """
    tls_files = {"ssl_certfile": certs.server_file(), "ssl_keyfile": certs.server_file()} if tls else {}
    config = uvicorn.Config(
        app,
        host="127.0.0.1",
        port=0,
        lifespan="on",
        log_config=None,  # leave the logging set-up to pytest
        log_level="warning",
        access_log=False,
        timeout_graceful_shutdown=5,
        **tls_files,
    )
    server = _Server(config)
    serving = asyncio.create_task(server.serve())
    listening = asyncio.create_task(server.listening.wait())
    await asyncio.wait([serving, listening], return_when=asyncio.FIRST_COMPLETED)
    if not server.listening.is_set():
        listening.cancel()
        await serving  # raises what stopped it
        raise AssertionError("uvicorn stopped before it listened")
    assert app.state.started, "the application's lifespan did not start"
    host, port = server.servers[0].sockets[0].getsockname()[:2]
    try:
        yield f"{'https' if tls else 'http'}://{host}:{port}"
    finally:
        server.should_exit = True
        await serving


class TestRequests:
    def test_gets_on_one_client(self, run):
        async def main():
            async with serve(asgi_app.make_app()) as url, httpx.AsyncClient(base_url=url) as client:
                for _ in range(5):
                    response = await client.get("/hello")
                    assert response.status_code == 200
                    assert response.headers["content-type"].startswith("text/plain")
                    assert response.text == "hello, world"
                response = await client.get("/missing")
                assert response.status_code == 404

        run(main)

    @certs.over_tls
    def test_post_bodies_come_back_byte_for_byte(self, run, tls):
        async def main():
            async with (
                serve(asgi_app.make_app(), tls) as url,
                httpx.AsyncClient(base_url=url, verify=certs.verify(tls)) as client,
            ):
                for size in SIZES:
                    sent = body(size)
                    response = await client.post("/echo", content=sent)
                    assert response.status_code == 200
                    check_bytes(response.content, sent, f"echo of {size} bytes")

        run(main)

    def test_json_comes_back_byte_for_byte(self, run):
        # Sent in the compact form the server renders, so the answer must
        # be the very bytes sent: small, then about 3 MB of records.
        rng = random.Random(7)
        documents = [
            {"a": 1, "b": [True, None, 2.5], "c": "ünïcödé ✓"},
            [
                {"id": i, "name": f"record {i} ✓", "score": rng.random(), "tags": ["x" * (i % 50), "é"]}
                for i in range(20_000)
            ],
        ]

        async def main():
            async with serve(asgi_app.make_app()) as url, httpx.AsyncClient(base_url=url) as client:
                for document in documents:
                    sent = json.dumps(document, ensure_ascii=False, separators=(",", ":")).encode()
                    response = await client.post("/json", content=sent, headers={"content-type": "application/json"})
                    assert response.status_code == 200
                    assert response.headers["content-type"] == "application/json"
                    check_bytes(response.content, sent, f"JSON echo of {len(sent)} bytes")

        run(main)

    def test_streamed_upload_comes_back_byte_for_byte(self, run):
        async def main():
            async with serve(asgi_app.make_app()) as url:
                await httpx_checks.streamed_upload_comes_back(url)

        run(main)

    def test_concurrent_requests_each_get_their_own_answer(self, run):
        async def main():
            async with serve(asgi_app.make_app()) as url:
                await httpx_checks.concurrent_requests_get_their_own_answers(url)

        run(main)


class TestStreaming:
    def test_each_chunk_arrives_while_the_response_is_open(self, run):
        # The server sends chunk i+1 only once the client has read chunk i,
        # so a chunk held back anywhere hangs the exchange.
        async def main():
            app = asgi_app.make_app()
            async with serve(app) as url, httpx.AsyncClient(base_url=url) as client:
                async with client.stream("GET", "/lockstep", params={"chunks": 20}) as response:
                    assert response.status_code == 200
                    got = b""
                    acknowledged = 0
                    async for piece in response.aiter_bytes():
                        got += piece
                        while acknowledged < 20 and len(got) >= 64 * (acknowledged + 1):
                            app.state.proceed.put_nowait(acknowledged)
                            acknowledged += 1
                    check_bytes(got, b"".join(chunk(i, 64) for i in range(20)), "lockstep stream")

        run(main)

    @certs.over_tls
    def test_large_download_read_in_small_pieces_is_intact(self, run, tls):
        # 4 MiB read 1000 bytes at a time: the server's writes outrun the
        # client, so uvicorn pauses and resumes writing many times.
        chunks, size = 256, 16384
        want = b"".join(chunk(i, size) for i in range(chunks))

        async def main():
            async with (
                serve(asgi_app.make_app(), tls) as url,
                httpx.AsyncClient(base_url=url, verify=certs.verify(tls)) as client,
            ):
                async with client.stream("GET", "/stream", params={"chunks": chunks, "size": size}) as response:
                    assert response.status_code == 200
                    assert response.headers["transfer-encoding"] == "chunked"
                    got = bytearray()
                    async for piece in response.aiter_bytes(chunk_size=1000):
                        got += piece
                    check_bytes(bytes(got), want, "streamed download")

        run(main)

    def test_server_notices_a_client_that_hangs_up_mid_stream(self, run):
        async def main():
            app = asgi_app.make_app()
            async with serve(app) as url, httpx.AsyncClient(base_url=url) as client:
                async with client.stream("GET", "/endless") as response:
                    got = b""
                    async for piece in response.aiter_bytes():
                        got += piece
                        if len(got) >= 16384:
                            break
                    check_bytes(got[:16384], chunk(0, 16384), "first chunk")
                # Leaving the stream unread closes its connection; the body's
                # generator then ends, cancelled or closed.
                ended = await app.state.hangups.get()
                assert issubclass(ended, (asyncio.CancelledError, GeneratorExit)), ended
                response = await client.get("/hello")
                assert response.text == "hello, world"

        run(main)


class TestWebSocket:
    @certs.over_tls
    def test_echo_of_text_and_binary_messages_then_a_clean_close(self, run, tls):
        messages = ["hello", "ünïcödé ✓", "", bytes(range(256)), body(300 * 1024), b""]
        burst = [f"text {i}" if i % 2 else body(i * 100, seed=i) for i in range(20)]

        async def check_reply(ws, sent):
            reply = await ws.receive()
            if isinstance(sent, str):
                assert (reply.type, reply.data) == (WSMsgType.TEXT, sent)
            else:
                assert reply.type == WSMsgType.BINARY, reply
                check_bytes(reply.data, sent, "binary echo")

        async def send(ws, sent):
            await (ws.send_str(sent) if isinstance(sent, str) else ws.send_bytes(sent))

        async def main():
            app = asgi_app.make_app()
            async with serve(app, tls) as url, aiohttp.ClientSession() as session:
                async with session.ws_connect(f"{url}/ws", ssl=certs.verify(tls)) as ws:
                    for sent in messages:
                        await send(ws, sent)
                        await check_reply(ws, sent)
                    # A burst sent before reading anything comes back in order.
                    for sent in burst:
                        await send(ws, sent)
                    for sent in burst:
                        await check_reply(ws, sent)
                    assert await ws.close() is True
                    assert ws.close_code == aiohttp.WSCloseCode.OK
                assert await app.state.ws_closed.get() == ("client", aiohttp.WSCloseCode.OK)

        run(main)

    def test_close_from_the_server_reaches_the_client(self, run):
        async def main():
            app = asgi_app.make_app()
            async with serve(app) as url, aiohttp.ClientSession() as session:
                async with session.ws_connect(f"{url}/ws") as ws:
                    await ws.send_str("close me")
                    message = await ws.receive()
                    assert message.type == WSMsgType.CLOSE
                    assert (message.data, message.extra) == (4000, "bye")
                    assert ws.closed and ws.close_code == 4000
                assert await app.state.ws_closed.get() == ("server", None)

        run(main)


class TestCommandLine:
    def test_loop_option_takes_a_loop_factory(self, run, loop_kind):
        # uvicorn --loop module:function runs the server on a loop that
        # function makes; SIGTERM then shuts it down gracefully.
        factory = loop_kind.factory  # named where it is defined: "velkorio:new_event_loop"
        command = [
            sys.executable, "-m", "uvicorn", "--factory", "asgi_app:make_app", "--app-dir", HERE,
            "--host", "127.0.0.1", "--port", "0", "--loop", f"{factory.__module__}:{factory.__qualname__}",
            "--lifespan", "on", "--no-access-log",
        ]

        async def read_until(stream, pattern, log):
            while line := await stream.readline():
                log.append(line.decode(errors="replace"))
                if match := re.search(pattern, log[-1]):
                    return match
            raise AssertionError(f"uvicorn ended its output without {pattern!r}:\n{''.join(log)}")

        async def main():
            process = await asyncio.create_subprocess_exec(
                *command, stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.DEVNULL,
                stderr=asyncio.subprocess.PIPE,
            )
            log: list[str] = []
            try:
                started = await read_until(process.stderr, r"Uvicorn running on (http://127\.0\.0\.1:\d+)", log)
                url = started[1]
                async with httpx.AsyncClient(base_url=url) as client:
                    response = await client.get("/loop")
                    assert response.status_code == 200
                    cls = loop_kind.loop_class
                    assert f"{cls.__module__}:{cls.__qualname__}" in response.text.splitlines(), response.text
                    sent = body(1024 * 1024 + 7)
                    response = await client.post("/echo", content=sent)
                    check_bytes(response.content, sent, "echo from the uvicorn process")
                process.terminate()
                await read_until(process.stderr, r"Finished server process", log)
                log.append((await process.stderr.read()).decode(errors="replace"))
                # uvicorn re-raises the SIGTERM it caught once it has shut down.
                assert await process.wait() == -signal.SIGTERM, "".join(log)
            finally:
                if process.returncode is None:
                    process.kill()
                    await process.wait()

        run(main)
