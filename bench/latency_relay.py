#!/usr/bin/env python3
"""A TCP relay that adds a round-trip time between its clients and one target, for benchmarks on
loopback.

Usage: bench/latency_relay.py --listen 127.0.0.1:8081 --target 127.0.0.1:8080 --rtt-ms 50 [--rate-mbit N]
       bench/latency_relay.py --self-test [--rtt-ms 50] [--rate-mbit N]

Every chunk is released half a round trip after it arrived, in each direction, in the order it
arrived; chunks are not held back by one another, so the delay adds latency, not a throughput
limit. A new connection costs a round trip before the first byte the client sends can leave: the
upstream connection opens half a round trip after the client's (the handshake's first half), and
the client's data is taken as sent no earlier than one round trip after it connected (when the
handshake would have told it that it may send), plus half a round trip on the way. So one request
on a new connection takes two round trips, and one more request on the same connection one.
A half-close (EOF) travels like a chunk, after the data before it; a reset or a failed upstream
connect aborts the other side half a round trip later. A connection is forgotten once both of its
sockets are closed. Memory is bounded: a direction holding more than MAX_HELD bytes stops reading
its source, as a full window would, until it holds less than RESUME_HELD; likewise while the
destination's own buffer is full.

With --rate-mbit N, the answers' way (target to client) is one line of N Mbit/s that all
connections share, as a home or office line is: a chunk first waits its turn on the line, which
sends pieces of at most PIECE bytes of the connections that have something to send, one
connection after the other, each piece taking its size over the rate (one bucket for the whole
relay, which an idle line does not fill ahead); the piece then arrives half a round trip after the
line sent its last byte. A half-close or an abort waits behind the data before it. The requests'
way has no limit.

It prints "listening on HOST:PORT" once it accepts connections, and on SIGUSR1 or at exit a line
with the number of connections accepted and still open.
"""
import argparse
import asyncio
import collections
import os
import resource
import signal
import socket
import struct
import sys
import time

MAX_HELD = 1 << 20
RESUME_HELD = 256 << 10
PIECE = 16 << 10
EOF = object()
ABORT = object()


def is_data(item):
    return item is not EOF and item is not ABORT


class Direction:
    """One direction of a relayed connection: chunks from src, released to dst after the delay."""

    def __init__(self, loop, delay, name, line=None):
        self.loop, self.delay, self.name, self.line = loop, delay, name, line
        self.unsent = collections.deque()  # what waits for its turn on the line
        self.on_line = False  # in the line's turn
        self.src = None  # the transport read from
        self.dst = None  # the transport written to; None until the upstream has connected
        self.queue = collections.deque()  # (release time, bytes, EOF or ABORT)
        self.held = 0
        self.not_before = 0.0  # no chunk leaves before this time (the handshake's round trip)
        self.timer = None
        self.paused_for = set()  # "held", "dst": the reasons src does not read
        self.done = False  # EOF or ABORT delivered, or dst gone
        self.on_done = None

    def push(self, item):
        if self.done:
            return
        if is_data(item):
            self.held += len(item)
            if self.held > MAX_HELD:
                self.pause("held")
        if self.line is None:
            self.travel(item, max(self.loop.time(), self.not_before))
        else:
            self.unsent.append(memoryview(item) if is_data(item) else item)
            self.line.wake(self)

    def travel(self, item, sent_at):
        """item arrives at dst half a round trip after sent_at."""
        self.queue.append((sent_at + self.delay, item))
        self.schedule()

    def schedule(self):
        if self.timer is None and self.queue and self.dst is not None:
            self.timer = self.loop.call_at(self.queue[0][0], self.release)

    def release(self):
        self.timer = None
        now = self.loop.time()
        while self.queue and self.queue[0][0] <= now and not self.done:
            _, item = self.queue.popleft()
            if item is EOF:
                try:
                    if self.dst.can_write_eof():
                        self.dst.write_eof()
                    else:
                        self.dst.close()
                except OSError:  # the peer reset while it was not read: it learns no more
                    self.dst.abort()
                self.finish()
            elif item is ABORT:
                self.dst.abort()
                self.finish()
            else:
                self.held -= len(item)
                self.dst.write(item)
        if self.held < RESUME_HELD:
            self.resume("held")
        self.schedule()

    def pause(self, reason):
        if not self.paused_for and self.src is not None and not self.src.is_closing():
            self.src.pause_reading()
        self.paused_for.add(reason)

    def resume(self, reason):
        if reason in self.paused_for:
            self.paused_for.discard(reason)
            if not self.paused_for and self.src is not None and not self.src.is_closing():
                self.src.resume_reading()

    def finish(self):
        """Nothing more goes this way: drop what is held and tell the connection."""
        if self.done:
            return
        self.done = True
        self.queue.clear()
        self.unsent.clear()
        self.held = 0
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        if self.on_done is not None:
            self.on_done()


