#!/usr/bin/env python3
"""Soak test: copies a site of bench/faultserver.py that breaks about one response in three, with
the sanitizer build of tidewell-cli, again and again into fresh folders with a new seed each
time, until the given minutes have passed, and checks every copy against what the server sent.

Usage: bench/run_soak.py SANITIZED_CLI [--minutes 5] [--fault-rate 0.3] [--keep-alive]

With --keep-alive the copier asks with --keep-alive and the server keeps connections between
answers, closing some after a whole answer (bench/faultserver.py --keep-alive).

After each copy:
  - every file of the site was asked for (the index links them all and is never broken), and
    none was asked for again after a complete answer, but after a 500, which is tried again, and,
    kept alive, after an answer that came behind a 500 on a connection that could not carry the
    new try behind it (it is closed for the new try, and what was asked ahead on it is asked
    again) or one followed on its
    connection by a reset (which drops what the server's system had not sent yet);
  - the exit status is 0 or 5 (5 only with failures printed, 0 only without), and stderr holds no
    sanitizer report;
  - a file whose last answer was whole is stored as it: a binary with the same SHA-256, a page
    not empty, not the timeout text, and with its own title (pages are stored rewritten, so their
    bytes differ), a redirect as a page that leads on;
  - every URL printed as failed is one whose last answer was a 404 or whose every try the server
    broke or answered with a 500; it is printed once and its reason fits the last try; its file
    is absent after an error status, and otherwise holds the timeout text or, after a short last
    body, what arrived; every such URL is printed as failed;
  - no .tmp file is left, and nothing is written outside the output folder.
The folder of a copy with a problem is kept, and each problem is printed with its evidence.
"""
import argparse
import collections
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The server's module is shared, not built: no cache folder is left in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
from faultserver import ANSWERING_FAULTS, BREAKING_FAULTS, SITE_HOST, Site, size_range  # noqa: E402

HOST_FOLDER = SITE_HOST.removeprefix("www.")
TIMEOUT_TEXT = b"Unable to download this file. (Timeout)"
REDIRECT_PAGE_START = b'<html><head><meta http-equiv="refresh"'
# What a try may end in and still be tried again: a broken answer, or a status tried again.
RETRIED_FAULTS = (*BREAKING_FAULTS, "server_error")
TYPES = ".html,.gif,.png,.jpg,.zip"
# What the copier may leave at the top of its output folder besides the site.
OWN_FILES = {HOST_FOLDER, "log.txt", "transdd.txt", "report.html", ".tidewell"}
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error", "ERROR: LeakSanitizer")
SANITIZER_ENV = {"ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1",
                 "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"}
BINARY_SIZE = "1000:40000"
# The reason the copier gives after each kind of last try; a reset may be seen before or after
# the bytes that came ahead of it, so any reason fits. A stall on a kept connection ends early
# when a request sent ahead behind it reaches the server, which then closes the connection after
# the part it sent: that answer is incomplete.
REASONS_AFTER = {"not_found": ("404 Not Found",), "server_error": ("500 Internal Server Error",),
                 "close_at_once": ("no complete response header",),
                 "half_header": ("no complete response header",),
                 "header_only": ("incomplete",), "short_body": ("incomplete",),
                 "stall": ("timed out three times", "incomplete"),
                 "reset": ("incomplete", "no complete response header", "timed out three times")}


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def local_file(out, path):
    return os.path.join(out, HOST_FOLDER, "index.html" if path == "/" else path.lstrip("/"))


def describe_file(path):
    """What is on disk at path, for a problem report."""
    if not os.path.isfile(path):
        return "no file"
    with open(path, "rb") as f:
        data = f.read()
    return f"{len(data)} bytes, SHA-256 {hashlib.sha256(data).hexdigest()}, starts {data[:60]!r}"


