#!/usr/bin/env python3
"""Tells how right a copy of a site is, against the tree the web server serves.

Usage: bench/compare_copy.py SERVED_ROOT COPY_HOST_DIR [--json] [--browser N] [--types LIST]
                             [--site-host HOST] [--download-dir DIR] [--start-page REL]
                             [--other-host SERVED_ROOT COPY_HOST_DIR ...]

SERVED_ROOT is the server's document root; COPY_HOST_DIR the copy's folder for that host
(tidewell-cli: DOWNLOAD_DIR/127.0.0.1+8081; wget: 127.0.0.1:8081). Every regular file of the copy
is mapped back to the server's file it stands for, trying in turn:

  - the same relative path (percent-escapes in the stored name decoded, if that is what matches);
  - the stored name without an added ".html" (page.php.html, wget -E's names);
  - the name cut before a query: "?" (wget's style.css?v=3) or "_" after an extension
    (style.css_v=3.css, page.php_id=1.html);
  - for a folder's index.html, the folder's index file (index.html, index.htm);
  - for about.html or about, the page a server answers for /about when about is a folder
    (about/index.html: nginx's try_files $uri $uri/index.html, or a redirect to about/), and
    for a name without extension, that name with ".html" (try_files $uri $uri.html).

Pages (.html, .htm, .xhtml) and stylesheets (.css) may differ from the server's file, since their
links are rewritten; what they show must not: the text of a page outside its tags, <script> and
<style>, and a stylesheet without its url() and @import targets, line breaks read as a browser
reads them (CR LF as LF). Every other file must be byte-equal.
A stored file that maps to no server file is one the server does not have: a 404 page kept under
a made-up name, or a folder such as "file:" or "=" born of a misread link. The copier's own
log.txt and transdd.txt are left out; leftover .tmp placeholders are counted apart.

"lacking" lists the server's files that the pages and stylesheets of the copy reference (as served)
but the copy does not hold; with --types only those of the listed extensions. A reference to a
folder stands for its index.html, and one to a name that is no file for the name with ".html".

A site may serve its stylesheets, scripts, images and fonts from a second host: each
--other-host SERVED_ROOT COPY_HOST_DIR names that host's document root and the copy's folder for
it (which may be missing: the copy then holds none of that host's files). Its files are compared
the same way and counted with the site's; the served pages' absolute references to that host are
read into its document root. The host, told by the folder's name, counts in the reference check as
the site's for what a page embeds, but not for links (<a href>): those a copy leaves online.

Then bench/check_links.py's reference check runs over the copy's download folder (the parent of
COPY_HOST_DIR unless --download-dir is given), and with --browser N, bench/browser_check.mjs opens
N of the copy's pages (the start page, COPY_HOST_DIR/index.html unless --start-page names another
path below it, first, the rest evenly spread) in headless Chromium.
"""
import argparse
import html.parser
import json
import os
import re
import subprocess
import sys
import urllib.parse
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_links  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PAGE_EXTENSIONS = (".html", ".htm", ".xhtml")
OWN_FILES = {"log.txt", "transdd.txt"}
INDEX_NAMES = ("index.html", "index.htm")
EXAMPLES = 10
# A query cut at "_" only when what comes before it ends like a file name: "style.css_v=3.css".
NAME_WITH_EXTENSION = re.compile(r".+\.[A-Za-z0-9]{1,6}$")


def candidates(rel):
    """Relative server paths a stored file may stand for, most likely first."""
    folder, name = os.path.split(rel)
    names = [name]
    decoded = urllib.parse.unquote(name)
    if decoded != name:
        names.append(decoded)
    for each in list(names):
        if each.lower().endswith(".html"):
            names.append(each[:-5])
        if "?" in each:
            names.append(each.split("?", 1)[0])
        names += [each[:i] for i, c in enumerate(each) if c == "_" and NAME_WITH_EXTENSION.match(each[:i])]
    # Names our copier gives by design: ".jpeg" stored as ".jpg", runs of "_" halved.
    for each in list(names):
        if each.lower().endswith(".jpg"):
            names.append(each[:-4] + each[-4:].replace("jpg", "jpeg").replace("JPG", "JPEG"))
        if "_" in each:
            names.append(each.replace("_", "__"))
    paths = [os.path.join(folder, each) for each in names]
    if name == "index.html":
        paths += [os.path.join(folder, index) for index in INDEX_NAMES]
    # /about answered with about/index.html, stored as about.html (or about); /hello answered with
    # hello.html, stored as hello.
    paths += [os.path.join(folder, each[:-5] if each.lower().endswith(".html") else each, "index.html")
              for each in names[:2]]
    if "." not in name:
        paths.append(os.path.join(folder, name + ".html"))
    return paths


