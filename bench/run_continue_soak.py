#!/usr/bin/env python3
"""Continue soak: copies sites served by nginx with tidewell-cli, stops each copy at a random moment
with SIGTERM or SIGKILL, takes it up with --continue (which may be stopped again) until its record
says it is complete, and compares the copy with an uninterrupted one of the same site, until the
given minutes have passed.

Usage: bench/run_continue_soak.py BUILD_DIR [--minutes 30] [--site NAME ...] [--seed N]
                                  [--work DIR] [--no-results]

Sites: generated (bench/gensite.py --modern, 400 pages, 160 images, its links pointed at the
local server, with additions: 18 .jpeg images, a page without an extension, a .php page, a link to
a folder without its "/" that nginx answers with a move, and 4 dead links), handbook
(debian-handbook) and python (python3.11-doc), each served by its own nginx server (apt-get install
nginx debian-handbook python3.11-doc). Copies run with "-c 4" or "-c 24 --rate 0".

A continued copy must equal the uninterrupted one: the same files with the same bytes (log.txt,
report.html and the record aside), and the same record, row for row (state, local path, size,
status, reason and type). Besides, in every copy: no row is left queued, no placeholder (.tmp) is
left, and every stored row's file is on disk with the row's size. Each difference is printed with
the folder, which is kept. The figures go into results.md unless --no-results.
"""
import argparse
import hashlib
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
import gensite  # noqa: E402
import run_real_sites as real  # noqa: E402  (the nginx of the benchmarks)
from results_file import write_section  # noqa: E402

SECTION = "## Copies stopped and continued"
TYPES = ".html,.htm,.php,.css,.js,.png,.gif,.jpg,.jpeg,.svg,.txt,.ico,.woff,.woff2,.webp"
OWN_FILES = {"log.txt", "transdd.txt", "report.html", ".tidewell"}
MODES = {"-c 4": ["-c", "4"], "-c 24 --rate 0": ["-c", "24", "--rate", "0"]}
SIGNALS = {"SIGTERM": signal.SIGTERM, "SIGKILL": signal.SIGKILL}
FOLDERS = {"handbook": "/usr/share/doc/debian-handbook/html/en-US",
           "python": "/usr/share/doc/python3.11/html"}
# Pages without an extension and .php pages are answered as pages.
HTML_BY_DEFAULT = "\n        default_type text/html;"


def generated_site(work, port):
    root = os.path.join(work, "generated")
    gensite.write_served_modern_site(root, f"127.0.0.1:{port}", 400, 160)
    rng = random.Random(5)
    links = []
    for n in range(18):
        with open(os.path.join(root, "images", f"photo{n}.jpeg"), "wb") as f:
            f.write(b"\xff\xd8\xff\xe0" + rng.randbytes(rng.randrange(2000, 9000)))
        links.append(f'<img src="images/photo{n}.jpeg" alt="">')
    with open(os.path.join(root, "about"), "w") as f:
        f.write('<html><body><a href="shop.php">shop</a><img src="images/photo0.jpeg"></body></html>\n')
    with open(os.path.join(root, "shop.php"), "w") as f:
        f.write('<html><body><a href="about">about</a><a href="section3">s3</a></body></html>\n')
    links += ['<a href="about">about</a>', '<a href="shop.php">shop</a>',
              '<a href="section3">section 3</a>'] + [f'<a href="gone{n}.html">gone</a>' for n in range(4)]
    with open(os.path.join(root, "extras.html"), "w") as f:
        f.write("<html><body>" + "\n".join(links) + "</body></html>\n")
    with open(os.path.join(root, "index.html"), "a") as f:
        f.write('<a href="extras.html">extras</a>\n')
    return root


def tree_of(folder):
    """Each file's relative path and SHA-256, the copier's own files aside."""
    files = {}
    for top in os.listdir(folder):
        if top in OWN_FILES:
            continue
        for here, _, names in os.walk(os.path.join(folder, top)):
            for name in names:
                path = os.path.join(here, name)
                with open(path, "rb") as f:
                    files[os.path.relpath(path, folder)] = hashlib.sha256(f.read()).hexdigest()
    return files