def fault_sequence(records):
    return ", ".join(f"try {r['try']} at {r['at']} s: {r['fault']} (status {r['status']}, {r['body_sent']} body bytes"
                     f"{', whole' if r['whole'] else ''}, {r['seconds']} s)" for r in records)


class Soak:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.cli = os.path.join(work, "tidewell-cli")
        # The build folder is rebuilt while this runs; a copy of the program stays the same.
        shutil.copy2(args.cli, self.cli)
        self.totals = collections.Counter()
        self.faults = collections.Counter()
        self.exit_codes = collections.Counter()
        self.failures = []
        self.problems = []

    def run_copy(self, number, seed):
        folder = os.path.join(self.work, f"copy-{number}")
        sandbox = os.path.join(folder, "sandbox")
        os.makedirs(sandbox)
        log_path = os.path.join(folder, "server.jsonl")
        server = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "faultserver.py"), "--seed", str(seed),
             "--pages", str(self.args.pages), "--binaries", str(self.args.binaries),
             "--binary-size", BINARY_SIZE, "--fault-rate", str(self.args.fault_rate), "--log", log_path]
            + (["--keep-alive"] if self.args.keep_alive else []),
            stdout=subprocess.PIPE, text=True)
        port = int(server.stdout.readline())
        started = time.monotonic()
        try:
            with open(os.path.join(folder, "stdout.txt"), "wb") as out, \
                    open(os.path.join(folder, "stderr.txt"), "wb") as err:
                code = subprocess.run(
                    [self.cli, "-c", "24", "-t", "2", "--rate", str(self.args.rate), "--types", TYPES,
                     "--connect-to", f"{SITE_HOST}:127.0.0.1:{port}", "-o", "out", f"http://{SITE_HOST}/"]
                    + (["--keep-alive"] if self.args.keep_alive else []),
                    cwd=sandbox, env={**os.environ, **SANITIZER_ENV}, stdout=out, stderr=err).returncode
        finally:
            server.terminate()
            server.wait()
        seconds = time.monotonic() - started
        with open(log_path) as f:
            records = [json.loads(line) for line in f]
        with open(os.path.join(folder, "stderr.txt"), errors="replace") as f:
            stderr = f.read()
        site = Site(seed, self.args.pages, self.args.binaries, size_range(BINARY_SIZE), slow=False, endless=False)
        problems = Check(number, seed, site, sandbox, code, records, stderr, self).problems
        self.exit_codes[code] += 1
        self.totals["copies"] += 1
        self.totals["requests"] += len(records)
        self.faults.update(r["fault"] for r in records if r["fault"] != "none")
        if problems:
            self.problems += problems
        else:
            shutil.rmtree(folder)
        print(f"copy {number} (seed {seed}): exit {code}, {len(records)} requests, {seconds:.1f} s, "
              f"{len(problems)} problems" + (f", kept in {folder}" if problems else ""), flush=True)

    def report(self):
        t = self.totals
        justified = sum(1 for failure in self.failures if failure["justified"])
        lines = [
            f"- copies: {t['copies']} (exit codes: "
            + ", ".join(f"{code}: {count}" for code, count in sorted(self.exit_codes.items())) + ")",
            f"- requests served: {t['requests']}",
            f"- faults injected: {sum(self.faults.values())} ("
            + ", ".join(f"{kind} {count}" for kind, count in sorted(self.faults.items())) + ")",
            f"- files of the site never asked for: {t['never_asked']}",
            f"- files asked for again after a complete answer: {t['asked_again']}",
            f"- files checked against what was sent whole: {t['checked']} "
            f"({t['checked_binaries']} binaries by SHA-256, {t['checked_pages']} pages)",
            f"- mismatches: {t['mismatches']}",
            f"- sanitizer reports: {t['sanitizer_reports']}",
            f"- failures reported: {len(self.failures)}, justified: {justified}, "
            f"unjustified: {len(self.failures) - justified}",
            f"- left without their file but not reported: {t['unreported']}",
            f"- failure reasons that do not fit the last try: {t['unfitting_reasons']}",
            f"- failed files not holding the timeout text or what arrived: {t['bad_failed_files']}",
            f"- .tmp files left: {t['tmp_left']}; files outside the output folder: {t['outside']}",
            f"- problems: {len(self.problems)}",
        ]
        reasons = collections.Counter((f["reason"].split(":")[0], f["last_fault"]) for f in self.failures)
        lines.append("- failures by reason and the fault of the last try: "
                     + (", ".join(f"{reason} after {fault}: {count}"
                                  for (reason, fault), count in sorted(reasons.items())) or "none"))
        for problem in self.problems:
            lines.append(f"  - PROBLEM {problem}")
        return "\n".join(lines)


