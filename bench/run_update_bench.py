#!/usr/bin/env python3
"""Measures an update against a fresh copy and against `wget -N` on the same change: a
documentation site from a Debian package (python3.11-doc by default) is served by nginx from a
copy of its files, copied once by tidewell-cli and once by wget -r -N; then a few of its files
change on the server (CHANGED pages touched with new text, one page removed, one page added and
linked from the start page), and each copy is brought up to date: tidewell-cli --update, wget -r
-N, and a fresh tidewell-cli copy for comparison. Requests and bytes are counted from nginx's log.
Writes the figures as a section of results.md, in place of its own earlier one.

Usage: bench/run_update_bench.py BUILD_DIR [--site DIR] [--changed N] [--work DIR]
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
sys.path.insert(0, HERE)
import run_real_sites as real  # noqa: E402  (the nginx of the benchmarks)

from results_file import write_section
SECTION = "## Updating a copy"
TYPES = ".html,.htm,.css,.js,.png,.gif,.jpg,.svg,.txt,.ico,.woff,.woff2"

def log_figures(work):
    """Requests, 200s, 304s and body bytes in the log since it was last emptied; empties it."""
    path = os.path.join(work, "access.log")
    # Each line ends with the status and the body's bytes.
    lines = [line.split()[-2:] for line in open(path)] if os.path.exists(path) else []
    open(path, "w").close()
    subprocess.run(["kill", "-USR1", open(os.path.join(work, "nginx.pid")).read().strip()])
    time.sleep(0.2)
    return {"requests": len(lines), "200": sum(1 for l in lines if l[0] == "200"),
            "304": sum(1 for l in lines if l[0] == "304"),
            "bytes": sum(int(l[1]) for l in lines)}


def timed(command, cwd=None):
    start = time.monotonic()
    subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--site", default="/usr/share/doc/python3.11/html")
    parser.add_argument("--changed", type=int, default=5)
    parser.add_argument("--work", default="/dev/shm")
    parser.add_argument("--port", type=int, default=18391)
    parser.add_argument("--no-results", action="store_true")
    args = parser.parse_args()
    cli = os.path.join(args.build, "src", "app", "tidewell-cli")
    work = tempfile.mkdtemp(prefix="update-bench-", dir=args.work)
    os.chmod(work, 0o755)  # nginx's workers read the site as another user
    root = os.path.join(work, "site")
    shutil.copytree(args.site, root, symlinks=False)
    nginx = real.Nginx([("127.0.0.1", args.port, root, "")], work)
    url = f"http://127.0.0.1:{args.port}/"
    ours = [cli, "-q", "-c", "24", "--rate", "0", "--types", TYPES]
    rows = []
    try:
        log_figures(work)
        first = timed(ours + ["-o", os.path.join(work, "ours"), url])
        rows.append(("tidewell-cli, first copy", first, log_figures(work)))
        wget_first = timed(["wget", "-q", "-r", "-l", "inf", "-N", "-np", "-e", "robots=off",
                            "-P", os.path.join(work, "wget"), url])
        rows.append(("wget -r -N, first copy", wget_first, log_figures(work)))

        pages = sorted(os.path.join(d, f) for d, _, files in os.walk(root) for f in files
                       if f.endswith(".html") and f != "index.html")
        time.sleep(1.1)  # a changed file's time must differ in whole seconds
        for page in pages[:args.changed]:
            with open(page, "a") as changed:
                changed.write("<p>changed</p>\n")
        os.remove(pages[args.changed])
        with open(os.path.join(root, "added.html"), "w") as added:
            added.write("<html><body>added</body></html>\n")
        with open(os.path.join(root, "index.html"), "a") as index:
            index.write('<a href="added.html">added</a>\n')

        update = timed(ours + ["--update", "-o", os.path.join(work, "ours")])
        rows.append(("tidewell-cli --update", update, log_figures(work)))
        wget_update = timed(["wget", "-q", "-r", "-l", "inf", "-N", "-np", "-e", "robots=off",
                             "-P", os.path.join(work, "wget"), url])
        rows.append(("wget -r -N, again", wget_update, log_figures(work)))
        fresh = timed(ours + ["-o", os.path.join(work, "fresh"), url])
        rows.append(("tidewell-cli, a fresh copy", fresh, log_figures(work)))
    finally:
        nginx.stop()
        shutil.rmtree(work, ignore_errors=True)

    lines = [SECTION, "",
             f"Machine: {platform.machine()}, {os.cpu_count()} cores. {args.site} served by nginx "
             f"on loopback; after the first copies, {args.changed} pages get new text, one page is "
             "removed and one added (linked from the start page). Requests and body bytes from "
             "nginx's log. Command: `bench/run_update_bench.py BUILD_DIR`.", "",
             "| run | seconds | requests | 200 | 304 | body bytes |", "|---|---|---|---|---|---|"]
    for name, seconds, figures in rows:
        lines.append(f"| {name} | {seconds:.2f} | {figures['requests']} | {figures['200']} | "
                     f"{figures['304']} | {figures['bytes']:,} |")
    text = "\n".join(lines) + "\n"
    print(text)
    if not args.no_results:
        write_section(os.path.join(HERE, "results.md"), SECTION, text)


if __name__ == "__main__":
    main()
