#!/usr/bin/env python3
"""Races tidewell-cli against wget2 (and wget on loopback) copying documentation sites served by
nginx, on loopback and through bench/latency_relay.py at a round-trip time, with a server that
closes the connection after each answer and one that keeps connections alive.

Usage: bench/run_race.py BUILD_DIR [--site NAME ...] [--rtt-ms 50]
                         [--runs N] [--loopback-runs N] [--work DIR] [--results FILE | --no-results]

The binary is BUILD_DIR/src/app/tidewell-cli. Sites are those of bench/run_real_sites.py (Debian
documentation packages such as python3.11-doc, debian-handbook and cmake-doc, or bench/gensite.py's
generated site), but for those linked without an extension, served the same way: one nginx of its
own (a configuration in a temporary folder, not a daemon), here with three servers on loopback:
  loopback    keepalive_timeout 65; keepalive_requests 100000;  copied directly
  closing     keepalive_timeout 0;  (closes after each answer)   copied through a relay
  keep-alive  keepalive_timeout 65; keepalive_requests 100000;  copied through a relay
The relays add --rtt-ms to every round trip (a new connection costs two before its first answer).

Copies, each into a new folder under --work (tmpfs by default, so that the file system's own
bookkeeping weighs the same on every copy), each timed on the wall clock and for its CPU (user and
system, from os.wait4 on the child):
  tidewell-cli       -q -c 24 --rate 0 --no-other-hosts --types LIST -o DIR URL
  tidewell-cli --keep-alive   the same with --keep-alive, if the build's --help names it
  wget2              -r -l inf -k -p --max-threads=24 --no-robots -q -P DIR URL
  wget               -r -l inf -k -p -np -e robots=off -q -P DIR URL   (loopback only)
--types names the extensions the site serves (tidewell-cli's default list lacks .js, .png, .svg),
so every copier asks for the same files; --no-other-hosts keeps it on the site, as wget and wget2
stay without -H. wget2 needs -l inf to follow more than the requisites. The copies run in rounds,
each round every copier once in each setting, the order of the copiers turning from round to
round; the tables give the median of the rounds, and the file count of every copy as a check
that all copied the same site. A copy on loopback takes a few tens of milliseconds on a small site,
where one round in five can be off by a fifth on a shared machine: loopback has --loopback-runs
rounds (wget, which is not raced, --runs of them). For the kept-alive relay they also give how many requests the
server received a round trip (from nginx's log, first request to last): 24 connections that each
wait for an answer before the next request can bring at most 24, whatever the copier.

The tables are printed and written into --results (bench/results-engine.md) as the section
"Race against Wget2", which replaces the one an earlier run wrote there.
"""
import argparse
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_real_sites as real  # noqa: E402  (the sites, nginx and the free ports)

from results_file import write_section

SECTION = "## Race against Wget2"
KEEPALIVE = "\n        keepalive_timeout 65;\n        keepalive_requests 100000;"
CLOSING = "\n        keepalive_timeout 0;"
COPY_TIMEOUT = 1800
COPIERS = ("tidewell", "tidewell-ka", "wget2", "wget")
LABELS = {"tidewell": "tidewell-cli", "tidewell-ka": "tidewell-cli --keep-alive", "wget2": "wget2",
          "wget": "wget"}
SETTINGS = ("loopback", "closing", "keep-alive")
ROWS = (("loopback wall", "loopback", "wall"), ("loopback CPU", "loopback", "cpu"),
        ("RTT close wall", "closing", "wall"), ("RTT keep-alive wall", "keep-alive", "wall"))


def tool_version(command):
    """The version word of the first line of `command --version`, such as 1.99.1."""
    try:
        out = subprocess.run(command, capture_output=True, text=True).stdout
    except OSError:
        return "missing"
    words = [w for w in (out.splitlines() or [""])[0].split() if w[:1].isdigit()]
    return words[0] if words else "?"


