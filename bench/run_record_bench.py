#!/usr/bin/env python3
"""Measures what the copy's record costs: one site of PAGES small pages (default 100,000), copied
by tidewell-cli with its record and with --no-record, in turns in the same run, each into a new
folder; the copy's own time (the "in X s" of its summary) and the report written after it are
told apart. Writes the figures as a section of results-engine.md, in place of its own earlier one.

Usage: bench/run_record_bench.py BUILD_DIR [--pages N] [--runs N] [--work DIR] [--server-build DIR]
--server-build names the build whose bench/tidewell-testserver serves the site (default BUILD_DIR).

With --site, the site is one of pages, images, style sheets and links of every form (gensite.py
--modern, PAGES pages, IMAGES images, a few links to pages that are missing), copied whole with all
its types; each build named NAME=BUILD_DIR copies it RUNS times with its record and report and as
many without, the pairs of every build taking turns. The whole run of tidewell-cli is timed, wall
clock and CPU (user and system, of the process and its children), and the medians are written as
a section of their own.

Usage: bench/run_record_bench.py --site NAME=BUILD_DIR... [--pages N] [--images N] [--runs N]
"""
import argparse
import os
import resource
import socket
import sys
import platform
import re
import shutil
import statistics
import subprocess
import tempfile
import time

import gensite
from results_file import write_section

HERE = os.path.dirname(os.path.abspath(__file__))
SECTION = "## The copy's record: what it costs"
SITE_SECTION = "## The copy's record and report on a site of pages, images and style sheets"
SITE_TYPES = ".html,.css,.js,.png,.gif,.jpg,.webp,.ico,.woff2"


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


def write_full_site(root, port, pages, images):
    """The modern generated site, with an extras page whose links lead to pages that are missing."""
    gensite.write_served_modern_site(root, f"127.0.0.1:{port}", pages, images)
    with open(os.path.join(root, "extras.html"), "w") as f:
        f.write("<html><body>" + "".join(f'<a href="gone{n}.html">gone</a>' for n in range(4))
                + "</body></html>\n")
    with open(os.path.join(root, "index.html"), "a") as f:
        f.write('<a href="extras.html">extras</a>\n')


def timed_copy(cli, port, out, record):
    """Wall and CPU seconds of one whole run of tidewell-cli, and the files it stored."""
    shutil.rmtree(out, ignore_errors=True)
    command = [cli, "-c", "24", "--rate", "0", "--types", SITE_TYPES, "-o", out,
               f"http://127.0.0.1:{port}/"]
    if not record:
        command.insert(1, "--no-record")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode not in (0, 5, 6):
        sys.exit(f"{cli} failed ({done.returncode}): {done.stderr}")
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    files = int(re.search(r"Done: (\d+) files", done.stdout).group(1))
    return {"wall": wall, "cpu": cpu, "files": files}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_site(args):
    builds = [b.split("=", 1) for b in args.site]
    work = tempfile.mkdtemp(prefix="record-bench-", dir=args.work)
    site = os.path.join(work, "site")
    port = free_port()
    write_full_site(site, port, args.pages, args.images)
    site_files = sum(len(files) for _, _, files in os.walk(site))
    server = subprocess.Popen([os.path.join(args.server_build or builds[0][1], "bench", "tidewell-testserver"),
                               "--root", site, "--port", str(port)], stdout=subprocess.PIPE, text=True)
    server.stdout.readline()
    results = {(name, record): [] for name, _ in builds for record in (True, False)}
    try:
        for _ in range(args.runs):
            for name, build in builds:
                cli = os.path.join(build, "src", "app", "tidewell-cli")
                for record in (True, False):
                    results[(name, record)].append(
                        timed_copy(cli, port, os.path.join(work, "copy"), record))
                    print(name, record, results[(name, record)][-1], flush=True)
    finally:
        server.kill()
        shutil.rmtree(work, ignore_errors=True)
    med = {key: {k: statistics.median(x[k] for x in runs) for k in ("wall", "cpu", "files")}
           for key, runs in results.items()}
    lines = [
        SITE_SECTION, "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores. The site of `gensite.py --modern` "
        f"({args.pages:,} pages, {args.images:,} images, style sheets, fonts; {site_files:,} files, "
        "a page linking to four missing ones), served by tidewell-testserver on loopback, copied "
        f"whole into tmpfs by `tidewell-cli -c 24 --rate 0 --types {SITE_TYPES}`, with its record and report "
        f"and with `--no-record`; {args.runs} pairs for each build, side by side, medians. Wall and "
        "CPU time (user and system) are of the whole run of tidewell-cli, report included. "
        "Command: `bench/run_record_bench.py --site "
        + " ".join(f"{name}=BUILD" for name, _ in builds)
        + f" --pages {args.pages} --images {args.images} --runs {args.runs}`.", "",
        "| build | files | wall s, record | wall s, --no-record | wall cost | "
        "CPU s, record | CPU s, --no-record | CPU cost |",
        "|---|---|---|---|---|---|---|---|"]
    for name, _ in builds:
        on, off = med[(name, True)], med[(name, False)]
        lines.append(f"| {name} | {on['files']:.0f} | {on['wall']:.2f} | {off['wall']:.2f} | "
                     f"{(on['wall'] / off['wall'] - 1) * 100:+.1f} % | {on['cpu']:.2f} | "
                     f"{off['cpu']:.2f} | {(on['cpu'] / off['cpu'] - 1) * 100:+.1f} % |")
    text = "\n".join(lines + [""])
    print(text)
    if not args.no_results:
        write_section(os.path.join(HERE, "results-engine.md"), SITE_SECTION, text)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", nargs="?")
    parser.add_argument("--site", nargs="+", metavar="NAME=BUILD_DIR")
    parser.add_argument("--pages", type=int)
    parser.add_argument("--images", type=int, default=700)
    parser.add_argument("--runs", type=int)
    parser.add_argument("--work", default="/dev/shm")
    parser.add_argument("--no-results", action="store_true")
    parser.add_argument("--server-build")
    args = parser.parse_args()
    if args.site:
        args.pages = args.pages or 2000
        args.runs = args.runs or 5
        run_site(args)
        return
    if not args.build:
        parser.error("name the build, or use --site")
    args.pages = args.pages or 100_000
    args.runs = args.runs or 2
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
