"""asyncpg on the loop under test, against a PostgreSQL server of the module's own.

The `postgres` fixture makes a cluster in a temporary directory (initdb) and
starts it (pg_ctl) for the module, listening on a Unix socket in that
directory and on 127.0.0.1, at a port that was free, where it also takes
TLS with the test certificate (see certs); at the end it stops the server
and removes the directory. PostgreSQL refuses to run as root, so when the tests
run as root the cluster belongs to `nobody`. The module is skipped only when
initdb and pg_ctl cannot be found.
"""

import glob
import os
import shutil

import pytest

import library_loops


def _postgres_bin() -> str | None:
    """The directory holding initdb and pg_ctl: on PATH, else the newest installed."""
    if (initdb := shutil.which("initdb")) and shutil.which("pg_ctl"):
        return os.path.dirname(initdb)

    def version(path: str) -> tuple:
        number = path.split(os.sep)[-2]
        return tuple(int(part) for part in number.split(".") if part.isdigit())

    for directory in sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=version, reverse=True):
        if all(os.access(os.path.join(directory, tool), os.X_OK) for tool in ("initdb", "pg_ctl")):
            return directory
    return None


if reason := library_loops.reason_to_skip():
    pytest.skip(reason, allow_module_level=True)
PG_BIN = _postgres_bin()
if PG_BIN is None:
    pytest.skip(
        "PostgreSQL's initdb and pg_ctl are neither on PATH nor in /usr/lib/postgresql/*/bin",
        allow_module_level=True,
    )

import asyncio  # noqa: E402
import datetime  # noqa: E402
import decimal  # noqa: E402
import ipaddress  # noqa: E402
import pwd  # noqa: E402
import socket  # noqa: E402
import ssl  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import uuid  # noqa: E402

import asyncpg  # noqa: E402

import certs  # noqa: E402
from payloads import body as blob, check_bytes  # noqa: E402


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture(scope="module")
def postgres():
    """Starts a PostgreSQL server for the module; yields asyncpg's connect()
    arguments for its Unix socket. With host="127.0.0.1" they reach it over TCP."""
    as_user: dict = {}
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")
        as_user = {"user": nobody.pw_uid, "group": nobody.pw_gid, "extra_groups": []}
    # In /tmp, not $TMPDIR: a short path (a socket's path is limited to
    # about 100 bytes) that `nobody` can reach.
    base = tempfile.mkdtemp(prefix="velkor-pg-", dir="/tmp")
    data = os.path.join(base, "data")
    log = os.path.join(base, "server.log")
    if as_user:
        os.chown(base, as_user["user"], as_user["group"])
    os.chmod(base, 0o755)

    def pg(tool: str, *args: str, timeout: float) -> None:
        # Output to a file, not a pipe: pg_ctl's server would hold a pipe open.
        with open(os.path.join(base, f"{tool}.out"), "wb") as out:
            status = subprocess.run(
                [os.path.join(PG_BIN, tool), *args], stdin=subprocess.DEVNULL, stdout=out,
                stderr=subprocess.STDOUT, cwd=base, timeout=timeout, **as_user,
            ).returncode
        if status != 0:
            with open(os.path.join(base, f"{tool}.out"), errors="replace") as out:
                text = out.read()
            if os.path.exists(log):
                with open(log, errors="replace") as server_log:
                    text += "\nserver log:\n" + server_log.read()
            raise RuntimeError(f"{tool} {' '.join(args)} exited {status}:\n{text}")

    try:
        initdb = ["-D", data, "-U", "postgres", "-A", "trust", "-E", "UTF8", "--no-locale", "--no-sync"]
        pg("initdb", *initdb, timeout=120)
        port = _free_port()  # also names the socket file
        options = f"-k {base} -p {port} -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=60"
        if os.path.exists(certs.SERVER):
            # The certificate and its key in one file, which the server takes
            # only when none but its owner, the server's user, may read it.
            pem = os.path.join(base, "server.pem")
            shutil.copyfile(certs.SERVER, pem)
            os.chmod(pem, 0o600)
            if as_user:
                os.chown(pem, as_user["user"], as_user["group"])
            options += f" -c ssl=on -c ssl_cert_file={pem} -c ssl_key_file={pem}"
        pg("pg_ctl", "start", "-D", data, "-l", log, "-w", "-t", "30", "-o", options, timeout=60)
        yield {"host": base, "port": port, "user": "postgres", "database": "postgres"}
    finally:
        try:
            # Also after a start that failed to finish: the server may run.
            if os.path.exists(os.path.join(data, "postmaster.pid")):
                try:
                    pg("pg_ctl", "stop", "-D", data, "-m", "fast", "-w", "-t", "20", timeout=30)
                except (RuntimeError, subprocess.TimeoutExpired):
                    pg("pg_ctl", "stop", "-D", data, "-m", "immediate", "-w", "-t", "20", timeout=30)
        finally:
            shutil.rmtree(base, ignore_errors=True)


