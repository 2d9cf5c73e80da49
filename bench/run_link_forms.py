#!/usr/bin/env python3
"""Reads a page of link forms the way Chromium does and the way tidewell-cli does, side by side.

Usage: bench/run_link_forms.py BUILD_DIR [--write]

A server on 127.0.0.1 serves two pages of link forms (character references, white space inside
URLs, backslashes, dot segments, non-ASCII names, a <base>, srcset, <object>, other ports ...) and
answers every other path with a small file of the kind its name says, logging each request.
  1. Chromium loads both pages and gives the URL each reference resolves to (resolved_links.mjs).
  2. tidewell-cli copies the site from the first page (which links to the second).
  3. Chromium opens the two saved pages from disk and resolves the same references again.
It prints, for the URLs of the site that the browser resolves: those the copier asked for, those
it did not (and why: a type not wanted, a page with a query), and the URLs the copier asked for
that the browser never resolves; then, for the saved pages, how many references whose target was
stored lead to it from disk. With --write the table goes into bench/results.md.
"""
import argparse
import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
TYPES = ".html,.css,.png,.gif,.js"

FORMS = """<!doctype html><html><head><meta charset="utf-8"><title>Link forms</title>
<link rel="stylesheet" href="style.css"><script src="script.js"></script></head><body>
<a href="plain.html">plain</a>
<a href="&#112;lain-decimal.html">decimal</a> <a href="&#x70;lain-hex.html">hex</a>
<a href="a&amp;b.html">named</a> <a href="&#109;ailto:a&#64;b.c">mail</a>
<a href="tab\there.html">tab</a> <a href="line
break.html">line break</a> <a href="  spaced.html  ">spaces</a>
<a href="back\\slash.html">backslash</a> <a href="dot/./seg/../x.html">dots</a>
<a href="&uuml;mlaut.html">reference</a> <a href="\u00fcmlaut-raw.html">UTF-8</a>
<a href="index.htmlx.html">index prefix</a> <a href="..x.html">dots in a name</a>
<a href="view.php?f=page.html">query</a> <a href="sub/">folder</a> <a href="/root.html">root</a>
<a href="//127.0.0.1:{port}/protocol-relative.html">protocol-relative</a>
<a href="http://127.0.0.1:{other}/other-port.html">other port</a>
<a href="#top">fragment</a> <a href="based.html">based</a>
<img src="image.png"><img srcset="one.png 1x, two.png 2x"><object data="object.gif"></object>
<embed src="embed.gif"><video poster="poster.png"></video>
<div style="background:url(&quot;styled.png&quot;)"></div>
</body></html>
"""

BASED = """<!doctype html><html><head><meta charset="utf-8"><title>Based</title>
<base href="/b/"></head><body>
<a href="x.html">x</a> <img src="i.png"> <a href="../up.html">up</a> <a href="/abs.html">abs</a>
<a href="?q">query alone</a>
</body></html>
"""


def make_handler(port, other, log):
    pages = {"/forms/index.html": FORMS.replace("{port}", str(port)).replace("{other}", str(other)),
             "/forms/based.html": BASED}

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def do_GET(self):
            log.append(self.path)
            path = urllib.parse.urlsplit(self.path).path
            # The copier asks for a folder's index page as the folder.
            path = path + "index.html" if path.endswith("/forms/") else path
            if path in pages:
                body, kind = pages[path].encode(), "text/html; charset=utf-8"
            elif path.endswith("/favicon.ico") or path.endswith("/robots.txt"):
                self.send_error(404)
                return
            else:
                extension = os.path.splitext(path)[1].lower()
                kind = {".css": "text/css", ".js": "text/javascript", ".png": "image/png",
                        ".gif": "image/gif"}.get(extension, "text/html")
                body = ("<p>%s</p>" % path).encode() if kind == "text/html" else path.encode()
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return Handler


def resolved(urls):
    out = subprocess.run(["node", os.path.join(HERE, "resolved_links.mjs"), *urls],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def without_fragment(url):
    return url.split("#", 1)[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()
    cli = os.path.join(args.build, "src", "app", "tidewell-cli")

    log = []
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), None)
    port = server.server_address[1]
    other = port + 1 if port < 65535 else port - 1
    server.RequestHandlerClass = make_handler(port, other, log)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    origin = "http://127.0.0.1:%d" % port
    pages = [origin + "/forms/index.html", origin + "/forms/based.html"]

    live = resolved(pages)
    site = {}
    for page in pages:
        for ref in live[page]:
            url = without_fragment(ref["url"])
            if url.startswith(origin + "/"):
                site.setdefault(url[len(origin):], ref)
    del log[:]

    with tempfile.TemporaryDirectory() as out:
        subprocess.run([cli, "-q", "-o", out, "-c", "2", "--no-robots", "--types", TYPES,
                        pages[0]], check=False)
        # The start page is asked for as its folder.
        asked = {"/forms/index.html" if path == "/forms/" else path for path in log}
        folder = os.path.join(out, "127.0.0.1+%d" % port)
        disk_pages = ["file://" + os.path.join(folder, "forms", name)
                      for name in ("index.html", "based.html")]
        on_disk = resolved(disk_pages)

        stored_ok = stored_missing = online = 0
        broken = []
        for page, disk_page in zip(pages, disk_pages):
            for live_ref, disk_ref in zip(live[page], on_disk[disk_page]):
                live_url = without_fragment(live_ref["url"])
                target = live_url[len(origin):] if live_url.startswith(origin + "/") else None
                disk_url = without_fragment(disk_ref["url"])
                if target is None or target not in asked:
                    continue
                if disk_url.startswith("file://"):
                    path = urllib.parse.unquote(disk_url[len("file://"):])
                    if os.path.isfile(path):
                        stored_ok += 1
                    else:
                        stored_missing += 1
                        broken.append((live_url, disk_url))
                else:
                    online += 1
                    broken.append((live_url, disk_url))

    missed = sorted(set(site) - asked)
    extra = sorted(asked - set(site) - {"/forms/index.html"})
    lines = [
        "## Link forms read as Chromium reads them",
        "",
        "`bench/run_link_forms.py BUILD_DIR`: two pages of link forms (character references, tabs",
        "and line breaks in URLs, backslashes, dot segments, non-ASCII names, `<base href>`,",
        "`srcset`, `<object>`, another port, a query naming an `.html` file), read by Chromium and",
        "copied by tidewell-cli with `--types %s`." % TYPES,
        "",
        "| | count |",
        "|---|---|",
        "| URLs of the site Chromium resolves | %d |" % len(site),
        "| of these, asked for by the copier | %d |" % len(set(site) & asked),
        "| of these, not asked for | %d |" % len(missed),
        "| URLs the copier asked for that Chromium never resolves | %d |" % len(extra),
        "| saved pages: references to a stored file that lead to it from disk | %d |" % stored_ok,
        "| saved pages: references to a stored file that lead nowhere or online | %d |"
        % (stored_missing + online),
        "",
    ]
    if missed:
        lines.append("Not asked for (a page with a query or a type not in the list): "
                     + ", ".join("`%s`" % m for m in missed))
    if extra:
        lines.append("Asked for, never resolved by Chromium: " + ", ".join("`%s`" % e for e in extra))
    for live_url, disk_url in broken:
        lines.append("Leads nowhere from disk: `%s` as `%s`" % (live_url, disk_url))
    text = "\n".join(lines) + "\n"
    print(text)
    if args.write:
        sys.path.insert(0, HERE)
        from results_file import write_section
        write_section(os.path.join(HERE, "results.md"), lines[0], text)
    server.shutdown()
    return 0 if not extra and stored_missing + online == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
