#!/usr/bin/env python3
"""Races tidewell-cli against wget2 on today's wire: documentation sites served by nginx over TLS
with HTTP/2 and gzip, on loopback and through bench/latency_relay.py, with and without a line of a
limited rate.

Usage: bench/run_wire_race.py TIDEWELL_CLI [--site NAME ...] [--build-note TEXT] [--rtt-ms 50]
                              [--rate-mbit 40] [--runs N] [--loopback-runs N] [--copy-timeout S]
                              [--work DIR] [--results FILE | --no-results]

Sites are those of bench/run_real_sites.py served from a package's folder (default: python, from
python3.11-doc, and cmake, from cmake-doc; apt-get install them). One nginx serves the site over
TLS with a certificate for 127.0.0.1 made for the run with openssl, ALPN "h2" (listen ... ssl
http2), connections kept alive (keepalive_timeout 65, keepalive_requests 100000, so that no copy
meets the end of a connection), "gzip on" with gzip_types for style sheets, scripts, SVG, JSON and
plain text (nginx compresses HTML anyway), and an access log of $connection, $bytes_sent (header
and body as sent, compressed where it was) and $server_protocol for every request. Settings:
  loopback  the copier asks nginx directly: wall and CPU time
  line      through a relay adding --rtt-ms to every round trip, its answers' way one line of
            --rate-mbit that the copy's connections share: wall time
  rtt       through a relay adding --rtt-ms, no rate limit: wall time
Copiers, each copy into a new folder under --work, in rounds whose order of copiers turns:
  tidewell-cli -q -c 24 --rate 0 --keep-alive --no-other-hosts --ca-certificate CERT -o DIR URL
  wget2 -r -l inf -k -p --max-threads=24 --no-robots -q --ca-certificate=CERT -P DIR URL
(wget2 asks for HTTP/2 by default, --http2, and for gzip, deflate, brotli and more by default,
--compression; the table shows what nginx saw.) For each copier the tables give the median wall
time of each setting, the median CPU time on loopback, the files stored, the bytes nginx sent
(the sum of $bytes_sent, median of the copies), the protocols and answers nginx logged, the
connections a copy opened (distinct $connection, median) and, through the relay without a rate
limit, the requests nginx received a round trip (first request to last), with the ratios
tidewell-cli/wget2. A copy that ends by a signal (a crash, or killed past --copy-timeout) is left
out of the table and told of under it. With the defaults the race takes about 5 minutes.
They are printed and written into --results (bench/results-engine.md) as the section "Today's
wire: HTTP/2 and compression against Wget2".
"""
import argparse
import collections
import datetime
import hashlib
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_race as race  # noqa: E402  (the relay, a timed copy, the files copied, versions)
import run_real_sites as real  # noqa: E402  (the sites, nginx and the free ports)

from results_file import write_section  # noqa: E402

SECTION = "## Today's wire: HTTP/2 and compression against Wget2"
COPIERS = ("tidewell", "wget2")
LABELS = {"tidewell": "tidewell-cli", "wget2": "wget2"}
SETTINGS = ("loopback", "line", "rtt")
SETTING_NAMES = {"loopback": "loopback", "line": "line", "rtt": "no rate limit"}
# Requests nginx ends after the copier has (those of a copier that died) are the copy's: the log is
# read that long after it.
SETTLE_SECONDS = 0.2
GZIP_TYPES = "text/css application/javascript text/javascript image/svg+xml application/json text/plain"
HTTP_CONF = """
    log_format wire '$msec $connection "$request" $status $bytes_sent $server_protocol';
    ssl_certificate {cert};
    ssl_certificate_key {key};
    gzip on;
    gzip_types {types};"""
# The plain port of the server, from real.Nginx, only tells that nginx is up and checks the site.
SERVER_CONF = "\n        listen 127.0.0.1:{port} ssl http2;\n        access_log {log} wire;" + race.KEEPALIVE
LOG_LINE = re.compile(r'^(\S+) (\d+) "\S+ (\S+)[^"]*" (\d+) (\d+) (\S+)$')


def certificate(tmp):
    """A self-signed certificate for 127.0.0.1 and its key, in tmp."""
    cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    return cert, key