class Line:
    """The answers' way of all connections: rate bytes a second, a piece of each connection that
    has something to send in turn."""

    def __init__(self, loop, rate):
        self.loop, self.rate = loop, rate
        self.turn = collections.deque()  # directions with something unsent
        self.free_at = 0.0  # when the line has sent all it was given
        self.timer = None
        self.sent = 0

    def wake(self, direction):
        if not direction.on_line:
            direction.on_line = True
            self.turn.append(direction)
        if self.timer is None:
            # An idle line saves nothing up; a busy one sends what it owes when the loop is late.
            self.free_at = max(self.free_at, self.loop.time())
            self.pump()

    def pump(self):
        self.timer = None
        now = self.loop.time()
        while self.turn and self.free_at <= now:
            direction = self.turn.popleft()
            if direction.done or not direction.unsent:
                direction.on_line = False
                continue
            item = direction.unsent.popleft()
            if is_data(item):
                if len(item) > PIECE:
                    direction.unsent.appendleft(item[PIECE:])
                    item = item[:PIECE]
                self.free_at += len(item) / self.rate
                self.sent += len(item)
            direction.travel(item, self.free_at)
            if direction.unsent:
                self.turn.append(direction)
            else:
                direction.on_line = False
        if self.turn:
            self.timer = self.loop.call_at(self.free_at, self.pump)


class Side(asyncio.Protocol):
    """One socket of a relayed connection: what it reads goes out on `outgoing`, and `incoming`
    writes to it."""

    def __init__(self, connection, outgoing, incoming):
        self.connection, self.outgoing, self.incoming = connection, outgoing, incoming
        self.transport = None
        self.got_eof = False

    def connection_made(self, transport):
        self.transport = transport
        self.outgoing.src = transport
        self.incoming.dst = transport
        self.incoming.schedule()

    def data_received(self, data):
        self.outgoing.push(data)

    def eof_received(self):
        self.got_eof = True
        self.outgoing.push(EOF)
        return True  # keep the socket open for the other way

    def pause_writing(self):
        self.incoming.pause("dst")

    def resume_writing(self):
        self.incoming.resume("dst")

    def connection_lost(self, exc):
        # Closed without an EOF first (a reset, or closed by us): the other side learns it later.
        if not self.got_eof:
            self.outgoing.push(ABORT)
        self.incoming.finish()
        self.connection.side_lost(self)


class Connection:
    def __init__(self, relay):
        self.relay = relay
        loop, delay = relay.loop, relay.delay
        self.up = Direction(loop, delay, "client to target")
        self.down = Direction(loop, delay, "target to client", relay.line)
        self.up.on_done = self.down.on_done = self.direction_done
        self.client = Side(self, self.up, self.down)
        self.target = None
        self.open_sides = 1
        self.connect_timer = None
        self.closed = False

    def accepted(self):
        loop = self.relay.loop
        self.up.not_before = loop.time() + 2 * self.relay.delay
        self.connect_timer = loop.call_later(self.relay.delay, self.open_upstream)

    def open_upstream(self):
        self.connect_timer = None
        if self.closed:
            return
        self.target = Side(self, self.down, self.up)
        self.open_sides += 1
        task = self.relay.loop.create_task(self.relay.loop.create_connection(
            lambda: self.target, self.relay.target_host, self.relay.target_port))
        task.add_done_callback(self.upstream_done)

    def upstream_done(self, task):
        if task.cancelled() or task.exception() is not None:
            self.relay.failed_connects += 1
            self.open_sides -= 1  # the target's side never opened
            self.down.dst = self.client.transport
            self.down.push(ABORT)  # the client learns of the refusal half a round trip later
            self.up.finish()
            self.check_closed()

    def direction_done(self):
        # Both ways have delivered their EOF (or given up): close both sockets, after what they hold.
        if self.up.done and self.down.done:
            for side in (self.client, self.target):
                if side is not None and side.transport is not None and not side.transport.is_closing():
                    side.transport.close()

    def side_lost(self, side):
        self.open_sides -= 1
        self.check_closed()

    def check_closed(self):
        if self.open_sides == 0 and not self.closed:
            self.closed = True
            if self.connect_timer is not None:
                self.connect_timer.cancel()
            self.up.finish()
            self.down.finish()
            self.relay.connections.discard(self)


