#!/usr/bin/env python3
"""Copies real documentation sites served by nginx with tidewell-cli, wget and wget2, and tells with
compare_copy.py how right each copy is. Prints one Markdown table per site.

Usage: bench/run_real_sites.py [--site NAME ...] [--tidewell PATH] [--tidewell-label TEXT]
                               [--keep-alive] [--no-wget] [--no-wget2] [--browser N] [--out DIR]
                               [--defaults [--results-label TEXT]]

Sites (installed with apt-get):
  python     python3.11-doc, /usr/share/doc/python3.11/html (two scripts are symbolic links)
  handbook   debian-handbook, /usr/share/doc/debian-handbook/html/en-US
  sqlite     sqlite3-doc, /usr/share/doc/sqlite3
  cmake      cmake-doc, /usr/share/doc/cmake-data/html (Sphinx, the CMake theme)
  flask      python-flask-doc, /usr/share/doc/python-flask-doc/html (Sphinx, the Pallets theme)
  doxygen    doxygen-doc, /usr/share/doc/doxygen/html (Doxygen's own manual, made by Doxygen)
  glib       libglib2.0-doc, /usr/share/gtk-doc/html/glib (gtk-doc; its pages link to index
             pages the package does not hold)
  git        git-doc, /usr/share/doc/git-doc (AsciiDoc pages beside their .txt sources)
  rustdoc    cargo-doc, /usr/share/doc/cargo/doc (rustdoc: the crates cargo builds with, syn the
             biggest; the copy starts at syn/index.html, as the folder has no index.html; its
             pages' sidebars and search are filled by scripts)
  mkdocs     mkdocs-doc, /usr/share/doc/mkdocs/html (MkDocs' own manual in its own theme; its
             jQuery, Bootstrap and Font Awesome are symbolic links into other packages, and it
             names highlight.js as file:///usr/share/javascript/...)
  jekyll     bench/site-jekyll built with Jekyll and its Minima theme (jekyll, jekyll-theme-minima,
             ruby-jekyll-feed) into the temporary folder, with 40 posts in two categories written
             first, each with its own PNG image. Posts are linked root-relative and without an
             extension (/guide/2024/02/02/post-1), answered by nginx with post-1.html (try_files);
             the about page is a folder (/about/).
  generated  bench/gensite.py --modern (300 pages, 100 images), its links to www.site.test
             pointed at the local server, and two additions: a .jpeg image on the start page and
             a link written above the root (../../index.html) on section0/index.html
  modern     bench/site-mkdocs built with MkDocs and the Material theme (mkdocs, mkdocs-material)
             into the temporary folder, then post-processed (modern_site below): most stylesheets,
             scripts, images and a font move to a second host, 127.0.0.2, which the pages name
             with absolute URLs; some assets get a version query (extra.css?v=3,
             extra.js?ver=6.4.2); the pages below the home page link root-relative (/guide/intro/),
             and a few links have neither extension nor trailing slash (/about, guide/intro,
             /blog/2024/hello, whose page is moved to blog/2024/hello.html), which nginx answers
             with the page itself (try_files $uri $uri/index.html $uri.html =404: $uri/ in place
             of $uri/index.html would answer /about with a redirect to /about/).
             The about page links to http://127.0.0.2:PORT2/page.html, which a copier should
             not follow. The copy starts at http://127.0.0.1:PORT/; wget and wget2 may span to
             127.0.0.2 (-H -D); compare_copy.py compares the copy's folder for 127.0.0.2 with
             the second root (--other-host).
Each site is served from its own nginx (a private configuration in a temporary folder, loopback
only, autoindex off, symbolic links followed, nginx's default 404 page), which is stopped after the
copies. The copies, each copier's output and compare_copy.py's JSON stay in --out
(default /tmp/bench-real/SITE/COPIER). tidewell-cli stores the host as 127.0.0.1+PORT, wget as
127.0.0.1:PORT, wget2 as 127.0.0.1; the second host of the modern site likewise. Both wget and
wget2 run with -l inf (wget's default depth is 5). For the modern site, the copy of tidewell-cli's
home page (index.html) is also shot in headless Chromium (SITE/tidewell-page.png), with the
servers stopped.

With --defaults, the copy a new user gets: tidewell-cli with nothing but -o DIR URL and wget2 with
-r -k -p (see copy_by_default.py), without wget; one table per site of the files stored and what 20
pages opened from disk in Chromium miss, and with --results-label, the tables are written into
bench/results.md, section "## A complete copy by default", under "### TEXT" (a run with another
label keeps them). Needs --tidewell.
"""
import argparse
import contextlib
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import zlib
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import copy_by_default  # noqa: E402
import gensite  # noqa: E402
TYPES = ".html,.htm,.css,.js,.png,.gif,.jpg,.jpeg,.svg,.ico,.woff,.woff2,.webp,.txt,.xml,.pdf,.zip"
COPY_TIMEOUT = 1800
SITES = {
    "python": ["/usr/share/doc/python3.11/html", "/usr/share/doc/python3.11-doc/html"],
    "handbook": ["/usr/share/doc/debian-handbook/html/en-US"],
    "sqlite": ["/usr/share/doc/sqlite3", "/usr/share/doc/sqlite3-doc"],
    "cmake": ["/usr/share/doc/cmake-data/html"],
    "flask": ["/usr/share/doc/python-flask-doc/html"],
    "doxygen": ["/usr/share/doc/doxygen/html"],
    "glib": ["/usr/share/gtk-doc/html/glib"],
    "git": ["/usr/share/doc/git-doc"],
    "rustdoc": ["/usr/share/doc/cargo/doc"],
    "mkdocs": ["/usr/share/doc/mkdocs/html"],
    "generated": [],
    "modern": [],
    "jekyll": [],
}
# The start page of a site whose folder has no index.html.
START = {"rustdoc": "syn/index.html"}
MKDOCS_PROJECT = os.path.join(HERE, "site-mkdocs")
JEKYLL_PROJECT = os.path.join(HERE, "site-jekyll")
JEKYLL_POSTS = 40
# A web font for the modern site, from the mkdocs package itself.
MKDOCS_FONT = "/usr/lib/python3/dist-packages/mkdocs/themes/readthedocs/css/fonts/Roboto-Slab-Regular.woff2"
ASSET_ADDRESS = "127.0.0.2"
# What the modern site serves from its second host: paths of the built site, by prefix.
MOVED_ASSETS = ("assets/stylesheets/", "assets/javascripts/bundle.", "css/", "js/", "fonts/",
                "images/boat", "images/favicon.png", "images/logo.svg", "images/waves.png")