def record_of(folder):
    """The record's rows by URL, and its finished flag."""
    path = os.path.join(folder, ".tidewell", "copy.sqlite")
    if not os.path.exists(path):
        return {}, (None, None)
    db = sqlite3.connect(path)
    try:
        rows = {url: rest for url, *rest in db.execute(
            "SELECT url, state, local_path, size, http_status, reason, content_type FROM url")}
        finished = db.execute("SELECT value FROM job WHERE key = 'finished'").fetchone()
        start = db.execute("SELECT value FROM job WHERE key = 'start url'").fetchone()
    finally:
        db.close()
    return rows, (finished[0] if finished else None, start[0] if start else None)


def faults_of_copy(folder, rows):
    """What no copy may hold, whatever became of its fetches."""
    faults = [f"row left queued: {url}" for url, row in rows.items() if row[0] == "queued"]
    for url, (state, local, size, *_) in rows.items():
        if state != "stored":
            continue
        path = os.path.join(folder, local)
        if not os.path.isfile(path):
            faults.append(f"stored row without its file: {url} at {local}")
        elif os.path.getsize(path) != size:
            faults.append(f"stored row of {size} bytes, {os.path.getsize(path)} on disk: {url}")
    for here, _, names in os.walk(folder):
        faults += [f"placeholder left: {os.path.relpath(os.path.join(here, n), folder)}"
                   for n in names if n.endswith(".tmp")]
    return faults


def differences(reference, folder):
    """How the copy in folder differs from the reference copy (its tree and rows)."""
    found = []
    tree = tree_of(folder)
    for path in sorted(set(reference["tree"]) | set(tree)):
        if path not in tree:
            found.append(f"missing file: {path}")
        elif path not in reference["tree"]:
            found.append(f"extra file: {path}")
        elif tree[path] != reference["tree"][path]:
            found.append(f"other bytes: {path}")
    rows, _ = record_of(folder)
    for url in sorted(set(reference["rows"]) | set(rows)):
        if url not in rows:
            found.append(f"missing row: {url}")
        elif url not in reference["rows"]:
            found.append(f"extra row: {url} {rows[url]}")
        elif rows[url] != reference["rows"][url]:
            found.append(f"other row: {url} {rows[url]}, uninterrupted {reference['rows'][url]}")
    return found + faults_of_copy(folder, rows)


