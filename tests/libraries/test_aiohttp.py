"""aiohttp's server and client, both on the loop under test, talking over 127.0.0.1.

The tests marked certs.over_tls run twice: over plain TCP and over TLS, where
the server's certificate is verified against the test CA (see certs).
"""

import pytest

import library_loops

if reason := library_loops.reason_to_skip():
    pytest.skip(reason, allow_module_level=True)

import asyncio  # noqa: E402
import ssl  # noqa: E402

import aiohttp  # noqa: E402
from aiohttp import WSMsgType  # noqa: E402

import certs  # noqa: E402
import payloads  # noqa: E402
import web_app  # noqa: E402
from payloads import body, check_bytes, stream, upload_pieces  # noqa: E402
from web_app import chunk  # noqa: E402

SIZES = [*payloads.SIZES, 5 * 1024 * 1024 + 3]


def client_session(tls: bool, **connector) -> aiohttp.ClientSession:
    """A client session; over TLS it trusts the test CA and nothing else."""
    connector = aiohttp.TCPConnector(ssl=certs.verify(tls), **connector)
    return aiohttp.ClientSession(connector=connector)


class TestRequests:
    def test_gets_on_one_session(self, run):
        async def main():
            async with web_app.serve(web_app.make_app()) as url, aiohttp.ClientSession() as session:
                for _ in range(5):
                    async with session.get(f"{url}/hello") as response:
                        assert response.status == 200
                        assert response.headers["Content-Type"].startswith("text/plain")
                        assert await response.text() == "hello, world"

        run(main)

    @certs.over_tls
    def test_post_bodies_come_back_byte_for_byte(self, run, tls):
        async def main():
            async with web_app.serve(web_app.make_app(), tls) as url, client_session(tls) as session:
                for size in SIZES:
                    sent = body(size)
                    async with session.post(f"{url}/echo", data=sent) as response:
                        assert response.status == 200
                        check_bytes(await response.read(), sent, f"echo of {size} bytes")

        run(main)

    def test_chunked_upload_comes_back_byte_for_byte(self, run):
        pieces = upload_pieces()

        async def main():
            async with web_app.serve(web_app.make_app()) as url, aiohttp.ClientSession() as session:
                async with session.post(f"{url}/echo", data=stream(pieces)) as response:
                    assert response.status == 200
                    check_bytes(await response.read(), b"".join(pieces), "echo of a chunked upload")

        run(main)

    @certs.over_tls
    def test_concurrent_requests_each_get_their_own_answer(self, run, tls):
        # 50 at once, first each on its own connection, then queued on 5
        # kept-alive connections: an answer must never reach another request.
        async def one(session, url, i):
            if i % 2:
                async with session.get(f"{url}/id/{i}") as response:
                    assert (response.status, await response.text()) == (200, str(i))
            else:
                sent = body(10_000 + i, seed=i)
                async with session.post(f"{url}/echo", data=sent) as response:
                    assert response.status == 200
                    check_bytes(await response.read(), sent, f"echo for request {i}")

        async def main():
            async with web_app.serve(web_app.make_app(), tls) as url:
                for limit in (100, 5):
                    async with client_session(tls, limit=limit) as session:
                        await asyncio.gather(*(one(session, url, i) for i in range(50)))

        run(main)

    def test_read_timeout_abandons_the_request_and_the_server_notices(self, run):
        async def main():
            app = web_app.make_app()
            async with web_app.serve(app) as url, aiohttp.ClientSession() as session:
                timeout = aiohttp.ClientTimeout(sock_read=0.2)
                try:
                    async with session.get(f"{url}/never", timeout=timeout):
                        raise AssertionError("/never answered")
                except TimeoutError:
                    pass
                # The client closed that connection; the server's handler is
                # cancelled once the loop reports the connection lost.
                assert await app[web_app.HANGUPS].get() is asyncio.CancelledError
                async with session.get(f"{url}/hello") as response:
                    assert await response.text() == "hello, world"

        run(main)