class Check:
    """The checks of one finished copy; problems holds one line of evidence each."""

    def __init__(self, number, seed, site, sandbox, code, records, stderr, soak):
        self.prefix = f"copy {number} (seed {seed}): "
        self.problems = []
        self.site = site
        self.soak = soak
        self.out = os.path.join(sandbox, "out")
        self.stderr_lines = stderr.splitlines()
        self.asked = {record["path"] for record in records}
        last_try = collections.Counter()
        for r in records:
            last_try[r["path"]] = max(last_try[r["path"]], r["try"])
        # Where a 500 was answered that the copier tried again.
        retried_errors = {(r["connection"], r["on_connection"]) for r in records
                          if r["fault"] == "server_error" and r["try"] < last_try[r["path"]]}
        # A reset drops what the server's system had not sent yet, the end of an earlier answer on
        # the same connection included.
        self.last_reset = {}
        for r in records:
            if r["fault"] == "reset":
                self.last_reset[r["connection"]] = max(self.last_reset.get(r["connection"], 0), r["on_connection"])
        self.by_path = collections.defaultdict(list)
        for record in records:
            if not self.given_up(record, retried_errors, last_try):
                self.by_path[record["path"]].append(record)
        for path_records in self.by_path.values():
            path_records.sort(key=lambda r: r["try"])
        failed = self.failed_urls()
        self.check_exit(code, failed)
        self.check_sanitizers()
        self.check_every_path_asked()
        self.check_asked_again()
        self.check_whole_files()
        self.check_failures(failed)
        self.check_leftovers(sandbox)

    def problem(self, text):
        self.problems.append(self.prefix + text)

    def lines_about(self, path):
        return [line for line in self.stderr_lines if line.endswith(HOST_FOLDER + path)]

    def failed_urls(self):
        """(reason, path) for each "reason: url" line of stderr."""
        failed = []
        for line in self.stderr_lines:
            reason, _, url = line.rpartition(": ")
            if reason and not line.startswith("tidewell-cli:") and f"{HOST_FOLDER}/" in url:
                failed.append((reason, url[url.index(HOST_FOLDER) + len(HOST_FOLDER):]))
        return failed

    def check_exit(self, code, failed):
        expected = 5 if failed else 0
        if code != expected:
            tail = " | ".join(self.stderr_lines[-5:])
            self.problem(f"exit {code} with {len(failed)} failure lines (expected {expected}); stderr ends: {tail}")

    def check_sanitizers(self):
        reports = [line for line in self.stderr_lines if any(mark in line for mark in SANITIZER_MARKS)]
        self.soak.totals["sanitizer_reports"] += len(reports)
        for line in reports:
            self.problem(f"sanitizer: {line}")

    def check_every_path_asked(self):
        # The index links every file and is never broken, so a copy asks for each at least once.
        missing = sorted(set(self.site.kinds) - self.asked)
        self.soak.totals["never_asked"] += len(missing)
        if missing:
            self.problem(f"{len(missing)} files of the site never asked for, such as {missing[:5]}")

    @staticmethod
    def given_up(record, retried_errors, last_try):
        """Whether record answers a request the copier gave up with its connection, never seeing
        the answer: one the server could not hand over, or one sent ahead behind a 500 that the
        copier tries again on a new connection and asks for again (a connection that can carry the
        new try behind it keeps that answer)."""
        before = (record["connection"], record["on_connection"] - 1)
        asked_again = record["try"] < last_try[record["path"]]
        return "error" in record or (before in retried_errors and asked_again)

    def check_asked_again(self):
        # A try is repeated only after a broken one or a 500: asking again after a complete
        # answer means the copier took that answer for broken.
        for path, records in sorted(self.by_path.items()):
            for answered, again in zip(records, records[1:]):
                if answered["fault"] in ("none", *ANSWERING_FAULTS) and answered["fault"] != "server_error" \
                        and not self.dropped_by_reset(answered):
                    self.soak.totals["asked_again"] += 1
                    self.problem(f"{path} asked for again {again['at'] - answered['at']:.3f} s after a complete "
                                 f"answer; server: {fault_sequence(records)}; on disk: "
                                 f"{describe_file(local_file(self.out, path))}; stderr: {self.lines_about(path)}")

    def check_whole_files(self):
        totals = self.soak.totals
        for path, records in sorted(self.by_path.items()):
            last = records[-1]
            if last["fault"] == "redirect":
                stored = local_file(self.out, path)
                totals["checked"] += 1
                if not os.path.isfile(stored) or not open(stored, "rb").read().startswith(REDIRECT_PAGE_START):
                    totals["mismatches"] += 1
                    self.problem(f"{path} was last answered with a redirect but is {describe_file(stored)}; "
                                 f"server: {fault_sequence(records)}")
                continue
            whole = [r for r in records if r["whole"]]
            if not whole or not last["whole"]:
                continue
            stored = local_file(self.out, path)
            totals["checked"] += 1
            if path.endswith(".html") or path == "/":
                totals["checked_pages"] += 1
                wrong = self.page_fault(path, stored)
            else:
                totals["checked_binaries"] += 1
                wrong = None if os.path.isfile(stored) and sha256_of(stored) == whole[-1]["body_sha256"] \
                    else f"not the bytes sent (SHA-256 {whole[-1]['body_sha256']})"
            if wrong:
                totals["mismatches"] += 1
                self.problem(f"{path} was sent whole but is {wrong}; on disk: {describe_file(stored)}; "
                             f"server: {fault_sequence(records)}; stderr: {self.lines_about(path)}")

    @staticmethod
    def page_fault(path, stored):
        if not os.path.isfile(stored):
            return "missing"
        with open(stored, "rb") as f:
            data = f.read()
        if not data.strip():
            return "empty"
        if data.startswith(TIMEOUT_TEXT):
            return "the timeout text"
        title = "Index" if path == "/" else "Page " + path.rsplit("page", 1)[1].removesuffix(".html")
        if f"<title>{title}</title>".encode() not in data:
            return f"without its title {title!r}"
        return None

    def check_failures(self, failed):
        totals = self.soak.totals
        reported = collections.Counter(path for _, path in failed)
        for path, count in reported.items():
            if count > 1:
                self.problem(f"{path} reported {count} times: {self.lines_about(path)}")
        for reason, path in failed:
            records = self.by_path.get(path, [])
            justified = bool(records) and self.fails(records, counting_drops=True)
            self.soak.failures.append({"path": path, "reason": reason, "justified": justified,
                                       "last_fault": records[-1]["fault"] if records else "no request"})
            if not justified:
                self.problem(f"{path} reported as \"{reason}\" but the server gave it an answer to keep: "
                             f"{fault_sequence(records) or 'never asked for'}; on disk: "
                             f"{describe_file(local_file(self.out, path))}")
            elif not reason.startswith(REASONS_AFTER[records[-1]["fault"]]):
                totals["unfitting_reasons"] += 1
                self.problem(f"{path} reported as \"{reason}\", which does not fit its last try; "
                             f"server: {fault_sequence(records)}")
            elif not self.holds_failure_text(path, reason):
                totals["bad_failed_files"] += 1
                self.problem(f"{path} failed (\"{reason}\") but its file is {describe_file(local_file(self.out, path))}; "
                             f"server: {fault_sequence(records)}")
        for path, records in sorted(self.by_path.items()):
            if path not in reported and self.fails(records, counting_drops=False):
                totals["unreported"] += 1
                self.problem(f"{path}: the server gave no answer to keep but no failure was printed; "
                             f"server: {fault_sequence(records)}; on disk: {describe_file(local_file(self.out, path))}")

    def dropped_by_reset(self, record):
        """Whether a reset later on record's connection may have dropped the end of its answer."""
        return self.last_reset.get(record["connection"], 0) > record["on_connection"]

    def fails(self, records, counting_drops):
        """Whether the server's answers to a path leave the copier without its file; counting_drops:
        an answer whose end a later reset may have dropped counts as one that may have left it so."""
        return records[-1]["fault"] == "not_found" or all(
            r["fault"] in RETRIED_FAULTS or (counting_drops and self.dropped_by_reset(r)) for r in records)

    def holds_failure_text(self, path, reason):
        """Whether the file of a failed URL holds what the copier says it keeps: the part of the
        body that arrived after a short last body, the timeout text otherwise."""
        stored = local_file(self.out, path)
        if reason[:3].isdigit():
            # An error status is the server's word that there is no such file.
            return not os.path.exists(stored)
        if not os.path.isfile(stored):
            return False
        with open(stored, "rb") as f:
            data = f.read()
        if not reason.startswith("incomplete: "):
            return data.startswith(TIMEOUT_TEXT)
        # A page is stored rewritten, so only a binary can be compared with the bytes sent.
        if path.endswith(".html"):
            return bool(data)
        arrived = int(reason.split()[1])
        return data == self.site.lookup(path)[2][:arrived]

    def check_leftovers(self, sandbox):
        totals = self.soak.totals
        for folder, _, files in os.walk(sandbox):
            for name in files:
                if name.endswith(".tmp"):
                    totals["tmp_left"] += 1
                    self.problem(f"left {os.path.relpath(os.path.join(folder, name), sandbox)}")
        strays = [name for name in os.listdir(sandbox) if name != "out"]
        if os.path.isdir(self.out):
            strays += [os.path.join("out", name) for name in os.listdir(self.out) if name not in OWN_FILES]
        totals["outside"] += len(strays)
        for name in strays:
            self.problem(f"wrote {name} outside the site folder")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cli", help="tidewell-cli built with -DTIDEWELL_SANITIZE=ON")
    parser.add_argument("--minutes", type=float, default=5.0, help="no new copy starts after this")
    parser.add_argument("--fault-rate", type=float, default=0.3)
    parser.add_argument("--pages", type=int, default=1000)
    parser.add_argument("--binaries", type=int, default=1000)
    parser.add_argument("--rate", type=int, default=0,
                        help="the copier's --rate; 0 keeps all 24 connections busy")
    parser.add_argument("--first-seed", type=int, default=1)
    parser.add_argument("--keep-alive", action="store_true", help="connections kept between answers")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tidewell-soak-")
    soak = Soak(args, work)
    print(f"soak in {work}: {args.pages} pages and {args.binaries} binaries, fault rate {args.fault_rate}, "
          f"-c 24 -t 2 --rate {args.rate}" + (" --keep-alive" if args.keep_alive else ""), flush=True)
    deadline = time.monotonic() + args.minutes * 60
    number = 0
    while number == 0 or time.monotonic() < deadline:
        soak.run_copy(number + 1, args.first_seed + number)
        number += 1
    print(soak.report())
    if not soak.problems:
        shutil.rmtree(work)
    return 1 if soak.problems else 0


if __name__ == "__main__":
    sys.exit(main())
