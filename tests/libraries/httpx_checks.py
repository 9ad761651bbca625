"""What httpx's AsyncClient checks against any server with the common routes
(/echo, /id/N): the aiohttp app and the Starlette app under uvicorn."""

from __future__ import annotations

import asyncio

import httpx

from payloads import body, check_bytes, stream, upload_pieces


async def streamed_upload_comes_back(url: str) -> None:
    pieces = upload_pieces()
    async with httpx.AsyncClient(base_url=url) as client:
        response = await client.post("/echo", content=stream(pieces))
        assert response.status_code == 200
        check_bytes(response.content, b"".join(pieces), "echo of a streamed upload")


async def concurrent_requests_get_their_own_answers(url: str) -> None:
    # 50 at once, first on as many connections as they like, then queued on
    # 5 kept-alive ones.
    async def one(client, i):
        if i % 2:
            response = await client.get(f"/id/{i}")
            assert (response.status_code, response.text) == (200, str(i))
        else:
            sent = body(10_000 + i, seed=i)
            response = await client.post("/echo", content=sent)
            assert response.status_code == 200
            check_bytes(response.content, sent, f"echo for request {i}")

    for limits in (httpx.Limits(max_connections=100), httpx.Limits(max_connections=5)):
        async with httpx.AsyncClient(base_url=url, limits=limits) as client:
            await asyncio.gather(*(one(client, i) for i in range(50)))
