"""The benchmark suite's own machinery: each workload on our two loops at a
small count, the fresh-process memory figure, the server processes and
their load client, and how the table, the JSON record and the chart put
velkor and velkorio beside the baselines."""

import contextlib
import json
import re
import socket
import threading

import pytest

from bench import loops, memory
from bench.harness import LoopResult, Sample, Workload, run_once
from bench.report import record, table
from bench.servers import run as servers
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


class TestServers:
    @pytest.mark.parametrize("loop_name", SERVING)
    @pytest.mark.parametrize("kind", ["echo-protocol", "echo-streams", "echo-sock"])
    def test_echo_server_returns_every_byte(self, kind, loop_name):
        with servers.Server(kind, loop_name, lifetime=60) as server:
            # 40 KiB messages: larger than one read, so each echo comes
            # back in pieces the client puts together and compares.
            load = servers.echo_load(server, 40 * 1024, 60, 10.0)
        assert load.requests == 60
        assert load.wall_ns > 0 and load.server_cpu_ns > 0

    @pytest.mark.parametrize("loop_name", SERVING)
    @pytest.mark.parametrize("kind", ["http-protocol", "http-aiohttp"])
    def test_http_server_answers(self, kind, loop_name):
        with servers.Server(kind, loop_name, lifetime=60) as server:
            servers.check_http(server)

    def test_server_reports_the_build_it_loaded(self):
        with servers.Server("echo-sock", "velkorio", lifetime=60) as server:
            assert server.build == loops.loaded_builds["velkorio"] is not None

    @pytest.mark.parametrize("fault,message", [
        (lambda data: data[:-1] + bytes([data[-1] ^ 1]), "differs at byte"),
        (lambda data: data + data[:1], "after the last echo|differs at byte"),
        (lambda data: b"", "closed the connection"),
    ], ids=["flipped-bit", "extra-byte", "early-close"])
    def test_client_refuses_a_wrong_echo(self, fault, message):
        # A server that echoes its first message faithfully and then
        # corrupts one reply in the given way.
        listener = socket.create_server(("127.0.0.1", 0))

        def serve():
            conn, _ = listener.accept()
            # The client resets the connection once it sees the fault.
            with conn, contextlib.suppress(OSError):
                replies = 0
                while data := conn.recv(4096):
                    replies += 1
                    reply = fault(data) if replies == 2 else data
                    if not reply:
                        return
                    conn.sendall(reply)

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()

        class Fake:
            port = listener.getsockname()[1]

            @staticmethod
            def cpu_ns():
                return 0

        try:
            with pytest.raises(servers.ServerError, match=message):
                servers.echo_load(Fake, 100, 5, 5.0, connections=1)
        finally:
            listener.close()
            thread.join(5)

    def test_a_dead_server_fails_its_repetition(self):
        server = servers.Server("echo-sock", "asyncio", lifetime=0.05)
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


def _rate(name, per_second, cpu_us, requests=1000):
    """A server result of `per_second` requests/s at `cpu_us` per request."""
    wall = int(requests * 1e9 / per_second)
    return LoopResult(name, requests, samples=[
        Sample(wall, int(cpu_us * 1000 * requests), value=per_second,
               extra={"requests": requests})])


class TestServerReport:
    ECHO = BY_NAME["echo-sock-1k"]

    def _results(self):
        return {"echo-sock-1k": {"asyncio": _rate("asyncio", 20_000, 40.0),
                                 "uvloop": _rate("uvloop", 40_000, 20.0),
                                 "velkorio": _rate("velkorio", 30_000, 30.0)}}

    def test_requests_per_second_and_cpu_per_request_with_ratios(self):
        text = table([CHAIN, FLOOR, self.ECHO], {**_run_results(), **self._results()},
                     ALL_LOOPS, repeats=1)
        row = next(line for line in text.splitlines() if line.startswith("echo-sock-1k"))
        # req/s, best, cpu us for each serving loop (velkor serves nothing),
        # then velkorio over asyncio and over uvloop: req/s and cpu/req.
        assert row.split()[1:] == ["20,000", "20,000", "40.0", "40,000", "40,000", "20.0",
                                   "30,000", "30,000", "30.0",
                                   "1.50x", "0.75x", "0.75x", "1.50x"]

        data = record([self.ECHO], self._results(), quick=True, repeats=1, timeout=1.0,
                      missing={})
        entry = data["workloads"]["echo-sock-1k"]
        assert entry["better"] == "higher"
        assert entry["ratios"]["velkorio/asyncio"] == pytest.approx(1.5)
        assert entry["cpu_ratios"]["velkorio/uvloop"] == pytest.approx(1.5)
        assert entry["ratios"]["velkor/asyncio"] is None
        assert entry["loops"]["velkorio"]["cpu_median"] == pytest.approx(30_000)

    def test_a_failed_server_is_listed_with_its_reason(self):
        results = self._results()
        results["echo-sock-1k"]["velkorio"] = LoopResult(
            "velkorio", 1000, error="ServerError: the echo client failed")
        text = table([self.ECHO], results, ALL_LOOPS, repeats=1)
        assert "FAILED" in text
        assert "echo-sock-1k on velkorio: ServerError: the echo client failed" in text


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