class TestConnection:
    def test_connects_over_the_unix_socket(self, run, postgres):
        async def main():
            conn = await asyncpg.connect(**postgres)
            try:
                assert await conn.fetchval("select current_user") == "postgres"
                # NULL: the session came over a Unix socket, not TCP.
                assert await conn.fetchval("select inet_server_addr()") is None
                assert await conn.fetchval("select 1 + $1::int", 41) == 42
            finally:
                await conn.close()
            assert conn.is_closed()

        run(main)


class TestTypes:
    VALUES = [
        ("int4", -(2**31)),
        ("int8", 2**63 - 1),
        ("float8", -1.5e300),
        ("numeric", decimal.Decimal("-12345678901234567890.0123456789")),
        ("text", "ünïcödé ✓ 'quoted' \\ and a\nnewline"),
        ("text", "x" * 1_000_000),
        ("bytea", b""),
        ("bytea", blob(1024 * 1024 + 7)),
        ("bool", False),
        ("int4", None),
        ("date", datetime.date(1999, 12, 31)),
        ("timestamptz", datetime.datetime(2024, 2, 29, 23, 59, 59, 999999, tzinfo=datetime.UTC)),
        ("interval", datetime.timedelta(days=-3, seconds=7, microseconds=11)),
        ("uuid", uuid.UUID("12345678-1234-5678-1234-567812345678")),
        ("json", '{"b": [1, 2.5, null], "a": "é"}'),
        ("inet", ipaddress.ip_address("127.0.0.1")),
        ("int4[]", [[1, 2, 3], [4, 5, 6]]),
        ("text[]", ["a", None, "", "ü"]),
    ]

    def test_parameters_come_back_as_sent(self, run, postgres):
        async def main():
            conn = await asyncpg.connect(**postgres)
            try:
                for type_name, value in self.VALUES:
                    got = await conn.fetchval(f"select $1::{type_name}", value)
                    if isinstance(value, bytes):
                        check_bytes(got, value, f"{type_name} of {len(value)} bytes")
                    else:
                        assert got == value and isinstance(got, type(value)), (type_name, got)
                # All of them in one row, both ways.
                placeholders = ", ".join(f"${i + 1}::{t}" for i, (t, _) in enumerate(self.VALUES))
                row = await conn.fetchrow(f"select {placeholders}", *(v for _, v in self.VALUES))
                assert list(row) == [v for _, v in self.VALUES]
            finally:
                await conn.close()

        run(main)

    def test_rows_in_bulk_survive_the_trip(self, run, postgres):
        # Tens of thousands of rows each way: executemany, COPY, a cursor and
        # a large result, so that reading and writing the socket pause and
        # resume many times.
        rows = [(i, f"row {i} ✓", blob(i % 300, seed=i)) for i in range(20_000)]

        async def main():
            conn = await asyncpg.connect(**postgres)
            try:
                await conn.execute("create temporary table t (id int primary key, name text, data bytea)")
                await conn.executemany("insert into t values ($1, $2, $3)", rows[:5000])
                assert await conn.copy_records_to_table("t", records=rows[5000:]) == "COPY 15000"
                got = await conn.fetch("select id, name, data from t order by id")
                assert [tuple(r) for r in got] == rows
                async with conn.transaction():
                    seen = [tuple(r) async for r in conn.cursor("select * from t order by id", prefetch=333)]
                assert seen == rows
                total = await conn.fetch("select i, md5(i::text) from generate_series(1, 200000) as i")
                assert len(total) == 200_000 and total[-1][0] == 200_000
            finally:
                await conn.close()

        run(main)