class Copier:
    def __init__(self, cli, mode):
        self.command = [cli, "-q", "--types", TYPES, *MODES[mode]]

    def run(self, arguments, stop=None):
        """Runs a copy; stop (seconds, signal) stops it then if it still runs. Whether it was."""
        process = subprocess.Popen(self.command + arguments, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        stopped = False
        if stop:
            try:
                process.wait(timeout=stop[0])
            except subprocess.TimeoutExpired:
                process.send_signal(stop[1])
                stopped = True
        process.wait(timeout=600)
        return stopped


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--site", action="append", choices=["generated", *FOLDERS])
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--work", default="/dev/shm")
    parser.add_argument("--no-results", action="store_true")
    args = parser.parse_args()
    cli = os.path.join(args.build, "src", "app", "tidewell-cli")
    rng = random.Random(args.seed)
    # Folders named without "_": the copier halves a run of them in its download folder's name.
    work = os.path.join(args.work, f"continue-soak-{os.getpid()}")
    os.makedirs(work)
    os.chmod(work, 0o755)  # nginx's workers read the site as another user
    names = args.site or ["generated", *FOLDERS]
    ports = {name: real.free_port() for name in names}
    roots = {name: generated_site(work, ports[name]) if name == "generated" else FOLDERS[name]
             for name in names}
    nginx = real.Nginx([("127.0.0.1", ports[n], roots[n], HTML_BY_DEFAULT) for n in names], work)
    references, figures, kept = {}, {"copies": 0, "stops": {s: 0 for s in SIGNALS},
                                     "continues": 0, "differences": 0, "faulty copies": 0}, []
    try:
        for name in names:
            url = f"http://127.0.0.1:{ports[name]}/"
            for mode in MODES:
                folder = os.path.join(work, f"reference-{name}-{mode.replace(' ', '')}")
                start = time.monotonic()
                Copier(cli, mode).run(["-o", folder, url])
                rows, _ = record_of(folder)
                references[name, mode] = {"tree": tree_of(folder), "rows": rows,
                                          "seconds": time.monotonic() - start}
                faults = faults_of_copy(folder, rows)
                print(f"{name}, {mode}: {len(references[name, mode]['tree'])} files, {len(rows)} rows"
                      f" in {references[name, mode]['seconds']:.1f} s; {len(faults)} faults",
                      file=sys.stderr)
                for fault in faults[:20]:
                    print(f"  {fault}", file=sys.stderr)
            first, second = (references[name, mode] for mode in MODES)
            if (first["tree"], first["rows"]) != (second["tree"], second["rows"]):
                print(f"{name}: the uninterrupted copies of the two modes differ", file=sys.stderr)
        deadline = time.monotonic() + args.minutes * 60
        while time.monotonic() < deadline:
            name, mode = rng.choice(names), rng.choice(list(MODES))
            reference = references[name, mode]
            url = f"http://127.0.0.1:{ports[name]}/"
            folder = os.path.join(work, f"{name}-{figures['copies']}")
            copier = Copier(cli, mode)
            signals, arguments = [], ["-o", folder, url]
            for attempt in range(6):
                # Each run may be stopped, the last ones less often, so that every copy ends.
                stop = None
                if attempt < 5 and rng.random() < (1.0 if attempt == 0 else 0.4):
                    chosen = rng.choice(list(SIGNALS))
                    stop = (rng.uniform(0.05, reference["seconds"]), SIGNALS[chosen])
                if copier.run(arguments, stop):
                    signals.append(chosen)
                    figures["stops"][chosen] += 1
                _, (finished, start) = record_of(folder)
                if finished == "1":
                    break
                # A copy killed before its record named its start is begun again.
                arguments = ["--continue", folder] if start else ["-o", folder, url]
                figures["continues"] += bool(start)
            figures["copies"] += 1
            found = differences(reference, folder)
            if found:
                figures["differences"] += len(found)
                figures["faulty copies"] += 1
                kept.append(folder)
                print(f"{name}, {mode}, stopped by {', '.join(signals) or 'nothing'}: "
                      f"{len(found)} differences in {folder}", file=sys.stderr)
                for line in found[:15]:
                    print(f"  {line}", file=sys.stderr)
            else:
                shutil.rmtree(folder)
    finally:
        nginx.stop()
    for name, mode in references:
        shutil.rmtree(os.path.join(work, f"reference-{name}-{mode.replace(' ', '')}"))
    stops = sum(figures["stops"].values())
    summary = (f"{figures['copies']} copies, {stops} stops ({figures['stops']['SIGTERM']} SIGTERM,"
               f" {figures['stops']['SIGKILL']} SIGKILL), {figures['continues']} continues,"
               f" {figures['differences']} differences in {figures['faulty copies']} copies")
    print(summary)
    if not args.no_results:
        sites = ", ".join(f"{n} ({len(references[n, '-c 4']['tree'])} files)" for n in names)
        write_section(os.path.join(HERE, "results.md"), SECTION, f"""{SECTION}

`bench/run_continue_soak.py BUILD_DIR --minutes {args.minutes:g} --seed {args.seed}` copies sites
served by nginx on 127.0.0.1 with `tidewell-cli`, `-c 4` or `-c 24 --rate 0`, stops each copy at
a random moment (up to the time an uninterrupted copy takes) with SIGTERM or SIGKILL, continues it
with `--continue` (a continue is itself stopped again 4 times in 10) until its record says it is
complete, and compares it with an uninterrupted copy: every file's bytes, every row of the record
(state, local path, size, status, reason, type); and in every copy no row left queued, no
placeholder left, every stored row's file on disk with the row's size.

- Sites: {sites}.
- Machine: virtual machine with 2 cores of an AMD EPYC, shared with other builds; Debian 12.

| Copies | Stops (SIGTERM, SIGKILL) | Continues | Differences found |
|---|---|---|---|
| {figures['copies']} | {stops} ({figures['stops']['SIGTERM']}, {figures['stops']['SIGKILL']}) | {figures['continues']} | {figures['differences']} |
""")
    if not kept:
        shutil.rmtree(work)
    return 1 if kept else 0


if __name__ == "__main__":
    sys.exit(main())
