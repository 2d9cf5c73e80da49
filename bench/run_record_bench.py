#!/usr/bin/env python3
"""Measures what the copy's record costs: one site of PAGES small pages (default 100,000), copied
by tidewell-cli with its record and with --no-record, in turns in the same run, each into a new
folder; the copy's own time (the "in X s" of its summary) and the report written after it are
told apart. Writes the figures as a section of results-engine.md, in place of its own earlier one.

Usage: bench/run_record_bench.py BUILD_DIR [--pages N] [--runs N] [--work DIR] [--server-build DIR]
--server-build names the build whose bench/tidewell-testserver serves the site (default BUILD_DIR).
"""
import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import tempfile
import time

from results_file import write_section

HERE = os.path.dirname(os.path.abspath(__file__))
SECTION = "## The copy's record: what it costs"


def write_site(root, pages):
    """An index of folders, each folder page linking to 100 pages."""
    folders = (pages + 99) // 100
    with open(os.path.join(root, "index.html"), "w") as index:
        index.write("".join(f'<a href="d{f}/index.html">d{f}</a>\n' for f in range(folders)))
    for f in range(folders):
        os.makedirs(os.path.join(root, f"d{f}"))
        count = min(100, pages - f * 100)
        with open(os.path.join(root, f"d{f}", "index.html"), "w") as folder:
            folder.write("".join(f'<a href="p{p}.html">p{p}</a>\n' for p in range(count)))
        for p in range(count):
            with open(os.path.join(root, f"d{f}", f"p{p}.html"), "w") as page:
                page.write(f"<html><body><p>page {f}/{p}</p><a href='../index.html'>up</a></body></html>\n")


def copy(build, port, work, record):
    out = os.path.join(work, "copy")
    shutil.rmtree(out, ignore_errors=True)
    command = [os.path.join(build, "src", "app", "tidewell-cli"), "-c", "24", "--rate", "0",
               "--types", ".html", "-o", out, f"http://127.0.0.1:{port}/"]
    if not record:
        command.insert(1, "--no-record")
    start = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    wall = time.monotonic() - start
    seconds = float(re.search(r" in ([\d.]+) s", done).group(1))
    files = int(re.search(r"Done: (\d+) files", done).group(1))
    shutil.rmtree(out, ignore_errors=True)
    return {"copy": seconds, "after": wall - seconds, "files": files}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--pages", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=2)
    parser.add_argument("--work", default="/dev/shm")
    parser.add_argument("--no-results", action="store_true")
    parser.add_argument("--server-build")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="record-bench-", dir=args.work)
    site = os.path.join(work, "site")
    os.makedirs(site)
    write_site(site, args.pages)
    server = subprocess.Popen([os.path.join(args.server_build or args.build, "bench", "tidewell-testserver"), "--root",
                               site], stdout=subprocess.PIPE, text=True)
    port = int(re.search(r"(\d+)\s*$", server.stdout.readline()).group(1))
    results = {True: [], False: []}
    try:
        for _ in range(args.runs):
            for record in (True, False):
                results[record].append(copy(args.build, port, work, record))
                print(record, results[record][-1], flush=True)
    finally:
        server.kill()
        shutil.rmtree(work, ignore_errors=True)
    med = {r: {k: statistics.median(x[k] for x in runs) for k in ("copy", "after", "files")}
           for r, runs in results.items()}
    cost = med[True]["copy"] / med[False]["copy"] - 1
    text = "\n".join([
        SECTION, "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores. A site of {args.pages:,} small "
        "pages (an index of folders, each folder page linking to 100 pages), served by "
        "tidewell-testserver on loopback, copied into tmpfs by `tidewell-cli -c 24 --rate 0 "
        f"--types .html`, with its record and with `--no-record`, in turns; medians of {args.runs} "
        f"runs. Command: `bench/run_record_bench.py BUILD_DIR --pages {args.pages}`.", "",
        "| run | files | copy s | report s (written after the copy) |", "|---|---|---|---|",
        f"| with the record | {med[True]['files']:.0f} | {med[True]['copy']:.1f} | {med[True]['after']:.1f} |",
        f"| --no-record | {med[False]['files']:.0f} | {med[False]['copy']:.1f} | {med[False]['after']:.1f} |",
        "", f"The record costs {cost * 100:+.1f} % of the copy's time.", ""])
    print(text)
    if not args.no_results:
        write_section(os.path.join(HERE, "results-engine.md"), SECTION, text)


if __name__ == "__main__":
    main()