class TestStreaming:
    def test_each_chunk_arrives_while_the_response_is_open(self, run):
        # The server sends chunk i+1 only once the client has read chunk i,
        # so a chunk held back anywhere (a missed read, a buffered write)
        # hangs the exchange.
        async def main():
            app = web_app.make_app()
            async with web_app.serve(app) as url, aiohttp.ClientSession() as session:
                async with session.get(f"{url}/lockstep", params={"chunks": 20}) as response:
                    assert response.status == 200
                    for index in range(20):
                        check_bytes(await response.content.readexactly(64), chunk(index, 64), f"chunk {index}")
                        app[web_app.PROCEED].put_nowait(index)
                    assert await response.content.read() == b""

        run(main)

    @certs.over_tls
    def test_large_download_read_in_small_pieces_is_intact(self, run, tls):
        # 4 MiB, read 1000 bytes at a time: the client's buffer fills, so
        # reading from the socket is paused and resumed many times.
        chunks, size = 256, 16384
        want = b"".join(chunk(i, size) for i in range(chunks))

        async def main():
            async with web_app.serve(web_app.make_app(), tls) as url, client_session(tls) as session:
                async with session.get(f"{url}/stream", params={"chunks": chunks, "size": size}) as response:
                    assert response.status == 200
                    assert response.headers["Transfer-Encoding"] == "chunked"
                    got = bytearray()
                    async for piece in response.content.iter_chunked(1000):
                        got += piece
                    check_bytes(bytes(got), want, "streamed download")

        run(main)

    def test_server_notices_a_client_that_hangs_up_mid_stream(self, run):
        async def main():
            app = web_app.make_app()
            async with web_app.serve(app) as url, aiohttp.ClientSession() as session:
                response = await session.get(f"{url}/endless")
                check_bytes(await response.content.readexactly(16384), chunk(0, 16384), "first chunk")
                response.close()  # drops the connection
                ended = await app[web_app.HANGUPS].get()
                assert issubclass(ended, (ConnectionError, asyncio.CancelledError)), ended

        run(main)


class TestWebSocket:
    @certs.over_tls
    def test_echo_of_text_and_binary_frames_then_a_clean_close(self, run, tls):
        messages = ["hello", "ünïcödé ✓", "", bytes(range(256)), body(300 * 1024), b""]
        burst = [f"text {i}" if i % 2 else body(i * 100, seed=i) for i in range(20)]

        async def exchange(ws, sent):
            if isinstance(sent, str):
                await ws.send_str(sent)
                reply = await ws.receive()
                assert (reply.type, reply.data) == (WSMsgType.TEXT, sent)
            else:
                await ws.send_bytes(sent)
                reply = await ws.receive()
                assert reply.type == WSMsgType.BINARY
                check_bytes(reply.data, sent, "binary echo")

        async def main():
            app = web_app.make_app()
            async with web_app.serve(app, tls) as url, client_session(tls) as session:
                async with session.ws_connect(f"{url}/ws") as ws:
                    for sent in messages:
                        await exchange(ws, sent)
                    # A burst sent before reading anything comes back in order.
                    for sent in burst:
                        await (ws.send_str(sent) if isinstance(sent, str) else ws.send_bytes(sent))
                    for sent in burst:
                        reply = await ws.receive()
                        if isinstance(sent, str):
                            assert (reply.type, reply.data) == (WSMsgType.TEXT, sent)
                        else:
                            assert reply.type == WSMsgType.BINARY
                            check_bytes(reply.data, sent, "binary echo in a burst")
                    assert await ws.close() is True
                    assert ws.close_code == aiohttp.WSCloseCode.OK
                assert await app[web_app.WS_CLOSED].get() == ("client", aiohttp.WSCloseCode.OK)

        run(main)

    def test_close_from_the_server_reaches_the_client(self, run):
        async def main():
            app = web_app.make_app()
            async with web_app.serve(app) as url, aiohttp.ClientSession() as session:
                async with session.ws_connect(f"{url}/ws") as ws:
                    await ws.send_str("close me")
                    message = await ws.receive()
                    assert message.type == WSMsgType.CLOSE
                    assert (message.data, message.extra) == (4000, "bye")
                    assert ws.closed and ws.close_code == 4000
                assert await app[web_app.WS_CLOSED].get() == ("server", True)

        run(main)


class TestTLS:
    @pytest.mark.parametrize(
        "trust_ca, hostname, verify_code",
        [(False, None, 20), (True, "example.com", 62)],  # unknown issuer; name mismatch
        ids=["unknown-ca", "wrong-name"],
    )
    def test_a_certificate_that_fails_verification_is_refused(self, run, trust_ca, hostname, verify_code):
        # The client refuses the handshake; the server drops that connection
        # and goes on serving a client that verifies it.
        async def main():
            async with web_app.serve(web_app.make_app(), tls=True) as url:
                connector = aiohttp.TCPConnector(ssl=certs.client_context(trust_ca))
                async with aiohttp.ClientSession(connector=connector) as session:
                    with pytest.raises(aiohttp.ClientConnectorCertificateError) as refused:
                        await session.get(f"{url}/hello", server_hostname=hostname)
                    error = refused.value.certificate_error
                    assert isinstance(error, ssl.SSLCertVerificationError), error
                    assert error.verify_code == verify_code, error
                async with client_session(tls=True) as session, session.get(f"{url}/hello") as response:
                    assert await response.text() == "hello, world"

        run(main)