def not_found(access_log):
    """The paths nginx answered with 404, each once, in the order first asked; robots.txt, which
    only tidewell-cli asks and whose absence allows everything, is left out."""
    paths = []
    with open(access_log, errors="replace") as f:
        for line in f:
            match = re.search(r'"[A-Z]+ (\S+) [^"]*" 404 ', line)
            if match and match.group(1) not in paths and match.group(1) != "/robots.txt":
                paths.append(match.group(1))
    return paths


def requests_per_round_trip(access_log, offset, rtt_ms):
    """How many requests the server received a round trip during one copy: those it logged after
    offset, over the time from the first to the last of them."""
    with open(access_log, errors="replace") as f:
        f.seek(offset)
        times = [float(line.split(" ", 1)[0]) for line in f if line[:1].isdigit()]
    if len(times) < 2 or times[-1] <= times[0]:
        return None
    return len(times) / ((times[-1] - times[0]) * 1000 / rtt_ms)


def nginx_version():
    result = subprocess.run(["nginx", "-v"], capture_output=True, text=True)
    return result.stderr.strip().replace("nginx version: nginx/", "")


class Relay:
    """bench/latency_relay.py in front of a port, as a child process."""

    def __init__(self, target_port, rtt_ms, rate_mbit=None):
        rate = ["--rate-mbit", str(rate_mbit)] if rate_mbit else []
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "latency_relay.py"), "--listen", "127.0.0.1:0",
             "--target", f"127.0.0.1:{target_port}", "--rtt-ms", str(rtt_ms), *rate],
            stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().strip()
        if not line.startswith("listening on "):
            self.process.kill()
            sys.exit(f"the relay did not start: {line!r}")
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self):
        """Stops the relay and returns its last line (connections accepted and left open)."""
        self.process.send_signal(signal.SIGTERM)
        try:
            out, _ = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, _ = self.process.communicate()
        lines = out.strip().splitlines()
        return lines[-1] if lines else ""


def run_copy(command, out, timeout=COPY_TIMEOUT):
    """Runs one copy into out (new), killed after timeout seconds; returns wall seconds, CPU seconds
    of the child, exit status."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    env = {**os.environ, "http_proxy": "", "HTTP_PROXY": "", "no_proxy": "*"}
    with open(out + ".log", "wb") as log:
        start = time.monotonic()
        process = subprocess.Popen(command, stdout=log, stderr=log, env=env)
        timer = threading.Timer(timeout, process.kill)
        timer.start()
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.monotonic() - start
        timer.cancel()
    process.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime, process.returncode


def count_copied(out):
    """Files the copy stored for the site: those under its host folders (127.0.0.1...)."""
    total = 0
    for entry in os.listdir(out):
        if entry.startswith("127.0.0.1") and os.path.isdir(os.path.join(out, entry)):
            total += sum(len(files) for _, _, files in os.walk(os.path.join(out, entry)))
    return total


def commands(cli, keep_alive, url, out, loopback):
    """Each copier's command for one setting, None for those that sit it out."""
    tidewell = [cli, "-q", "-c", "24", "--rate", "0", "--no-other-hosts", "--types", real.TYPES,
                "-o", out, url]
    return {
        "tidewell": tidewell,
        "tidewell-ka": tidewell[:-1] + ["--keep-alive", url] if keep_alive else None,
        "wget2": ["wget2", "-r", "-l", "inf", "-k", "-p", "--max-threads=24", "--no-robots", "-q",
                  "-P", out, url],
        "wget": (["wget", "-r", "-l", "inf", "-k", "-p", "-np", "-e", "robots=off", "-q", "-P", out, url]
                 if loopback else None),
    }


def serve_roots(site, tmp, ports):
    """The folder each server serves. The generated site names its own host and port in absolute
    links, so each URL's port gets its own copy of it; a real site is one folder for all."""
    if site != "generated":
        root, _ = real.site_root(site, None, tmp, None)
        return {setting: root for setting in SETTINGS}
    roots = {}
    for setting in SETTINGS:
        folder = os.path.join(tmp, setting)
        os.makedirs(folder)
        root, _ = real.site_root(site, ports[setting], folder, None)
        roots[setting] = root
    return roots