def server_file(served, rel):
    """The server's file (relative path) that a stored file stands for, or None."""
    for candidate in candidates(rel):
        # isfile follows symbolic links, as the server does.
        if candidate and os.path.isfile(os.path.join(served, candidate)):
            return candidate
    return None


def is_rewritable(*names):
    """Pages and stylesheets: their links are rewritten, so their bytes may differ."""
    return any(n.lower().endswith(PAGE_EXTENSIONS + (".css",)) for n in names)


class TextReader(html.parser.HTMLParser):
    """The text a page shows, outside <script> and <style>: link rewriting must leave it alone."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts, self.skipping = [], None

    def handle_starttag(self, tag, attrs):
        if tag in ("script", "style"):
            self.skipping = tag

    def handle_endtag(self, tag):
        if tag == self.skipping:
            self.skipping = None

    def handle_data(self, data):
        if not self.skipping:
            self.parts.append(data)


def read_text(path):
    """The file's text with line breaks as a browser reads them (CR LF and CR become LF)."""
    with open(path, "rb") as f:
        return check_links.decode(f.read()).replace("\r\n", "\n").replace("\r", "\n")


def page_text(path):
    reader = TextReader()
    try:
        reader.feed(read_text(path))
        reader.close()
    except (AssertionError, ValueError):
        pass
    return "".join(reader.parts)


def stylesheet_text(path):
    """The stylesheet with every url() and @import target left out."""
    text = check_links.CSS_IMPORT_STRING.sub("@import ''", read_text(path))
    return check_links.CSS_URL.sub("url()", text)


def first_difference(a, b):
    i = next((k for k in range(min(len(a), len(b))) if a[k] != b[k]), min(len(a), len(b)))
    return f"at character {i}: {a[max(0, i - 20):i + 30]!r}, served {b[max(0, i - 20):i + 30]!r}"


