#!/usr/bin/env python3
"""Compares what `tidewell-cli --check` counts with what bench/check_links.py counts on the same
copies: references that resolve from disk, that name a file the copy lacks (a missing file, a
path above the copy, a folder, a path from the root), and that need the network. Writes the table
as a section of results.md, in place of its own earlier one.

Usage: bench/run_check_agreement.py BUILD_DIR COPY_DIR [COPY_DIR ...]
(for instance the copies bench/run_real_sites.py leaves: WORK/python/tidewell, WORK/python/wget...)
"""
import json
import os
import re
import subprocess
import sys
import tempfile

from results_file import write_section

HERE = os.path.dirname(os.path.abspath(__file__))
SECTION = "## --check beside the link check"


def ours(build, copy):
    report = tempfile.mktemp(suffix=".html")
    out = subprocess.run([os.path.join(build, "src", "app", "tidewell-cli"), "--check", copy,
                          "--report", report], capture_output=True, text=True).stdout
    os.path.exists(report) and os.remove(report)
    resolved = int(re.search(r"(\d+) resolve", out).group(1))
    online = int(re.search(r"Needs the network: (\d+)", out).group(1))
    unresolved = int(re.search(r"(\d+) do not resolve", out).group(1))
    return resolved, unresolved - online, online


def theirs(copy):
    out = subprocess.run([sys.executable, os.path.join(HERE, "check_links.py"), copy, "--json"],
                         capture_output=True, text=True).stdout
    figures = json.loads(out)
    return figures["local ok"], figures["local missing"], figures["online"]


def main():
    build, copies = sys.argv[1], sys.argv[2:]
    lines = [SECTION, "", "Resolved / lacking / needing the network, for each copy: `tidewell-cli "
             "--check` beside `bench/check_links.py` (command: `bench/run_check_agreement.py "
             "BUILD_DIR COPY_DIR...`).", "",
             "| copy | --check | check_links.py | same |", "|---|---|---|---|"]
    for copy in copies:
        a, b = ours(build, copy), theirs(copy)
        name = os.path.relpath(copy, os.path.dirname(os.path.dirname(copy)))
        lines.append(f"| {name} | {a[0]} / {a[1]} / {a[2]} | {b[0]} / {b[1]} / {b[2]} | "
                     f"{'yes' if a == b else 'no'} |")
    text = "\n".join(lines) + "\n"
    print(text)
    write_section(os.path.join(HERE, "results.md"), SECTION, text)


if __name__ == "__main__":
    main()