class Relay:
    def __init__(self, loop, target_host, target_port, rtt_seconds, rate_mbit=None):
        self.loop = loop
        self.target_host, self.target_port = target_host, target_port
        self.delay = rtt_seconds / 2
        self.line = Line(loop, rate_mbit * 1e6 / 8) if rate_mbit else None
        self.connections = set()
        self.accepted = 0
        self.failed_connects = 0
        self.server = None

    def protocol(self):
        connection = Connection(self)
        self.connections.add(connection)
        self.accepted += 1
        connection.accepted()
        return connection.client

    async def start(self, host, port):
        self.server = await self.loop.create_server(self.protocol, host, port, backlog=4096,
                                                    reuse_address=True)
        return self.server.sockets[0].getsockname()[:2]

    def stats(self):
        line = f", {self.line.sent} bytes over the line" if self.line else ""
        return (f"accepted {self.accepted}, open {len(self.connections)}, "
                f"failed connects {self.failed_connects}{line}")


def address(text):
    host, _, port = text.rpartition(":")
    return host or "127.0.0.1", int(port)


def raise_file_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


async def serve(args):
    loop = asyncio.get_running_loop()
    target_host, target_port = address(args.target)
    relay = Relay(loop, target_host, target_port, args.rtt_ms / 1000, args.rate_mbit)
    host, port = await relay.start(*address(args.listen))
    print(f"listening on {host}:{port}", flush=True)
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    loop.add_signal_handler(signal.SIGUSR1, lambda: print(relay.stats(), flush=True))
    await stop.wait()
    relay.server.close()
    print(relay.stats(), flush=True)


# The self-test: a small HTTP/1.1 server on loopback, the relay in front of it, and clients that
# time what goes through.

BODY = b"x" * 1000


async def http_server(reader, writer):
    """Answers every GET with BODY, with 20 MB for /big and N bytes for /bytes/N; closes after one
    answer for /close."""
    try:
        while True:
            head = await reader.readuntil(b"\r\n\r\n")
            path = head.split(b" ", 2)[1]
            body = (b"y" * 20_000_000 if path == b"/big" else b"z" * int(path[7:])
                    if path.startswith(b"/bytes/") else BODY)
            close = path == b"/close"
            writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n%s\r\n"
                         % (len(body), b"Connection: close\r\n" if close else b"") + body)
            await writer.drain()
            if close:
                break
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    writer.close()


async def get(reader, writer, path):
    writer.write(b"GET %s HTTP/1.1\r\nHost: test\r\n\r\n" % path)
    head = await reader.readuntil(b"\r\n\r\n")
    length = int(head.split(b"Content-Length: ", 1)[1].split(b"\r\n", 1)[0])
    return await reader.readexactly(length)


def open_files():
    return len(os.listdir("/proc/self/fd"))


