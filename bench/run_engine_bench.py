#!/usr/bin/env python3
"""Measures the engine through tidewell-cli against tidewell-testserver, plain and over TLS, with
wget -r (one connection) as the baseline on the same site in the same run, at the default start
rate and with --rate 0; then one big file and a site of 100,000 pages. Writes the figures as
Markdown into results-engine.md, in place of its own earlier sections.

Usage: bench/run_engine_bench.py BUILD_DIR [--pages N --images N --big-mb N --large-pages N
                                           --cpu-pairs N --work DIR]
BUILD_DIR must be configured with -DTIDEWELL_BENCH=ON and built. --work names the folder the sites
and copies go to (default: the system's temporary folder): on an ext4 file system without a
journal, creating files costs more for some minutes after many were deleted, for both programs.
"""
import argparse
import os
import platform
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run_measured(command, cwd=None):
    """Runs command to its end; returns wall seconds, CPU seconds and peak RSS in MiB."""
    start = time.monotonic()
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - start
    errors = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0 and not command[0].endswith("wget"):
        sys.exit(f"{command[0]} failed with {code}: {errors}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def count_files(root, logs=("log.txt", "transdd.txt")):
    """Files below root, the copier's own logs left out."""
    return sum(1 for path, _, files in os.walk(root) for name in files
               if not (path == root and name in logs))


class Server:
    """tidewell-testserver on root; with ca_file, over TLS, its authority written to ca_file."""

    def __init__(self, build, root, latency_ms, ca_file=None):
        command = [os.path.join(build, "bench", "tidewell-testserver"), "--root", root,
                   "--latency-ms", str(latency_ms)]
        if ca_file:
            command += ["--tls", ca_file]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())

    def stop(self):
        self.process.kill()
        self.process.wait()


def tidewell_command(build, port, out, types, connections=24, ca_file=None, rate=50, quiet=True):
    secure = ["--ca-certificate", ca_file] if ca_file else []
    scheme = "https" if ca_file else "http"
    return [os.path.join(build, "src", "app", "tidewell-cli"), *(["-q"] if quiet else []), "-c",
            str(connections), "-t", "20", "--rate", str(rate), "--types", types, "--connect-to",
            f"www.site.test:127.0.0.1:{port}", *secure, "-o", out, f"{scheme}://www.site.test/"]


def copy_with_tidewell(build, port, out, types, connections=24, ca_file=None, rate=50):
    return run_measured(tidewell_command(build, port, out, types, connections, ca_file, rate))


def copy_with_progress(command, step):
    """Runs command on a terminal, so that it shows its live progress line, and notes when each
    step-th file is downloaded. Returns the wall seconds at each step, the total, CPU seconds and
    peak RSS in MiB."""
    pid, terminal = pty.fork()
    if pid == 0:
        os.execv(command[0], command)
    start = time.monotonic()
    marks, pending, next_mark = [], b"", step
    while True:
        ready, _, _ = select.select([terminal], [], [], 1.0)
        if not ready:
            continue
        try:
            chunk = os.read(terminal, 65536)
        except OSError:
            break
        if not chunk:
            break
        pending = (pending + chunk)[-4096:]
        found = re.findall(rb"(\d+) downloaded", pending)
        while found and int(found[-1]) >= next_mark:
            marks.append((next_mark, time.monotonic() - start))
            next_mark += step
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{command[0]} failed with {os.waitstatus_to_exitcode(status)}")
    return marks, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def copy_with_wget(port, out, ca_file=None):
    secure = [f"--ca-certificate={ca_file}"] if ca_file else []
    scheme = "https" if ca_file else "http"
    return run_measured(["wget", "-q", "-r", "-l", "inf", "-np", "-e", "robots=off", *secure, "-P", out,
                         f"{scheme}://127.0.0.1:{port}/"])


OWN_SECTIONS = ("Engine: whole-site copy", "Engine: CPU per file, pairs in a row",
                "Engine: one big file", "Engine: 100,000 pages")


