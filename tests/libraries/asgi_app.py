"""A Starlette application for the uvicorn tests, served on 127.0.0.1.

make_app() builds a fresh one (its queues belong to the loop that first
waits on them, so every test makes its own); ``uvicorn --factory
asgi_app:make_app`` serves one from the command line.

Routes:

    GET  /hello            "hello, world"
    GET  /id/{n}           the text "n", for matching answers to requests
    GET  /loop             "module:Class" of each class of the loop running the
                           application, its own first, one a line
    POST /echo             the request body, byte for byte
    POST /json             the request body parsed as JSON and rendered back
                           compactly (what json.dumps(..., ensure_ascii=False,
                           separators=(",", ":")) makes)
    GET  /stream?chunks=N&size=S
                           a streamed response of N numbered chunks of S bytes
                           (web_app.chunk())
    GET  /lockstep?chunks=N
                           a streamed response that sends chunk i+1 only after
                           the client has put i on app.state.proceed
    GET  /endless          numbered chunks until the client hangs up; how the
                           body's generator ended goes to app.state.hangups
    WS   /ws               echoes text and binary messages; the text "close
                           me" makes the server close with 4000 "bye"; how
                           the socket ended goes to app.state.ws_closed:
                           ("server", None) or ("client", its close code)
"""

from __future__ import annotations

import asyncio
import contextlib

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse, Response, StreamingResponse
from starlette.routing import Route, WebSocketRoute
from starlette.websockets import WebSocket

from web_app import chunk


async def hello(request: Request) -> Response:
    return PlainTextResponse("hello, world")


async def ident(request: Request) -> Response:
    return PlainTextResponse(request.path_params["n"])


async def which_loop(request: Request) -> Response:
    classes = type(asyncio.get_running_loop()).__mro__
    return PlainTextResponse("\n".join(f"{cls.__module__}:{cls.__qualname__}" for cls in classes))


async def echo(request: Request) -> Response:
    return Response(await request.body(), media_type="application/octet-stream")


async def echo_json(request: Request) -> Response:
    return JSONResponse(await request.json())


async def stream(request: Request) -> Response:
    chunks, size = int(request.query_params["chunks"]), int(request.query_params["size"])

    async def body():
        for index in range(chunks):
            yield chunk(index, size)

    return StreamingResponse(body(), media_type="application/octet-stream")


async def lockstep(request: Request) -> Response:
    chunks = int(request.query_params["chunks"])
    proceed: asyncio.Queue = request.app.state.proceed

    async def body():
        for index in range(chunks):
            yield chunk(index, 64)
            seen = await proceed.get()
            if seen != index:
                raise AssertionError(f"the client acknowledged chunk {seen} after chunk {index} was sent")

    return StreamingResponse(body(), media_type="application/octet-stream")


async def endless(request: Request) -> Response:
    hangups: asyncio.Queue = request.app.state.hangups

    async def body():
        index = 0
        try:
            while True:
                yield chunk(index, 16384)
                index += 1
                # Once the client is gone, uvicorn drops what is sent without
                # waiting: a producer that never awaits would starve the loop.
                await asyncio.sleep(0)
        except BaseException as exc:
            # Cancelled while waiting to send, or closed by its consumer.
            hangups.put_nowait(type(exc))
            raise

    return StreamingResponse(body(), media_type="application/octet-stream")


async def websocket(ws: WebSocket) -> None:
    closed: asyncio.Queue = ws.app.state.ws_closed
    await ws.accept()
    while True:
        message = await ws.receive()
        if message["type"] == "websocket.disconnect":
            closed.put_nowait(("client", message.get("code")))
            return
        if message.get("text") is not None:
            if message["text"] == "close me":
                await ws.close(code=4000, reason="bye")
                closed.put_nowait(("server", None))
                return
            await ws.send_text(message["text"])
        else:
            await ws.send_bytes(message["bytes"])


def make_app() -> Starlette:
    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette):
        app.state.started = True
        yield

    app = Starlette(
        routes=[
            Route("/hello", hello),
            Route("/id/{n}", ident),
            Route("/loop", which_loop),
            Route("/echo", echo, methods=["POST"]),
            Route("/json", echo_json, methods=["POST"]),
            Route("/stream", stream),
            Route("/lockstep", lockstep),
            Route("/endless", endless),
            WebSocketRoute("/ws", websocket),
        ],
        lifespan=lifespan,
    )
    app.state.started = False
    app.state.proceed = asyncio.Queue()
    app.state.hangups = asyncio.Queue()
    app.state.ws_closed = asyncio.Queue()
    return app
