"""The benchmark suite's own machinery: each workload on our two loops at a
small count, the fresh-process memory figure, the server processes and
their load client, and how the table, the JSON record and the chart put
velkor and velkorio beside the baselines."""

import _operator
import asyncio
import contextlib
import json
import re
import socket
import ssl
import threading
import time

import pytest

from bench import __main__ as bench_main, interpreters, loops, memory
from bench.harness import LoopResult, Sample, Workload, run_once, summary
from bench.report import record, table
from bench.servers import run as servers, serve
from bench.workloads import BY_NAME, WORKLOADS

KINDS = {k.name: k for k in loops.available()[0]}

# Small enough for the test suite, large enough for each workload's checks
# to mean something (idle's count is its wait in milliseconds).
SMALL_COUNTS = {"idle": 50, "memory": 2_000, "loop-life": 20}


WORKLOAD_CASES = [pytest.param(w, name, id=f"{w.name}-{name}")
                  for w in WORKLOADS if w.group == "loop" for name in loops.SUBJECTS
                  if w.only is None or name in w.only]


class TestWorkloadsOnOurLoops:
    def test_both_subjects_are_available(self):
        kinds, missing = loops.available()
        assert {"velkor", "velkorio"} <= {k.name for k in kinds}, missing

    @pytest.mark.parametrize("workload,loop_name", WORKLOAD_CASES)
    def test_workload_finishes_with_the_right_result(self, workload, loop_name):
        kind = KINDS[loop_name]
        count = SMALL_COUNTS.get(workload.name, 200)
        result = LoopResult(loop_name, count)
        sample = run_once(workload, kind, count, 30.0, result)
        assert result.error is None
        assert sample is not None
        assert "the loop object outlived its last reference" not in result.notes

    def test_velkorio_reader_gets_no_arguments(self):
        # asyncio's signature: add_reader(fd, callback, *args), here with none.
        kind = KINDS["velkorio"]
        loop = kind.new()
        a, b = socket.socketpair()
        calls = []
        try:
            def on_readable(*args):
                calls.append(args)
                loop.stop()

            kind.add_reader(loop, a.fileno(), on_readable)
            b.send(b"x")
            loop.call_later(5, loop.stop)
            loop.run_forever()
            loop.remove_reader(a.fileno())
        finally:
            kind.dispose(loop)
            a.close()
            b.close()
        assert calls == [()]
        assert loop.is_closed()


class TestMemoryInAFreshProcess:
    @pytest.mark.parametrize("loop_name", loops.SUBJECTS)
    def test_measures_the_build_this_process_loaded(self, loop_name):
        sample = memory.measure(loop_name, 2_000, 60.0)
        assert sample.extra["loop"] == loop_name
        assert sample.extra["count"] == 2_000
        assert sample.extra["build"] == loops.loaded_builds[loop_name]
        assert sample.extra["build"] is not None
        assert sample.value == sample.extra["growth_bytes"]

    def test_another_build_in_the_child_is_refused(self, monkeypatch):
        monkeypatch.setitem(loops.loaded_builds, "velkorio",
                            {"file": "/elsewhere/_core.so", "size": 1, "mtime_ns": 1})
        with pytest.raises(RuntimeError, match="another build of velkorio"):
            memory.measure("velkorio", 100, 60.0)

    def test_a_baseline_carries_no_build(self):
        sample = memory.measure("asyncio", 100, 60.0)
        assert sample.extra["build"] is None


SERVING = ["asyncio", "velkorio"]
# The TLS servers run on uvloop too: its TLS is its own, not asyncio's.
TLS_SERVING = [*SERVING, "uvloop"]


def _cases(kinds, loop_names, tls=False):
    return [pytest.param(kind, loop_name, tls, id=f"{kind}-{loop_name}{'-tls' * tls}")
            for kind in kinds for loop_name in loop_names]


# Each echo server on each loop, and the C one that is their floor; then
# those that serve TLS, over TLS, and the C TLS floor.
ECHO_CASES = [*_cases(("echo-protocol", "echo-streams", "echo-sock"), SERVING),
              *_cases(("echo-protocol",), (loops.FLOOR,)),
              *_cases(("echo-protocol", "echo-streams"), TLS_SERVING, tls=True),
              *_cases(("echo-protocol",), (loops.TLS_FLOOR,), tls=True)]