def file_system_type(path):
    """The type of the file system path lies on, with "without a journal" for such an ext4."""
    result = subprocess.run(["df", "--output=fstype,source", path], capture_output=True, text=True)
    fstype, source = result.stdout.split("\n")[1].split()
    journals = os.listdir("/proc/fs/jbd2") if os.path.isdir("/proc/fs/jbd2") else []
    device = os.path.basename(source)
    if fstype == "ext4" and not any(journal.startswith(device + "-") for journal in journals):
        return "ext4 without a journal"
    return fstype


def write_results(path, lines):
    """Writes lines in place of this script's sections of path, keeping every other section."""
    kept = []
    if os.path.exists(path):
        with open(path) as f:
            sections = re.split(r"(?m)^(?=## )", f.read())
        kept = [section for section in sections
                if section.startswith("## ") and not section[3:].startswith(OWN_SECTIONS)]
    with open(path, "w") as f:
        f.write("\n".join(lines).rstrip("\n") + "\n")
        for section in kept:
            f.write("\n" + section.rstrip("\n") + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("build")
    parser.add_argument("--pages", type=int, default=2000)
    parser.add_argument("--images", type=int, default=500)
    parser.add_argument("--big-mb", type=int, default=500)
    parser.add_argument("--large-pages", type=int, default=100000)
    parser.add_argument("--cpu-pairs", type=int, default=5)
    parser.add_argument("--work", default=None)
    parser.add_argument("--output", default=os.path.join(HERE, "results-engine.md"))
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tidewell-bench-", dir=args.work)
    site = os.path.join(work, "site")
    subprocess.run([sys.executable, os.path.join(HERE, "gensite.py"), site, "--pages", str(args.pages),
                    "--images", str(args.images)], check=True)
    total = count_files(site)

    rows = []
    ca_file = os.path.join(work, "ca.pem")
    runs = ((0, False, (50, 0)), (50, False, (50, 0)), (50, True, (0,)))
    for latency, secure, rates in runs:
        server = Server(args.build, site, latency, ca_file if secure else None)
        kind = "TLS" if secure else "plain"
        try:
            for rate in rates:
                out = os.path.join(work, f"tidewell-{latency}-{kind}-{rate}")
                wall, cpu, rss = copy_with_tidewell(args.build, server.port, out, ".html,.gif",
                                                    ca_file=ca_file if secure else None, rate=rate)
                rows.append((f"tidewell-cli --rate {rate}, {kind}, 24 connections, {latency} ms latency",
                             count_files(out), wall, cpu, rss, latency))
            out = os.path.join(work, f"wget-{latency}-{kind}")
            wall, cpu, rss = copy_with_wget(server.port, out, ca_file if secure else None)
            rows.append((f"wget -r, {kind}, one connection, {latency} ms latency", count_files(out),
                         wall, cpu, rss, latency))
        finally:
            server.stop()

    pairs = []
    server = Server(args.build, site, 0)
    try:
        for pair in range(args.cpu_pairs):
            out = os.path.join(work, f"pair{pair}")
            _, cpu, _ = copy_with_tidewell(args.build, server.port, out + "-tidewell", ".html,.gif",
                                           rate=0)
            _, wget_cpu, _ = copy_with_wget(server.port, out + "-wget")
            pairs.append((cpu, wget_cpu))
    finally:
        server.stop()

    big = os.path.join(work, "big")
    os.makedirs(big)
    with open(os.path.join(big, "index.html"), "w") as index:
        index.write('<a href="big.zip">big</a>\n')
    chunk = os.urandom(1 << 20)
    with open(os.path.join(big, "big.zip"), "wb") as f:
        for _ in range(args.big_mb):
            f.write(chunk)
    server = Server(args.build, big, 0)
    try:
        out = os.path.join(work, "tidewell-big")
        big_wall, big_cpu, big_rss = copy_with_tidewell(args.build, server.port, out, ".html,.zip", 3)
        stored = os.path.getsize(os.path.join(out, "site.test", "big.zip"))
    finally:
        server.stop()
    shutil.rmtree(big, ignore_errors=True)

    lines = [
        "## Engine: whole-site copy",
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}. "
        f"Site: {args.pages} pages and {args.images} images ({total} files) from bench/gensite.py, "
        "served by tidewell-testserver on loopback. Command: "
        f"`bench/run_engine_bench.py BUILD_DIR --pages {args.pages} --images {args.images} "
        f"--big-mb {args.big_mb} --large-pages {args.large_pages}`. `--rate 50` is the default start "
        "rate, one fetch a 20 ms tick; `--rate 0` starts as many as there are free connections. With "
        "a latency per response, 24 connections can fetch at most 24 files a round trip: the bound.",
        "",
        "| run | files | seconds | files/s | bound files/s | CPU s | CPU ms per file | peak RSS MiB |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for name, files, wall, cpu, rss, latency in rows:
        bound = f"{24 * 1000 / latency:.0f}" if latency and name.startswith("tidewell") else ""
        lines.append(f"| {name} | {files} | {wall:.1f} | {files / wall:.1f} | {bound} | {cpu:.2f} | "
                     f"{1000 * cpu / max(files, 1):.2f} | {rss:.0f} |")
    lines.append("")
    for row in rows:
        if row[0].startswith("wget"):
            continue
        wget = next(w for w in rows if w[0].startswith("wget") and w[5] == row[5]
                    and ("TLS" in w[0]) == ("TLS" in row[0]))
        lines.append(f"- {row[0]} against {wget[0]}: files/s x{(row[1] / row[2]) / (wget[1] / wget[2]):.2f}, "
                     f"CPU per file x{(row[3] / row[1]) / (wget[3] / wget[1]):.2f}"
                     + (f", {100 * (row[1] / row[2]) / (24 * 1000 / row[5]):.0f}% of the bound" if row[5] else "")
                     + ".")
    if pairs:
        ratios = sorted(cpu / wget_cpu for cpu, wget_cpu in pairs)
        lines += [
            "",
            "## Engine: CPU per file, pairs in a row",
            "",
            f"{len(pairs)} pairs, one after the other on the same site: `tidewell-cli -c 24 --rate 0` "
            "and `wget -r`, 0 ms latency, each into a new folder under "
            f"{os.path.dirname(work)} ({file_system_type(work)}). CPU seconds, user and system:",
            "",
            "| pair | tidewell-cli | wget | ratio |",
            "|---|---|---|---|",
        ]
        for number, (cpu, wget_cpu) in enumerate(pairs, 1):
            lines.append(f"| {number} | {cpu:.2f} | {wget_cpu:.2f} | {cpu / wget_cpu:.2f} |")
        lines += ["", f"Median ratio: {ratios[len(ratios) // 2]:.2f}."]
    lines += [
        "",
        "## Engine: one big file",
        "",
        f"A single {args.big_mb} MiB file ({stored} bytes stored) copied by tidewell-cli: "
        f"{big_wall:.1f} s, {big_cpu:.2f} CPU s, peak RSS {big_rss:.0f} MiB, "
        f"{big_rss / args.big_mb:.2f} times the file's size.",
        "",
    ]

    if args.large_pages:
        large = os.path.join(work, "large")
        subprocess.run([sys.executable, os.path.join(HERE, "gensite.py"), large, "--pages",
                        str(args.large_pages), "--images", "0"], check=True)
        server = Server(args.build, large, 0)
        try:
            out = os.path.join(work, "tidewell-large")
            step = max(args.large_pages // 10, 1)
            marks, wall, cpu, rss = copy_with_progress(
                tidewell_command(args.build, server.port, out, ".html", rate=0, quiet=False), step)
            files = count_files(out)
        finally:
            server.stop()
        lines += [
            "## Engine: 100,000 pages",
            "",
            f"A site of {args.large_pages} pages (bench/gensite.py, no images) copied with "
            f"`--rate 0` and 24 connections: {files} files in {wall:.1f} s ({files / wall:.0f} "
            f"files/s), {cpu:.1f} CPU s, peak RSS {rss:.0f} MiB. Seconds for each {step} files "
            "along the way (a copy whose steps grow in proportion has none that is quadratic):",
            "",
            "| files | seconds so far | seconds for these |",
            "|---|---|---|",
        ]
        previous = 0.0
        for count, at in marks:
            lines.append(f"| {count} | {at:.1f} | {at - previous:.1f} |")
            previous = at
        lines.append("")

    write_results(args.output, lines)
    print("\n".join(lines))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
