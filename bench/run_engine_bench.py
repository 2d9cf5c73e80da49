#!/usr/bin/env python3
"""Measures the engine through tidewell-cli against tidewell-testserver, plain and over TLS, with
wget -r (one connection) as the baseline on the same site in the same run, and writes the figures
as Markdown.

Usage: bench/run_engine_bench.py BUILD_DIR [--pages N --images N --big-mb N]
BUILD_DIR must be configured with -DTIDEWELL_BENCH=ON and built.
"""
import argparse
import os
import platform
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


def copy_with_tidewell(build, port, out, types, connections=24, ca_file=None):
    secure = ["--ca-certificate", ca_file] if ca_file else []
    scheme = "https" if ca_file else "http"
    return run_measured([os.path.join(build, "src", "app", "tidewell-cli"), "-q", "-c", str(connections),
                         "-t", "20", "--types", types, "--connect-to", f"www.site.test:127.0.0.1:{port}",
                         *secure, "-o", out, f"{scheme}://www.site.test/"])


def copy_with_wget(port, out, ca_file=None):
    secure = [f"--ca-certificate={ca_file}"] if ca_file else []
    scheme = "https" if ca_file else "http"
    return run_measured(["wget", "-q", "-r", "-l", "inf", "-np", "-e", "robots=off", *secure, "-P", out,
                         f"{scheme}://127.0.0.1:{port}/"])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("build")
    parser.add_argument("--pages", type=int, default=2000)
    parser.add_argument("--images", type=int, default=500)
    parser.add_argument("--big-mb", type=int, default=500)
    parser.add_argument("--output", default=os.path.join(HERE, "results-engine.md"))
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tidewell-bench-")
    site = os.path.join(work, "site")
    subprocess.run([sys.executable, os.path.join(HERE, "gensite.py"), site, "--pages", str(args.pages),
                    "--images", str(args.images)], check=True)
    total = count_files(site)

    rows = []
    ca_file = os.path.join(work, "ca.pem")
    for latency, secure in ((0, False), (50, False), (50, True)):
        server = Server(args.build, site, latency, ca_file if secure else None)
        kind = "TLS" if secure else "plain"
        try:
            out = os.path.join(work, f"tidewell-{latency}-{kind}")
            wall, cpu, rss = copy_with_tidewell(args.build, server.port, out, ".html,.gif",
                                                ca_file=ca_file if secure else None)
            rows.append((f"tidewell-cli, {kind}, 24 connections, {latency} ms latency", count_files(out),
                         wall, cpu, rss))
            out = os.path.join(work, f"wget-{latency}-{kind}")
            wall, cpu, rss = copy_with_wget(server.port, out, ca_file if secure else None)
            rows.append((f"wget -r, {kind}, one connection, {latency} ms latency", count_files(out),
                         wall, cpu, rss))
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

    lines = [
        "## Engine: whole-site copy",
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}. "
        f"Site: {args.pages} pages and {args.images} images ({total} files) from bench/gensite.py, "
        "served by tidewell-testserver on loopback. Command: "
        f"`bench/run_engine_bench.py BUILD_DIR --pages {args.pages} --images {args.images} "
        f"--big-mb {args.big_mb}`. The scheduler starts at most one fetch per 20 ms tick (50 files/s).",
        "",
        "| run | files | seconds | files/s | CPU s | CPU ms per file | peak RSS MiB |",
        "|---|---|---|---|---|---|---|",
    ]
    for name, files, wall, cpu, rss in rows:
        lines.append(f"| {name} | {files} | {wall:.1f} | {files / wall:.1f} | {cpu:.2f} | "
                     f"{1000 * cpu / max(files, 1):.2f} | {rss:.0f} |")
    lines.append("")
    for tidewell, wget in zip(rows[0::2], rows[1::2]):
        lines.append(f"- {tidewell[0]} against {wget[0]}: files/s x{(tidewell[1] / tidewell[2]) / (wget[1] / wget[2]):.2f}, "
                     f"CPU s x{tidewell[3] / wget[3]:.2f}, peak RSS x{tidewell[4] / wget[4]:.2f}.")
    plain, secure = rows[2], rows[4]
    lines.append(f"- {secure[0]} against {plain[0]}: files/s x{(secure[1] / secure[2]) / (plain[1] / plain[2]):.2f}, "
                 f"CPU per file x{(secure[3] / secure[1]) / (plain[3] / plain[1]):.2f}.")
    lines += [
        "",
        "## Engine: one big file",
        "",
        f"A single {args.big_mb} MiB file ({stored} bytes stored) copied by tidewell-cli: "
        f"{big_wall:.1f} s, {big_cpu:.2f} CPU s, peak RSS {big_rss:.0f} MiB, "
        f"{big_rss / args.big_mb:.2f} times the file's size.",
        "",
    ]
    with open(args.output, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
