"""Driving a benchmark server: its process, its load, its CPU time.

The server, the load generator and this process are three processes, so
that the server's interpreter does nothing but serve. The server's CPU time
is read from the kernel's clock for its process (every thread, nanoseconds),
or from /proc/PID/stat (clock ticks) where that clock cannot be read."""

from __future__ import annotations

import http.client
import json
import os
import re
import selectors
import shutil
import signal
import ssl
import subprocess
import sys
import sysconfig
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Mapping

from .. import loops
from . import serve

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
BUILT = ROOT / "build" / "bench"
SERVE = HERE / "serve.py"
CLIENT_SOURCE = HERE / "echo_client.c"
CLIENT_COMMON = HERE / "client_common.h"
SERVER_COMMON = HERE / "server_common.h"
UDP_CLIENT_SOURCE = HERE / "udp_client.c"
FLOOR_SOURCE = HERE / "echo_server.c"
TLS_FLOOR_SOURCE = HERE / "tls_echo_server.c"
# The flag that makes echo_client.c the TLS echo client, and what a TLS
# program links.
TLS_CLIENT_FLAGS = ("-DECHO_TLS",)
TLS_LIBS = ("-lssl", "-lcrypto")
# The certificate and private key of every TLS server, and what the TLS
# clients verify it against: CPython's own test certificate for localhost.
CERT = Path(sysconfig.get_path("stdlib")) / "test" / "certdata" / "keycert.pem"

CONNECTIONS = 10
FLOWS = 10  # UDP sockets of the UDP client, one datagram in flight on each
START_TIMEOUT = 30.0  # seconds for a server to import its loop and listen


class ServerError(Exception):
    """The server or its load generator did not do what it should."""


def _built(source: Path, name: str, header: Path = CLIENT_COMMON, flags: tuple[str, ...] = (),
           libs: tuple[str, ...] = ()) -> Path:
    """A C program's executable, build/bench/NAME, compiled with the system's
    C compiler when it is missing or older than its source or the header it
    includes."""
    target = BUILT / name
    newest = max(path.stat().st_mtime_ns for path in (source, header))
    if target.exists() and target.stat().st_mtime_ns >= newest:
        return target
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        raise ServerError(f"no C compiler (cc or gcc) to build {target.name} with")
    target.parent.mkdir(parents=True, exist_ok=True)
    # Built under another name and renamed, so that two runs building at
    # once never execute a half-written file.
    fd, scratch = tempfile.mkstemp(prefix=f"{target.name}.", dir=target.parent)
    os.close(fd)
    try:
        built = subprocess.run([compiler, "-O2", "-Wall", "-Wextra", *flags, "-o", scratch,
                                str(source), *libs], capture_output=True, text=True)
        if built.returncode != 0:
            raise ServerError(f"building {target.name} failed: {built.stderr.strip()}")
        os.replace(scratch, target)
    finally:
        if os.path.exists(scratch):
            os.unlink(scratch)
    return target


def echo_client(tls: bool = False) -> Path:
    if tls:
        return _built(CLIENT_SOURCE, "tls_echo_client", flags=TLS_CLIENT_FLAGS, libs=TLS_LIBS)
    return _built(CLIENT_SOURCE, "echo_client")


def udp_client() -> Path:
    return _built(UDP_CLIENT_SOURCE, "udp_client")


def floor_server(tls: bool = False) -> Path:
    if tls:
        return _built(TLS_FLOOR_SOURCE, "tls_echo_server", SERVER_COMMON, libs=TLS_LIBS)
    return _built(FLOOR_SOURCE, "echo_server", SERVER_COMMON)


def cert() -> Path:
    if not CERT.is_file():
        raise ServerError(f"no certificate for the TLS servers at {CERT} (CPython's test "
                          "data: Debian's libpython3.14-testsuite)")
    return CERT


def _process_cpu_clock(pid: int) -> int:
    # Linux's clock id for a process's CPU time: the pid's complement
    # shifted left 3, with the scheduler clock's number (2) below it.
    return ((~pid) << 3) | 2


_TICK_NS = 1_000_000_000 // os.sysconf("SC_CLK_TCK")