# Version queries the post-processing adds where a page names these files.
VERSIONS = {"css/extra.css": "v=3", "js/extra.js": "ver=6.4.2", "images/diagram.png": "v=2",
            "images/logo.svg": "v=20240105"}
# A page moved out of its folder, page.html as some generators write them, and linked without
# extension and slash.
FLATTENED = {"blog/2024/hello/index.html": "blog/2024/hello.html"}
PAGE_REFERENCE = re.compile(r'\b(href|src|srcset)="([^"]*)"')
PARTNER_PAGE = "<!DOCTYPE html>\n<title>Price list</title>\n<h1>Price list</h1>\n<p>Rope, by the metre.</p>\n"
NGINX_CONF = """\
worker_processes 1;
daemon off;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log;
events {{ worker_connections 1024; }}
http {{
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    log_format timed '$msec "$request" $status $body_bytes_sent';
    access_log {tmp}/access.log timed;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;{http_extra}
{servers}}}
"""
SERVER_CONF = """\
    server {{
        listen {address}:{port};
        root {root};
        index index.html;
        autoindex off;
        disable_symlinks off;{extra}
    }}
"""
# Pages without an extension: /about answers about/index.html or about.html itself, no redirect.
TRY_FILES = "\n        location / { try_files $uri $uri/index.html $uri.html =404; }"
# Sites whose pages link without an extension: served with TRY_FILES and copied from "/".
EXTENSIONLESS = ("modern", "jekyll")