def logged(log, offset):
    """What nginx logged after offset: bytes sent, protocols and statuses counted, connections, the
    answers other than 200 ("404 /path"), and the times of the first and the last request."""
    sent, protocols, statuses, connections, others = 0, collections.Counter(), collections.Counter(), set(), []
    times = []
    with open(log, errors="replace") as f:
        f.seek(offset)
        for line in f:
            match = LOG_LINE.match(line.strip())
            if match:
                at, connection, path, status, size, protocol = match.groups()
                times.append(float(at))
                sent += int(size)
                protocols[protocol] += 1
                statuses[status] += 1
                connections.add(connection)
                if status != "200":
                    others.append(f"{status} {path}")
    return {"bytes": sent, "protocols": protocols, "statuses": statuses, "connections": len(connections),
            "others": others, "first": min(times, default=0), "last": max(times, default=0)}


def commands(cli, cert, url, out):
    return {
        "tidewell": [cli, "-q", "-c", "24", "--rate", "0", "--keep-alive", "--no-other-hosts",
                     "--ca-certificate", cert, "-o", out, url],
        "wget2": ["wget2", "-r", "-l", "inf", "-k", "-p", "--max-threads=24", "--no-robots", "-q",
                  f"--ca-certificate={cert}", "-P", out, url],
    }


def race_site(site, args, cli):
    """Runs the rounds on one site; returns its title and, per setting and copier, the copies."""
    work = os.path.join(args.work, site)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    root, _ = real.site_root(site, None, None, None)
    start = real.START.get(site, "")
    results = {s: {c: [] for c in COPIERS} for s in SETTINGS}
    with tempfile.TemporaryDirectory(prefix=f"bench-wire-{site}-") as tmp:
        os.chmod(tmp, 0o755)  # nginx's worker may run as another user
        cert, key = certificate(tmp)
        plain_port, tls_port, log = real.free_port(), real.free_port(), os.path.join(tmp, "wire.log")
        server = real.Nginx([("127.0.0.1", plain_port, root, SERVER_CONF.format(port=tls_port, log=log))], tmp,
                            HTTP_CONF.format(cert=cert, key=key, types=GZIP_TYPES))
        relays = {}
        try:
            real.check_served(root, plain_port, start or "index.html")
            relays = {"line": race.Relay(tls_port, args.rtt_ms, args.rate_mbit),
                      "rtt": race.Relay(tls_port, args.rtt_ms)}
            ports = {"loopback": tls_port, **{s: relay.port for s, relay in relays.items()}}
            for round_index in range(max(args.runs, args.loopback_runs)):
                for setting in SETTINGS:
                    if setting != "loopback" and round_index >= args.runs:
                        continue
                    url = f"https://127.0.0.1:{ports[setting]}/{start}"
                    turn = round_index % len(COPIERS)
                    for copier in COPIERS[turn:] + COPIERS[:turn]:
                        out = os.path.join(work, f"{setting}-{copier}")
                        offset = os.path.getsize(log) if os.path.exists(log) else 0
                        wall, cpu, status = race.run_copy(commands(cli, cert, url, out)[copier], out,
                                                          args.copy_timeout)
                        time.sleep(SETTLE_SECONDS + (setting != "loopback") * 2 * args.rtt_ms / 1000)
                        run = {"wall": wall, "cpu": cpu, "exit": status, "files": race.count_copied(out),
                               "round": round_index + 1, "setting": setting, "copier": copier, **logged(log, offset)}
                        if setting != "loopback" and run["last"] > run["first"]:
                            round_trips = (run["last"] - run["first"]) * 1000 / args.rtt_ms
                            run["per_rtt"] = sum(run["statuses"].values()) / round_trips
                        results[setting][copier].append(run)
                        print(f"  round {round_index + 1} {setting:8} {LABELS[copier]:12} {wall:6.2f} s wall "
                              f"{cpu:6.2f} s CPU exit {status} files {run['files']} bytes {run['bytes']} "
                              f"{dict(run['protocols'])} connections {run['connections']}",
                              file=sys.stderr, flush=True)
                        shutil.rmtree(out, ignore_errors=True)
        finally:
            server.stop()
            for setting, relay in relays.items():
                print(f"  relay for {setting}: {relay.stop()}", file=sys.stderr)
    return f"{site}: {root}/{start} ({real.count_files(root)} files served)", results


def median(runs, key):
    return statistics.median(r[key] for r in runs) if runs else None


def seconds(value):
    return "—" if value is None else f"{value * 1000:.0f} ms" if value < 1 else f"{value:.2f} s"