def race_site(site, args, cli, keep_alive):
    """Runs the rounds on one site; returns the title and, per setting and copier, the runs."""
    work = os.path.join(args.work, site)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    results = {s: {c: [] for c in COPIERS} for s in SETTINGS}
    with tempfile.TemporaryDirectory(prefix=f"bench-race-{site}-") as tmp:
        os.chmod(tmp, 0o755)  # nginx's worker may run as another user
        nginx_ports = {s: real.free_port() for s in SETTINGS}
        # The generated site's links must name the port the copier asks, the relay's for the RTT
        # settings; the relays are started first for that, pointed at ports nginx takes next.
        relays = {s: Relay(nginx_ports[s], args.rtt_ms) for s in ("closing", "keep-alive")}
        try:
            url_ports = {"loopback": nginx_ports["loopback"],
                         **{s: relay.port for s, relay in relays.items()}}
            roots = serve_roots(site, tmp, url_ports)
            servers = [("127.0.0.1", nginx_ports[s], roots[s], CLOSING if s == "closing" else KEEPALIVE)
                       for s in SETTINGS]
            server = real.Nginx(servers, tmp)
            try:
                real.check_served(roots["loopback"], nginx_ports["loopback"], "index.html")
                access_log = os.path.join(tmp, "access.log")
                for round_index in range(max(args.runs, args.loopback_runs)):
                    for setting in SETTINGS:
                        if round_index >= (max(args.runs, args.loopback_runs) if setting == "loopback"
                                           else args.runs):
                            continue
                        url = f"http://127.0.0.1:{url_ports[setting]}/index.html"
                        order = COPIERS[round_index % len(COPIERS):] + COPIERS[:round_index % len(COPIERS)]
                        for copier in order:
                            if copier == "wget" and round_index >= args.runs:
                                continue
                            out = os.path.join(work, f"{setting}-{copier}")
                            command = commands(cli, keep_alive, url, out, setting == "loopback")[copier]
                            if command is None:
                                continue
                            log_at = os.path.getsize(access_log)
                            wall, cpu, status = run_copy(command, out)
                            files = count_copied(out)
                            run = {"wall": wall, "cpu": cpu, "exit": status, "files": files}
                            if setting == "keep-alive":
                                run["per_rtt"] = requests_per_round_trip(access_log, log_at, args.rtt_ms)
                            results[setting][copier].append(run)
                            print(f"  round {round_index + 1} {setting:10} {LABELS[copier]:26} "
                                  f"{wall:6.2f} s wall {cpu:6.2f} s CPU exit {status} files {files}",
                                  file=sys.stderr, flush=True)
                            shutil.rmtree(out, ignore_errors=True)
            finally:
                server.stop()
            missing = not_found(os.path.join(tmp, "access.log"))
        finally:
            for setting, relay in relays.items():
                print(f"  relay for {setting}: {relay.stop()}", file=sys.stderr)
        served = real.count_files(roots["loopback"])
    if site == "generated":
        title = f"generated: gensite.py --modern --pages 300 --images 100 ({served} files served)"
    else:
        title = f"{site}: {roots['loopback']} ({served} files served)"
    with open(os.path.join(work, "runs.json"), "w") as f:
        json.dump(results, f, indent=1)
    return title, results, missing


def median(runs, key):
    return statistics.median(r[key] for r in runs) if runs else None


def cell(runs, key):
    value = median(runs, key)
    if value is None:
        return "—"
    return f"{value * 1000:.0f} ms" if value < 1 else f"{value:.2f} s"


def distinct(runs, key):
    values = []
    for r in runs:
        if r[key] not in values:
            values.append(r[key])
    return "/".join(str(v) for v in values)


