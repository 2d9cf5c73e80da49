#!/usr/bin/env python3
"""Measures the peak memory (RSS, from /usr/bin/time) of tidewell-cli while it holds a long queue,
many responses in flight, or a response that never ends, against bench/faultserver.py, and prints
the figures as a Markdown table.

Usage: bench/run_memory_bench.py BUILD_DIR

Cases:
  0  one page and one image, for what the program needs with nothing held;
  a  a page linking 100,000 images that answer only after an hour, so that all but the 24 being
     fetched stay queued; stopped with SIGINT once log.txt holds all 100,000 URLs;
  b  a page linking 10,000 images of 200 KB that each answer after a second, with 24
     connections; stopped with SIGINT once the queue is full and 300 images are stored;
  c  a body without end (/endless.zip), with --max-memory 256M and with the default limit: a file
     goes to disk as it arrives, so the copy is stopped with SIGINT once its temporary file holds
     1 GiB, which the stop must remove;
  d  a file of 1.5 GB (random bytes) linked from a small index page, both served by
     `python3 -m http.server`: the copy must end by itself (exit 0) with the file stored byte for
     byte, in well under 300 MB.
"""
import argparse
import os
import platform
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SITE = "www.site.test"
HOST_FOLDER = "site.test"
MIB = 1 << 20
POLL_SECONDS = 0.25
# A copy of an endless body that holds this many times its limit is not going to stop by itself.
RUNAWAY_FACTOR = 4


