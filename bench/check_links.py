#!/usr/bin/env python3
"""Tells how much of a copied site browses from disk.

Usage: bench/check_links.py COPY_DIR [--site-host HOST ...] [--asset-host HOST ...] [--verbose] [--json]

Reads every page (names ending in .html or .htm, or holding .htm, .php or .asp) and every
stylesheet (.css) below COPY_DIR, gathers each reference a browser follows when the page is opened
from disk (links, images, scripts, frames, srcset candidates, lazy-loading data-src, posters,
backgrounds, and url() and @import in stylesheets, <style> blocks and style attributes), resolves
it against the file's own file:// address as a browser does, and counts:

  local ok       the reference names an existing file inside COPY_DIR
  local missing  a relative, root-relative or file: reference that names no file there (a folder
                 counts as missing: from disk a browser shows its listing, not its index page)
  online         an absolute http(s) or protocol-relative reference, which needs the network;
                 with --site-host split into "online, site" (the copied site's own host, which the
                 copy should have made local) and "online, other"; a host named with --asset-host
                 serves the site's stylesheets, scripts, images or fonts: what a page embeds from
                 it counts as "online, site", a link to it (<a href>, <area href>) as "online, other",
                 since a copy does not follow links to other hosts
  skipped        links to the page itself (written "", "#x" or "page.html#x"), data:, javascript:, mailto:, tel:, about: and other
                 schemes no copy could make local, and empty values

"browses" is local ok / (local ok + local missing + online, site).
"""
import argparse
import html.parser
import json
import os
import re
import sys
import urllib.parse
from pathlib import Path

EXAMPLES_PER_CLASS = 20

# (tag, attribute) pairs whose value is one URL; None as the tag means any element.
URL_ATTRIBUTES = {
    ("a", "href"), ("link", "href"), ("area", "href"),
    ("img", "src"), ("script", "src"), ("iframe", "src"), ("frame", "src"), ("source", "src"),
    ("video", "src"), ("audio", "src"), ("embed", "src"), ("input", "src"), ("track", "src"),
    ("video", "poster"),
    (None, "background"), (None, "data-src"),
}
SRCSET_ATTRIBUTES = {("img", "srcset"), ("source", "srcset"), (None, "data-srcset")}
# A browser never loads these from a page opened on disk: canonical speaks to search engines, the
# others only warm up connections.
IGNORED_LINK_RELATIONS = {"canonical", "preconnect", "dns-prefetch"}
NETWORK_SCHEMES = {"http", "https", "ftp"}
# References a reader follows rather than ones a page loads.
LINK_KINDS = {"a href", "area href"}

CSS_COMMENT = re.compile(r"/\*.*?\*/", re.S)
# url() covers @import url(...) as well, so the import pattern takes only the quoted-string form.
CSS_URL = re.compile(r"""url\(\s*(?:"([^"]*)"|'([^']*)'|([^)"'\s]*))\s*\)""", re.I)
CSS_IMPORT_STRING = re.compile(r"""@import\s*(?:"([^"]*)"|'([^']*)')""", re.I)
REFRESH_URL = re.compile(r"""^\s*\d*[.\d]*\s*[;,]?\s*(?:url\s*=\s*)?["']?([^"']*)""", re.I)


def css_references(text):
    """(kind, value) for each url() and @import in CSS text."""
    text = CSS_COMMENT.sub(" ", text)
    found = [("url()", next(g for g in m.groups() if g is not None)) for m in CSS_URL.finditer(text)]
    found += [("@import", m.group(1) if m.group(1) is not None else m.group(2))
              for m in CSS_IMPORT_STRING.finditer(text)]
    return found


def srcset_urls(value):
    """The URL of every candidate in a srcset value ("a.png 1x, b.png 2x")."""
    urls = []
    for candidate in value.split(","):
        words = candidate.split()
        if words:
            urls.append(words[0])
    return urls