async def shared_rate(target, rtt, rate_mbit, check, failures):
    """Through a line of rate_mbit: a small answer still takes its round trips, one download alone
    has the whole line, and four at once share it, ending together after their bytes over the
    rate, with what the relay holds within its bounds."""
    loop = asyncio.get_running_loop()
    relay = Relay(loop, *target, rtt, rate_mbit)
    host, port = await relay.start("127.0.0.1", 0)
    rate = rate_mbit * 1e6 / 8
    size = max(PIECE, int(rate * 0.4))

    async def download(path, ends):
        reader, writer = await asyncio.open_connection(host, port)
        body = await get(reader, writer, path)
        ends.append(time.monotonic() - start)
        writer.close()
        await writer.wait_closed()
        return body

    ends = []
    start = time.monotonic()
    if await download(b"/", ends) != BODY:
        failures.append("body through the line")
    check("a small answer through the line (2 round trips)", ends[0], 2 * rtt, 2 * rtt + 0.03)
    ends = []
    start = time.monotonic()
    if len(await download(b"/bytes/%d" % size, ends)) != size:
        failures.append("body alone on the line")
    check(f"{size} bytes alone on a line of {rate_mbit:g} Mbit/s (2 round trips and the bytes over "
          f"the rate)", ends[0], 2 * rtt + 0.97 * size / rate, 2 * rtt + 1.1 * size / rate + 0.03)

    ends, peak = [], 0
    start = time.monotonic()
    together = asyncio.gather(*(download(b"/bytes/%d" % size, ends) for _ in range(4)))
    while not together.done():
        peak = max(peak, sum(c.down.held for c in relay.connections))
        await asyncio.wait([together], timeout=0.01)
    if any(len(body) != size for body in together.result()):
        failures.append("bodies sharing the line")
    check(f"4 x {size} bytes at once (2 round trips and the bytes over the rate)", max(ends),
          2 * rtt + 0.97 * 4 * size / rate, 2 * rtt + 1.1 * 4 * size / rate + 0.05)
    check("the first of the 4 to end, against the last (a fair share each)", min(ends),
          0.9 * max(ends), max(ends))
    bound = 4 * (MAX_HELD + (256 << 10))  # a read of asyncio's takes at most 256 KiB
    waited = 0.0
    while relay.connections and waited < 2 + 4 * rtt:
        await asyncio.sleep(0.05)
        waited += 0.05
    print(f"  held by the relay at most {peak} bytes (bound {bound}); relay: {relay.stats()}")
    if peak > bound:
        failures.append("held more than the bound")
    if relay.connections:
        failures.append(f"{len(relay.connections)} connections left open on the line")
    relay.server.close()
    await asyncio.sleep(0.1)  # the test server's own sockets close on its next turn


