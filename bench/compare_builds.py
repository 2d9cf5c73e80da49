#!/usr/bin/env python3
"""Copies the same real sites with two tidewell-cli binaries and tells whether the copies are
byte-identical: the set of files, every file's bytes, log.txt and the report (its time masked).
Only the record's SQLite file (.tidewell/copy.sqlite and its journals) is left out.

Usage: bench/compare_builds.py --before PATH --after PATH [--site NAME ...] [--work DIR]

Sites, served by one nginx, each over http and over TLS (a self-signed certificate made with
openssl and trusted with --ca-certificate): python (python3.11-doc), rustdoc (cargo-doc, from
syn/index.html) and mkdocs (mkdocs-doc); see run_real_sites.py. Each site and scheme is copied with
-c 1 and -c 24, each with and without --keep-alive (all with --rate 0); then, over http with -c 24,
--update over the plain copy, and a copy stopped with SIGINT once a third of its files are stored
and taken up with --continue until its record says it is complete (its final tree is compared).
Both binaries copy into the same folder in turn, so that the paths the report names are the same,
and each run has HOME and XDG_CONFIG_HOME in a fresh folder. One line per case: its files, whether
the copies are identical and their first differences (files of one copy alone, a file's first
line that differs, the files that hold the same lines in another order, the exit statuses). The
copies of a case that differs are kept in WORK/kept. Exits with 1 when any case differs.
"""
import argparse
import contextlib
import hashlib
import itertools
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
import copy_by_default  # noqa: E402  (the fresh settings, the type list left by a desktop run)
import run_continue_soak as soak  # noqa: E402  (the record's finished flag)
import run_real_sites as real  # noqa: E402  (the sites and their nginx)

SITES = ("python", "rustdoc", "mkdocs")
RECORD = re.compile(r"\.tidewell/copy\.sqlite(-journal|-wal|-shm)?$")
REPORT = "report.html"
# The report's time stands after the folder it names: "<p class="sub">FOLDER, 2026-12-10T21:24:29".
REPORT_TIME = re.compile(rb'(<p class="sub">[^<]*, )\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?(Z|[+-]\d\d:\d\d)?')
TLS = """
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {work}/cert.pem;
        ssl_certificate_key {work}/key.pem;"""
RUN_TIMEOUT = 900
SHOWN = 3


def make_certificate(work):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", f"{work}/key.pem", "-out", f"{work}/cert.pem", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)


def contents(path, rel):
    """A file's bytes as compared: the report's time masked."""
    with open(path, "rb") as f:
        data = f.read()
    return REPORT_TIME.sub(rb"\1TIME", data) if rel == REPORT else data


def tree_of(folder):
    """Each file's path below folder and its bytes' digest; each folder's path with "/"."""
    files = {}
    for here, folders, names in os.walk(folder):
        for name in folders:
            files[os.path.relpath(os.path.join(here, name), folder) + "/"] = "folder"
        for name in names:
            rel = os.path.relpath(os.path.join(here, name), folder)
            if not RECORD.match(rel):
                files[rel] = hashlib.sha256(contents(os.path.join(here, name), rel)).hexdigest()
    return files


def first_difference(before, after, rel):
    """Where a file of the two copies first differs: the line, with both versions of it around the
    first byte that differs; None when the two hold the same lines in another order."""
    left = contents(os.path.join(before, rel), rel).splitlines()
    right = contents(os.path.join(after, rel), rel).splitlines()
    if sorted(left) == sorted(right):
        return None
    for n, (x, y) in enumerate(zip(left, right), 1):
        if x != y:
            at = next((i for i, (a, b) in enumerate(zip(x, y)) if a != b), min(len(x), len(y)))
            return f"line {n}: {x[max(0, at - 30):at + 70]!r} / {y[max(0, at - 30):at + 70]!r}"
    return f"{len(left)} / {len(right)} lines"


def differences(before, after):
    """The files of the copies and how they differ: files of one copy alone, files whose lines
    differ, then in one item the files that hold the same lines in another order."""
    tb, ta = tree_of(before), tree_of(after)
    found = [f"only before: {p}" for p in sorted(set(tb) - set(ta))]
    found += [f"only after: {p}" for p in sorted(set(ta) - set(tb))]
    reordered = []
    for path in sorted(p for p in set(tb) & set(ta) if tb[p] != ta[p]):
        where = first_difference(before, after, path)
        if where is None:
            reordered.append(path)
        else:
            found.append(f"other bytes: {path} {where}")
    if reordered:
        found.append(f"the same lines in another order: {', '.join(reordered)}")
    return sum(1 for p in tb if not p.endswith("/")), found


class Runner:
    def __init__(self, work):
        self.work, self.count = work, 0

    def start(self, binary, arguments):
        self.count += 1
        home = os.path.join(self.work, f"home-{self.count}")
        return subprocess.Popen([binary, "-q", *arguments], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, env=copy_by_default.fresh_environment(home))

    def run(self, binary, arguments):
        process = self.start(binary, arguments)
        status, errors = finish(process)
        shutil.rmtree(os.path.join(self.work, f"home-{self.count}"))
        return status, errors