HTTP_CASES = [*_cases(("http-protocol", "http-split2", "http-split8", "http-aiohttp"), SERVING),
              *_cases(("http-protocol", "http-protocol-100k", "http-aiohttp"), TLS_SERVING,
                      tls=True)]


def _client_context() -> ssl.SSLContext:
    """A client's TLS settings that trust the bench's certificate; it names
    localhost, and the tests connect to 127.0.0.1."""
    context = ssl.create_default_context(cafile=servers.CERT)
    context.check_hostname = False
    return context


class TestServers:
    @pytest.fixture(autouse=True)
    def _patient_udp_client(self, monkeypatch):
        # Here a datagram counts as lost only if it is: a server in this
        # process, or one under sanitizers, may stall past the bench's 50 ms.
        monkeypatch.setattr(servers, "UDP_RESEND_MS", 2000.0)

    @pytest.mark.parametrize("kind,loop_name,tls", ECHO_CASES)
    def test_echo_server_returns_every_byte(self, kind, loop_name, tls):
        with servers.Server(kind, loop_name, lifetime=60, tls=tls) as server:
            # 40 KiB messages: larger than one read, so each echo comes
            # back in pieces the client puts together and compares.
            load = servers.echo_load(server, 40 * 1024, 60, 10.0)
        assert load.requests == 60
        assert load.wall_ns > 0 and load.server_cpu_ns > 0

    @pytest.mark.parametrize("kind,loop_name,tls", HTTP_CASES)
    def test_http_server_answers(self, kind, loop_name, tls):
        with servers.Server(kind, loop_name, lifetime=60, tls=tls) as server:
            servers.check_http(server)
            if kind == "http-aiohttp":
                return
            # Three pipelined GETs, the second cut across two sends: three
            # whole responses in order, byte for byte, however many writes
            # made each.
            body = serve.BODIES.get(kind, serve.BODY)
            expected = (serve.head(len(body)) + body) * 3
            request = b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"
            with socket.create_connection(("127.0.0.1", server.port), timeout=10) as conn:
                if tls:
                    conn = _client_context().wrap_socket(conn)
                conn.sendall(request + request[:9])
                conn.sendall(request[9:] + request)
                if not tls:
                    conn.shutdown(socket.SHUT_WR)
                received = b""
                # Plain, to the server's close; over TLS, as much as expected
                # (our close_notify would have the answers after it dropped),
                # then the close_notify each way.
                while (not tls or len(received) < len(expected)) and (data := conn.recv(65536)):
                    received += data
                if tls:
                    conn.unwrap()
        assert received == expected

    @pytest.mark.parametrize("loop_name", SERVING)
    def test_the_loop_turns_nagle_off_on_the_connections_it_accepts(self, loop_name):
        # Else a response in several writes waits for the client's delayed
        # ACK: 40 ms a request for http-split2 on asyncio.
        loop = serve.new_loop(loop_name)

        async def main():
            accepted = loop.create_future()

            class Accept(asyncio.Protocol):
                def connection_made(self, transport):
                    accepted.set_result(transport.get_extra_info("socket"))

            server = await loop.create_server(Accept, sock=serve.bound_socket("http-split2"))
            async with server:
                with socket.create_connection(server.sockets[0].getsockname()):
                    sock = await asyncio.wait_for(accepted, 10)
                    return sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)

        try:
            assert loop.run_until_complete(main())
        finally:
            loop.close()

    def test_server_reports_the_build_and_busy_poll_it_loaded(self):
        with servers.Server("echo-sock", "velkorio", lifetime=60,
                            env={"VELKORIO_BUSY_POLL": "7"}) as server:
            assert server.build == loops.loaded_builds["velkorio"] is not None
            assert server.busy_poll == 7

    @pytest.mark.parametrize("connections,rate", [(1, None), (3, None), (2, 400)])
    def test_client_times_each_request_and_keeps_its_rate(self, connections, rate):
        with servers.Server("echo-protocol", "velkorio", lifetime=60) as server:
            load = servers.echo_load(server, 4096, 60, 10.0, connections, rate=rate)
        assert load.requests == 60
        assert 0 < load.p50_us <= load.p99_us < 10e6
        assert load.span_ns >= load.wall_ns and 0 < load.cpu_percent < 400
        if rate:
            # Some connection sent 30 requests, the last no sooner than 29
            # intervals after the start.
            assert load.wall_ns >= (60 // connections - 1) / rate * 1e9

    def test_wrk_latencies_in_microseconds(self):
        output = ("  Latency Distribution\n     50%   25.00us\n     99%    2.29ms\n"
                  "  1 requests in 1.00s")
        assert servers.wrk_percentiles(output) == {50: 25.0, 99: pytest.approx(2290.0)}

    @pytest.mark.parametrize("name,loop_name,count", [
        ("echo-protocol-1k-1000rps", "velkorio-poll", 100),
        ("http-protocol-c1", "asyncio", 1),
        ("echo-protocol-idle", "velkorio", 200),
    ])
    def test_light_load_rows_record_latency_and_cpu_share(self, name, loop_name, count):
        workload = BY_NAME[name]
        result = LoopResult(loop_name, count)
        sample = run_once(workload, KINDS[loop_name], count, 60.0, result)
        assert result.error is None and sample is not None
        extra = sample.extra
        # An idle server spinning would show here; so would a lost reading.
        assert 0 <= extra["cpu_percent"] < (50 if name.endswith("idle") else 400)
        assert extra["busy_poll_us"] == {"asyncio": None, "velkorio": 0, "velkorio-poll": 50}[
            loop_name]
        if workload.metric == "rate":
            assert 0 < extra["p50_us"] <= extra["p99_us"]
        if name.endswith("rps"):
            # count requests, one a millisecond: none started early.
            assert extra["requests"] == count
            assert sample.value <= 1000 * count / (count - 1) + 1e-6

    @pytest.mark.parametrize("rate", [None, 200], ids=["back-to-back", "paced"])
    @pytest.mark.parametrize("tls,fault,message", [
        *(pytest.param(tls, fault, message, id=f"{name}-{'tls' if tls else 'plain'}")
          for tls in (False, True) for name, fault, message in (
              ("flipped-bit", lambda data: data[:-1] + bytes([data[-1] ^ 1]), "differs at byte"),
              ("extra-byte", lambda data: data + data[:1], "after the last echo|differs at byte"),
              ("early-close", lambda data: b"", "closed the connection"))),
        # Every echo right, but the end cut short: no close_notify.
        pytest.param(True, None, "without a TLS close_notify", id="no-close-notify-tls"),
    ])
    def test_client_refuses_a_wrong_echo(self, tls, fault, message, rate):
        # A server that echoes its first message faithfully and then
        # corrupts one reply in the given way; over TLS, it ends with its
        # close_notify, unless it has no fault to make but that.
        listener = socket.create_server(("127.0.0.1", 0))
        context = serve.tls_context(str(servers.CERT))

        def serve_one():
            raw, _ = listener.accept()
            # The client resets the connection once it sees the fault.
            with raw, contextlib.suppress(OSError):
                conn = context.wrap_socket(raw, server_side=True) if tls else raw
                with conn:
                    replies = 0
                    while data := conn.recv(4096):
                        replies += 1
                        reply = fault(data) if fault and replies == 2 else data
                        if not reply:
                            return
                        conn.sendall(reply)
                    if tls and fault:
                        conn.unwrap()

        thread = threading.Thread(target=serve_one, daemon=True)
        thread.start()
        fake = type("Fake", (), {"port": listener.getsockname()[1], "tls": tls,
                                 "cpu_ns": staticmethod(int),
                                 "page_faults": staticmethod(lambda: None)})
        try:
            with pytest.raises(servers.ServerError, match=message):
                servers.echo_load(fake, 100, 5, 5.0, connections=1, rate=rate)
        finally:
            listener.close()
            thread.join(5)

    @pytest.mark.parametrize("fault,message", [
        (None, None),
        (lambda data: data[:-1] + bytes([data[-1] ^ 1]), "differs at byte 1399"),
        (lambda data: data * 2, "of 2800 bytes, not 1400"),
    ], ids=["faithful", "flipped-bit", "doubled"])
    def test_udp_client_counts_echoes_and_refuses_a_wrong_one(self, fault, message):
        # A Python UDP echo server that corrupts its 30th reply, if told to.
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        sock.settimeout(0.2)

        def serve():
            replies = 0
            while True:  # until the socket closes
                try:
                    data, addr = sock.recvfrom(65536)
                except TimeoutError:
                    continue  # the client may still be building
                except OSError:
                    return
                replies += 1
                sock.sendto(fault(data) if fault and replies == 30 else data, addr)

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        fake = type("Fake", (), {"port": sock.getsockname()[1], "cpu_ns": staticmethod(int),
                                 "page_faults": staticmethod(lambda: None)})
        try:
            if message is None:
                load = servers.udp_load(fake, 1400, 500, 10.0, flows=3)
                assert load.requests == 500 and load.lost <= 5 and 0 < load.p50_us <= load.p99_us
            else:
                with pytest.raises(servers.ServerError, match=message):
                    servers.udp_load(fake, 1400, 500, 10.0, flows=3)
        finally:
            sock.close()  # the server's next recvfrom times out and it ends
            thread.join(5)

    @pytest.mark.parametrize("name,loop_name", [("echo-udp-64", "velkorio"),
                                                ("echo-udp-1400", "asyncio")])
    def test_udp_rows_record_rate_cpu_and_losses(self, name, loop_name):
        result = LoopResult(loop_name, 500)
        sample = run_once(BY_NAME[name], KINDS[loop_name], 500, 60.0, result)
        assert result.error is None and sample is not None
        assert sample.extra["requests"] == 500 and 0 <= sample.extra["lost"] <= 5
        assert sample.value > 0 and sample.cpu_ns > 0

    @pytest.mark.parametrize("kind,loop_name", [("echo-sock", "asyncio"),
                                                ("echo-protocol", loops.FLOOR)])
    def test_a_dead_server_fails_its_repetition(self, kind, loop_name):
        server = servers.Server(kind, loop_name, lifetime=0.05)
        with pytest.raises(servers.ServerError, match="exited with status 0 while in use"):
            with server:
                server._process.wait(10)


def _result(name, median_ns, count=1000, error=None):
    """A result whose median is `median_ns` per operation."""
    result = LoopResult(name, count, error=error)
    if error is None:
        result.samples = [Sample(int(median_ns * count), int(median_ns * count))]
    return result


def _ratio_columns(text):
    """The ratio cells of each row of the table, keyed "subject/baseline"."""
    head1, head2 = text.splitlines()[:2]
    subjects = re.findall(r"(\w+)/", head1)
    baselines = head2.split()[-len(subjects):]
    keys = [f"{s}/{b}" for s, b in zip(subjects, baselines)]
    rows = {}
    for line in text.splitlines()[3:]:
        if line.startswith("-"):
            break
        cells = line.split()
        rows[cells[0]] = dict(zip(keys, cells[-len(keys):]))
    return keys, rows


CHAIN, FLOOR = BY_NAME["chain"], BY_NAME["floor"]
ALL_LOOPS = ["asyncio", "uvloop", "velkor", "velkorio"]


def _run_results():
    return {
        "chain": {"asyncio": _result("asyncio", 100), "uvloop": _result("uvloop", 50),
                  "velkor": _result("velkor", 25), "velkorio": _result("velkorio", 80)},
        "floor": {"velkor": _result("velkor", 10)},
    }


class TestReport:
    def test_ratio_per_subject_and_baseline_in_table_and_record(self):
        results = _run_results()
        text = table([CHAIN, FLOOR], results, ALL_LOOPS, repeats=1)
        keys, rows = _ratio_columns(text)
        assert keys == ["velkor/asyncio", "velkor/uvloop", "velkorio/asyncio", "velkorio/uvloop"]
        assert rows["chain"] == {"velkor/asyncio": "0.25x", "velkor/uvloop": "0.50x",
                                 "velkorio/asyncio": "0.80x", "velkorio/uvloop": "1.60x"}
        # floor runs on velkor alone and has no ratios.
        assert set(rows["floor"].values()) == {"-"}

        data = record([CHAIN, FLOOR], results, quick=True, repeats=1, timeout=1.0, missing={})
        json.dumps(data)
        assert data["workloads"]["chain"]["ratios"] == pytest.approx(
            {"velkor/asyncio": 0.25, "velkor/uvloop": 0.5,
             "velkorio/asyncio": 0.8, "velkorio/uvloop": 1.6})
        assert all(v is None for v in data["workloads"]["floor"]["ratios"].values())

    def test_chain_minus_floor_is_velkors_alone(self):
        results = _run_results()
        text = table([CHAIN, FLOOR], results, ALL_LOOPS, repeats=1)
        assert "velkor chain minus floor: 15.0 ns per callback" in text
        data = record([CHAIN, FLOOR], results, quick=True, repeats=1, timeout=1.0, missing={})
        assert data["chain_minus_floor_ns"] == pytest.approx(15.0)
        # A run that left floor out of its workloads says nothing of it,
        # whatever the results hold.
        assert record([CHAIN], results, quick=True, repeats=1, timeout=1.0,
                      missing={})["chain_minus_floor_ns"] is None

    def test_a_missing_subject_has_no_columns_and_no_ratios(self):
        results = _run_results()
        del results["chain"]["velkorio"]
        loop_names = ["asyncio", "uvloop", "velkor"]
        keys, rows = _ratio_columns(table([CHAIN, FLOOR], results, loop_names, repeats=1))
        assert keys == ["velkor/asyncio", "velkor/uvloop"]
        assert rows["chain"] == {"velkor/asyncio": "0.25x", "velkor/uvloop": "0.50x"}
        data = record([CHAIN, FLOOR], results, quick=True, repeats=1, timeout=1.0,
                      missing={"velkorio": "cannot import velkorio"})
        ratios = data["workloads"]["chain"]["ratios"]
        assert ratios["velkorio/asyncio"] is None and ratios["velkorio/uvloop"] is None
        assert ratios["velkor/asyncio"] == pytest.approx(0.25)

    def test_a_failed_subject_leaves_the_other_ratios_alone(self):
        results = _run_results()
        results["chain"]["velkorio"] = _result("velkorio", 0, error="wrong result: 3 of 4 ran")
        text = table([CHAIN, FLOOR], results, ALL_LOOPS, repeats=1)
        _, rows = _ratio_columns(text)
        assert rows["chain"]["velkorio/asyncio"] == "-"
        assert rows["chain"]["velkorio/uvloop"] == "-"
        assert rows["chain"]["velkor/asyncio"] == "0.25x"
        assert "FAILED" in text
        assert "chain on velkorio: wrong result: 3 of 4 ran" in text

    def test_negative_figures_keep_their_own_columns(self):
        # uvloop's millisecond clock runs its timers early: a negative lateness.
        lateness = BY_NAME["timer-lateness"]
        results = {"timer-lateness": {
            name: LoopResult(name, 10, samples=[Sample(1, 1, value=v), Sample(1, 1, value=v)])
            for name, v in (("asyncio", 915_472.0), ("uvloop", -197_480.8),
                            ("velkor", 41_043.0), ("velkorio", 897_018.0))}}
        text = table([lateness], results, ALL_LOOPS, repeats=2)
        cells = text.splitlines()[3].split()
        assert cells[:4] == ["timer-lateness", "ns", "late", "915,472"]
        assert "-197,481" in cells
        _, rows = _ratio_columns(text)
        # No ratio over a baseline whose figure is not positive.
        assert rows["timer-lateness"]["velkorio/uvloop"] == "-"
        assert rows["timer-lateness"]["velkorio/asyncio"] == "0.98x"


def _rate(name, per_second, cpu_us, requests=1000, faults=None):
    """A server result of `per_second` requests/s at `cpu_us` per request."""
    wall = int(requests * 1e9 / per_second)
    extra = {"requests": requests}
    if faults is not None:
        extra["faults_per_request"] = faults
    return LoopResult(name, requests, samples=[
        Sample(wall, int(cpu_us * 1000 * requests), value=per_second, extra=extra)])


class TestServerReport:
    ECHO = BY_NAME["echo-sock-1k"]

    def _results(self):
        return {"echo-sock-1k": {"asyncio": _rate("asyncio", 20_000, 40.0, faults=1.25),
                                 "uvloop": _rate("uvloop", 40_000, 20.0),
                                 "velkorio": _rate("velkorio", 30_000, 30.0, faults=0.0)}}

    def test_requests_per_second_and_cpu_per_request_with_ratios(self):
        text = table([CHAIN, FLOOR, self.ECHO], {**_run_results(), **self._results()},
                     ALL_LOOPS, repeats=1)
        row = next(line for line in text.splitlines() if line.startswith("echo-sock-1k"))
        # req/s, best, cpu us for each serving loop (velkor serves nothing),
        # then velkorio over asyncio and over uvloop: req/s and cpu/req.
        assert row.split()[1:] == ["20,000", "20,000", "40.0", "40,000", "40,000", "20.0",
                                   "30,000", "30,000", "30.0",
                                   "1.50x", "0.75x", "0.75x", "1.50x"]
        faults = [line for line in text.splitlines() if line.startswith("echo-sock-1k")][1]
        assert faults.split()[1:] == ["1.25", "-", "0.00"]  # uvloop's went unmeasured

        data = record([self.ECHO], self._results(), quick=True, repeats=1, timeout=1.0,
                      missing={})
        entry = data["workloads"]["echo-sock-1k"]
        assert entry["better"] == "higher"
        assert entry["ratios"]["velkorio/asyncio"] == pytest.approx(1.5)
        assert entry["cpu_ratios"]["velkorio/uvloop"] == pytest.approx(1.5)
        assert entry["ratios"]["velkor/asyncio"] is None
        assert entry["loops"]["velkorio"]["cpu_median"] == pytest.approx(30_000)
        assert entry["loops"]["asyncio"]["faults_per_request"] == 1.25

    @pytest.mark.parametrize("name,floor,key", [
        ("echo-protocol-1k", loops.FLOOR, "floor"),
        ("tls-echo-protocol-1k", loops.TLS_FLOOR, "tls_floor"),
    ])
    def test_the_floor_has_a_table_of_its_own(self, name, floor, key):
        echo = BY_NAME[name]
        results = {echo.name: {"asyncio": _rate("asyncio", 20_000, 40.0),
                               "velkorio": _rate("velkorio", 30_000, 30.0),
                               floor: _rate(floor, 60_000, 10.0)}}
        lines = table([echo], results, [*ALL_LOOPS, *loops.FLOORS], repeats=1).splitlines()
        # No column among the loops', and no table for the floor that did not run.
        assert floor not in lines[0]
        (floor_head,) = (i for i, line in enumerate(lines) if line.startswith("floor:"))
        assert lines[floor_head].split()[-2:] == [floor, f"velkorio/{floor}"]
        # req/s, best and cpu us of the floor, then velkorio's req/s and cpu/req over it.
        assert lines[floor_head + 3].split() == [echo.name, "60,000", "60,000", "10.0",
                                                 "0.50x", "3.00x"]

        data = record([echo], results, quick=True, repeats=1, timeout=1.0, missing={})
        json.dumps(data)
        entry = data["workloads"][echo.name]
        assert data[key]["name"] == floor
        assert entry["loops"][floor]["cpu_median"] == pytest.approx(10_000)
        assert entry["floor_cpu_ratios"] == {f"velkorio/{floor}": pytest.approx(3.0),
                                             f"velkor/{floor}": None}
        assert entry["floor_ratios"][f"velkorio/{floor}"] == pytest.approx(0.5)
        assert entry["ratios"] == {"velkor/asyncio": None, "velkor/uvloop": None,
                                   "velkorio/asyncio": pytest.approx(1.5),
                                   "velkorio/uvloop": None}

    def test_a_failed_server_is_listed_with_its_reason(self):
        results = self._results()
        results["echo-sock-1k"]["velkorio"] = LoopResult(
            "velkorio", 1000, error="ServerError: the echo client failed")
        text = table([self.ECHO], results, ALL_LOOPS, repeats=1)
        assert "FAILED" in text
        assert "echo-sock-1k on velkorio: ServerError: the echo client failed" in text


def _light(name, per_second, cpu_us, p99_us, requests=1000):
    """A light-load result: `_rate`'s, with a p99 latency and a CPU share."""
    result = _rate(name, per_second, cpu_us, requests)
    result.samples[0].extra.update(p50_us=p99_us / 2, p99_us=p99_us,
                                   cpu_percent=per_second * cpu_us / 1e4)
    return result


def _idle(name, percent):
    return LoopResult(name, 500, samples=[
        Sample(10**9, int(percent * 1e7), extra={"cpu_percent": percent})])


class TestLightLoadReport:
    ECHO, IDLE = BY_NAME["echo-protocol-1k-c1"], BY_NAME["echo-protocol-idle"]
    LOOPS = [*ALL_LOOPS, "velkorio-poll"]

    def _results(self):
        return {
            "echo-protocol-1k-c1": {"asyncio": _light("asyncio", 20_000, 40.0, 200.0),
                                    "velkorio": _light("velkorio", 25_000, 30.0, 100.0),
                                    "velkorio-poll": _light("velkorio-poll", 40_000, 20.0, 50.0)},
            "echo-protocol-idle": {"asyncio": _idle("asyncio", 0.5),
                                   "velkorio": _idle("velkorio", 0.25),
                                   "velkorio-poll": _idle("velkorio-poll", 2.0)},
        }

    def test_figures_and_both_velkorio_ratios_in_table_and_record(self):
        text = table([CHAIN, self.ECHO, self.IDLE], {**_run_results(), **self._results()},
                     self.LOOPS, repeats=1)
        lines = text.splitlines()
        # The loop table has no column for a variant that ran none of its rows.
        assert "velkorio-poll" not in lines[0]
        light = lines.index(next(l for l in lines if l.startswith("light load")))
        assert lines[light].split()[2:] == ["asyncio", "velkorio", "velkorio-poll"]
        echo, idle, echo_ratios, idle_ratios = (
            l.split()[1:] for l in lines[light:] if l.startswith("echo-"))
        # req/s, cpu us, p50 us, p99 us and % CPU per loop.
        assert echo[:5] == ["20,000", "40.0", "100", "200", "80.0"]
        assert idle[:5] == ["-"] * 4 + ["0.50"]
        # velkorio, then velkorio-poll, over asyncio: req/s, cpu, p99.
        assert echo_ratios == ["1.25x", "0.75x", "0.50x", "2.00x", "0.50x", "0.25x"]
        assert idle_ratios == ["-", "0.50x", "-", "-", "4.00x", "-"]

        data = record([self.ECHO, self.IDLE], self._results(), quick=True, repeats=1,
                      timeout=1.0, missing={})
        json.dumps(data)
        echo = data["workloads"]["echo-protocol-1k-c1"]
        assert echo["loops"]["velkorio-poll"]["p99_us"] == 50.0
        assert echo["loops"]["asyncio"]["cpu_percent"] == pytest.approx(80.0)
        assert echo["ratios"]["velkorio-poll/asyncio"] == pytest.approx(2.0)
        assert echo["cpu_ratios"]["velkorio-poll/asyncio"] == pytest.approx(0.5)
        assert echo["p99_ratios"]["velkorio/asyncio"] == pytest.approx(0.5)
        idle = data["workloads"]["echo-protocol-idle"]
        assert idle["better"] == "lower"
        assert idle["ratios"]["velkorio-poll/asyncio"] == pytest.approx(4.0)

    def test_a_quick_run_carries_the_new_figures(self, tmp_path, capfd):
        path = tmp_path / "run.json"
        status = bench_main.main(["--quick", "--repeat", "1", "--only",
                                  "chain,echo-protocol-1k-c3", "--json", str(path),
                                  "--chart", str(tmp_path / "run.png")])
        out = capfd.readouterr().out
        assert status == 0, out
        data = json.loads(path.read_text())
        # The variant runs where a row names it, and nowhere else.
        assert "velkorio-poll" not in data["workloads"]["chain"]["loops"]
        echo = data["workloads"]["echo-protocol-1k-c3"]
        assert {"asyncio", "velkorio", "velkorio-poll"} <= echo["loops"].keys()
        for name, entry in echo["loops"].items():
            assert 0 < entry["p50_us"] <= entry["p99_us"], name
            assert entry["cpu_percent"] > 0, name
            assert entry["samples"][0]["extra"]["busy_poll_us"] == {
                "velkorio": 0, "velkorio-poll": loops.BUSY_POLL_US}.get(name)
        assert echo["p99_ratios"]["velkorio-poll/asyncio"] > 0
        assert "light load" in out and "velkorio-poll/asyncio" in out


def _listeners(port):
    """The listening TCP sockets on 127.0.0.1:port, from /proc/net/tcp."""
    rows = [line.split() for line in open("/proc/net/tcp").read().splitlines()[1:]]
    return sum(1 for row in rows if row[1] == f"0100007F:{port:04X}" and row[3] == "0A")


class TestInterpreters:
    ROWS = ["chain-interpreters", "tasks-interpreters", "echo-interpreters"]

    def test_a_quick_run_of_each_row_carries_its_figures(self, tmp_path, capfd):
        path = tmp_path / "run.json"
        status = bench_main.main(["--quick", "--repeat", "1", "--only", ",".join(self.ROWS),
                                  "--json", str(path), "--chart", str(tmp_path / "run.png")])
        out = capfd.readouterr().out
        assert status == 0, out
        data = json.loads(path.read_text())
        for name in self.ROWS:
            entry = data["workloads"][name]
            # The loops whose modules do not load in a sub-interpreter are left out.
            assert entry["loops"].keys() == {"asyncio", "velkorio"}, name
            assert entry["left_out"].keys() == {"uvloop", "velkor"}
            for loop_name, figures in entry["loops"].items():
                extra = figures["samples"][0]["extra"]
                assert figures["median"] == extra["per_second_2"] > 0, (name, loop_name)
                assert extra["scaling"] == pytest.approx(
                    extra["per_second_2"] / extra["per_second_1"])
                assert extra["cpu_ns_per_op_1"] > 0 and extra["cpu_ns_per_op_2"] > 0
                assert 0 < extra["cores_1"] < 1.5 and 0 < extra["cores_2"] < 2.5
                if name.startswith("echo"):
                    assert extra["requests"] == entry["count"]
                else:
                    # Every operation of both interpreters ran and was counted.
                    assert extra["operations"] == 2 * entry["count"]
            ratios = entry["interpreter_ratios"]["velkorio/asyncio"]
            assert all(ratios[k] > 0 for k in ("per_second_1", "per_second_2", "scaling"))
        assert "servers in interpreters" in out
        assert "uvloop and velkor are left out" in out

    def test_table_columns(self):
        def result(name, one, two, cpu_one, cpu_two):
            run = [interpreters.Run(1000, int(1000 * 1e9 / rate), cpu * 1000, 0)
                   for rate, cpu in ((one, cpu_one), (two, cpu_two))]
            return LoopResult(name, 500, samples=[interpreters.scaling_sample(*run)])

        chain = BY_NAME["chain-interpreters"]
        results = {chain.name: {"asyncio": result("asyncio", 100_000, 190_000, 5_000, 5_000),
                                "velkorio": result("velkorio", 400_000, 800_000, 1_000, 1_000)}}
        text = table([chain], results, ALL_LOOPS, repeats=1)
        row = next(line for line in text.splitlines() if line.startswith(chain.name))
        # 1 and 2 interpreters, scaling, CPU ns per operation for each, the
        # CPUs kept busy by the 2-interpreter run; then velkorio over asyncio.
        assert row.split()[2:] == ["100,000", "190,000", "1.90x", "5,000", "5,000", "0.95",
                                   "400,000", "800,000", "2.00x", "1,000", "1,000", "0.80",
                                   "4.00x", "4.21x"]
        data = record([chain], results, quick=True, repeats=1, timeout=1.0, missing={})
        json.dumps(data)
        entry = data["workloads"][chain.name]
        assert entry["ratios"]["velkorio/asyncio"] == pytest.approx(800 / 190)
        assert entry["interpreter_ratios"]["velkorio/asyncio"] == pytest.approx(
            {"per_second_1": 4.0, "per_second_2": 800 / 190, "scaling": 2.0 / 1.9})

    @pytest.mark.parametrize("body,message", [
        (_operator.not_, "the workload took no measurement"),  # never reaches its clock
        (len, "TypeError"),  # raises before it
    ], ids=["no-measurement", "raises"])
    def test_an_interpreter_that_fails_before_its_run_fails_the_run(self, body, message):
        started = time.monotonic()
        with pytest.raises(interpreters.InterpreterFailed, match=message):
            interpreters.run_together(body, "velkorio", 100, 2, started + 30)
        # The others were let go at once, not after the deadline.
        assert time.monotonic() - started < 15

    @pytest.mark.parametrize("loop_name", SERVING)
    def test_two_interpreters_serve_one_port_and_echo_every_byte(self, loop_name):
        with servers.Server("echo-protocol", loop_name, lifetime=60, interpreters=2) as server:
            assert _listeners(server.port) == 2
            # 40 KiB messages, each echo in pieces; the client compares every byte.
            load = servers.echo_load(server, 40 * 1024, 200, 10.0)
        assert load.requests == 200 and load.server_cpu_ns > 0
        if loop_name == "velkorio":
            assert server.build == loops.loaded_builds["velkorio"] is not None


class TestChart:
    @pytest.fixture(autouse=True)
    def _matplotlib(self):
        pytest.importorskip("matplotlib")

    def _record(self, results):
        return record([CHAIN, FLOOR], results, quick=True, repeats=1, timeout=1.0, missing={})

    def test_draws_every_pair(self, tmp_path):
        from bench.chart import write_chart

        path = tmp_path / "bench.png"
        assert write_chart(path, self._record(_run_results()))
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_draws_velkorio_alone(self, tmp_path):
        from bench.chart import write_chart

        results = _run_results()
        del results["chain"]["velkor"]
        path = tmp_path / "bench.png"
        assert write_chart(path, self._record(results))
        assert path.exists()

    def test_nothing_to_draw_without_ratios(self, tmp_path):
        from bench.chart import write_chart

        results = {"floor": {"velkor": _result("velkor", 10)}}
        path = tmp_path / "bench.png"
        assert not write_chart(path, self._record(results))
        assert not path.exists()