def site_table(title, results, keep_alive, missing):
    lines = [f"### {title}", "",
             "| run | " + " | ".join(LABELS[c] for c in COPIERS) + " |",
             "|---|" + "---|" * len(COPIERS)]
    for row, setting, key in ROWS:
        lines.append(f"| {row} | " + " | ".join(cell(results[setting][c], key) for c in COPIERS) + " |")
    for setting in SETTINGS:
        lines.append(f"| files, {setting} | " + " | ".join(
            distinct(results[setting][c], "files") or "—" for c in COPIERS) + " |")
    lines.append("| exit status | " + " | ".join(
        distinct([r for s in SETTINGS for r in results[s][c]], "exit") or "—" for c in COPIERS) + " |")
    lines.append("")
    per_rtt = [median([r for r in results["keep-alive"][c] if r.get("per_rtt")], "per_rtt")
               for c in COPIERS]
    lines.insert(len(lines) - 1, "| requests a round trip at the server, RTT keep-alive | " + " | ".join(
        "—" if value is None else f"{value:.1f}" for value in per_rtt) + " |")
    if missing:
        lines.append("The server answered 404 (a link to a file the site does not have) for: "
                     + ", ".join(f"`{p}`" for p in missing[:10]) + (" and more" if len(missing) > 10 else "")
                     + "; a copier that asks for such a file exits with a failure status (tidewell-cli 5, wget and "
                     "wget2 8); tidewell-cli does not ask for a type outside its --types.")
        lines.append("")
    if not keep_alive:
        lines.append("tidewell-cli --keep-alive: not run, this build's --help does not name the option.")
        lines.append("")

    def ratio(copier, setting, key):
        ours, theirs = median(results[setting][copier], key), median(results[setting]["wget2"], key)
        return None if ours is None or not theirs else ours / theirs

    lines.append("Ratios ours/wget2 (medians):")
    lines.append("")
    for row, setting, key in ROWS:
        parts = [f"{LABELS[c]} x{value:.2f}" for c in ("tidewell", "tidewell-ka")
                 if (value := ratio(c, setting, key)) is not None]
        lines.append(f"- {row}: " + (", ".join(parts) if parts else "not measured"))
    lines.append("")
    lines.append("Targets:")
    lines.append("")
    targets = [("loopback wall at most wget2's", "tidewell", "loopback", "wall", 1.0),
               ("loopback CPU at most wget2's", "tidewell", "loopback", "cpu", 1.0),
               ("loopback wall at most wget2's", "tidewell-ka", "loopback", "wall", 1.0),
               ("loopback CPU at most wget2's", "tidewell-ka", "loopback", "cpu", 1.0),
               ("RTT close wall at most wget2's", "tidewell", "closing", "wall", 1.0),
               ("RTT close wall at most wget2's", "tidewell-ka", "closing", "wall", 1.0),
               ("RTT keep-alive wall at most 0.9 x wget2's", "tidewell-ka", "keep-alive", "wall", 0.9)]
    for what, copier, setting, key, bound in targets:
        value = ratio(copier, setting, key)
        if value is None:
            if copier == "tidewell-ka" and setting == "keep-alive":
                lines.append(f"- {LABELS[copier]}, {what}: not measured (no --keep-alive in this build)")
            continue
        verdict = "pass" if value <= bound else "FAIL"
        lines.append(f"- {LABELS[copier]}, {what}: x{value:.2f}, {verdict}")
    return "\n".join(lines)


def git(*words):
    return subprocess.run(["git", "-C", HERE, *words], capture_output=True, text=True).stdout.strip() or "?"


def load_average():
    return ", ".join(f"{v:.2f}" for v in os.getloadavg())