class PageReferences(html.parser.HTMLParser):
    """Collects (kind, value) references of one page, and the page's <base href> if it has one."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.references = []
        self.base = None
        self.in_style = False

    def parse_marked_section(self, i, report=1):
        # html.parser stops at marked sections it does not know (<![if !IE]> of old pages); a
        # browser reads any <![...> as a bogus comment up to the next ">", and so does this.
        end = self.rawdata.find(">", i + 3)
        return -1 if end < 0 else end + 1

    def handle_starttag(self, tag, attrs):
        self.collect(tag, attrs)
        if tag == "style":
            self.in_style = True

    def handle_startendtag(self, tag, attrs):
        self.collect(tag, attrs)

    def handle_endtag(self, tag):
        if tag == "style":
            self.in_style = False

    def handle_data(self, data):
        if self.in_style:
            self.references += [(f"<style> {kind}", value) for kind, value in css_references(data)]

    def collect(self, tag, attrs):
        attributes = {name: value for name, value in attrs if value is not None}
        if tag == "base" and "href" in attributes and self.base is None:
            self.base = attributes["href"]
            return
        if tag == "link" and IGNORED_LINK_RELATIONS & set(attributes.get("rel", "").lower().split()):
            return
        if tag == "meta" and attributes.get("http-equiv", "").lower() == "refresh":
            match = REFRESH_URL.match(attributes.get("content", ""))
            if match and match.group(1).strip():
                self.references.append(("meta refresh", match.group(1)))
        for name, value in attributes.items():
            kind = f"{tag} {name}"
            if (tag, name) in URL_ATTRIBUTES or (None, name) in URL_ATTRIBUTES:
                self.references.append((kind, value))
            elif (tag, name) in SRCSET_ATTRIBUTES or (None, name) in SRCSET_ATTRIBUTES:
                self.references += [(kind, url) for url in srcset_urls(value)]
            elif name == "style":
                self.references += [(f"style {k}", v) for k, v in css_references(value)]


def decode(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        # Every byte is a latin-1 character, so an old page still yields its links.
        return data.decode("latin-1")


def is_page(name):
    lower = name.lower()
    return any(part in lower for part in (".htm", ".php", ".asp"))


def is_stylesheet(name):
    # A copy may keep a query in the file name (site.css?v=2); the part before it tells the type.
    return name.lower().split("?", 1)[0].endswith(".css")


def normalized_host(host):
    host = host.lower().rsplit("@", 1)[-1]
    if host.startswith("["):
        host = host[: host.find("]") + 1]
    else:
        host = host.split(":", 1)[0]
    return host[4:] if host.startswith("www.") else host


class Checker:
    def __init__(self, root, site_hosts, asset_hosts=()):
        # Absolute, not real, paths: a symbolic link inside the copy is followed by a browser too.
        self.root = os.path.abspath(root)
        self.site_hosts = {normalized_host(h) for h in site_hosts}
        self.asset_hosts = {normalized_host(h) for h in asset_hosts}
        # Without site hosts every online reference counts as "online, other".
        self.counts = {"local ok": 0, "local missing": 0, "online, site": 0, "online, other": 0,
                       "skipped": 0}
        self.examples = {"local missing": [], "online, site": [], "online, other": []}
        self.pages = 0
        self.stylesheets = 0
        self.unparsed = 0

    def run(self):
        for folder, folders, files in os.walk(self.root):
            folders.sort()
            for name in sorted(files):
                path = os.path.join(folder, name)
                if is_page(name):
                    self.pages += 1
                    self.check_page(path)
                elif is_stylesheet(name):
                    self.stylesheets += 1
                    with open(path, "rb") as f:
                        text = decode(f.read())
                    self.check_all(path, Path(path).as_uri(), css_references(text))

    def check_page(self, path):
        with open(path, "rb") as f:
            text = decode(f.read())
        parser = PageReferences()
        try:
            parser.feed(text)
            parser.close()
        except (AssertionError, ValueError):
            # html.parser gives up on a few malformed declarations; what came before still counts.
            self.unparsed += 1
        base = Path(path).as_uri()
        if parser.base is not None:
            try:
                base = urllib.parse.urljoin(base, clean(parser.base))
            except ValueError:
                pass  # a browser ignores a <base> it cannot parse
        self.check_all(path, base, parser.references)

    def check_all(self, path, base, references):
        for kind, value in references:
            verdict, target = self.classify(base, clean(value))
            if (verdict == "online, other" and kind not in LINK_KINDS
                    and normalized_host(urllib.parse.urlsplit(target).netloc) in self.asset_hosts):
                verdict = "online, site"
            self.counts[verdict] += 1
            examples = self.examples.get(verdict)
            if examples is not None and len(examples) < EXAMPLES_PER_CLASS:
                examples.append({"file": os.path.relpath(path, self.root), "kind": kind,
                                 "value": value, "resolves to": target})

    def classify(self, base, value):
        """(class, what the reference resolves to) for one cleaned reference value."""
        try:
            return self.resolve(base, value)
        except ValueError:
            # An address no browser can parse (a bad IPv6 host, a NUL byte) leads nowhere.
            return "local missing", "invalid address"

    def resolve(self, base, value):
        if not value or value.startswith("#"):
            return "skipped", ""
        # From disk a protocol-relative link would name a file on another machine; it stands for
        # the web address, so it counts as online.
        address = "http:" + value if value.startswith("//") else urllib.parse.urljoin(base, value)
        # A link to the page itself ("", "#x", "page.html#x" on page.html) counts alike, however
        # written.
        if urllib.parse.urldefrag(address)[0] == urllib.parse.urldefrag(base)[0]:
            return "skipped", ""
        parts = urllib.parse.urlsplit(address)
        scheme = parts.scheme.lower()
        if scheme in NETWORK_SCHEMES:
            host = normalized_host(parts.netloc)
            return ("online, site" if host in self.site_hosts else "online, other"), address
        if scheme != "file":
            return "skipped", ""
        if parts.netloc not in ("", "localhost"):
            return "local missing", urllib.parse.urlunsplit(parts[:3] + ("", ""))
        target = os.path.normpath(os.fsdecode(urllib.parse.unquote_to_bytes(parts.path)))
        inside = os.path.commonpath([self.root, target]) == self.root
        if inside and os.path.isfile(target):
            return "local ok", target
        return "local missing", os.path.relpath(target, self.root) if inside else target

    def figures(self):
        counted = self.counts["local ok"] + self.counts["local missing"] + self.counts["online, site"]
        return {
            "pages": self.pages,
            "stylesheets": self.stylesheets,
            "unparsed pages": self.unparsed,
            "references": sum(self.counts.values()),
            **self.counts,
            "online": self.counts["online, site"] + self.counts["online, other"],
            "browses %": round(100.0 * self.counts["local ok"] / counted, 1) if counted else None,
        }


def clean(value):
    # Browsers drop surrounding white space and any tab or line break inside a URL.
    return re.sub(r"[\t\n\r]", "", value.strip(" \t\n\r\f"))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("copy_dir")
    parser.add_argument("--site-host", action="append", default=[],
                        help="a host of the copied site (repeatable; www. and the port are ignored)")
    parser.add_argument("--asset-host", action="append", default=[],
                        help="a host that serves the site's embedded files; links to it count as other (repeatable)")
    parser.add_argument("--verbose", action="store_true",
                        help=f"list up to {EXAMPLES_PER_CLASS} references of each failing class")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = parser.parse_args()
    # File names and links that are not UTF-8 reach the output as escapes instead of ending the run.
    sys.stdout.reconfigure(errors="backslashreplace")
    if not os.path.isdir(args.copy_dir):
        sys.exit(f"check_links: {args.copy_dir} is not a folder")

    checker = Checker(args.copy_dir, args.site_host, args.asset_host)
    checker.run()
    figures = checker.figures()
    if args.json:
        json.dump({**figures, "examples": checker.examples}, sys.stdout, indent=1)
        print()
        return

    print(f"{figures['pages']} pages and {figures['stylesheets']} stylesheets scanned"
          + (f" ({figures['unparsed pages']} pages only in part)" if figures["unparsed pages"] else ""))
    print(f"references: {figures['references']}")
    shown = ["local ok", "local missing"]
    shown += ["online, site", "online, other"] if args.site_host else ["online"]
    for name in shown + ["skipped"]:
        print(f"  {name}: {figures[name]}")
    browses = figures["browses %"]
    print(f"browses: {'n/a' if browses is None else f'{browses:.1f} %'}"
          + ("" if args.site_host else " (no --site-host: online references not counted against it)"))
    if args.verbose:
        for name in ("local missing", "online, site") if args.site_host else ("local missing", "online, other"):
            print(f"\n{name if args.site_host else name.split(',')[0]}, first {EXAMPLES_PER_CLASS}:")
            for example in checker.examples[name]:
                print(f"  {example['file']}: {example['kind']}=\"{example['value']}\" -> {example['resolves to']}")


if __name__ == "__main__":
    main()
