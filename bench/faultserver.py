#!/usr/bin/env python3
"""An HTTP/1.0 server on 127.0.0.1 that serves a generated site and breaks some of its answers,
for the memory benchmark and the soak test of tidewell-cli. With --keep-alive it answers an
HTTP/1.1 request that does not ask to close in HTTP/1.1 and keeps the connection for the next
request (requests sent ahead included) after an answer that went out whole; it closes after a
broken one, and, with probability --fault-rate / 3 drawn like the faults, after a whole one too
(a server that closes a kept connection between answers).

The site: an index page ("/") that links to every page and every binary file; pages live in ten
sections and link to a few other pages and images; binaries are images (.gif, .png, .jpg) and
archives (.zip). Every path gives the same bytes on every request, fixed by the seed, so that a
retry gets what the first try should have had.

Faults come two ways:
  - fixed per path: /endless.zip (linked from the index with --endless) sends bytes until the
    client hangs up; with --slow-binaries the binaries live below /slow/ and each waits
    --slow-seconds before it answers;
  - at random (--fault-rate P): each response but the index's is broken with probability P, in
    one of the ways listed in FAULTS (or only those named with --faults). The draw depends only on the seed, the path and how many
    times the path was asked for, so a run can be replayed.

With --log FILE, every response is written to FILE as one JSON line: path, try (1 for the first
request of the path), when the request came (seconds since the server started), fault, status,
bytes of the body sent and their SHA-256, whether the response went out whole (status 200 and
the whole body handed to the system), how long the answer took, the connection (numbered in the
order they came) and the request's number on it (1 for the first), and whether the server closed
the connection after the answer.

The chosen port is printed on the first line of standard output. SIGTERM or SIGINT stops the
server once the responses in progress are done.
"""
import argparse
import hashlib
import itertools
import json
import random
import select
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

SITE_HOST = "www.site.test"
SECTIONS = 10
BINARY_KINDS = (("gif", b"GIF89a", "image/gif"), ("png", b"\x89PNG\r\n\x1a\n", "image/png"),
                ("jpg", b"\xff\xd8\xff\xe0", "image/jpeg"), ("zip", b"PK\x03\x04", "application/zip"))
ENDLESS_PATH = "/endless.zip"
ENDLESS_CHUNK = 1 << 20

# The faults that leave the client without the file: it has to try again.
BREAKING_FAULTS = ("close_at_once", "half_header", "header_only", "short_body", "stall", "reset")
# The faults that give the client a complete answer, if not the one it hoped for.
ANSWERING_FAULTS = ("tiny_pieces", "not_found", "server_error", "redirect")
FAULTS = BREAKING_FAULTS + ANSWERING_FAULTS

WORDS = ("tide", "well", "harbour", "current", "shore", "pier", "reef", "bay", "drift", "swell",
         "keel", "mast", "sail", "anchor", "buoy", "channel")


def page_path(i):
    return f"/section{i % SECTIONS}/page{i}.html"