def cpu_ns(pid: int) -> int:
    """A process's CPU time so far, every thread included, in nanoseconds."""
    try:
        return time.clock_gettime_ns(_process_cpu_clock(pid))
    except OSError:
        stat = Path(f"/proc/{pid}/stat").read_text()
        # The command name in parentheses may hold spaces; utime and stime
        # are the 12th and 13th fields after it.
        fields = stat[stat.rindex(")") + 2:].split()
        return (int(fields[11]) + int(fields[12])) * _TICK_NS


@dataclass
class Load:
    requests: int
    wall_ns: int  # from the load generator's first request to its last reply
    server_cpu_ns: int  # the server's CPU time while the load ran
    # The wall time over which server_cpu_ns was read (the load generator's
    # whole run, as this process saw it).
    span_ns: int = 0
    # The latency of a request as the load generator measures it, from the
    # send of its first byte to the receipt of its answer's last byte.
    p50_us: float | None = None
    p99_us: float | None = None
    # Datagrams sent again after going unanswered (UDP only).
    lost: int | None = None
    # The server's minor page faults while the load ran (the first touches
    # of memory it was given, such as a heap grown again after a trim).
    server_faults: int | None = None

    @property
    def cpu_percent(self) -> float | None:
        """The server's CPU time over the wall time, as a percentage of one core."""
        return 100.0 * self.server_cpu_ns / self.span_ns if self.span_ns > 0 else None


class Server:
    """One server process: `with Server(kind, loop) as server:` starts it and
    waits for its port; leaving the block stops it, and fails if it died
    early or wrote anything to stderr. `env` is added to the environment the
    process inherits. With `interpreters`, the process serves from that many
    sub-interpreters, each with its own loop and listening socket on the one
    port. With `tls`, it serves TLS with CERT. The loops in loops.FLOORS are
    C echo servers, which serve echo-protocol alone, in one process: FLOOR
    plain, TLS_FLOOR over TLS."""

    def __init__(self, kind: str, loop: str, lifetime: float = 600.0,
                 env: Mapping[str, str] | None = None, interpreters: int | None = None,
                 tls: bool = False) -> None:
        self.kind = kind
        self.loop = loop
        self.tls = tls
        self.lifetime = lifetime
        self.env = dict(env or {})
        self.interpreters = interpreters
        self.port = 0
        self.build: dict | None = None
        self.busy_poll: int | None = None  # velkorio's setting in the server
        self._process: subprocess.Popen[str] | None = None
        self._stderr: IO[str] | None = None

    def __enter__(self) -> "Server":
        if self.loop in loops.FLOORS:
            tls_floor = self.loop == loops.TLS_FLOOR
            if self.kind != "echo-protocol" or self.interpreters is not None or \
                    self.tls != tls_floor:
                raise ServerError(f"{self.loop} serves echo-protocol alone, in one process, "
                                  f"{'over TLS' if tls_floor else 'without TLS'}")
            command = [str(floor_server(tls_floor)), "--lifetime", str(self.lifetime)]
        else:
            command = [sys.executable, str(SERVE), self.kind, "--loop", self.loop,
                       "--lifetime", str(self.lifetime)]
        if self.interpreters is not None:
            command += ["--interpreters", str(self.interpreters)]
        if self.tls:
            command += ["--cert", str(cert())]
        self._stderr = tempfile.TemporaryFile("w+")
        self._process = subprocess.Popen(
            command, cwd=ROOT, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=self._stderr, text=True, env={**os.environ, **self.env})
        try:
            ready = self._ready_line()
        except BaseException:
            self._stop()
            raise
        self.port = ready["port"]
        self.build = ready["build"]
        self.busy_poll = ready.get("busy_poll")
        problem = None
        if self.loop in loops.loaded_builds and self.build != loops.loaded_builds[self.loop]:
            problem = (f"the server loaded another build of {self.loop} than this process "
                       "(was it rebuilt during the run?)")
        asked = self.env.get("VELKORIO_BUSY_POLL")
        if self.loop == "velkorio" and asked is not None and self.busy_poll != int(asked):
            problem = (f"the server's velkorio loop busy-polls {self.busy_poll} us, "
                       f"not the {asked} us asked for")
        if self.interpreters is not None and ready.get("interpreters") != self.interpreters:
            problem = (f"the server listens in {ready.get('interpreters')} interpreters, "
                       f"not the {self.interpreters} asked for")
        if problem is not None:
            self._stop()
            raise ServerError(problem)
        return self

    def _ready_line(self) -> dict:
        assert self._process is not None and self._process.stdout is not None
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            if not selector.select(START_TIMEOUT):
                raise ServerError(f"the {self.kind} server on {self.loop} did not listen "
                                  f"within {START_TIMEOUT:g} s")
        line = self._process.stdout.readline()
        if not line:
            self._process.wait()
            raise ServerError(f"the {self.kind} server on {self.loop} exited with status "
                              f"{self._process.returncode} before listening: "
                              f"{self._stderr_tail()}")
        return json.loads(line)

    def _stderr_tail(self) -> str:
        assert self._stderr is not None
        self._stderr.seek(0)
        return " | ".join(self._stderr.read().strip().splitlines()[-4:])

    @property
    def pid(self) -> int:
        assert self._process is not None
        return self._process.pid

    def cpu_ns(self) -> int:
        return cpu_ns(self.pid)

    def page_faults(self) -> int | None:
        return page_faults(self.pid)

    def _stop(self) -> int | None:
        """Ends the process; its exit status if it had ended by itself."""
        process = self._process
        assert process is not None
        early = process.poll()
        if early is None:
            process.send_signal(signal.SIGKILL)
        process.wait()
        if process.stdout is not None:
            process.stdout.close()
        return early

    def __exit__(self, exc_type: object, *rest: object) -> None:
        early = self._stop()
        tail = self._stderr_tail()
        assert self._stderr is not None
        self._stderr.close()
        if exc_type is not None:
            return
        if early is not None:
            raise ServerError(f"the server exited with status {early} while in use: {tail}")
        if tail:
            raise ServerError(f"the server wrote to stderr: {tail}")