def same_bytes(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as f, open(b, "rb") as g:
        while True:
            x, y = f.read(1 << 20), g.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def host_of_folder(name):
    """The host a copier's host folder is named after: 127.0.0.1+8081, 127.0.0.1:8081, [++1]+80."""
    if name.startswith("["):
        return name[: name.find("]") + 1].replace("+", ":")
    return re.sub(r"[+:]\d+$", "", name)


class ServedReferences(check_links.Checker):
    """check_links' reading of pages as served: root-relative links are resolved inside the document
    root of the file read, absolute links to a served host inside that host's, and every existing
    file they name is recorded (absolute path), a folder as its index.html, a name that is no file
    as the name with ".html" when there is one (nginx's try_files $uri $uri/index.html $uri.html)."""

    def __init__(self, roots):
        """roots: {host: document root}."""
        self.roots = {check_links.normalized_host(h): os.path.abspath(r) for h, r in roots.items()}
        super().__init__(os.path.commonpath(list(self.roots.values())), list(self.roots))
        self.current_root = None
        self.targets = set()

    def classify(self, base, value):
        if value.startswith("/") and not value.startswith("//"):
            value = Path(self.current_root).as_uri() + value
        elif value.startswith(("http:", "https:", "//")):
            parts = urllib.parse.urlsplit("http:" + value if value.startswith("//") else value)
            root = self.roots.get(check_links.normalized_host(parts.netloc))
            if root:
                value = Path(root).as_uri() + (parts.path or "/")
        verdict, target = super().classify(base, value)
        if verdict == "local missing" and not os.path.isabs(target):
            path = os.path.normpath(os.path.join(self.root, target))
            for served in (os.path.join(path, "index.html"), path + ".html"):
                if os.path.isfile(served):
                    verdict, target = "local ok", served
                    break
        if verdict == "local ok" and any(os.path.commonpath([r, target]) == r for r in self.roots.values()):
            self.targets.add(target)
        return verdict, target

    def check_all(self, path, base, references):
        # A link (<a href>) to another host's page is not the copy's to hold: it leads off the site.
        site = check_links.normalized_host(next(iter(self.roots)))
        super().check_all(path, base, [
            (kind, value) for kind, value in references
            if kind not in check_links.LINK_KINDS or check_links.normalized_host(
                urllib.parse.urlsplit(check_links.clean(value)).netloc) in ("", site)])

    def read(self, root, rel):
        self.current_root = root
        path = os.path.join(root, rel)
        if rel.lower().endswith(PAGE_EXTENSIONS):
            self.check_page(path)
        elif rel.lower().endswith(".css"):
            with open(path, "rb") as f:
                self.check_all(path, Path(path).as_uri(), check_links.css_references(check_links.decode(f.read())))


def compare(hosts, types):
    """hosts: (served root, copy's host folder) of the site, then of each other host."""
    counts = {"stored": 0, "pages and stylesheets": 0, "other text": 0, "equal": 0, "differ": 0,
              "not on server": 0, "leftover .tmp": 0, "lacking": 0}
    examples = {kind: [] for kind in counts if kind not in ("stored", "pages and stylesheets", "equal")}
    # For each other host: whether the copy has its folder, its files stored and lacking.
    others = {host_of_folder(os.path.basename(d)): {"folder": os.path.isdir(d), "stored": 0, "lacking": 0}
              for _, d in hosts[1:]}

    def note(kind, entry):
        counts[kind] += 1
        if len(examples[kind]) < EXAMPLES:
            examples[kind].append(entry)

    held = set()  # absolute paths of the served files the copy holds
    for index, (served, host_dir) in enumerate(hosts):
        other = others[host_of_folder(os.path.basename(host_dir))] if index else None
        shown = os.path.basename(host_dir) + "/" if index else ""
        stored_before = counts["stored"]
        for folder, folders, files in os.walk(host_dir):
            folders.sort()
            for name in sorted(files):
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, host_dir)
                if not os.path.isfile(path) or (folder == host_dir and name in OWN_FILES):
                    continue
                if name.endswith(".tmp") and not os.path.isfile(os.path.join(served, rel)):
                    note("leftover .tmp", shown + rel)
                    continue
                mapped = server_file(served, rel)
                counts["stored"] += 1
                if mapped is None:
                    note("not on server", shown + rel)
                    continue
                original = os.path.join(served, mapped)
                held.add(original)
                if is_rewritable(name, mapped):
                    counts["pages and stylesheets"] += 1
                    read = page_text if mapped.lower().endswith(PAGE_EXTENSIONS) else stylesheet_text
                    # A line break more or less at the very end shows nothing.
                    ours, served_text = read(path).rstrip(), read(original).rstrip()
                    if ours != served_text:
                        note("other text", f"{shown}{rel} {first_difference(ours, served_text)}")
                elif same_bytes(path, original):
                    counts["equal"] += 1
                else:
                    note("differ", f"{shown}{rel} ({os.path.getsize(path)} bytes, served {mapped}: "
                                   f"{os.path.getsize(original)} bytes)")
        if other:
            other["stored"] = counts["stored"] - stored_before

    references = ServedReferences({host_of_folder(os.path.basename(d)): served for served, d in hosts})
    for served, _ in hosts:
        for path in sorted(p for p in held if os.path.commonpath([served, p]) == served):
            references.read(served, os.path.relpath(path, served))
    wanted = tuple(t.strip().lower() for t in types.split(",")) if types else None
    for path in sorted(references.targets - held):
        if wanted is None or path.lower().endswith(wanted):
            index = next(i for i, (served, _) in enumerate(hosts) if os.path.commonpath([served, path]) == served)
            rel = os.path.relpath(path, hosts[index][0])
            if index:
                others[host_of_folder(os.path.basename(hosts[index][1]))]["lacking"] += 1
            note("lacking", f"{host_of_folder(os.path.basename(hosts[index][1]))}/{rel}" if index else rel)
    return counts, examples, others


