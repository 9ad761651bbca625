"""httpx's AsyncClient (over anyio's asyncio backend) against aiohttp.web, both on the loop under test.

Over TLS, the client's side is anyio's own (ssl.MemoryBIO over the loop's
plain transport); the server's is the loop's (create_server with ssl=).
"""

import pytest

import library_loops

if reason := library_loops.reason_to_skip():
    pytest.skip(reason, allow_module_level=True)

import asyncio  # noqa: E402

import httpx  # noqa: E402

import certs  # noqa: E402
import httpx_checks  # noqa: E402
import web_app  # noqa: E402
from payloads import SIZES, body, check_bytes  # noqa: E402
from web_app import chunk  # noqa: E402


class TestRequests:
    @certs.over_tls
    def test_get_and_post_bodies_byte_for_byte(self, run, tls):
        async def main():
            async with (
                web_app.serve(web_app.make_app(), tls) as url,
                httpx.AsyncClient(base_url=url, verify=certs.verify(tls)) as client,
            ):
                response = await client.get("/hello")
                assert (response.status_code, response.text) == (200, "hello, world")
                for size in SIZES:
                    sent = body(size)
                    response = await client.post("/echo", content=sent)
                    assert response.status_code == 200
                    check_bytes(response.content, sent, f"echo of {size} bytes")

        run(main)

    def test_streamed_upload_comes_back_byte_for_byte(self, run):
        async def main():
            async with web_app.serve(web_app.make_app()) as url:
                await httpx_checks.streamed_upload_comes_back(url)

        run(main)

    def test_concurrent_requests_each_get_their_own_answer(self, run):
        async def main():
            async with web_app.serve(web_app.make_app()) as url:
                await httpx_checks.concurrent_requests_get_their_own_answers(url)

        run(main)

    def test_read_timeout_abandons_the_request_and_the_server_notices(self, run):
        async def main():
            app = web_app.make_app()
            async with web_app.serve(app) as url, httpx.AsyncClient(base_url=url) as client:
                try:
                    await client.get("/never", timeout=httpx.Timeout(30, read=0.2))
                    raise AssertionError("/never answered")
                except httpx.ReadTimeout:
                    pass
                # httpx dropped that connection; the server's handler is
                # cancelled once the loop reports the connection lost.
                assert await app[web_app.HANGUPS].get() is asyncio.CancelledError
                response = await client.get("/hello")
                assert response.text == "hello, world"

        run(main)


class TestStreaming:
    def test_each_chunk_arrives_while_the_response_is_open(self, run):
        # The server sends chunk i+1 only once the client has read chunk i.
        async def main():
            app = web_app.make_app()
            async with web_app.serve(app) as url, httpx.AsyncClient(base_url=url) as client:
                async with client.stream("GET", "/lockstep", params={"chunks": 20}) as response:
                    assert response.status_code == 200
                    got = b""
                    acknowledged = 0
                    async for piece in response.aiter_bytes():
                        got += piece
                        while acknowledged < 20 and len(got) >= 64 * (acknowledged + 1):
                            app[web_app.PROCEED].put_nowait(acknowledged)
                            acknowledged += 1
                    check_bytes(got, b"".join(chunk(i, 64) for i in range(20)), "lockstep stream")

        run(main)

    def test_large_download_read_in_small_pieces_is_intact(self, run):
        chunks, size = 256, 16384
        want = b"".join(chunk(i, size) for i in range(chunks))

        async def main():
            async with web_app.serve(web_app.make_app()) as url, httpx.AsyncClient(base_url=url) as client:
                async with client.stream("GET", "/stream", params={"chunks": chunks, "size": size}) as response:
                    assert response.status_code == 200
                    got = bytearray()
                    async for piece in response.aiter_bytes(chunk_size=1000):
                        got += piece
                    check_bytes(bytes(got), want, "streamed download")

        run(main)