class Site:
    """The paths of the site and the bytes each one serves."""

    def __init__(self, seed, pages, binaries, size_range, slow, endless):
        self.seed = seed
        self.pages = pages
        self.binaries = binaries
        self.size_range = size_range
        self.folder = "slow" if slow else "files"
        self.endless = endless
        self.kinds = {page_path(i): ("page", i) for i in range(pages)}
        for i in range(binaries):
            self.kinds[self.binary_path(i)] = ("binary", i)
        self._index = self._index_html()

    def binary_path(self, i):
        return f"/{self.folder}/file{i}.{BINARY_KINDS[i % len(BINARY_KINDS)][0]}"

    def rng(self, *parts):
        return random.Random("/".join(str(part) for part in (self.seed, *parts)))

    def _index_html(self):
        lines = ["<!DOCTYPE html>", "<html><head><title>Index</title></head><body>"]
        lines += [f'<a href="{page_path(i)[1:]}">page {i}</a>' for i in range(self.pages)]
        for i in range(self.binaries):
            path = self.binary_path(i)[1:]
            # The client fetches what any tag points at; <img> and <a> both occur on real sites.
            lines.append(f'<img src="{path}">' if i % 2 == 0 else f'<a href="{path}">file {i}</a>')
        if self.endless:
            lines.append(f'<a href="{ENDLESS_PATH[1:]}">archive without end</a>')
        lines.append("</body></html>")
        return ("\n".join(lines) + "\n").encode()

    def _page_html(self, i):
        rng = self.rng("page", i)
        links = [(i + 1) % self.pages] + [rng.randrange(self.pages) for _ in range(2)]
        lines = ["<!DOCTYPE html>", f"<html><head><title>Page {i}</title></head><body>",
                 '<p><a href="../index.html">home</a></p>']
        lines += [f'<a href="..{page_path(target)}">page {target}</a>' for target in links]
        if self.binaries:
            lines += [f'<img src="..{self.binary_path(rng.randrange(self.binaries))}">' for _ in range(2)]
        for _ in range(rng.randint(2, 40)):
            lines.append("<p>" + " ".join(rng.choice(WORDS) for _ in range(rng.randint(5, 30))) + "</p>")
        lines.append("</body></html>")
        return ("\n".join(lines) + "\n").encode()

    def _binary(self, i):
        rng = self.rng("binary", i)
        magic = BINARY_KINDS[i % len(BINARY_KINDS)][1]
        size = max(rng.randint(*self.size_range), len(magic))
        return magic + rng.randbytes(size - len(magic))

    def lookup(self, path):
        """(kind, content type, body) for a path of the site, or None."""
        if path in ("/", "/index.html"):
            return "index", "text/html", self._index
        kind, i = self.kinds.get(path, (None, None))
        if kind == "page":
            return kind, "text/html", self._page_html(i)
        if kind == "binary":
            return kind, BINARY_KINDS[i % len(BINARY_KINDS)][2], self._binary(i)
        return None

    def other_path(self, path, rng):
        """Another path of the same kind as path, for a redirect."""
        kind, i = self.kinds[path]
        count = self.pages if kind == "page" else self.binaries
        if count < 2:
            return "/"
        target = (i + rng.randrange(1, count)) % count
        return page_path(target) if kind == "page" else self.binary_path(target)


def response_head(status, content_type, length, extra="", version="1.0"):
    reasons = {200: "OK", 302: "Found", 404: "Not Found", 500: "Internal Server Error"}
    return (f"HTTP/{version} {status} {reasons[status]}\r\nServer: faultserver\r\n"
            f"Content-Type: {content_type}\r\nContent-Length: {length}\r\n{extra}\r\n").encode()