def counted(runs, key):
    """What the copies logged under key, added up: 'HTTP/2.0 1660' or '200 1652, 404 3'."""
    total = collections.Counter()
    for run in runs:
        total.update(run[key])
    return ", ".join(f"{name} {count}" for name, count in sorted(total.items())) or "—"


def distinct(runs, key):
    values = []
    for run in runs:
        if run[key] not in values:
            values.append(run[key])
    return "/".join(str(v) for v in values) or "—"


def site_table(title, results, args, timeout):
    """The site's table, from the copies that ended by themselves; those ended by a signal (a crash,
    or killed past the timeout) are told of below it."""
    crashed = ended_by_signal(results, timeout)
    results = {s: {c: [r for r in results[s][c] if r["exit"] >= 0] for c in COPIERS} for s in SETTINGS}
    every = {c: [r for s in SETTINGS for r in results[s][c]] for c in COPIERS}
    line = f"{args.rtt_ms:g} ms, {args.rate_mbit:g} Mbit/s shared, wall"
    rows = [("loopback wall", "loopback", "wall", seconds), ("loopback CPU", "loopback", "cpu", seconds),
            (line, "line", "wall", seconds), (f"{args.rtt_ms:g} ms, no rate limit, wall", "rtt", "wall", seconds),
            (f"requests a round trip at the server, {args.rtt_ms:g} ms, no rate limit", "rtt", "per_rtt",
             lambda v: f"{v:.1f}"),
            ("bytes sent by nginx (sum of $bytes_sent)", None, "bytes", lambda v: f"{v / 1e6:.2f} MB"),
            ("connections a copy opened", None, "connections", lambda v: f"{v:g}")]
    lines = [f"### {title}", "", "| | " + " | ".join(LABELS[c] for c in COPIERS) + " | tidewell-cli/wget2 |",
             "|---|" + "---|" * (len(COPIERS) + 1)]
    for name, setting, key, shown in rows:
        values = [median([r for r in (results[setting][c] if setting else every[c]) if key in r], key)
                  for c in COPIERS]
        ratio = f"x{values[0] / values[1]:.2f}" if None not in values and values[1] else "—"
        lines.append(f"| {name} | " + " | ".join("—" if v is None else shown(v) for v in values) + f" | {ratio} |")
    for name, show in (("files stored", lambda c: distinct(every[c], "files")),
                       ("protocol nginx saw (requests, all copies)", lambda c: counted(every[c], "protocols")),
                       ("answers (status, requests, all copies)", lambda c: counted(every[c], "statuses")),
                       ("exit status", lambda c: distinct(every[c], "exit"))):
        lines.append(f"| {name} | " + " | ".join(show(c) for c in COPIERS) + " | |")
    others = {c: sorted({answer for r in every[c] for answer in r["others"]}) for c in COPIERS}
    if any(others.values()):
        lines += ["", "Answers other than 200: " + "; ".join(
            f"{LABELS[c]}: " + (", ".join(f"`{a}`" for a in others[c][:10]) or "none")
            + (" and more" if len(others[c]) > 10 else "") for c in COPIERS) + "."]
    if crashed:
        lines += [""] + [f"- {sentence}" for sentence in crashed]
    return "\n".join(lines)


def ended_by_signal(results, timeout):
    """A sentence for each copy ended by a signal, or none."""
    return [f"{LABELS[r['copier']]}, round {r['round']}, {SETTING_NAMES[r['setting']]}: ended by signal "
            f"{-r['exit']}" + (f" (killed past {timeout:g} s)" if r["wall"] >= timeout else "")
            + f" after {r['wall']:.2f} s with {r['files']} files stored; left out of the table."
            for s in SETTINGS for c in COPIERS for r in results[s][c] if r["exit"] < 0]


def build_line(cli, note):
    with open(cli, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:12]
    built = datetime.datetime.fromtimestamp(os.path.getmtime(cli), datetime.timezone.utc)
    return (f"tidewell-cli {race.tool_version([cli, '--version'])}: {note or cli} (the binary built "
            f"{built:%Y-%m-%d %H:%M} UTC, SHA-256 {digest}...)")