def free_port(address="127.0.0.1"):
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def site_root(name, port, tmp, asset_port):
    """The folder to serve for a site, and the second host's (or None); the generated, the modern
    and the Jekyll one are written into tmp first."""
    if name == "modern":
        return modern_site(tmp, asset_port)
    if name == "jekyll":
        return jekyll_site(tmp), None
    if name != "generated":
        for folder in SITES[name]:
            if os.path.isfile(os.path.join(folder, START.get(name, "index.html"))):
                return folder, None
        sys.exit(f"{name}: no {START.get(name, 'index.html')} in {SITES[name]} (apt-get install the package)")
    root = os.path.join(tmp, "generated")
    gensite.write_served_modern_site(root, f"127.0.0.1:{port}", 300, 100)
    with open(os.path.join(root, "images", "photo.jpeg"), "wb") as f:
        f.write(b"\xff\xd8\xff\xe0" + bytes(range(256)) * 8)
    for rel, addition in (("index.html", '<img src="images/photo.jpeg" alt="">'),
                          ("section0/index.html", '<a href="../../index.html">home, above the root</a>')):
        with open(os.path.join(root, rel), "a") as f:
            f.write(addition + "\n")
    return root, None


def modern_site(tmp, asset_port):
    """Builds bench/site-mkdocs into tmp/modern and moves MOVED_ASSETS to tmp/assets, the second
    host's root. Every page's references to moved files become http://127.0.0.2:PORT2/... URLs,
    those below the home page root-relative (/guide/intro/, as many generators write them, so that
    a page answers at /guide/intro too), and VERSIONS add their query. ASSETS_HOST in the pages
    becomes the second host, whose page.html one page links to (a copier should not follow it)."""
    root, assets = os.path.join(tmp, "modern"), os.path.join(tmp, "assets")
    if not os.path.isfile(MKDOCS_FONT) or shutil.which("mkdocs") is None:
        sys.exit("modern: apt-get install mkdocs mkdocs-material")
    build = subprocess.run(["mkdocs", "build", "-q", "-f", os.path.join(MKDOCS_PROJECT, "mkdocs.yml"),
                            "-d", root], capture_output=True, text=True)
    if build.returncode != 0:
        sys.exit(f"mkdocs build failed:\n{build.stderr}")
    os.makedirs(os.path.join(root, "fonts"))
    shutil.copy(MKDOCS_FONT, os.path.join(root, "fonts", "RobotoSlab-Regular.woff2"))
    moved = set()
    for folder, _, files in os.walk(root):
        for file in files:
            rel = os.path.relpath(os.path.join(folder, file), root)
            if rel.startswith(MOVED_ASSETS):
                os.makedirs(os.path.dirname(os.path.join(assets, rel)), exist_ok=True)
                shutil.move(os.path.join(root, rel), os.path.join(assets, rel))
                moved.add(rel)
    with open(os.path.join(assets, "page.html"), "w") as f:
        f.write(PARTNER_PAGE)
    flattened = {"/" + f[: -len("index.html")]: "/" + p[: -len(".html")] for f, p in FLATTENED.items()}
    second_host = f"{ASSET_ADDRESS}:{asset_port}"

    def rewrite(page, value):
        """One reference of the page at URL path page, as the post-processed site writes it."""
        if value.startswith(("#", "//")) or re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", value):
            return value
        parts = urllib.parse.urlsplit(urllib.parse.urljoin(page, value))
        rel = parts.path.lstrip("/")
        query = parts.query or VERSIONS.get(rel, "")
        tail = ("?" + query if query else "") + ("#" + parts.fragment if parts.fragment else "")
        if rel in moved:
            return f"http://{second_host}/{rel}{tail}"
        path = flattened.get(parts.path, parts.path)
        if page == "/" and not value.startswith("/"):  # the home page keeps its relative links
            return path[1:] + tail if path != parts.path else value.split("?", 1)[0].split("#", 1)[0] + tail
        return path + tail

    def attribute(page, match):
        name, value = match.groups()
        if name == "srcset":
            candidates = [c.split() for c in value.split(",") if c.strip()]
            value = ", ".join(" ".join([rewrite(page, c[0])] + c[1:]) for c in candidates)
        else:
            value = rewrite(page, value)
        return f'{name}="{value}"'

    for folder, _, files in os.walk(root):
        for file in files:
            path = os.path.join(folder, file)
            if not file.endswith(".html"):
                continue
            with open(path, encoding="utf-8") as f:
                text = f.read().replace("ASSETS_HOST", second_host)
            rel = os.path.relpath(path, root)
            page = "/" + (rel[: -len("index.html")] if rel.endswith("index.html") else rel)
            text = PAGE_REFERENCE.sub(lambda m: attribute(page, m), text)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
    for folder_page, page in FLATTENED.items():  # after the rewriting, which reads the built layout
        os.rename(os.path.join(root, folder_page), os.path.join(root, page))
        os.rmdir(os.path.dirname(os.path.join(root, folder_page)))
    return root, assets


