#!/usr/bin/env python3
"""Copies two sites with tidewell-cli and with wget -r -k -p, and tells with check_links.py how much
of each copy browses from disk. Prints the figures as a Markdown table.

Usage: bench/run_link_bench.py BUILD_DIR [--pages N --images N --doc-package PKG --keep]

The sites: one written by gensite.py --modern, and the HTML documentation of a Debian package
built with Sphinx (default python-pytest-doc; install it with apt-get first). Both are served on
loopback under the name www.site.test: tidewell-cli reaches it with --connect-to, wget through
the same server used as its proxy, so that both see the site's own absolute links as links to
the site being copied.
"""
import argparse
import functools
import gzip
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SITE_HOST = "www.site.test"
# What the two sites hold; .txt for the page sources that Sphinx themes may link to.
TYPES = ".html,.htm,.css,.js,.gif,.png,.jpg,.svg,.woff2,.webp,.ico,.txt"
COLUMNS = ("local ok", "local missing", "online, site", "online, other")
EXAMPLES_SHOWN = 5


class SiteHandler(http.server.SimpleHTTPRequestHandler):
    """Serves one folder under any host name, and takes the absolute targets a proxy client sends."""

    def parse_request(self):
        if not super().parse_request():
            return False
        target = urllib.parse.urlsplit(self.path)
        if target.scheme:
            self.path = urllib.parse.urlunsplit(("", "", target.path or "/", target.query, ""))
        return True

    def log_message(self, format, *args):
        pass


class Server:
    def __init__(self, root):
        handler = functools.partial(SiteHandler, directory=root)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


def site_folder(out):
    """The one folder a copier wrote the site into below out (its logs lie beside it)."""
    folders = [name for name in os.listdir(out) if os.path.isdir(os.path.join(out, name))]
    if len(folders) != 1:
        sys.exit(f"expected one site folder in {out}, found {folders}")
    return os.path.join(out, folders[0])


def copy_with_tidewell(build, port, out):
    command = [os.path.join(build, "src", "app", "tidewell-cli"), "-q", "-c", "24", "-t", "20",
               "--types", TYPES, "--connect-to", f"{SITE_HOST}:127.0.0.1:{port}", "-o", out,
               f"http://{SITE_HOST}/"]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return site_folder(out)


def copy_with_wget(port, out):
    # Proxy settings of the caller's environment would send wget elsewhere.
    environment = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    command = ["wget", "-q", "-r", "-l", "inf", "-np", "-k", "-p", "-e", "robots=off",
               "-e", "use_proxy=on", "-e", f"http_proxy=http://127.0.0.1:{port}/", "-P", out,
               f"http://{SITE_HOST}/"]
    # wget ends with 8 when any fetch got an error status; the copy is still what it made.
    code = subprocess.run(command, env=environment).returncode
    if code not in (0, 8):
        sys.exit(f"wget failed with {code}")
    return site_folder(out)


def check(folder):
    result = subprocess.run([sys.executable, os.path.join(HERE, "check_links.py"), folder,
                             "--site-host", SITE_HOST, "--json"],
                            check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def prepare_documentation(package, destination):
    """A served copy of the package's HTML folder, as its Sphinx build wrote it.

    Debian links the bundled scripts to shared packages and compresses large pages; the copy holds
    the linked files themselves and the pages unpacked, so that the server answers every page the
    build links to."""
    source = f"/usr/share/doc/{package}/html"
    if not os.path.isdir(source):
        sys.exit(f"{source} is missing: apt-get install {package}")
    shutil.copytree(source, destination, symlinks=False)
    for folder, _, files in os.walk(destination):
        for name in files:
            if name.endswith(".html.gz"):
                packed = os.path.join(folder, name)
                with gzip.open(packed) as f, open(packed[: -len(".gz")], "wb") as page:
                    shutil.copyfileobj(f, page)
                os.remove(packed)
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                             capture_output=True, text=True).stdout
    return f"{package} {version}".strip(), source


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--pages", type=int, default=300)
    parser.add_argument("--images", type=int, default=100)
    parser.add_argument("--doc-package", default="python-pytest-doc")
    parser.add_argument("--keep", action="store_true", help="keep the sites and copies, and say where")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tidewell-links-")

    modern = os.path.join(work, "modern")
    subprocess.run([sys.executable, os.path.join(HERE, "gensite.py"), modern, "--modern",
                    "--pages", str(args.pages), "--images", str(args.images)], check=True)
    documentation = os.path.join(work, "documentation")
    doc_name, doc_source = prepare_documentation(args.doc_package, documentation)
    sites = [(f"gensite.py --modern, {args.pages} pages, {args.images} images", "modern", modern),
             (f"{doc_name} (Sphinx), from {doc_source}", "documentation", documentation)]

    rows = []
    examples = []
    for label, name, root in sites:
        server = Server(root)
        try:
            copies = [("files as served, opened from disk", root),
                      ("tidewell-cli -c 24", copy_with_tidewell(args.build, server.port,
                                                                os.path.join(work, f"{name}-tidewell"))),
                      ("wget -r -k -p", copy_with_wget(server.port, os.path.join(work, f"{name}-wget")))]
        finally:
            server.stop()
        for copier, folder in copies:
            figures = check(folder)
            rows.append((label, copier, figures))
            examples.append((label, copier, figures["examples"]))

    lines = ["| site | copier | pages | references | local ok | local missing | online, site | "
             "online, other | browses % |",
             "|---|---|---|---|---|---|---|---|---|"]
    for label, copier, figures in rows:
        browses = figures["browses %"]
        lines.append(f"| {label} | {copier} | {figures['pages']} | {figures['references']} | "
                     + " | ".join(str(figures[column]) for column in COLUMNS)
                     + f" | {'n/a' if browses is None else f'{browses:.1f}'} |")
    lines.append("")
    for label, copier, found in examples:
        for verdict in ("local missing", "online, site"):
            for example in found[verdict][:EXAMPLES_SHOWN]:
                lines.append(f"- {label}, {copier}, {verdict}: {example['file']}: "
                             f"{example['kind']}=\"{example['value']}\"")
    print("\n".join(lines))
    if args.keep:
        print(f"\nSites and copies kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