def default_memory_limit():
    """What tidewell-cli takes without --max-memory: the smaller of 1 GiB and a quarter of RAM."""
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    return min(1 << 30, physical // 4)


class Server:
    """bench/faultserver.py with the given options, on a free port."""

    def __init__(self, *options):
        self.process = subprocess.Popen([sys.executable, os.path.join(HERE, "faultserver.py"), *options],
                                        stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())

    def stop(self):
        self.process.terminate()
        self.process.wait()


class StaticServer:
    """python3 -m http.server serving folder on a free port."""

    def __init__(self, folder):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.process = subprocess.Popen(
            [sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "--directory", folder,
             str(self.port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port)).close()
                return
            except ConnectionRefusedError:
                time.sleep(0.05)

    def stop(self):
        self.process.terminate()
        self.process.wait()


class MeasuredCopy:
    """tidewell-cli under /usr/bin/time, copying the site on port into out."""

    def __init__(self, cli, port, out, work, *options):
        self.rss_file = out + ".rss"
        self.stderr_file = out + ".stderr"
        with open(self.stderr_file, "wb") as errors:
            self.time = subprocess.Popen(
                ["/usr/bin/time", "-f", "%M", "-o", self.rss_file, cli, "-c", "24",
                 "--connect-to", f"{SITE}:127.0.0.1:{port}", "-o", out, *options, f"http://{SITE}/"],
                cwd=work, stdout=subprocess.DEVNULL, stderr=errors)
        self.cli_pid = self._child_of(self.time.pid)

    def _child_of(self, parent):
        # /usr/bin/time ignores SIGINT itself, so the signal has to go to the copier.
        while self.time.poll() is None:
            for entry in os.listdir("/proc"):
                if not entry.isdigit():
                    continue
                try:
                    with open(f"/proc/{entry}/stat") as stat:
                        fields = stat.read().rsplit(")", 1)[1].split()
                except OSError:
                    continue
                if int(fields[1]) == parent:
                    return int(entry)
            time.sleep(0.01)
        sys.exit(f"/usr/bin/time ended before starting the copy: {open(self.stderr_file).read()}")

    def running(self):
        return self.time.poll() is None

    def rss_bytes(self):
        try:
            with open(f"/proc/{self.cli_pid}/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) * 1024
        except OSError:
            pass
        return 0

    def interrupt(self):
        os.kill(self.cli_pid, signal.SIGINT)

    def finish(self):
        """Waits for the end; returns the exit code, the peak RSS in bytes and stderr's text."""
        code = self.time.wait()
        with open(self.rss_file) as f:
            peak_kb = int(f.read().split()[-1])
        with open(self.stderr_file, errors="replace") as f:
            errors = f.read()
        return code, peak_kb * 1024, errors


class LineCounter:
    """Counts the lines of a file that grows, reading each byte once."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.lines = 0

    def count(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return 0
        self.offset += len(data)
        self.lines += data.count(b"\n")
        return self.lines


def stored_files(folder):
    """Files in folder that are whole, not placeholders for queued URLs."""
    try:
        return sum(1 for entry in os.scandir(folder) if not entry.name.endswith(".tmp"))
    except FileNotFoundError:
        return 0


def wait_for(copy, condition):
    """Polls condition while the copy runs; False when the copy ended first."""
    while copy.running():
        if condition():
            return True
        time.sleep(POLL_SECONDS)
    return False


def temporary_files(folder):
    return [name for _, _, names in os.walk(folder) for name in names if name.endswith(".tmp")]


def file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def same_bytes(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def run_case(cli, work, name, server_options, copy_options, limit, stop_when=None, inspect=None,
             server=None):
    """One copy; returns its exit code, peak RSS and stderr, and how it ended. With stop_when, the
    copy is interrupted once stop_when(output folder) holds; any copy is interrupted once it holds
    far more than the memory limit. inspect(output folder) adds to how it ended. The copy runs
    against faultserver.py with server_options, or against server when given."""
    server = server or Server(*server_options)
    out = os.path.join(work, name)
    try:
        copy = MeasuredCopy(cli, server.port, out, work, *copy_options)
        wanted_stop = False
        runaway = False

        def must_stop():
            nonlocal wanted_stop, runaway
            wanted_stop = bool(stop_when and stop_when(out))
            runaway = copy.rss_bytes() > RUNAWAY_FACTOR * limit
            return wanted_stop or runaway

        if wait_for(copy, must_stop):
            copy.interrupt()
        if runaway:
            ending = f"did not end by itself: stopped past {RUNAWAY_FACTOR}x the limit"
        elif wanted_stop:
            ending = "stopped with SIGINT"
        elif stop_when:
            ending = "ended before the point to stop at"
        else:
            ending = "ended by itself"
        code, peak, errors = copy.finish()
        if inspect:
            ending += "; " + inspect(out)
    finally:
        server.stop()
    shutil.rmtree(out, ignore_errors=True)
    return code, peak, errors, ending


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tidewell-memory-")
    # The build folder is rebuilt while this runs; a copy of the program stays the same.
    cli = os.path.join(work, "tidewell-cli")
    shutil.copy2(os.path.join(args.build, "src", "app", "tidewell-cli"), cli)
    default_limit = default_memory_limit()
    types = ["--types", ".html,.gif,.png,.jpg,.zip"]
    rows = []

    code, base, _, ending = run_case(cli, work, "base", ["--pages", "0", "--binaries", "1"],
                                     ["-q", *types], default_limit)
    rows.append(("0: one page, one image", "nothing", base, default_limit, f"{ending}, exit {code}"))

    queued = 100_000
    queue_log = LineCounter(os.path.join(work, "queue", "log.txt"))
    code, peak, _, ending = run_case(
        cli, work, "queue",
        ["--pages", "0", "--binaries", str(queued), "--binary-size", "1000", "--slow-binaries",
         "--slow-seconds", "3600"],
        ["-q", "-t", "3600", *types], default_limit,
        stop_when=lambda out: queue_log.count() >= queued)
    rows.append(("a: 100,000 slow images", f"{queued:,} URLs queued (a {queued:,}-link page scanned)",
                 peak, default_limit, f"{ending}, exit {code}"))
    per_url = (peak - base) / queued

    images, image_size, stored_at_stop = 10_000, 200 * 1024, 300
    inflight_log = LineCounter(os.path.join(work, "inflight", "log.txt"))
    code, peak, _, ending = run_case(
        cli, work, "inflight",
        ["--pages", "0", "--binaries", str(images), "--binary-size", str(image_size), "--slow-binaries",
         "--slow-seconds", "1"],
        ["-q", "-t", "60", *types], default_limit,
        stop_when=lambda out: inflight_log.count() >= images
        and stored_files(os.path.join(out, HOST_FOLDER, "slow")) >= stored_at_stop)
    rows.append(("b: 10,000 images of 200 KB, 24 connections",
                 f"{images:,} URLs queued, 24 responses of 200 KB in flight, {stored_at_stop}+ stored",
                 peak, default_limit, f"{ending}, exit {code}"))

    written = 1 << 30
    for label, limit, memory_option in (("256M", 256 * MIB, ["--max-memory", "256M"]),
                                        ("default", default_limit, [])):
        incoming = os.path.join(work, f"endless-{label}", HOST_FOLDER, "endless.zip.part.tmp")
        code, peak, errors, ending = run_case(
            cli, work, f"endless-{label}", ["--pages", "0", "--binaries", "0", "--endless"],
            ["-t", "20", *types, *memory_option], limit,
            stop_when=lambda out, incoming=incoming: file_size(incoming) >= written,
            inspect=lambda out: f"temporary files left: {len(temporary_files(out))}")
        rows.append((f"c: endless body, --max-memory {label}",
                     f"one response without end, {written // MIB:,} MiB of it written to disk", peak,
                     limit, f"{ending}, exit {code}"))

    big = 1_500_000_000
    served = os.path.join(work, "served")
    os.makedirs(served)
    with open(os.path.join(served, "index.html"), "w") as index:
        index.write('<html><body><a href="big.bin">a big file</a></body></html>\n')
    with open("/dev/urandom", "rb") as source, open(os.path.join(served, "big.bin"), "wb") as target:
        for _ in range(big // (100 * MIB)):
            target.write(source.read(100 * MIB))
        target.write(source.read(big % (100 * MIB)))
    start = time.monotonic()
    code, peak, _, ending = run_case(
        cli, work, "big", [], ["-q", "--types", ".html,.bin"], default_limit,
        inspect=lambda out: (f"{time.monotonic() - start:.1f} s; bytes "
                             + ("identical (cmp)" if same_bytes(os.path.join(served, "big.bin"),
                                                              os.path.join(out, HOST_FOLDER, "big.bin"))
                                else "DIFFER")
                             + f"; temporary files left: {len(temporary_files(out))}"),
        server=StaticServer(served))
    rows.append(("d: one file of 1.5 GB from python3 -m http.server", "the file's first MiB, then "
                 "what one read takes in", peak, default_limit, f"{ending}, exit {code}"))

    lines = [
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, {os.sysconf('SC_PHYS_PAGES') * os.sysconf('SC_PAGE_SIZE') / (1 << 30):.1f} GiB RAM, "
        f"{platform.platform()}. Command: `bench/run_memory_bench.py BUILD_DIR`.",
        "",
        "| case | what is held | peak RSS MiB | limit MiB | ratio to limit | how the copy ended |",
        "|---|---|---|---|---|---|",
    ]
    for name, held, peak, limit, ending in rows:
        lines.append(f"| {name} | {held} | {peak / MIB:.0f} | {limit / MIB:.0f} | {peak / limit:.3f} | {ending} |")
    lines += ["", f"- Each queued URL costs about {per_url:.0f} bytes of RSS above case 0 "
                  f"(case a: ({rows[1][2] / MIB:.1f} - {base / MIB:.1f}) MiB / {queued:,})."]
    print("\n".join(lines))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
