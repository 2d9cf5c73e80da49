#!/usr/bin/env python3
"""Measures how quickly the main window answers while the engine scans and queues one page of
LINKS links (default 100,000), with window_latency from one or more builds in the same run, so that
a change to the engine's yields can be judged before and after. Writes the figures as a section of
results-engine.md, in place of its own earlier one. The page's images are on a second server
("localhost", another host than the page's) that answers only after ten minutes, so that they stay
queued while the window is measured.

Usage: bench/run_window_bench.py LABEL=BUILD_DIR [LABEL=BUILD_DIR ...] [--links N] [--runs N]
Each BUILD_DIR must be configured with -DTIDEWELL_BENCH=ON and have window_latency built; the
test server of the first one serves the page.
"""
import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import tempfile

from results_file import write_section

HERE = os.path.dirname(os.path.abspath(__file__))
SECTION = "## Window answer time while a big page is scanned"
FIGURES = re.compile(r"([\d.]+) s; (\d+) presses answered: median ([\d.]+) ms, 99th percentile "
                     r"([\d.]+) ms, longest ([\d.]+) ms; the window was busy at most ([\d.]+) ms")


def serve(build, root, latency_ms=0):
    server = subprocess.Popen([os.path.join(build, "bench", "tidewell-testserver"), "--root", root,
                               "--latency-ms", str(latency_ms)], stdout=subprocess.PIPE, text=True)
    port = int(re.search(r"(\d+)\s*$", server.stdout.readline()).group(1))
    return server, port


def measure(build, port, links):
    work = tempfile.mkdtemp(prefix="window-bench-")
    try:
        out = subprocess.run([os.path.join(build, "bench", "window_latency"), str(port),
                              work + "/", str(links), "3"],
                             env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
                             capture_output=True, text=True, timeout=600, check=True).stdout
    finally:
        shutil.rmtree(work, ignore_errors=True)
    found = FIGURES.search(out)
    if not found:
        raise SystemExit(f"window_latency printed no figures: {out}")
    queued, presses, median, p99, longest, busy = found.groups()
    return {"queued s": float(queued), "presses": int(presses), "median ms": float(median),
            "99th ms": float(p99), "longest ms": float(longest), "busy ms": float(busy)}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("builds", nargs="+", help="LABEL=BUILD_DIR")
    parser.add_argument("--links", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-results", action="store_true")
    args = parser.parse_args()
    builds = [b.split("=", 1) for b in args.builds]

    root = tempfile.mkdtemp(prefix="window-site-")
    slow, slow_port = serve(builds[0][1], root, 600_000)
    with open(os.path.join(root, "index.html"), "w") as page:
        page.write("<html><body>\n")
        page.writelines(f'<img src="http://localhost:{slow_port}/i{i}.gif">\n'
                        for i in range(args.links))
        page.write("</body></html>\n")
    server, port = serve(builds[0][1], root)
    try:
        results = {label: [] for label, _ in builds}
        for _ in range(args.runs):
            for label, build in builds:
                results[label].append(measure(build, port, args.links))
    finally:
        server.kill()
        slow.kill()
        shutil.rmtree(root, ignore_errors=True)

    keys = ["queued s", "median ms", "99th ms", "longest ms", "busy ms"]
    lines = [SECTION, "",
             f"Machine: {platform.machine()}, {os.cpu_count()} cores. One page of {args.links:,} "
             "images on another host that answers only after ten minutes, 24 connections, the "
             "main window on the offscreen platform; a mouse press posted every 20 ms. Medians "
             f"of {args.runs} runs each, the builds taking turns. Command: `bench/run_window_bench.py "
             + " ".join(args.builds) + f" --links {args.links}`.", "",
             "| build | links queued after | press answered, median | 99th percentile | longest |"
             " window busy at most |", "|---|---|---|---|---|---|"]
    for label, runs in results.items():
        med = {k: statistics.median(r[k] for r in runs) for k in keys}
        lines.append(f"| {label} | {med['queued s']:.1f} s | {med['median ms']:.1f} ms | "
                     f"{med['99th ms']:.1f} ms | {med['longest ms']:.1f} ms | {med['busy ms']:.1f} ms |")
    text = "\n".join(lines) + "\n"
    print(text)
    if not args.no_results:
        write_section(os.path.join(HERE, "results-engine.md"), SECTION, text)


if __name__ == "__main__":
    main()