_CLIENT_LINE = re.compile(r"requests=(\d+) seconds=([\d.]+) requests_per_second=[\d.]+ "
                          r"errors=(\d+)(?: p50_us=([\d.]+) p99_us=([\d.]+))?(?: lost=(\d+))?")


def page_faults(pid: int) -> int | None:
    """A process's minor page faults so far, every thread included."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat.rsplit(")", 1)[1].split()[7])


def _run_load(server: Server, command: list[str], timeout: float
              ) -> tuple[subprocess.CompletedProcess[str], int, int, int | None]:
    """Runs a load generator; its result, and the server's CPU time, the
    wall time and the server's page faults over its run."""
    faults_before = server.page_faults()
    before, start = server.cpu_ns(), time.perf_counter_ns()
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    span, after = time.perf_counter_ns() - start, server.cpu_ns()
    faults_after = server.page_faults()
    faults = (None if faults_before is None or faults_after is None
              else faults_after - faults_before)
    return done, after - before, span, faults


def echo_load(server: Server, size: int, requests: int, seconds: float,
              connections: int = CONNECTIONS, rate: float | None = None) -> Load:
    """Runs the echo client against `server` until `requests` echoes of
    `size` bytes are done or `seconds` have passed, whichever comes first;
    with `rate`, each connection starts at most that many requests a second.
    Over TLS where the server serves it. Raises ServerError unless every byte
    came back as sent (and over TLS, each connection ended with the server's
    close_notify)."""
    client = echo_client(server.tls)
    command = [str(client), "-p", str(server.port), "-c", str(connections), "-s", str(size),
               "-n", str(requests), "-d", f"{seconds:g}", "-t", f"{seconds + 30:g}"]
    if rate is not None:
        command += ["-r", f"{rate:g}"]
    if server.tls:
        command += ["-C", str(cert())]
    return _client_load(server, command, seconds, "the echo client")


def _client_load(server: Server, command: list[str], seconds: float, what: str) -> Load:
    done, cpu, span, faults = _run_load(server, command, seconds + 60)
    match = _CLIENT_LINE.search(done.stdout)
    if done.returncode != 0 or match is None or int(match[3]) != 0:
        detail = " | ".join((done.stderr.strip().splitlines() or ["no message"])[:4])
        raise ServerError(f"{what} failed (status {done.returncode}): {detail}")
    p50, p99 = (float(match[4]), float(match[5])) if match[4] else (None, None)
    return Load(int(match[1]), int(float(match[2]) * 1e9), cpu, span, p50, p99,
                int(match[6]) if match[6] else None, faults)


