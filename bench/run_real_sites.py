#!/usr/bin/env python3
"""Copies real documentation sites served by nginx with tidewell-cli, wget and wget2, and tells with
compare_copy.py how right each copy is. Prints one Markdown table per site.

Usage: bench/run_real_sites.py [--site NAME ...] [--tidewell PATH] [--tidewell-label TEXT]
                               [--no-wget] [--no-wget2] [--browser N] [--out DIR]

Sites (installed with apt-get):
  python     python3.11-doc, /usr/share/doc/python3.11/html (two scripts are symbolic links)
  handbook   debian-handbook, /usr/share/doc/debian-handbook/html/en-US
  sqlite     sqlite3-doc, /usr/share/doc/sqlite3
  generated  bench/gensite.py --modern (300 pages, 100 images), its links to www.site.test
             pointed at the local server, and two additions: a .jpeg image on the start page and
             a link written above the root (../../index.html) on section0/index.html
Each site is served from its own nginx (a private configuration in a temporary folder, 127.0.0.1
only, autoindex off, symbolic links followed, nginx's default 404 page), which is stopped after the
copies. The copies, each copier's output and compare_copy.py's JSON stay in --out
(default /tmp/bench-real/SITE/COPIER). tidewell-cli stores the host as 127.0.0.1+PORT, wget as
127.0.0.1:PORT, wget2 as 127.0.0.1. Both wget and wget2 run with -l inf (wget's default depth is 5).
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
TYPES = ".html,.htm,.css,.js,.png,.gif,.jpg,.jpeg,.svg,.ico,.woff,.woff2,.webp,.txt,.xml,.pdf,.zip"
COPY_TIMEOUT = 1800
SITES = {
    "python": ["/usr/share/doc/python3.11/html", "/usr/share/doc/python3.11-doc/html"],
    "handbook": ["/usr/share/doc/debian-handbook/html/en-US"],
    "sqlite": ["/usr/share/doc/sqlite3", "/usr/share/doc/sqlite3-doc"],
    "generated": [],
}
NGINX_CONF = """\
worker_processes 1;
daemon off;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log;
events {{ worker_connections 1024; }}
http {{
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    access_log {tmp}/access.log;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        index index.html;
        autoindex off;
        disable_symlinks off;
    }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def site_root(name, port, tmp):
    """The folder to serve for a site; the generated one is written into tmp first."""
    if name != "generated":
        for folder in SITES[name]:
            if os.path.isfile(os.path.join(folder, "index.html")):
                return folder
        sys.exit(f"{name}: no index.html in {SITES[name]} (apt-get install the package)")
    root = os.path.join(tmp, "generated")
    subprocess.run([sys.executable, os.path.join(HERE, "gensite.py"), root, "--modern",
                    "--pages", "300", "--images", "100"], check=True)
    # The site's absolute links name www.site.test; point them at this server.
    for folder, _, files in os.walk(root):
        for file in files:
            if file.endswith((".html", ".css")):
                path = os.path.join(folder, file)
                with open(path, "rb") as f:
                    data = f.read()
                with open(path, "wb") as f:
                    f.write(data.replace(b"www.site.test", f"127.0.0.1:{port}".encode()))
    with open(os.path.join(root, "images", "photo.jpeg"), "wb") as f:
        f.write(b"\xff\xd8\xff\xe0" + bytes(range(256)) * 8)
    for rel, addition in (("index.html", '<img src="images/photo.jpeg" alt="">'),
                          ("section0/index.html", '<a href="../../index.html">home, above the root</a>')):
        with open(os.path.join(root, rel), "a") as f:
            f.write(addition + "\n")
    return root


class Nginx:
    def __init__(self, root, port, tmp):
        conf = os.path.join(tmp, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(tmp=tmp, port=port, root=root))
        self.process = subprocess.Popen(["nginx", "-p", tmp, "-c", conf], stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        sys.exit(f"nginx did not start; see {tmp}/error.log")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def check_served(root, port):
    """Fetches the start page and up to three symbolically linked files, which must be served."""
    probes = ["index.html"]
    for folder, _, files in os.walk(root):
        probes += [os.path.relpath(os.path.join(folder, f), root) for f in files
                   if os.path.islink(os.path.join(folder, f)) and os.path.isfile(os.path.join(folder, f))]
    for rel in probes[:4]:
        url = f"http://127.0.0.1:{port}/{urllib.request.pathname2url(rel)}"
        with urllib.request.urlopen(url, timeout=10) as response:
            body = response.read()
        with open(os.path.join(root, rel), "rb") as f:
            if body != f.read():
                sys.exit(f"{url} is not served as it is on disk")
    print(f"  served: {', '.join(probes[:4])} fetched whole", file=sys.stderr)


def copy(name, command, out, host_folder):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    with open(out + ".log", "wb") as log:
        start = time.monotonic()
        try:
            status = subprocess.run(command, stdout=log, stderr=log, timeout=COPY_TIMEOUT,
                                    env={**os.environ, "http_proxy": "", "no_proxy": "*"}).returncode
        except subprocess.TimeoutExpired:
            status = "timeout"
        seconds = time.monotonic() - start
    print(f"  {name}: {seconds:.1f} s, exit {status}", file=sys.stderr)
    return {"seconds": seconds, "exit": status, "host dir": os.path.join(out, host_folder)}


def compare(root, run, browser, out):
    command = [sys.executable, os.path.join(HERE, "compare_copy.py"), root, run["host dir"], "--json",
               "--types", TYPES]
    if browser:
        command += ["--browser", str(browser)]
    if not os.path.isdir(run["host dir"]):
        return None
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    with open(out + ".json", "w") as f:
        f.write(result.stdout)
    return json.loads(result.stdout)


def cell(report, row):
    if report is None:
        return "no copy"
    files, links, browser = report["files"], report["links"], report.get("browser")
    values = {
        "files stored": files["stored"],
        "pages and stylesheets": files["pages and stylesheets"],
        "pages/stylesheets with other text": files["other text"],
        "other files byte-equal": files["equal"],
        "other files differing": files["differ"],
        "files the server does not have": files["not on server"],
        "leftover .tmp": files["leftover .tmp"],
        "referenced files lacking": files["lacking"],
        "browses %": links["browses %"],
        "local missing refs": links["local missing"],
        "online-site refs": links["online, site"],
        "browser failed / network requests": (
            "n/a" if not browser or "error" in browser
            else f"{browser['failed']} / {browser['network']} ({browser['pages']} pages)"),
    }
    return values[row]


ROWS = ("files stored", "pages and stylesheets", "pages/stylesheets with other text", "other files byte-equal",
        "other files differing", "files the server does not have", "leftover .tmp",
        "referenced files lacking", "browses %", "local missing refs", "online-site refs",
        "browser failed / network requests")


def table(site, root, served_files, columns):
    lines = [f"### {site}: {root} ({served_files} files served)", "",
             "| | " + " | ".join(label for label, _, _ in columns) + " |",
             "|---|" + "---|" * len(columns)]
    lines.append("| wall time | " + " | ".join(f"{run['seconds']:.1f} s" for _, run, _ in columns) + " |")
    lines.append("| exit status | " + " | ".join(str(run["exit"]) for _, run, _ in columns) + " |")
    for row in ROWS:
        lines.append(f"| {row} | " + " | ".join(str(cell(report, row)) for _, _, report in columns) + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--site", action="append", choices=sorted(SITES), help="repeatable (default: all)")
    parser.add_argument("--tidewell", help="a tidewell-cli binary to run besides wget and wget2")
    parser.add_argument("--tidewell-label", default="tidewell-cli", help="its column's heading")
    parser.add_argument("--no-wget", action="store_true")
    parser.add_argument("--no-wget2", action="store_true")
    parser.add_argument("--browser", type=int, default=20, metavar="N", help="pages opened per copy (0: none)")
    parser.add_argument("--out", default="/tmp/bench-real")
    args = parser.parse_args()

    tables = []
    for site in args.site or sorted(SITES):
        print(f"{site}:", file=sys.stderr)
        port = free_port()
        with tempfile.TemporaryDirectory(prefix=f"bench-real-{site}-") as tmp:
            os.chmod(tmp, 0o755)  # nginx's worker may run as another user
            root = site_root(site, port, tmp)
            served_files = sum(len(files) for _, _, files in os.walk(root, followlinks=True))
            url = f"http://127.0.0.1:{port}/index.html"
            copiers = []
            if args.tidewell:
                copiers.append((args.tidewell_label, "tidewell",
                                [os.path.abspath(args.tidewell), "-q", "-c", "24", "--rate", "0", "-o", "OUT",
                                 "--types", TYPES, url], f"127.0.0.1+{port}"))
            if not args.no_wget:
                copiers.append(("wget", "wget", ["wget", "-r", "-l", "inf", "-k", "-p", "-np", "-nv", "-e",
                                                 "robots=off", "-P", "OUT", url], f"127.0.0.1:{port}"))
            if not args.no_wget2:
                # wget2 1.99 follows no link but the page's requisites with -r -p unless a level is
                # given as inf (-l 5 is not enough); it names the host folder without the port.
                copiers.append(("wget2", "wget2", ["wget2", "-r", "-l", "inf", "-k", "-p", "--max-threads=24",
                                                   "-e", "robots=off", "-P", "OUT", url], "127.0.0.1"))
            server = Nginx(root, port, tmp)
            try:
                check_served(root, port)
                runs = []
                for label, name, command, host_folder in copiers:
                    out = os.path.join(args.out, site, name)
                    runs.append((label, out, copy(label, [out if w == "OUT" else w for w in command],
                                                  out, host_folder)))
            finally:
                server.stop()
            # Compared with the server stopped, so that the browser check cannot reach it.
            columns = [(label, run, compare(root, run, args.browser, out)) for label, out, run in runs]
            tables.append(table(site, root if site != "generated" else "gensite.py --modern --pages 300 --images 100",
                                served_files, columns))
            print(tables[-1] + "\n", flush=True)
    with open(os.path.join(args.out, "tables.md"), "w") as f:
        f.write("\n\n".join(tables) + "\n")


if __name__ == "__main__":
    main()