def small_page(title):
    return f"<!DOCTYPE html>\n<html><head><title>{title}</title></head><body><h1>{title}</h1></body></html>\n".encode()


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        server = self.server
        conn = self.request
        conn.settimeout(server.args.stall_seconds)
        requests = RequestReader(conn)
        with server.lock:
            server.connections += 1
            connection = server.connections
        for on_connection in itertools.count(1):
            request = requests.next()
            if request is None:
                return
            path, wants_to_keep = request
            self.version = "1.1" if server.args.keep_alive and wants_to_keep else "1.0"
            with server.lock:
                attempt = server.requests.get(path, 0) + 1
                server.requests[path] = attempt
            started = time.monotonic()
            record = {"path": path, "try": attempt, "fault": "none", "status": None, "body_sent": 0,
                      "body_sha256": None, "whole": False, "at": round(started - server.started, 3),
                      "connection": connection, "on_connection": on_connection, "closed_after": True}
            try:
                self.answer(conn, path, attempt, record)
            except OSError as error:
                record["error"] = type(error).__name__
                record["whole"] = False
            answered = record["fault"] in ("none", *ANSWERING_FAULTS) and "error" not in record
            record["closed_after"] = not (self.version == "1.1" and answered) \
                or server.site.rng("close", path, attempt).random() < server.args.fault_rate / 3
            # How long the answer took tells a slow server from a client that gave up early.
            record["seconds"] = round(time.monotonic() - started, 3)
            server.log(record)
            if record["closed_after"]:
                if answered:
                    close_gracefully(conn)
                return

    def head(self, status, content_type, length, extra=""):
        return response_head(status, content_type, length, extra, self.version)

    def answer(self, conn, path, attempt, record):
        site = self.server.site
        if path == ENDLESS_PATH and site.endless:
            record["fault"] = "endless"
            record["status"] = 200
            send_endless(conn, record)
            return
        found = site.lookup(path)
        if found is None:
            record["status"] = 404
            body = small_page("Not Found")
            send_complete(conn, self.head(404, "text/html", len(body)) + body, record, body)
            return
        kind, content_type, body = found
        if path.startswith("/slow/"):
            record["fault"] = "slow"
            if client_left_within(conn, self.server.args.slow_seconds):
                record["client_left"] = True
                return
        fault = "none"
        rng = site.rng("fault", path, attempt)
        # The index stays whole: a broken start page ends the copy before it begins, and a
        # redirect there would move the whole copy elsewhere.
        if kind != "index" and rng.random() < self.server.args.fault_rate:
            fault = rng.choice(self.server.faults)
        if fault != "none":
            record["fault"] = fault
        head = self.head(200, content_type, len(body))
        if fault == "not_found":
            record["status"] = 404
            answer = small_page("Not Found")
            send_complete(conn, self.head(404, "text/html", len(answer)) + answer, record, answer)
        elif fault == "server_error":
            record["status"] = 500
            answer = small_page("Internal Server Error")
            send_complete(conn, self.head(500, "text/html", len(answer)) + answer, record, answer)
        elif fault == "redirect":
            record["status"] = 302
            target = site.other_path(path, rng)
            record["location"] = target
            answer = small_page("Moved")
            send_complete(conn, self.head(302, "text/html", len(answer),
                                          f"Location: http://{SITE_HOST}{target}\r\n") + answer,
                          record, answer)
        elif fault in BREAKING_FAULTS:
            record["status"] = 200
            break_response(conn, fault, head, body, rng, record, self.server.args.stall_seconds)
        else:
            record["status"] = 200
            send_complete(conn, head + body, record, body, pieces_rng=rng if fault == "tiny_pieces" else None)


class RequestReader:
    """The GET requests of one connection, in order; bytes of a request sent ahead are kept."""

    def __init__(self, conn):
        self.conn = conn
        self.data = b""

    def next(self):
        """(path, whether the client asks to keep the connection), or None when it leaves."""
        while b"\r\n\r\n" not in self.data:
            try:
                chunk = self.conn.recv(4096)
            except OSError:
                return None
            if not chunk:
                return None
            self.data += chunk
        head, self.data = self.data.split(b"\r\n\r\n", 1)
        lines = head.split(b"\r\n")
        parts = lines[0].split(b" ")
        if len(parts) < 3:
            return None
        closes = any(line.lower().replace(b" ", b"") == b"connection:close" for line in lines[1:])
        return parts[1].decode("latin-1"), parts[2] == b"HTTP/1.1" and not closes


def close_gracefully(conn):
    """Ends a kept connection after a whole answer as a careful server does: a request the client
    sent ahead is read and dropped until the client closes, since closing with it unread would
    send a reset that may take the answer's last bytes with it."""
    try:
        conn.shutdown(socket.SHUT_WR)
        conn.settimeout(2)
        while conn.recv(4096):
            pass
    except OSError:
        pass


def client_left_within(conn, seconds):
    """Waits up to seconds; True when the client closed meanwhile, so a stopped copy frees the
    thread at once instead of leaving it asleep."""
    readable, _, _ = select.select([conn], [], [], seconds)
    if not readable:
        return False
    try:
        return conn.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def send_complete(conn, response, record, body, pieces_rng=None):
    """Sends a whole response, at once or, with pieces_rng, a few bytes at a time."""
    if pieces_rng is None:
        conn.sendall(response)
    else:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sent = 0
        pieces = 0
        while sent < len(response):
            size = pieces_rng.randint(1, 16)
            conn.sendall(response[sent:sent + size])
            sent += size
            pieces += 1
            # A pause now and then lets the client see the pieces one by one, not coalesced.
            if pieces % 64 == 0:
                time.sleep(0.002)
        record["pieces"] = pieces
    record["body_sent"] = len(body)
    record["body_sha256"] = sha256(body)
    record["whole"] = record["status"] == 200