class TestTransactions:
    def test_a_failed_transaction_is_rolled_back(self, run, postgres):
        async def main():
            conn = await asyncpg.connect(**postgres)
            try:
                await conn.execute("create temporary table t (id int primary key)")
                await conn.execute("insert into t values (1)")

                with pytest.raises(ZeroDivisionError):
                    async with conn.transaction():
                        await conn.execute("insert into t values (2)")
                        assert await conn.fetchval("select count(*) from t") == 2
                        1 / 0
                assert not conn.is_in_transaction()
                assert await conn.fetchval("select array_agg(id order by id) from t") == [1]

                # A failing statement rolls back to its savepoint only.
                async with conn.transaction():
                    await conn.execute("insert into t values (3)")
                    with pytest.raises(asyncpg.UniqueViolationError):
                        async with conn.transaction():
                            await conn.execute("insert into t values (4)")
                            await conn.execute("insert into t values (1)")
                assert await conn.fetchval("select array_agg(id order by id) from t") == [1, 3]

                tr = conn.transaction()
                await tr.start()
                await conn.execute("delete from t")
                await tr.rollback()
                assert await conn.fetchval("select array_agg(id order by id) from t") == [1, 3]
            finally:
                await conn.close()

        run(main)


class TestPool:
    def test_many_concurrent_queries_each_get_their_own_answer(self, run, postgres):
        async def one(pool, i):
            if i % 3:
                row = await pool.fetchrow("select $1::int, pg_backend_pid(), pg_sleep(0.001)", i)
                assert row[0] == i
                return row[1]
            sent = blob(20_000 + i, seed=i)
            async with pool.acquire() as conn:
                got = await conn.fetchval("select $1::bytea", sent)
                check_bytes(got, sent, f"bytea for query {i}")
                return conn.get_server_pid()

        async def main():
            async with asyncpg.create_pool(min_size=2, max_size=10, **postgres) as pool:
                backends = await asyncio.gather(*(one(pool, i) for i in range(400)))
                assert 1 < len(set(backends)) <= 10, set(backends)

        run(main)


class TestCancellation:
    def test_a_timed_out_query_leaves_the_connection_usable(self, run, postgres):
        async def main():
            conn = await asyncpg.connect(**postgres)
            try:
                for _ in range(3):
                    began = time.monotonic()
                    with pytest.raises(TimeoutError):
                        async with asyncio.timeout(0.2):
                            await conn.fetchval("select pg_sleep(60)")
                    # The server was told to cancel the query: the next one
                    # answers long before the sleep would have ended.
                    assert await conn.fetchval("select $1::text", "after") == "after"
                    assert time.monotonic() - began < 20
                    assert not conn.is_in_transaction()
                # asyncpg's own timeout takes the same path.
                with pytest.raises(TimeoutError):
                    await conn.fetchval("select pg_sleep(60)", timeout=0.2)
                assert await conn.fetchval("select 2") == 2
            finally:
                await conn.close()

        run(main, timeout=40)

    def test_a_cancelled_query_on_a_pool_connection(self, run, postgres):
        async def main():
            async with asyncpg.create_pool(min_size=1, max_size=1, **postgres) as pool:
                sleeper = asyncio.create_task(pool.fetchval("select pg_sleep(60) -- sleeper"))
                waiting = asyncio.create_task(pool.fetchval("select 'next'"))
                # Cancel the task once its query runs on the server.
                watcher = await asyncpg.connect(**postgres)
                try:
                    while not await watcher.fetchval(
                        "select count(*) from pg_stat_activity where query like '%-- sleeper' and state = 'active'"
                        " and pid <> pg_backend_pid()"
                    ):
                        pass
                finally:
                    await watcher.close()
                sleeper.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await sleeper
                # The pool's one connection serves the next query, long
                # before the sleep would have ended.
                assert await waiting == "next"

        run(main, timeout=40)