async def self_test(rtt_ms, rate_mbit):
    loop = asyncio.get_running_loop()
    rtt = rtt_ms / 1000
    server = await asyncio.start_server(http_server, "127.0.0.1", 0, backlog=4096)
    target = server.sockets[0].getsockname()
    relay = Relay(loop, *target[:2], rtt)
    host, port = await relay.start("127.0.0.1", 0)
    failures = []

    def check(what, seconds, low, high):
        ok = low <= seconds <= high
        print(f"  {what}: {seconds * 1000:.0f} ms (expected {low * 1000:.0f} to {high * 1000:.0f}) "
              f"{'ok' if ok else 'WRONG'}")
        if not ok:
            failures.append(what)

    start = time.monotonic()
    reader, writer = await asyncio.open_connection(host, port)
    body = await get(reader, writer, b"/")
    first = time.monotonic() - start
    start = time.monotonic()
    await get(reader, writer, b"/")
    second = time.monotonic() - start
    writer.close()
    check("first request on a new connection (2 round trips)", first, 2 * rtt, 2 * rtt + 0.03)
    check("second request on the same connection (1 round trip)", second, rtt, rtt + 0.03)
    if body != BODY:
        failures.append("body")

    # 20 MB in one answer: the delay must not limit the rate (no chunk waits for the one before).
    start = time.monotonic()
    reader, writer = await asyncio.open_connection(host, port)
    big = await get(reader, writer, b"/big")
    writer.close()
    check("20 MB on a new connection (2 round trips and the transfer)", time.monotonic() - start,
          2 * rtt, 2 * rtt + 1.5)
    if len(big) != 20_000_000:
        failures.append("big body")

    # The server closes after its answer: the client sees the EOF half a round trip later than the
    # answer's last byte at most, and the relay forgets the connection once the client closes too.
    start = time.monotonic()
    reader, writer = await asyncio.open_connection(host, port)
    await get(reader, writer, b"/close")
    answered = time.monotonic() - start
    tail = await reader.read()
    check("EOF after a closing answer", time.monotonic() - start, answered, answered + 0.03)
    writer.close()
    if tail:
        failures.append("data after the answer")

    # Thousands of connections, 50 at a time, each one request then a close from either end.
    baseline = open_files()
    count, parallel = 3000, 50
    limit = asyncio.Semaphore(parallel)

    async def one(i):
        async with limit:
            r, w = await asyncio.open_connection(host, port)
            await get(r, w, b"/close" if i % 2 else b"/")
            w.close()
            await w.wait_closed()

    start, cpu = time.monotonic(), time.process_time()
    await asyncio.gather(*(one(i) for i in range(count)))
    seconds, cpu = time.monotonic() - start, time.process_time() - cpu
    waited = 0.0
    while relay.connections and waited < 2 + 4 * rtt:
        await asyncio.sleep(0.05)
        waited += 0.05
    await asyncio.sleep(0.1)  # the test server's own sockets close on its next turn
    print(f"  {count} connections, {parallel} at a time: {seconds:.1f} s "
          f"(bound {count / parallel * 2 * rtt:.1f} s), {cpu:.1f} CPU s in this process; relay: {relay.stats()}; "
          f"open files {open_files()} (before {baseline})")
    # No bound on the time here: the clients, the relay and the server share one thread, whose CPU
    # sets the pace of so many connections; what must hold is that none is left behind.
    if relay.connections:
        failures.append(f"{len(relay.connections)} connections left open")
    if open_files() > baseline + 2:
        failures.append("file descriptors leaked")

    # A client that half-closes, then resets while the relay no longer reads it: the target's EOF
    # cannot be passed on, and the connection must still be forgotten.
    reader, writer = await asyncio.open_connection(host, port)
    writer.write(b"GET")
    writer.write_eof()
    await asyncio.sleep(0.01)  # the relay reads the EOF before the reset
    writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()
    waited = 0.0
    while relay.connections and waited < 2 + 4 * rtt:
        await asyncio.sleep(0.05)
        waited += 0.05
    if relay.connections:
        failures.append("a connection reset after its EOF left open")

    # A target that refuses: the client is cut off after about a round trip.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        closed_port = s.getsockname()[1]
    refused = Relay(loop, "127.0.0.1", closed_port, rtt)
    rhost, rport = await refused.start("127.0.0.1", 0)
    start = time.monotonic()
    reader, writer = await asyncio.open_connection(rhost, rport)
    writer.write(b"GET / HTTP/1.1\r\n\r\n")
    try:
        got = await reader.read()
    except ConnectionError:
        got = b""
    check("refused upstream, client cut off", time.monotonic() - start, rtt, rtt + 0.03)
    writer.close()
    if got or refused.failed_connects != 1:
        failures.append("refused upstream")
    await asyncio.sleep(0.05)
    if refused.connections:
        failures.append("refused connection left open")
    refused.server.close()
    await shared_rate(target[:2], rtt, rate_mbit, check, failures)
    relay.server.close()
    server.close()
    print("self-test", "passed" if not failures else "FAILED: " + ", ".join(failures))
    return not failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--listen", default="127.0.0.1:0", help="HOST:PORT (port 0: any free port)")
    parser.add_argument("--target", help="HOST:PORT to relay to")
    parser.add_argument("--rtt-ms", type=float, default=50, help="round-trip time added (default 50)")
    parser.add_argument("--rate-mbit", type=float,
                        help="the answers' way of all connections together: N Mbit/s (default: no limit)")
    parser.add_argument("--self-test", action="store_true",
                        help="check the relay's timing, its shared rate (--rate-mbit, default 40) and that it "
                             "leaks nothing")
    args = parser.parse_args()
    raise_file_limit()
    if args.self_test:
        sys.exit(0 if asyncio.run(self_test(args.rtt_ms, args.rate_mbit or 40)) else 1)
    if not args.target:
        parser.error("--target is required")
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