def break_response(conn, fault, head, body, rng, record, stall_seconds):
    """Sends a response the client cannot take for the file."""
    if fault == "close_at_once":
        return
    if fault == "half_header":
        conn.sendall(head[:len(head) // 2])
        return
    cut = 0 if fault == "header_only" else rng.randrange(1, len(body)) if len(body) > 1 else 0
    if fault == "stall":
        # Anywhere from nothing at all to one byte short of the end.
        cut = rng.randrange(0, len(head) + len(body))
        sent = (head + body)[:cut]
        conn.sendall(sent)
        body_part = sent[len(head):]
        record["body_sent"] = len(body_part)
        record["body_sha256"] = sha256(body_part)
        # The client's timeout has to end it; the server only gives up after --stall-seconds.
        record["client_left"] = client_left_within(conn, stall_seconds)
        return
    conn.sendall(head + body[:cut])
    record["body_sent"] = cut
    record["body_sha256"] = sha256(body[:cut])
    if fault == "reset":
        # Closing with a zero linger time sends a reset instead of the orderly end.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def send_endless(conn, record):
    head = b"HTTP/1.0 200 OK\r\nServer: faultserver\r\nContent-Type: application/zip\r\n\r\n"
    conn.sendall(head)
    chunk = random.Random(0).randbytes(ENDLESS_CHUNK)
    sent = 0
    try:
        while True:
            conn.sendall(chunk)
            sent += len(chunk)
    except OSError:
        pass
    finally:
        record["body_sent"] = sent


class FaultServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    # A copy with 24 connections opens them in bursts.
    request_queue_size = 128
    daemon_threads = False
    block_on_close = True

    def __init__(self, args, site, log_file):
        super().__init__(("127.0.0.1", args.port), Handler)
        self.args = args
        self.site = site
        self.log_file = log_file
        self.lock = threading.Lock()
        self.requests = {}
        self.connections = 0
        self.faults = args.faults
        self.started = time.monotonic()

    def log(self, record):
        if self.log_file is None:
            return
        line = json.dumps(record, sort_keys=True) + "\n"
        with self.lock:
            self.log_file.write(line)
            self.log_file.flush()


def fault_list(text):
    kinds = tuple(kind for kind in text.split(",") if kind)
    unknown = set(kinds) - set(FAULTS)
    if unknown or not kinds:
        raise argparse.ArgumentTypeError(f"faults are chosen from {', '.join(FAULTS)}")
    return kinds


def size_range(text):
    low, _, high = text.partition(":")
    return int(low), int(high or low)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--pages", type=int, default=1000)
    parser.add_argument("--binaries", type=int, default=1000)
    parser.add_argument("--binary-size", type=size_range, default=(1000, 40000),
                        help="BYTES or MIN:MAX, the size of each binary file")
    parser.add_argument("--slow-binaries", action="store_true", help="serve binaries below /slow/")
    parser.add_argument("--slow-seconds", type=float, default=1.0)
    parser.add_argument("--endless", action="store_true", help="link /endless.zip from the index")
    parser.add_argument("--fault-rate", type=float, default=0.0)
    parser.add_argument("--faults", type=fault_list, default=FAULTS,
                        help="comma-separated kinds the random faults are drawn from (default: all)")
    parser.add_argument("--stall-seconds", type=float, default=60.0,
                        help="how long a stalled response waits for the client to give up")
    parser.add_argument("--keep-alive", action="store_true",
                        help="keep connections that ask for it (HTTP/1.1) between answers")
    parser.add_argument("--log", help="file for one JSON line per response")
    args = parser.parse_args()

    site = Site(args.seed, args.pages, args.binaries, args.binary_size, args.slow_binaries, args.endless)
    log_file = open(args.log, "w") if args.log else None
    server = FaultServer(args, site, log_file)
    stop = threading.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: stop.set())
    serving = threading.Thread(target=server.serve_forever)
    serving.start()
    print(server.server_address[1], flush=True)
    stop.wait()
    server.shutdown()
    serving.join()
    server.server_close()
    if log_file:
        log_file.close()


if __name__ == "__main__":
    sys.exit(main())