# How long an echo may take before its datagram counts as lost and goes
# again. Tests raise it: a server slowed by sanitizers, or one in the test's
# own process, can stall longer than this without losing anything.
UDP_RESEND_MS = 50.0


def udp_load(server: Server, size: int, requests: int, seconds: float,
             flows: int = FLOWS) -> Load:
    """Runs the UDP client against `server` until `requests` datagrams of
    `size` bytes have come back or `seconds` have passed, whichever comes
    first. Raises ServerError on any wrong echo, or when more than 1 % of
    the datagrams went unanswered for UDP_RESEND_MS (and were sent again)."""
    command = [str(udp_client()), "-p", str(server.port), "-c", str(flows), "-s", str(size),
               "-n", str(requests), "-d", f"{seconds:g}", "-t", f"{seconds + 30:g}",
               "-w", f"{UDP_RESEND_MS:g}"]
    return _client_load(server, command, seconds, "the UDP client")


def idle_load(server: Server, seconds: float) -> Load:
    """No load at all for `seconds`: the server's CPU time over them."""
    before, start = server.cpu_ns(), time.perf_counter_ns()
    time.sleep(seconds)
    span, after = time.perf_counter_ns() - start, server.cpu_ns()
    return Load(0, span, after - before, span)


def check_http(server: Server) -> None:
    """Two GETs on one connection, each answered 200 with the body of the
    server's kind: the server speaks enough HTTP (over TLS, with CERT, where
    it serves TLS) for wrk's figures to mean something."""
    if server.tls:
        context = ssl.create_default_context(cafile=cert())
        context.check_hostname = False  # CERT names localhost; this connects to 127.0.0.1
        connection: http.client.HTTPConnection = http.client.HTTPSConnection(
            "127.0.0.1", server.port, timeout=10, context=context)
    else:
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    expected = serve.BODIES.get(server.kind, serve.BODY)
    try:
        for _ in range(2):
            connection.request("GET", "/")
            response = connection.getresponse()
            body = response.read()
            if response.status != 200 or body != expected:
                raise ServerError(f"GET / answered {response.status} with {body[:80]!r}")
    finally:
        connection.close()


_WRK_REQUESTS = re.compile(r"(\d+) requests in ([\d.]+)(us|ms|s|m)\b")
_WRK_SCALE = {"us": 1e3, "ms": 1e6, "s": 1e9, "m": 60e9}
# A line of the latency distribution that --latency adds: "     99%  1.23ms".
_WRK_PERCENTILE = re.compile(r"^\s*(\d+)%\s+([\d.]+)(us|ms|s|m)\s*$", re.MULTILINE)


def wrk_percentiles(output: str) -> dict[int, float]:
    """The latency distribution in wrk's output: percent -> microseconds."""
    return {int(p): float(v) * _WRK_SCALE[unit] / 1e3
            for p, v, unit in _WRK_PERCENTILE.findall(output)}


def wrk_load(server: Server, seconds: int, connections: int = CONNECTIONS,
             threads: int = 1) -> Load:
    """Runs wrk against `server` for `seconds` (whole seconds, as wrk takes
    them), over https where the server serves TLS. Raises ServerError on any
    socket error or non-2xx answer."""
    wrk = shutil.which("wrk")
    if wrk is None:
        raise ServerError("wrk is not on PATH")
    command = [wrk, "-t", str(threads), "-c", str(connections), "-d", f"{seconds}s",
               "--latency", f"{'https' if server.tls else 'http'}://127.0.0.1:{server.port}/"]
    done, cpu, span, faults = _run_load(server, command, seconds + 60)
    match = _WRK_REQUESTS.search(done.stdout)
    problems = [line.strip() for line in done.stdout.splitlines()
                if line.strip().startswith(("Socket errors", "Non-2xx"))]
    if done.returncode != 0 or match is None or problems or int(match[1]) == 0:
        detail = " | ".join(problems or done.stderr.strip().splitlines()[:4] or ["no requests"])
        raise ServerError(f"wrk failed (status {done.returncode}): {detail}")
    percentiles = wrk_percentiles(done.stdout)
    if not {50, 99} <= percentiles.keys():
        raise ServerError("wrk printed no latency distribution")
    return Load(int(match[1]), int(float(match[2]) * _WRK_SCALE[match[3]]), cpu, span,
                percentiles[50], percentiles[99], server_faults=faults)