def finish(process):
    """The exit status of a copy and what it printed, or "timeout" once it ran too long."""
    try:
        _, errors = process.communicate(timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return "timeout", ""
    return process.returncode, errors.decode(errors="replace").strip()


def stored_files(folder):
    return sum(1 for _, _, names in os.walk(folder) for n in names if not n.endswith(".tmp"))


def stopped_and_continued(runner, binary, folder, arguments, files):
    """Copies, stops the copy with SIGINT once `files` files are on disk, and continues it until
    its record says it is complete. The last run's exit status (what it printed counts the
    failures of that run alone, which depend on where the copy stopped)."""
    process = runner.start(binary, arguments)
    while process.poll() is None and stored_files(folder) < files:
        time.sleep(0.02)
    if process.poll() is not None:
        print(f"  {binary} ended before {files} files: nothing to continue", file=sys.stderr)
    process.send_signal(signal.SIGINT)
    status, _ = finish(process)
    for _ in range(5):
        _, (finished, _) = soak.record_of(folder)
        if finished == "1":
            break
        status, _ = runner.run(binary, ["--continue", folder])
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", required=True)
    parser.add_argument("--after", required=True)
    parser.add_argument("--site", action="append", choices=SITES)
    parser.add_argument("--work", default="/dev/shm")
    args = parser.parse_args()
    binaries = {"before": os.path.abspath(args.before), "after": os.path.abspath(args.after)}
    sites = args.site or SITES
    work = tempfile.mkdtemp(prefix="compare-builds-", dir=args.work)
    os.chmod(work, 0o755)  # nginx's workers run as another user
    make_certificate(work)
    ports = {(site, scheme): real.free_port() for site in sites for scheme in ("http", "https")}
    roots = {site: real.site_root(site, 0, work, None)[0] for site in sites}
    nginx = real.Nginx([("127.0.0.1", ports[s, "http"], roots[s],
                         TLS.format(port=ports[s, "https"], work=work)) for s in sites], work)
    runner, folder, differing, began = Runner(work), os.path.join(work, "copy"), 0, time.monotonic()
    print("| site | scheme | -c | mode | files | identical | first differences |")
    print("|---|---|---|---|---|---|---|")

    def case(label, runs):
        """runs(name, binary) makes the copy in folder; it is moved to WORK/before or WORK/after, then
        both are compared and removed (kept in WORK/kept when they differ)."""
        nonlocal differing
        outcome = {}
        for name, binary in binaries.items():
            outcome[name] = runs(name, binary)
            os.makedirs(folder, exist_ok=True)  # a copy that failed at once left none
            shutil.rmtree(os.path.join(work, name), ignore_errors=True)
            os.rename(folder, os.path.join(work, name))
        files, found = differences(os.path.join(work, "before"), os.path.join(work, "after"))
        if outcome["before"] != outcome["after"]:
            found.insert(0, f"exit/errors {outcome['before']} / {outcome['after']}")
        elif files == 0:
            found.insert(0, f"no copy: {outcome['before']}")
        if found:
            differing += 1
            kept = os.path.join(work, "kept", label.replace(" ", "").replace("|", "-"))
            os.makedirs(kept)
            for name in binaries:
                shutil.copytree(os.path.join(work, name), os.path.join(kept, name))
        shown = "; ".join(found[:SHOWN]) + (f"; and {len(found) - SHOWN} more" if len(found) > SHOWN else "")
        print(f"| {label} | {files} | {'no' if found else 'yes'} | {shown.replace('|', '/')} |", flush=True)
        return files

    with contextlib.ExitStack() as stack:
        for binary in binaries.values():
            stack.enter_context(copy_by_default.no_leftover_type_list(binary))
        stack.callback(nginx.stop)
        for site, scheme, connections, keep_alive in itertools.product(
                sites, ("http", "https"), ("1", "24"), ([], ["--keep-alive"])):
            url = f"{scheme}://127.0.0.1:{ports[site, scheme]}/{real.START.get(site, 'index.html')}"
            trust = ["--ca-certificate", f"{work}/cert.pem"] if scheme == "https" else []
            arguments = [*trust, "-c", connections, "--rate", "0", *keep_alive, "-o", folder, url]
            label = f"{site} | {scheme} | {connections} | {'keep-alive' if keep_alive else 'plain'}"
            files = case(label, lambda _, binary: runner.run(binary, arguments))
            if scheme != "http" or connections != "24" or keep_alive:
                continue

            def update(name, binary):
                os.rename(os.path.join(work, name), folder)
                return runner.run(binary, ["--update", "-c", "24", "--rate", "0", "-o", folder])

            # --update runs over the plain copy each binary has just made.
            case(f"{site} | {scheme} | 24 | update", update)
            case(f"{site} | {scheme} | 24 | continue", lambda _, binary: stopped_and_continued(
                runner, binary, folder, arguments, max(1, files // 3)))
    for name in binaries:
        shutil.rmtree(os.path.join(work, name), ignore_errors=True)
    print(f"\n{differing} of the cases differ; {time.monotonic() - began:.0f} s; work folder {work}",
          file=sys.stderr)
    if not differing:
        shutil.rmtree(work)
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
