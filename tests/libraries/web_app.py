"""An aiohttp.web application for the HTTP client tests, served on 127.0.0.1.

Routes:

    GET  /hello            "hello, world"
    GET  /id/{n}           the text "n", for matching answers to requests
    POST /echo             the request body, byte for byte
    GET  /stream?chunks=N&size=S
                           a chunked response of N numbered chunks of S bytes
                           (see chunk())
    GET  /lockstep?chunks=N
                           a chunked response that sends chunk i+1 only after
                           the client has put i on app[PROCEED]: the client
                           must see each chunk while the response is still open
    GET  /endless          numbered chunks until writing fails; the failure
                           (or the handler's cancellation) goes to app[HANGUPS]
    GET  /never            answers nothing; its handler's end goes to app[HANGUPS]
    GET  /ws               a websocket that echoes text and binary frames; the
                           text "close me" makes the server close with 4000
                           "bye"; how the socket ended goes to app[WS_CLOSED]:
                           ("server", whether the client completed the
                           closing handshake) or ("client", its close code)
"""

from __future__ import annotations

import asyncio
import contextlib

from aiohttp import WSMsgType, web

import certs

PROCEED = web.AppKey("proceed", asyncio.Queue)
HANGUPS = web.AppKey("hangups", asyncio.Queue)
WS_CLOSED = web.AppKey("ws_closed", asyncio.Queue)


def chunk(index: int, size: int) -> bytes:
    """Chunk `index` of a stream: its number, then a filler that depends on it."""
    head = b"%08d:" % index
    fill = bytes([65 + index % 26]) * max(0, size - len(head))
    return (head + fill)[:size]


async def hello(request: web.Request) -> web.Response:
    return web.Response(text="hello, world")


async def ident(request: web.Request) -> web.Response:
    return web.Response(text=request.match_info["n"])


async def echo(request: web.Request) -> web.Response:
    return web.Response(body=await request.read(), content_type="application/octet-stream")


async def stream(request: web.Request) -> web.StreamResponse:
    chunks, size = int(request.query["chunks"]), int(request.query["size"])
    response = web.StreamResponse()
    response.enable_chunked_encoding()
    await response.prepare(request)
    for index in range(chunks):
        await response.write(chunk(index, size))  # waits while the socket's buffer is full
    await response.write_eof()
    return response


async def lockstep(request: web.Request) -> web.StreamResponse:
    chunks = int(request.query["chunks"])
    proceed = request.app[PROCEED]
    response = web.StreamResponse()
    response.enable_chunked_encoding()
    await response.prepare(request)
    for index in range(chunks):
        await response.write(chunk(index, 64))
        seen = await proceed.get()
        if seen != index:
            raise AssertionError(f"the client acknowledged chunk {seen} after chunk {index} was sent")
    await response.write_eof()
    return response


async def endless(request: web.Request) -> web.StreamResponse:
    response = web.StreamResponse()
    response.enable_chunked_encoding()
    await response.prepare(request)
    index = 0
    try:
        while True:
            await response.write(chunk(index, 16384))
            index += 1
    except (ConnectionError, asyncio.CancelledError) as exc:
        request.app[HANGUPS].put_nowait(type(exc))
        raise
    return response


async def never(request: web.Request) -> web.Response:
    try:
        await asyncio.Event().wait()
    except asyncio.CancelledError:
        request.app[HANGUPS].put_nowait(asyncio.CancelledError)
        raise
    raise AssertionError("unreachable")


async def websocket(request: web.Request) -> web.WebSocketResponse:
    ws = web.WebSocketResponse()
    await ws.prepare(request)
    async for message in ws:
        if message.type == WSMsgType.TEXT:
            if message.data == "close me":
                # True once the client has answered the closing handshake.
                request.app[WS_CLOSED].put_nowait(("server", await ws.close(code=4000, message=b"bye")))
                return ws
            await ws.send_str(message.data)
        elif message.type == WSMsgType.BINARY:
            await ws.send_bytes(message.data)
        else:
            break
    request.app[WS_CLOSED].put_nowait(("client", ws.close_code))
    return ws


def make_app() -> web.Application:
    app = web.Application(client_max_size=16 * 1024 * 1024)
    app[PROCEED] = asyncio.Queue()
    app[HANGUPS] = asyncio.Queue()
    app[WS_CLOSED] = asyncio.Queue()
    app.router.add_get("/hello", hello)
    app.router.add_get("/id/{n}", ident)
    app.router.add_post("/echo", echo)
    app.router.add_get("/stream", stream)
    app.router.add_get("/lockstep", lockstep)
    app.router.add_get("/endless", endless)
    app.router.add_get("/never", never)
    app.router.add_get("/ws", websocket)
    return app


@contextlib.asynccontextmanager
async def serve(app: web.Application, tls: bool = False):
    """Serves `app` on 127.0.0.1 at a port of the kernel's choosing; yields its base URL.

    With `tls`, over TLS with the test certificate (see certs): the URL is then https://."""
    # handler_cancellation: a handler is cancelled when its client hangs up,
    # which is how /never learns of it.
    runner = web.AppRunner(app, access_log=None, shutdown_timeout=5, handler_cancellation=True)
    await runner.setup()
    try:
        site = web.TCPSite(runner, "127.0.0.1", 0, ssl_context=certs.server_context() if tls else None)
        await site.start()
        host, port = runner.addresses[0][:2]
        yield f"{'https' if tls else 'http'}://{host}:{port}"
    finally:
        await runner.cleanup()
