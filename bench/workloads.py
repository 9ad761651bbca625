"""The workloads. Each takes a Trial, sets up on its loop, runs the measured
part inside `trial.timed()`, and checks afterwards that everything it asked
for happened exactly once.

Every workload leaves its loop with no pending timer: a velkor loop is freed
only once nothing is scheduled on it any more."""

from __future__ import annotations

import asyncio
import socket
import statistics
import threading
import time

from . import interpreters, loops, memory
from .harness import Sample, Trial, Workload, native_thread_count
from .servers import run as servers

# The delays of the spread-timers workload cover this many seconds.
SPREAD_SECONDS = 0.020


def chain(t: Trial) -> None:
    loop, n = t.loop, t.count
    call_soon = loop.call_soon
    ran = 0

    def step() -> None:
        nonlocal ran
        ran += 1
        if ran < n:
            call_soon(step)
        else:
            loop.stop()

    call_soon(step)
    with t.timed():
        loop.run_forever()
    t.check(ran == n, f"{ran} of {n} callbacks ran")


def fan_out(t: Trial) -> None:
    loop, n = t.loop, t.count
    call_soon = loop.call_soon
    ran = 0

    def hit() -> None:
        nonlocal ran
        ran += 1
        if ran == n:
            loop.stop()

    with t.timed():
        for _ in range(n):
            call_soon(hit)
        loop.run_forever()
    t.check(ran == n, f"{ran} of {n} callbacks ran")


def timer_chain(t: Trial) -> None:
    loop, n = t.loop, t.count
    call_later = loop.call_later
    ran = 0

    def step() -> None:
        nonlocal ran
        ran += 1
        if ran < n:
            call_later(0, step)
        else:
            loop.stop()

    call_later(0, step)
    with t.timed():
        loop.run_forever()
    t.check(ran == n, f"{ran} of {n} timers ran")


def spread_timers(t: Trial) -> None:
    loop, n = t.loop, t.count
    call_later = loop.call_later
    gap = SPREAD_SECONDS / max(1, n - 1)
    ran = 0
    latest = -1  # the index of the latest-due timer run so far
    overtaken = 0

    def fire(index: int) -> None:
        nonlocal ran, latest, overtaken
        ran += 1
        if index < latest:
            overtaken += 1
        else:
            latest = index
        if ran == n:
            loop.stop()

    with t.timed():
        for i in range(n):
            call_later(i * gap, fire, i)
        loop.run_forever()
    t.check(ran == n, f"{ran} of {n} timers ran")
    assert t.sample is not None
    t.check(t.sample.wall_ns >= SPREAD_SECONDS * 1e9,
            f"all timers ran within {t.sample.wall_ns / 1e6:.2f} ms, "
            f"but the last one was due {SPREAD_SECONDS * 1e3:g} ms after it was scheduled")
    if overtaken:
        t.note("timers ran after a later-due timer", overtaken, n)


def threadsafe(t: Trial) -> None:
    loop, n = t.loop, t.count
    ran = 0

    def hit() -> None:
        nonlocal ran
        ran += 1
        if ran == n:
            loop.stop()

    def submit() -> None:
        call = loop.call_soon_threadsafe
        try:
            for _ in range(n):
                call(hit)
        except RuntimeError:
            pass  # the loop was closed under us: the watchdog stopped this run

    producer = threading.Thread(target=submit, name="bench-producer", daemon=True)
    loop.call_soon(producer.start)  # submit while the loop runs
    try:
        with t.timed():
            loop.run_forever()
    finally:
        if producer.ident is not None:  # it started
            producer.join(t.timeout)
    t.check(not producer.is_alive(), "the submitting thread did not finish")
    t.check(ran == n, f"{ran} of {n} callbacks ran")