def machine_line(cli):
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"Machine: {platform.machine()}, {os.cpu_count()} cores shared with other work, "
            f"{memory:.1f} GiB RAM, {platform.platform()}, Python {platform.python_version()}. "
            f"tidewell-cli {tool_version([cli, '--version'])}, a Release build of the tree at commit "
            f"{git('rev-parse', '--short', 'HEAD')} (whose src/ last changed in "
            f"{git('log', '-1', '--format=%h', '--', ':(top)src')}), wget2 {tool_version(['wget2', '--version'])}, "
            f"wget {tool_version(['wget', '--version'])}, nginx {nginx_version()}. Load average "
            f"(1, 5, 15 minutes) at the start: LOAD_START; at the end: LOAD_END.")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir")
    # The race serves each site from one folder and starts at index.html.
    parser.add_argument("--site", action="append",
                        choices=[s for s in real.SITES if s not in real.EXTENSIONLESS],
                        help="repeatable (default: python)")
    parser.add_argument("--rtt-ms", type=float, default=50, help="round trip added by the relays (default 50)")
    parser.add_argument("--runs", type=int, default=3, help="rounds; the tables give medians (default 3)")
    parser.add_argument("--loopback-runs", type=int, default=15,
                        help="rounds on loopback, where a copy is short (default 15)")
    parser.add_argument("--work", default="/dev/shm/tidewell-race", help="where the copies go (removed after each)")
    parser.add_argument("--results", default=os.path.join(HERE, "results-engine.md"))
    parser.add_argument("--no-results", action="store_true", help="print the tables only")
    args = parser.parse_args()

    cli = os.path.abspath(os.path.join(args.build_dir, "src", "app", "tidewell-cli"))
    if not os.access(cli, os.X_OK):
        sys.exit(f"no {cli}: build the target tidewell-cli first")
    for tool in ("wget2", "wget", "nginx"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: apt-get install {tool}")
    help_text = subprocess.run([cli, "--help"], capture_output=True, text=True).stdout
    keep_alive = "--keep-alive" in help_text
    sites = args.site or ["python"]
    command = ("bench/run_race.py BUILD_DIR " + " ".join(f"--site {s}" for s in sites)
               + f" --rtt-ms {args.rtt_ms:g} --runs {args.runs} --loopback-runs {args.loopback_runs}")
    intro = [SECTION, "", machine_line(cli), "",
             f"Command: `{command}` (copies into {args.work}). Each site is served by one nginx with "
             f"three servers on loopback: one keeping connections alive (keepalive_timeout 65, "
             f"keepalive_requests 100000) copied directly (loopback), and two behind "
             f"bench/latency_relay.py at {args.rtt_ms:g} ms a round trip, one closing after each answer "
             f"(keepalive_timeout 0; RTT close) and one keeping connections alive (RTT keep-alive). "
             f"A new connection through a relay costs two round trips before its first answer. "
             f"Commands: `tidewell-cli -q -c 24 --rate 0 --no-other-hosts --types LIST -o DIR URL` "
             f"(LIST: {real.TYPES}), the same with `--keep-alive`, "
             f"`wget2 -r -l inf -k -p --max-threads=24 --no-robots -q -P DIR URL`, and on loopback only "
             f"`wget -r -l inf -k -p -np -e robots=off -q -P DIR URL`. "
             f"Wall and CPU times (user and system of the copier, from wait4) are medians of "
             f"{args.runs} rounds, on loopback of {max(args.runs, args.loopback_runs)} (wget's of "
             f"{args.runs}); each round runs every copier once in each setting, the copiers' order "
             f"turning from round to round. tidewell-cli speaks HTTP/1.0 without --keep-alive, so the "
             f"server closes after each answer whichever server it asks.", ""]
    load_start = load_average()
    tables = []
    for site in sites:
        print(f"{site}:", file=sys.stderr, flush=True)
        title, results, missing = race_site(site, args, cli, keep_alive)
        tables.append(site_table(title, results, keep_alive, missing))
        print(tables[-1] + "\n", file=sys.stderr, flush=True)
    text = "\n".join(intro).replace("LOAD_START", load_start).replace("LOAD_END", load_average())
    section = text + "\n" + "\n\n".join(tables) + "\n"
    print(section, flush=True)
    if not args.no_results:
        write_section(args.results, SECTION, section)
        print(f"written to {args.results}", file=sys.stderr)


if __name__ == "__main__":
    main()