def png_image(seed):
    """A small valid PNG of its own for each seed: 16 x 16 pixels, grey levels from the seed."""
    def chunk(kind, data):
        return (len(data).to_bytes(4, "big") + kind + data
                + zlib.crc32(kind + data).to_bytes(4, "big"))
    rows = b"".join(b"\0" + bytes((seed * 7 + x * 13 + y * 17) % 256 for x in range(16)) for y in range(16))
    header = (16).to_bytes(4, "big") * 2 + bytes((8, 0, 0, 0, 0))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def jekyll_site(tmp):
    """Writes JEKYLL_POSTS posts into a copy of bench/site-jekyll and builds it into tmp/jekyll."""
    if shutil.which("jekyll") is None:
        sys.exit("jekyll: apt-get install jekyll jekyll-theme-minima ruby-jekyll-feed")
    project, root = os.path.join(tmp, "jekyll-project"), os.path.join(tmp, "jekyll")
    shutil.copytree(JEKYLL_PROJECT, project)
    os.makedirs(os.path.join(project, "_posts"))
    os.makedirs(os.path.join(project, "assets", "img"))
    for n in range(1, JEKYLL_POSTS + 1):
        with open(os.path.join(project, "assets", "img", f"chart-{n}.png"), "wb") as f:
            f.write(png_image(n))
        category = "release notes" if n % 3 == 0 else "guide"
        date = f"2024-{n % 12 + 1:02d}-{n % 27 + 1:02d}"
        with open(os.path.join(project, "_posts", f"{date}-post-{n}.markdown"), "w") as f:
            f.write(f"""---
layout: post
title: "Post {n}: tides & ropes"
categories: {category}
---
Post {n}. See [the first post]({{% post_url 2024-02-02-post-1 %}}), the
[about page]({{{{ "/about/" | relative_url }}}}) and this chart:

![Chart {n}]({{{{ "/assets/img/chart-{n}.png" | relative_url }}}})
""")
    build = subprocess.run(["jekyll", "build", "-q", "-s", project, "-d", root], capture_output=True,
                           text=True, env={**os.environ, "JEKYLL_NO_BUNDLER_REQUIRE": "true"})
    if build.returncode != 0:
        sys.exit(f"jekyll build failed:\n{build.stderr}")
    return root