def ping_pong(t: Trial, rearm: bool = False) -> None:
    """With `rearm`, each read callback removes its reader and adds it again
    after its read, as socket helpers such as sock_recv do around each wait."""
    loop, n, kind = t.loop, t.count, t.kind
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    trips = 0  # bytes back at end A
    echoed = 0  # bytes echoed by end B
    empty_wakeups = 0
    removed = False
    late_calls = 0  # callbacks run after remove_reader returned

    def on_a() -> None:
        nonlocal trips, empty_wakeups, late_calls
        if removed:
            late_calls += 1
            return
        if rearm:
            loop.remove_reader(a.fileno())
            kind.add_reader(loop, a.fileno(), on_a)
        try:
            data = a.recv(64)
        except BlockingIOError:
            empty_wakeups += 1
            return
        trips += len(data)
        if trips >= n or not data:
            loop.stop()
        else:
            a.send(b"x")

    def on_b() -> None:
        nonlocal echoed, empty_wakeups, late_calls
        if removed:
            late_calls += 1
            return
        if rearm:
            loop.remove_reader(b.fileno())
            kind.add_reader(loop, b.fileno(), on_b)
        try:
            data = b.recv(64)
        except BlockingIOError:
            empty_wakeups += 1
            return
        echoed += len(data)
        if data:
            b.send(data)

    try:
        kind.add_reader(loop, a.fileno(), on_a)
        kind.add_reader(loop, b.fileno(), on_b)
        loop.call_soon(a.send, b"x")
        with t.timed():
            loop.run_forever()
    finally:
        loop.remove_reader(a.fileno())
        loop.remove_reader(b.fileno())
        removed = True
        # One more turn runs whatever the loop still has queued, while the
        # sockets are still open: velkor may have queued a read callback
        # that runs even after remove_reader, and a velkor loop is not freed
        # while a callback waits in its queue.
        loop.call_soon(loop.stop)
        loop.run_forever()
        a.close()
        b.close()
    t.check(trips == n and echoed == n,
            f"{trips} bytes came back to end A and {echoed} were echoed, for {n} round trips")
    if empty_wakeups:
        t.note("read callbacks that found nothing to read, of the reads expected",
               empty_wakeups, 2 * n)
    if late_calls:
        t.note("read callbacks ran after remove_reader had returned", late_calls)


def ping_pong_rearm(t: Trial) -> None:
    ping_pong(t, rearm=True)


# The delay of each timer of the timer-lateness workload.
LATENESS_DELAY = 0.000_200


def timer_lateness(t: Trial) -> None:
    """How late a lone short timer runs: a chain of call_later(200 us)
    timers, each measured from its scheduling to its callback."""
    loop, n = t.loop, t.count
    delay_ns = LATENESS_DELAY * 1e9
    clock = time.perf_counter_ns
    late: list[int] = []
    early = 0

    def fire(scheduled: int) -> None:
        nonlocal early
        lateness = clock() - scheduled - delay_ns
        if lateness < -1000:  # a microsecond for the two clocks' granularity
            early += 1
        late.append(int(lateness))
        if len(late) < n:
            loop.call_later(LATENESS_DELAY, fire, clock())
        else:
            loop.stop()

    loop.call_later(LATENESS_DELAY, fire, clock())
    with t.timed():
        loop.run_forever()
    t.check(len(late) == n, f"{len(late)} of {n} timers ran")
    if early:
        # uvloop keeps its clock in whole milliseconds, so its timers can
        # run up to a millisecond before the delay has passed.
        t.note("timers ran before their delay had passed", early, n)
    assert t.sample is not None
    t.sample.value = statistics.median(late)


def tasks(t: Trial) -> None:
    loop, n = t.loop, t.count

    async def child() -> int:
        await asyncio.sleep(0)
        return 1

    async def main() -> int:
        create_task = loop.create_task
        children = [create_task(child()) for _ in range(n)]
        return sum(await asyncio.gather(*children))

    with t.timed():
        finished = loop.run_until_complete(main())
    t.check(finished == n, f"{finished} of {n} tasks finished")


def idle(t: Trial) -> None:
    loop = t.loop
    seconds = t.count / 1000  # the count is the wait, in milliseconds
    # Timed from the call_later itself: a pause of this process between
    # scheduling and running (a busy machine) must not read as an early timer.
    with t.timed():
        loop.call_later(seconds, loop.stop)
        loop.run_forever()
    assert t.sample is not None
    # A millisecond of slack for clock granularity.
    t.check(t.sample.wall_ns >= (seconds - 0.001) * 1e9,
            f"a {seconds:g} s timer stopped the loop after {t.sample.wall_ns / 1e9:.4f} s")


def pending_timers(t: Trial) -> None:
    t.record(memory.measure(t.kind.name, t.count, t.timeout))