def machine_line():
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    openssl = subprocess.run(["openssl", "version"], capture_output=True, text=True).stdout.split()[1]
    return (f"Machine: {platform.machine()}, {os.cpu_count()} cores shared with other work, {memory:.1f} GiB "
            f"RAM, {platform.platform()}, Python {platform.python_version()}, wget2 "
            f"{race.tool_version(['wget2', '--version'])}, nginx {race.nginx_version()} with OpenSSL {openssl}. "
            f"Load average (1, 5, 15 minutes) at the start: LOAD_START; at the end: LOAD_END.")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tidewell_cli", help="the tidewell-cli binary (copy it somewhere stable first)")
    parser.add_argument("--site", action="append", choices=[s for s in real.SITES if real.SITES[s]],
                        help="repeatable (default: python and cmake)")
    parser.add_argument("--build-note", help="which build the binary is, for the results")
    parser.add_argument("--rtt-ms", type=float, default=50, help="round trip added by the relays (default 50)")
    parser.add_argument("--rate-mbit", type=float, default=40, help="the shared line's rate (default 40)")
    parser.add_argument("--runs", type=int, default=5, help="rounds through the relays (default 5)")
    parser.add_argument("--loopback-runs", type=int, default=7, help="rounds on loopback (default 7)")
    parser.add_argument("--copy-timeout", type=float, default=120, help="seconds before a copy is killed")
    parser.add_argument("--work", default="/dev/shm/tidewell-wire", help="where the copies go (removed after each)")
    parser.add_argument("--results", default=os.path.join(HERE, "results-engine.md"))
    parser.add_argument("--no-results", action="store_true", help="print the tables only")
    args = parser.parse_args()

    cli = os.path.abspath(args.tidewell_cli)
    if not os.access(cli, os.X_OK):
        sys.exit(f"no {cli}")
    for tool in ("wget2", "nginx", "openssl"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: apt-get install {tool}")
    sites = args.site or ["python", "cmake"]
    command = ("bench/run_wire_race.py TIDEWELL_CLI " + " ".join(f"--site {s}" for s in sites)
               + f" --rtt-ms {args.rtt_ms:g} --rate-mbit {args.rate_mbit:g} --runs {args.runs}"
               + f" --loopback-runs {args.loopback_runs}")
    commands_text = commands("tidewell-cli", "CERT", "URL", "DIR")
    intro = [SECTION, "", machine_line(), build_line(cli, args.build_note) + ".", "",
             f"Command: `{command}` (copies into {args.work}). Each site is served by one nginx over TLS "
             f"(a self-signed certificate for 127.0.0.1, ALPN h2), keeping connections alive (keepalive_timeout "
             f"65, keepalive_requests 100000), with `gzip on` and gzip_types {GZIP_TYPES} (HTML is "
             f"compressed anyway), logging $bytes_sent and $server_protocol of every request. Settings: "
             f"loopback (the copier asks nginx directly), through bench/latency_relay.py at {args.rtt_ms:g} ms "
             f"a round trip with the answers' way one line of {args.rate_mbit:g} Mbit/s that the copy's "
             f"connections share, and at {args.rtt_ms:g} ms without a rate limit; a new connection through a "
             f"relay costs two round trips before its first byte, and the TLS handshake more. Commands: `"
             + " ".join(commands_text["tidewell"]) + "` and `" + " ".join(commands_text["wget2"])
             + f"` (wget2 asks for HTTP/2 and compression by default). Times are medians of {args.runs} "
             f"rounds, on loopback of {max(args.runs, args.loopback_runs)}, each round every copier once in "
             f"each setting, their order turning; CPU is user and system time of the copier (wait4). Bytes "
             f"are those nginx logged as sent for the copy's requests (headers and bodies, compressed where "
             f"they were; TLS records not counted), the median of the copies. The relay holds at most 1 MiB of "
             f"a connection's answers, as a window would, so one connection carries at most about 1 MiB a "
             f"half round trip (some 40 MB/s at 50 ms) without a rate limit. A copy that ends by a signal (a "
             f"crash, or killed past {args.copy_timeout:g} s) is left out of the table and told of under it.", ""]
    load_start = race.load_average()
    tables = []
    for site in sites:
        print(f"{site}:", file=sys.stderr, flush=True)
        title, results = race_site(site, args, cli)
        tables.append(site_table(title, results, args, args.copy_timeout))
        print(tables[-1] + "\n", file=sys.stderr, flush=True)
    load_end = race.load_average()
    text = "\n".join(intro).replace("LOAD_START", load_start).replace("LOAD_END", load_end)
    section = text + "\n" + "\n\n".join(tables) + "\n"
    print(section, flush=True)
    if not args.no_results:
        write_section(args.results, SECTION, section)
        print(f"written to {args.results}", file=sys.stderr)


if __name__ == "__main__":
    main()