class Nginx:
    def __init__(self, servers, tmp, http_extra=""):
        """servers: (address, port, root, extra configuration) for each server; http_extra: more
        configuration for all of them."""
        conf = os.path.join(tmp, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(tmp=tmp, http_extra=http_extra, servers="".join(
                SERVER_CONF.format(address=a, port=p, root=r, extra=e) for a, p, r, e in servers)))
        self.process = subprocess.Popen(["nginx", "-p", tmp, "-c", conf], stderr=subprocess.DEVNULL)
        for address, port, _, _ in servers:
            for _ in range(100):
                try:
                    socket.create_connection((address, port), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.05)
            else:
                self.stop()
                sys.exit(f"nginx did not start; see {tmp}/error.log")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def check_served(root, port, start):
    """Fetches the start page and up to three symbolically linked files, which must be served."""
    probes = [start]
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


def check_modern_served(root, assets, port, asset_port):
    """The modern site's pages without an extension are answered as themselves (200, text/html, no
    redirect), and a versioned asset by the second host."""
    probes = [("127.0.0.1", port, "/about", os.path.join(root, "about", "index.html")),
              ("127.0.0.1", port, "/guide/intro", os.path.join(root, "guide", "intro", "index.html")),
              ("127.0.0.1", port, "/guide/install/", os.path.join(root, "guide", "install", "index.html")),
              ("127.0.0.1", port, "/blog/2024/hello", os.path.join(root, "blog", "2024", "hello.html")),
              (ASSET_ADDRESS, asset_port, "/css/extra.css?v=3", os.path.join(assets, "css", "extra.css"))]
    for address, at, path, file in probes:
        connection = http.client.HTTPConnection(address, at, timeout=10)
        connection.request("GET", path)
        response = connection.getresponse()
        body, kind = response.read(), response.getheader("Content-Type", "")
        connection.close()
        with open(file, "rb") as f:
            if response.status != 200 or body != f.read():
                sys.exit(f"http://{address}:{at}{path}: {response.status}, not {file} as it is on disk")
        if file.endswith(".html") and not kind.startswith("text/html"):
            sys.exit(f"http://{address}:{at}{path} is typed {kind}")
    print(f"  served: {', '.join(p[2] for p in probes)} as themselves", file=sys.stderr)


def copy(name, command, out, host_folders, env=None):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    with open(out + ".log", "wb") as log:
        start = time.monotonic()
        try:
            status = subprocess.run(command, stdout=log, stderr=log, timeout=COPY_TIMEOUT,
                                    env={**(env or os.environ), "http_proxy": "", "no_proxy": "*"}).returncode
        except subprocess.TimeoutExpired:
            status = "timeout"
        seconds = time.monotonic() - start
    print(f"  {name}: {seconds:.1f} s, exit {status}", file=sys.stderr)
    return {"seconds": seconds, "exit": status, "host dirs": [os.path.join(out, h) for h in host_folders]}


def compare(roots, run, browser, out, start):
    """compare_copy.py over the copy: the first root against the first host folder, any other
    (the modern site's second host) with --other-host, which may be missing from the copy."""
    host_dirs = run["host dirs"]
    if not os.path.isdir(host_dirs[0]):
        return None
    command = [sys.executable, os.path.join(HERE, "compare_copy.py"), roots[0], host_dirs[0], "--json",
               "--types", TYPES]
    for root, host_dir in zip(roots[1:], host_dirs[1:]):
        command += ["--other-host", root, host_dir]
    if browser:
        command += ["--browser", str(browser), "--start-page", start]
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    with open(out + ".json", "w") as f:
        f.write(result.stdout)
    return json.loads(result.stdout)