class TestNotifications:
    def test_listen_and_notify(self, run, postgres):
        async def main():
            listener = await asyncpg.connect(**postgres)
            notifier = await asyncpg.connect(**postgres)
            received: asyncio.Queue = asyncio.Queue()

            def on_notify(conn, pid, channel, payload):
                received.put_nowait((conn, pid, channel, payload))

            try:
                await listener.add_listener("velkor events", on_notify)
                payloads = [f"event {i}" for i in range(20)] + ["", "ü" * 3000]
                for payload in payloads:
                    await notifier.execute("select pg_notify('velkor events', $1)", payload)
                # Only a committed transaction's notifications are delivered.
                async with notifier.transaction():
                    await notifier.execute("select pg_notify('velkor events', 'committed')")
                tr = notifier.transaction()
                await tr.start()
                await notifier.execute("select pg_notify('velkor events', 'rolled back')")
                await tr.rollback()
                for payload in [*payloads, "committed"]:
                    conn, pid, channel, got = await received.get()
                    assert (conn, pid, channel, got) == (listener, notifier.get_server_pid(), "velkor events", payload)
                # The rolled back one never comes: the server would have sent
                # it before answering this query.
                await listener.fetchval("select 1")
                assert received.empty(), received.get_nowait()

                await listener.remove_listener("velkor events", on_notify)
                await notifier.execute("select pg_notify('velkor events', 'unheard')")
                await listener.fetchval("select 1")
                assert received.empty(), received.get_nowait()
            finally:
                await listener.close()
                await notifier.close()

        run(main)


class TestTLS:
    @pytest.mark.parametrize("verified", [False, True], ids=["require", "verify-full"])
    def test_a_session_over_tls(self, run, postgres, verified):
        # asyncpg asks for TLS on the new TCP connection, then hands it to
        # start_tls. With ssl="require" any certificate will do; a context
        # verifies it against the test CA and the address 127.0.0.1.
        sent = blob(3 * 1024 * 1024 + 1)

        async def main():
            tcp = dict(postgres, host="127.0.0.1")
            conn = await asyncpg.connect(**tcp, ssl=certs.client_context() if verified else "require")
            try:
                assert await conn.fetchval("select ssl from pg_stat_ssl where pid = pg_backend_pid()") is True
                check_bytes(await conn.fetchval("select $1::bytea", sent), sent, "bytea over TLS")
                rows = await conn.fetch("select i, md5(i::text) from generate_series(1, 100000) as i")
                assert len(rows) == 100_000 and rows[-1][0] == 100_000
                # The cancel request goes over a TLS connection of its own.
                with pytest.raises(TimeoutError):
                    await conn.fetchval("select pg_sleep(60)", timeout=0.2)
                assert await conn.fetchval("select $1::text", "after") == "after"
            finally:
                await conn.close()

        run(main)

    def test_a_server_it_cannot_verify_is_refused(self, run, postgres):
        # Refused, not retried without TLS.
        async def main():
            with pytest.raises(ssl.SSLCertVerificationError):
                await asyncpg.connect(**dict(postgres, host="127.0.0.1"), ssl=certs.client_context(trust_ca=False))

        run(main)