def loop_life(t: Trial) -> None:
    kind, n = t.kind, t.count
    new, dispose = kind.new, kind.dispose
    threads_before = native_thread_count()
    with t.timed():
        for _ in range(n):
            loop = new()
            dispose(loop)
            del loop
    threads_after = native_thread_count()
    if threads_before is not None and threads_after is not None:
        t.check(threads_after <= threads_before,
                f"{threads_after - threads_before} more threads after {n} loops came and went")


def floor(t: Trial) -> None:
    loop, n = t.loop, t.count
    Handle = asyncio.Handle
    no_args = ()

    def callback() -> None:
        pass

    with t.timed():
        for _ in range(n):
            Handle(callback, no_args, loop)._run()


# The loops that can serve TCP and UDP: velkor's own loop cannot.
SERVING_LOOPS = ("asyncio", "uvloop", "velkorio")
# The echo-protocol rows run the C echo server beside them, their floor.
FLOORED_LOOPS = (*SERVING_LOOPS, loops.FLOOR)
# An echo repetition ends after its count of requests or after this many
# seconds, whichever comes first.
ECHO_SECONDS = 2.0
# Message size, and requests per repetition (and with --quick).
ECHO_SIZES = {"1k": (1024, 50_000, 1_000), "10k": (10 * 1024, 20_000, 500),
              "100k": (100 * 1024, 5_000, 200)}
ECHO_SERVERS = {
    "protocol": "an asyncio.Protocol writing back what it receives",
    "streams": "asyncio.start_server, reader.read then writer.write and drain",
    "sock": "sock_accept, then sock_recv and sock_sendall",
}
UDP_SERVER = "create_datagram_endpoint, a DatagramProtocol sending each datagram back"
# Datagram size in bytes: datagrams per repetition (and with --quick).
UDP_SIZES = {64: (100_000, 2_000), 1400: (100_000, 2_000)}
HTTP_SERVERS = {
    "protocol": "a minimal HTTP/1.1 asyncio.Protocol",
    "split2": "as http-protocol, each response in two writes: the head, then the body",
    "split8": "as http-protocol, each response in eight writes: the status line, each "
              "header line, the blank line, the body in four pieces",
    "aiohttp": "an aiohttp.web application with one route",
}
# The TLS rows: these servers given ssl= (aiohttp its ssl_context), with
# CPython's test certificate, under the TLS echo client or wrk over https.
# tls-echo-protocol runs its C floor beside it, as echo-protocol does.
TLS_ECHO_SERVERS = ("protocol", "streams")
TLS_FLOORED_LOOPS = (*SERVING_LOOPS, loops.TLS_FLOOR)
TLS_HTTP_SERVERS = {
    "protocol": HTTP_SERVERS["protocol"],
    "protocol-100k": "as http-protocol, with a 100 KiB body",
    "aiohttp": HTTP_SERVERS["aiohttp"],
}


def record_load(t: Trial, load: servers.Load, server: servers.Server) -> None:
    t.check(load.requests > 0 and load.wall_ns > 0, "the load generator got no reply")
    extra = {"requests": load.requests, "p50_us": load.p50_us, "p99_us": load.p99_us,
             "cpu_percent": load.cpu_percent, "busy_poll_us": server.busy_poll}
    if load.server_faults is not None:
        extra["faults_per_request"] = load.server_faults / load.requests
    if load.lost is not None:
        extra["lost"] = load.lost
        if load.lost:
            t.note("datagrams sent again after 50 ms without an echo", load.lost, load.requests)
    t.record(Sample(load.wall_ns, load.server_cpu_ns, value=load.requests * 1e9 / load.wall_ns,
                    extra=extra))