def screenshot(page, png):
    """Shoots a copied page opened from disk in headless Chromium (the servers are stopped)."""
    if not os.path.isfile(page):
        return f"no {page}"
    command = ["chromium", "--headless", "--no-sandbox", f"--screenshot={png}", "--window-size=1280,900",
               "--hide-scrollbars", Path(page).as_uri()]
    try:
        subprocess.run(command, capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        return "Chromium timed out"
    return png if os.path.isfile(png) else "Chromium made no screenshot"


def on_other_hosts(report, key):
    """' (N on 127.0.0.2)' for a count of a copy with other hosts, or ''."""
    others = report.get("other hosts", {})
    return "".join(f" ({figures[key]} on {host})" for host, figures in others.items())


def cell(report, row):
    if report is None:
        return "no copy"
    files, links, browser = report["files"], report["links"], report.get("browser")
    values = {
        "files stored": f"{files['stored']}{on_other_hosts(report, 'stored')}",
        "pages and stylesheets": files["pages and stylesheets"],
        "pages/stylesheets with other text": files["other text"],
        "other files byte-equal": files["equal"],
        "other files differing": files["differ"],
        "files the server does not have": files["not on server"],
        "leftover .tmp": files["leftover .tmp"],
        "referenced files lacking": f"{files['lacking']}{on_other_hosts(report, 'lacking')}",
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


def table(title, columns):
    lines = [f"### {title}", "",
             "| | " + " | ".join(label for label, _, _ in columns) + " |",
             "|---|" + "---|" * len(columns)]
    lines.append("| wall time | " + " | ".join(f"{run['seconds']:.1f} s" for _, run, _ in columns) + " |")
    lines.append("| exit status | " + " | ".join(str(run["exit"]) for _, run, _ in columns) + " |")
    for row in ROWS:
        lines.append(f"| {row} | " + " | ".join(str(cell(report, row)) for _, _, report in columns) + " |")
    return "\n".join(lines)


def count_files(root):
    return sum(len(files) for _, _, files in os.walk(root, followlinks=True))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--site", action="append", choices=sorted(SITES), help="repeatable (default: all)")
    parser.add_argument("--tidewell", help="a tidewell-cli binary to run besides wget and wget2")
    parser.add_argument("--tidewell-label", default="tidewell-cli", help="its column's heading")
    parser.add_argument("--keep-alive", action="store_true",
                        help="also copy with tidewell-cli --keep-alive, as a column of its own")
    parser.add_argument("--no-wget", action="store_true")
    parser.add_argument("--no-wget2", action="store_true")
    parser.add_argument("--browser", type=int, default=20, metavar="N", help="pages opened per copy (0: none)")
    parser.add_argument("--out", default="/tmp/bench-real")
    parser.add_argument("--defaults", action="store_true",
                        help="tidewell-cli and wget2 with their defaults (the copy a new user gets)")
    parser.add_argument("--results-label", metavar="TEXT",
                        help="with --defaults, write the tables into bench/results.md under this heading")
    args = parser.parse_args()
    if args.defaults and not args.tidewell:
        parser.error("--defaults needs --tidewell")

    tables = []
    for site in args.site or sorted(SITES):
        print(f"{site}:", file=sys.stderr)
        port = free_port()
        asset_port = free_port(ASSET_ADDRESS) if site == "modern" else None
        with tempfile.TemporaryDirectory(prefix=f"bench-real-{site}-") as tmp:
            os.chmod(tmp, 0o755)  # nginx's worker may run as another user
            root, assets = site_root(site, port, tmp, asset_port)
            roots = [root] + ([assets] if assets else [])
            servers = [("127.0.0.1", port, root, TRY_FILES if site in EXTENSIONLESS else "")]
            if assets:
                servers.append((ASSET_ADDRESS, asset_port, assets, ""))
            start = START.get(site, "index.html")
            url = f"http://127.0.0.1:{port}/" + ("" if site in EXTENSIONLESS else start)
            # Each copier's folder for each host: tidewell-cli 127.0.0.1+PORT, wget 127.0.0.1:PORT,
            # wget2 127.0.0.1.
            folders = {name: [a + separator + (str(p) if separator else "") for a, p, _, _ in servers]
                       for name, separator in (("tidewell", "+"), ("wget", ":"), ("wget2", ""))}
            # wget and wget2 may span to the second host; -np is left out there, as the copy starts at /.
            span = ["-H", "-D", "127.0.0.1," + ASSET_ADDRESS] if assets else ["-np"]
            span2 = ["-H", "--domains=127.0.0.1," + ASSET_ADDRESS] if assets else []
            copiers = []
            if args.defaults:
                copiers = [(args.tidewell_label, "tidewell", copy_by_default.tidewell_command(args.tidewell, url))]
                copiers += [] if args.no_wget2 else [("wget2", "wget2", copy_by_default.wget2_command(url))]
            elif args.tidewell:
                tidewell = [os.path.abspath(args.tidewell), "-q", "-c", "24", "--rate", "0", "-o", "OUT",
                            "--types", TYPES, url]
                copiers.append((args.tidewell_label, "tidewell", tidewell))
                if args.keep_alive:
                    folders["tidewell-ka"] = folders["tidewell"]
                    copiers.append((args.tidewell_label + " --keep-alive", "tidewell-ka",
                                    tidewell[:-1] + ["--keep-alive", url]))
            if not args.no_wget and not args.defaults:
                copiers.append(("wget", "wget", ["wget", "-r", "-l", "inf", "-k", "-p", *span, "-nv", "-e",
                                                 "robots=off", "-P", "OUT", url]))
            if not args.no_wget2 and not args.defaults:
                # wget2 1.99 follows no link but the page's requisites with -r -p unless a level is
                # given as inf (-l 5 is not enough); it names the host folder without the port.
                copiers.append(("wget2", "wget2", ["wget2", "-r", "-l", "inf", "-k", "-p", *span2,
                                                   "--max-threads=24", "-e", "robots=off", "-P", "OUT", url]))
            server = Nginx(servers, tmp)
            try:
                check_served(root, port, start)
                if assets:
                    check_modern_served(root, assets, port, asset_port)
                runs = []
                for label, name, command in copiers:
                    out = os.path.join(args.out, site, name)
                    command = [out if w == "OUT" else w for w in command]
                    env = copy_by_default.fresh_environment(os.path.join(tmp, "home-" + name)) if args.defaults else None
                    with (copy_by_default.no_leftover_type_list(args.tidewell) if args.defaults and name == "tidewell"
                          else contextlib.nullcontext()):
                        runs.append((label, out, copy(label, command, out, folders[name], env)))
            finally:
                server.stop()
            # Compared with the server stopped, so that the browser check cannot reach it.
            columns = [(label, run, compare(roots, run, args.browser, out, start)) for label, out, run in runs]
            if site == "generated":
                title = f"generated: gensite.py --modern --pages 300 --images 100 ({count_files(root)} files served)"
            elif site == "jekyll":
                title = f"jekyll: bench/site-jekyll built with Jekyll and Minima ({count_files(root)} files served)"
            elif site == "modern":
                title = (f"modern: bench/site-mkdocs built with MkDocs and Material ({count_files(root)} files "
                         f"served on 127.0.0.1, {count_files(assets)} on {ASSET_ADDRESS})")
            else:
                title = f"{site}: {root} ({count_files(root)} files served)"
            tables.append(copy_by_default.table(title, columns) if args.defaults else table(title, columns))
            print(tables[-1] + "\n", flush=True)
            if site == "modern" and args.tidewell:
                png = os.path.join(args.out, site, "tidewell-page.png")
                page = os.path.join(runs[0][2]["host dirs"][0], "index.html")
                print(f"  screenshot: {screenshot(page, png)}", file=sys.stderr)
    with open(os.path.join(args.out, "tables.md"), "w") as f:
        f.write("\n\n".join(tables) + "\n")
    if args.defaults and args.results_label:
        copy_by_default.write_results(os.path.join(HERE, "results.md"), args.results_label, args.tidewell, tables)


if __name__ == "__main__":
    main()