def browser_check(host_dir, count, start_page):
    pages = []
    for folder, folders, files in os.walk(host_dir):
        folders.sort()
        pages += [os.path.join(folder, n) for n in sorted(files) if n.lower().endswith(PAGE_EXTENSIONS)]
    start = os.path.join(host_dir, start_page)
    rest = [p for p in pages if p != start]
    chosen = [start] if start in pages else []
    wanted = min(count - len(chosen), len(rest))
    chosen += [rest[k * len(rest) // wanted] for k in range(wanted)] if wanted > 0 else []
    result = subprocess.run(["node", os.path.join(HERE, "browser_check.mjs"), "--json", *chosen],
                            capture_output=True, text=True, timeout=60 + 20 * len(chosen))
    if result.returncode != 0:
        return {"error": result.stderr.strip()[-500:]}
    figures = json.loads(result.stdout)
    for entries in figures["examples"].values():
        for entry in entries:
            entry["page"] = os.path.relpath(entry["page"], host_dir)
    for kinds in figures["by kind"].values():
        for entry in kinds.values():
            entry["example"]["page"] = os.path.relpath(entry["example"]["page"], host_dir)
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("served_root")
    parser.add_argument("copy_host_dir")
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    parser.add_argument("--browser", type=int, default=0, metavar="N", help="open N pages in Chromium")
    parser.add_argument("--types", help="count only lacking files of these extensions (.html,.png,...)")
    parser.add_argument("--site-host", help="the copied site's host (default: from the folder's name)")
    parser.add_argument("--download-dir", help="folder for the reference check (default: COPY_HOST_DIR/..)")
    parser.add_argument("--start-page", default="index.html", help="the page the browser check opens first")
    parser.add_argument("--other-host", nargs=2, action="append", default=[], metavar=("SERVED_ROOT", "COPY_HOST_DIR"),
                        help="another host that serves the site's files, and the copy's folder for it (repeatable)")
    args = parser.parse_args()
    sys.stdout.reconfigure(errors="backslashreplace")
    for folder in [args.served_root, args.copy_host_dir] + [root for root, _ in args.other_host]:
        if not os.path.isdir(folder):
            sys.exit(f"compare_copy: {folder} is not a folder")
    host_dir = os.path.abspath(args.copy_host_dir)
    hosts = [(os.path.abspath(args.served_root), host_dir)]
    hosts += [(os.path.abspath(root), os.path.abspath(folder)) for root, folder in args.other_host]

    counts, examples, others = compare(hosts, args.types)
    download_dir = args.download_dir or os.path.dirname(host_dir)
    site_host = args.site_host or host_of_folder(os.path.basename(host_dir))
    checker = check_links.Checker(download_dir, [site_host], list(others))
    checker.run()
    links = checker.figures()
    report = {"files": counts, "other hosts": others, "examples": examples,
              "links": {k: links[k] for k in ("pages", "stylesheets", "references", "local ok", "local missing",
                                              "online, site", "online, other", "browses %")},
              "link examples": {k: checker.examples[k][:EXAMPLES] for k in ("local missing", "online, site")}}
    if args.browser:
        report["browser"] = browser_check(host_dir, args.browser, args.start_page)
    if args.json:
        json.dump(report, sys.stdout, indent=1)
        print()
        return

    print(f"{host_dir} against {os.path.abspath(args.served_root)}")
    print(f"files stored: {counts['stored']} (leftover .tmp besides: {counts['leftover .tmp']})")
    print(f"  pages and stylesheets (links may differ): {counts['pages and stylesheets']}, "
          f"with other text besides links: {counts['other text']}")
    print(f"  other files equal to the server's: {counts['equal']}")
    print(f"  other files that differ: {counts['differ']}")
    print(f"  files the server does not have: {counts['not on server']}")
    print(f"server files the copy's pages reference but the copy lacks: {counts['lacking']}")
    for host, figures in others.items():
        print(f"  of which {host}: {figures['stored']} stored, {figures['lacking']} lacking"
              + ("" if figures["folder"] else " (the copy has no folder for it)"))
    print(f"references ({', '.join([site_host, *others])}): {links['references']}, local ok {links['local ok']}, "
          f"local missing {links['local missing']}, online, site {links['online, site']}, "
          f"online, other {links['online, other']}; browses {links['browses %']} %")
    browser = report.get("browser")
    if browser and "error" in browser:
        print(f"browser check failed: {browser['error']}")
    elif browser:
        print(f"browser: {browser['pages']} pages opened, {browser['requests']} requests, "
              f"{browser['failed']} failed, {browser['network']} to the network, "
              f"{browser['pages not loaded']} pages not loaded")
    for kind, entries in examples.items():
        for entry in entries:
            print(f"  {kind}: {entry}")
    for kind in ("local missing", "online, site"):
        for entry in report["link examples"][kind]:
            print(f"  {kind}: {entry['file']}: {entry['kind']}=\"{entry['value']}\" -> {entry['resolves to']}")
    for kind in ("failed", "network", "pages not loaded") if browser and "error" not in browser else ():
        for entry in browser["examples"][kind]:
            print(f"  browser {kind}: {entry['page']} -> {entry.get('url', '')} {entry.get('reason', '')}")


if __name__ == "__main__":
    main()