def echo_server(kind: str, size: int, warm: bool = True, tls: bool = False):
    def body(t: Trial) -> None:
        with servers.Server(f"echo-{kind}", t.kind.name, tls=tls) as server:
            # An untimed round first. A fresh asyncio server is several times
            # slower per request until its first connections close: each
            # read allocates a 256 KiB buffer, which glibc's malloc maps and
            # unmaps every time until freeing a whole one (as at end of file)
            # raises its thresholds. The cold row shows that first stretch.
            if warm:
                servers.echo_load(server, size, max(200, t.count // 10), ECHO_SECONDS / 4)
            load = servers.echo_load(server, size, t.count, ECHO_SECONDS)
        record_load(t, load, server)
    return body


def udp_echo_server(size: int):
    def body(t: Trial) -> None:
        with servers.Server("echo-udp", t.kind.name) as server:
            # Untimed first, as for the TCP echoes.
            servers.udp_load(server, size, max(200, t.count // 10), ECHO_SECONDS / 4)
            load = servers.udp_load(server, size, t.count, ECHO_SECONDS)
        record_load(t, load, server)
    return body


def http_server(kind: str, tls: bool = False):
    def body(t: Trial) -> None:
        with servers.Server(f"http-{kind}", t.kind.name, tls=tls) as server:
            servers.check_http(server)
            load = servers.wrk_load(server, t.count)  # the count is wrk's seconds
        record_load(t, load, server)
    return body


# The rows at light load run velkorio twice: with busy polling off, and with
# it on as velkorio-poll.
LIGHT_LOOPS = (*SERVING_LOOPS, loops.BUSY_POLL_VARIANT)
# Message size, connections, and requests per repetition (and with --quick).
LIGHT_ECHOES = {"1k-c1": (1024, 1, 20_000, 500), "1k-c3": (1024, 3, 30_000, 1_000),
                "100k-c1": (100 * 1024, 1, 5_000, 100), "100k-c3": (100 * 1024, 3, 5_000, 200)}
PACED_RATE = 1000  # requests per second on the one connection of the fixed-rate row


def light_server(kind: str, t: Trial) -> servers.Server:
    """A server for a light-load row. These rows pin velkorio's busy polling
    (VELKORIO_BUSY_POLL): off, except for the variant that turns it on."""
    env = {"VELKORIO_BUSY_POLL": "0", **t.kind.server_env}
    return servers.Server(kind, t.kind.variant_of or t.kind.name, env=env)


def warm_round(server: servers.Server, size: int, count: int, connections: int) -> None:
    # Untimed, as for the rows above.
    servers.echo_load(server, size, max(200, count // 10), ECHO_SECONDS / 4, connections)


def light_echo(size: int, connections: int):
    def body(t: Trial) -> None:
        with light_server("echo-protocol", t) as server:
            warm_round(server, size, t.count, connections)
            load = servers.echo_load(server, size, t.count, ECHO_SECONDS, connections)
        record_load(t, load, server)
    return body


def light_http(connections: int):
    def body(t: Trial) -> None:
        with light_server("http-protocol", t) as server:
            servers.check_http(server)
            load = servers.wrk_load(server, t.count, connections)  # the count is wrk's seconds
        record_load(t, load, server)
    return body


def paced_echo(t: Trial) -> None:
    with light_server("echo-protocol", t) as server:
        warm_round(server, 1024, t.count, 1)
        load = servers.echo_load(server, 1024, t.count, t.count / PACED_RATE + 1, 1,
                                 rate=PACED_RATE)
    t.check(load.requests == t.count, f"{load.requests} of {t.count} paced requests done")
    record_load(t, load, server)


def idle_server(t: Trial) -> None:
    with light_server("echo-protocol", t) as server:
        # Traffic first, as a server sees between quiet spells; then none.
        servers.echo_load(server, 1024, 200, ECHO_SECONDS / 4, 1)
        load = servers.idle_load(server, t.count / 1000)  # the count is the wait in ms
    t.record(Sample(load.span_ns, load.server_cpu_ns,
                    extra={"cpu_percent": load.cpu_percent, "busy_poll_us": server.busy_poll}))


def echo_in_interpreters(t: Trial) -> None:
    """The echo-protocol server, 1 KiB, served from one sub-interpreter and
    then from two: one process, a loop and a listening socket per
    interpreter, all on one port (SO_REUSEPORT)."""
    runs = []
    for n in interpreters.COUNTS:
        with servers.Server("echo-protocol", t.kind.name, interpreters=n) as server:
            servers.echo_load(server, 1024, max(200, t.count // 10), ECHO_SECONDS / 4)  # untimed
            load = servers.echo_load(server, 1024, t.count, ECHO_SECONDS)
        t.check(load.requests > 0 and load.wall_ns > 0, "the load generator got no reply")
        runs.append(interpreters.Run(load.requests, load.wall_ns, load.server_cpu_ns,
                                     load.span_ns))
    sample = interpreters.scaling_sample(*runs, counted="requests")
    sample.extra["busy_poll_us"] = server.busy_poll
    t.record(sample)


# The loops whose modules load in a sub-interpreter.
INTERPRETER_LOOPS = tuple(interpreters.LOOPS)

SERVER_WORKLOADS: list[Workload] = [
    *(Workload(f"echo-{kind}-{label}",
               f"{label[:-1]} KiB echoes over {servers.CONNECTIONS} connections from the C client; "
               f"server: {what} (at most {ECHO_SECONDS:g} s)",
               echo_server(kind, size), count, quick, metric="rate", unit="req/s",
               fresh_loop=False, only=FLOORED_LOOPS if kind == "protocol" else SERVING_LOOPS,
               warm_up=False, group="servers")
      for kind, what in ECHO_SERVERS.items() for label, (size, count, quick) in ECHO_SIZES.items()),
    Workload("echo-protocol-1k-cold",
             "as echo-protocol-1k, on a fresh server process with no untimed round first",
             echo_server("protocol", 1024, warm=False), *ECHO_SIZES["1k"][1:], metric="rate",
             unit="req/s", fresh_loop=False, only=SERVING_LOOPS, warm_up=False, group="servers"),
    *(Workload(f"echo-udp-{size}",
               f"{size} B datagrams over {servers.FLOWS} UDP sockets from the C client, one in "
               f"flight on each; server: {UDP_SERVER} (at most {ECHO_SECONDS:g} s)",
               udp_echo_server(size), count, quick, metric="rate", unit="req/s",
               fresh_loop=False, only=SERVING_LOOPS, warm_up=False, group="servers")
      for size, (count, quick) in UDP_SIZES.items()),
    *(Workload(f"http-{kind}", f"wrk -t 1 -c {servers.CONNECTIONS} on GET /; server: {what} "
               "(count: wrk's seconds)", http_server(kind), 3, 1, metric="rate", unit="req/s",
               fresh_loop=False, only=SERVING_LOOPS, warm_up=False, group="servers")
      for kind, what in HTTP_SERVERS.items()),
    *(Workload(f"tls-echo-{kind}-{label}",
               f"{label[:-1]} KiB echoes over {servers.CONNECTIONS} TLS connections from the C "
               f"client on OpenSSL; server: {ECHO_SERVERS[kind]}, with ssl= (at most "
               f"{ECHO_SECONDS:g} s)", echo_server(kind, size, tls=True), count, quick,
               metric="rate", unit="req/s", fresh_loop=False,
               only=TLS_FLOORED_LOOPS if kind == "protocol" else SERVING_LOOPS, warm_up=False,
               group="servers")
      for kind in TLS_ECHO_SERVERS for label, (size, count, quick) in ECHO_SIZES.items()),
    *(Workload(f"tls-http-{kind}", f"wrk -t 1 -c {servers.CONNECTIONS} on GET / over https; "
               f"server: {what}, with TLS (count: wrk's seconds)", http_server(kind, tls=True),
               3, 1, metric="rate", unit="req/s", fresh_loop=False, only=SERVING_LOOPS,
               warm_up=False, group="servers")
      for kind, what in TLS_HTTP_SERVERS.items()),
    *(Workload(f"echo-protocol-{label}",
               f"{size // 1024} KiB echoes over {connections} "
               f"connection{'s' * (connections > 1)}, with their latency; server: "
               f"{ECHO_SERVERS['protocol']} (at most {ECHO_SECONDS:g} s)",
               light_echo(size, connections), count, quick, metric="rate", unit="req/s",
               fresh_loop=False, only=LIGHT_LOOPS, warm_up=False, group="servers",
               light_load=True)
      for label, (size, connections, count, quick) in LIGHT_ECHOES.items()),
    *(Workload(f"http-protocol-c{connections}",
               f"wrk -t 1 -c {connections} --latency on GET /; server: "
               f"{HTTP_SERVERS['protocol']} (count: wrk's seconds)",
               light_http(connections), 3, 1, metric="rate", unit="req/s", fresh_loop=False,
               only=LIGHT_LOOPS, warm_up=False, group="servers", light_load=True)
      for connections in (1, 3)),
    Workload(f"echo-protocol-1k-{PACED_RATE}rps",
             f"1 KiB echoes on one connection, one every {1000 / PACED_RATE:g} ms: the "
             "server's CPU share and the latency", paced_echo, 2 * PACED_RATE,
             PACED_RATE // 2, metric="rate", unit="req/s", fresh_loop=False, only=LIGHT_LOOPS,
             warm_up=False, group="servers", light_load=True),
    Workload("echo-protocol-idle",
             "an echo-protocol server's CPU share while no request comes, after a short "
             "round of echoes (count: the wait in ms)", idle_server, 1500, 500,
             metric="cpu-share", unit="% CPU", fresh_loop=False, only=LIGHT_LOOPS,
             warm_up=False, group="servers", light_load=True),
    Workload("echo-interpreters",
             f"1 KiB echoes over {servers.CONNECTIONS} connections from the C client; server: "
             f"{ECHO_SERVERS['protocol']}, in 1 and in 2 sub-interpreters of one process on "
             f"one port (at most {ECHO_SECONDS:g} s each)",
             echo_in_interpreters, *ECHO_SIZES["1k"][1:], metric="rate", unit="req/s",
             fresh_loop=False, only=INTERPRETER_LOOPS, warm_up=False, group="servers",
             interpreters=True),
]

_LOOP_WORKLOADS: list[Workload] = [
    Workload("chain", "a callback that re-schedules itself with call_soon",
             chain, 200_000, 20_000),
    Workload("fan-out", "call_soon calls, then the run that drains them",
             fan_out, 200_000, 20_000),
    Workload("timer-chain", "a callback that re-schedules itself with call_later(0, ...)",
             timer_chain, 200_000, 20_000),
    Workload("spread-timers", f"call_later timers spread over {SPREAD_SECONDS * 1e3:g} ms",
             spread_timers, 50_000, 5_000),
    Workload("threadsafe", "call_soon_threadsafe from another thread while the loop runs",
             threadsafe, 100_000, 10_000),
    Workload("ping-pong", "one byte bounced over a socketpair through add_reader callbacks, "
             "per round trip", ping_pong, 20_000, 2_000),
    Workload("ping-pong-rearm", "as ping-pong, each callback removing its reader and adding "
             "it again, as socket helpers do", ping_pong_rearm, 20_000, 2_000),
    Workload("timer-lateness", f"how late a call_later({LATENESS_DELAY * 1e6:g} us) timer runs, "
             "median over a chain of them", timer_lateness, 2_000, 500, metric="value",
             unit="ns late"),
    Workload("tasks", "create_task of coroutines awaiting sleep(0) once, then gather, per task",
             tasks, 50_000, 5_000),
    Workload("idle", "CPU time over wall time while a loop waits on its only timer "
             "(count: the wait in ms)",
             idle, 1000, 200, metric="cpu-share", unit="% CPU", warm_up=False),
    Workload("memory", "RSS growth per pending call_later(3600) timer, each loop in a fresh "
             "process", pending_timers, 100_000, 20_000, metric="memory", unit="B/timer",
             fresh_loop=False, warm_up=False),
    Workload("loop-life", "constructing and destroying a loop, per loop",
             loop_life, 1000, 100, fresh_loop=False),
    Workload("floor", "asyncio.Handle(cb, (), loop) plus handle._run() with velkor's loop, "
             "paid by every velkor callback", floor, 200_000, 20_000, only=("velkor",),
             ratios=False),
]


def _in_interpreters(base: Workload) -> Workload:
    return Workload(f"{base.name}-interpreters",
                    f"{base.name} in 1 and in 2 sub-interpreters at once, each on its own loop "
                    "in its own thread: operations per second over all of them (count: per "
                    "interpreter)", interpreters.scaling(base.body), base.count,
                    base.quick_count, metric="rate", unit="op/s", fresh_loop=False,
                    only=INTERPRETER_LOOPS, warm_up=False, interpreters=True)


WORKLOADS: list[Workload] = [
    *_LOOP_WORKLOADS,
    *(_in_interpreters(w) for w in _LOOP_WORKLOADS if w.name in ("chain", "tasks")),
    *SERVER_WORKLOADS,
]

BY_NAME = {w.name: w for w in WORKLOADS}
